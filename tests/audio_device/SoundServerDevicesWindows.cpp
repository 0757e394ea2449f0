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
    return ReadRawSamples(std::string(SORN_TEST_SPEECH_DIR) + "/" + name + ".raw");
}

}  // namespace sorn::devicetest
