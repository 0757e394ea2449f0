// What the sound-server device tests share on every platform.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "audio_device/SoundServerDevices.h"

namespace sorn::devicetest {

bool ServerRequired() {
    const char* value = std::getenv("SORN_REQUIRE_SOUND_SERVER");
    return value != nullptr && std::string(value) == "1";
}

std::vector<std::int16_t> ReadRawSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                               static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return samples;
}

}  // namespace sorn::devicetest
