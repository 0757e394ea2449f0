// What the sound-server device tests share on every platform.
#include <cstdlib>
#include <string>

#include "audio_device/SoundServerDevices.h"

namespace sorn::devicetest {

bool ServerRequired() {
    const char* value = std::getenv("SORN_REQUIRE_SOUND_SERVER");
    return value != nullptr && std::string(value) == "1";
}

}  // namespace sorn::devicetest
