// The conformance cases on Linux: the wave and mixer operations of
// platform/emulation on the sound-server backend (platform/backends/pulse).
#include "conformance/ConformanceSupport.h"

#include <mutex>

#include "audio_device/SoundServerDevices.h"

namespace sorn::conformance {

std::string ServerMissing() {
    static std::once_flag once;
    static std::string missing;
    std::call_once(once, [] {
        if (!devicetest::ServerAnswers() || !devicetest::UseSoundServerDevices())
            missing = "no sound server answers";
    });
    return missing;
}

bool OnWine() { return false; }

}  // namespace sorn::conformance
