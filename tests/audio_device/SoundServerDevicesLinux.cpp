#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "ScratchDir.h"
#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"
#include "platform/backends/pulse/PulseBackend.h"
#include "platform/emulation/wave/Backend.h"

namespace sorn::devicetest {

namespace {

// SORN_TEST_DEVICES names the backend the device tests play and record on:
// "alsa:pulse" runs them through alsa-lib's pulse plugin in front of the
// same server (tests/playback, tests/capture); the sound-server backend when
// unset. On ALSA, libpulse keeps off shared memory, as in the ALSA backend's
// own tests (tests/backend_alsa/client.conf.in says why).
std::string DeviceSelection() {
    const char* chosen = std::getenv("SORN_TEST_DEVICES");
    const std::string selection = chosen && *chosen ? chosen : "pulse";
#ifdef SORN_ALSA_CLIENT_CONFIG
    if (selection.rfind("alsa", 0) == 0) ::setenv("PULSE_CLIENTCONFIG", SORN_ALSA_CLIENT_CONFIG, 0);
#endif
    return selection;
}

}  // namespace

bool ServerAnswers() {
    DeviceSelection();
    return sorn::audio::PulseServerAnswers(nullptr);
}

bool UseSoundServerDevices() {
    return sorn::audio::SelectBackend(DeviceSelection().c_str()) == MMSYSERR_NOERROR && waveOutGetNumDevs() > 0 &&
           waveInGetNumDevs() > 0;
}

void ReleaseSoundServerDevices() { sorn::audio::SelectBackend("auto"); }

std::vector<std::int16_t> Speech(const std::string&, const std::string& text) {
    const std::string folder = MakeScratchDir("sorn-speech-");
    if (folder.empty()) return {};
    const std::string raw = folder + "/speech.raw";
    const std::string command = "espeak-ng --stdout \"" + text +
                                "\" 2>/dev/null | sox -t wav - -r 16000 -c 1 -b 16 -e signed-integer -t raw " + raw +
                                " 2>/dev/null";
    std::vector<std::int16_t> samples;
    if (std::system(command.c_str()) == 0) samples = ReadRawSamples(raw);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return samples;
}

}  // namespace sorn::devicetest
