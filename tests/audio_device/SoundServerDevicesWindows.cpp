#include <fstream>
#include <iterator>
#include <string>

#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"

namespace sorn::devicetest {

// The system's devices are the sound server's (Wine's audio driver plays
// through PULSE_SERVER): nothing to select.
bool ServerAnswers() { return waveOutGetNumDevs() > 0 && waveInGetNumDevs() > 0; }

bool UseSoundServerDevices() { return true; }

void ReleaseSoundServerDevices() {}

std::vector<std::int16_t> Speech(const std::string& name, const std::string&) {
    std::ifstream in(std::string(SORN_TEST_SPEECH_DIR) + "/" + name + ".raw", std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                               static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return samples;
}

}  // namespace sorn::devicetest
