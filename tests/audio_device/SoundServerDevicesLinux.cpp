#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "ScratchDir.h"
#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"
#include "platform/backends/pulse/PulseBackend.h"
#include "platform/emulation/wave/Backend.h"

namespace sorn::devicetest {

bool ServerAnswers() { return sorn::audio::PulseServerAnswers(nullptr); }

bool UseSoundServerDevices() {
    return sorn::audio::SelectBackend("pulse") == MMSYSERR_NOERROR && waveOutGetNumDevs() > 0 &&
           waveInGetNumDevs() > 0;
}

void ReleaseSoundServerDevices() { sorn::audio::SelectBackend("auto"); }

std::vector<std::int16_t> Speech(const std::string&, const std::string& text) {
    const std::string folder = MakeScratchDir("sorn-speech-");
    if (folder.empty()) return {};
    const std::string raw = folder + "/speech.raw";
    const std::string command = "espeak-ng --stdout \"" + text +
                                "\" 2>/dev/null | sox -t wav - -r 16000 -c 1 -b 16 -e signed-integer -t raw " +
                                raw + " 2>/dev/null";
    std::vector<std::int16_t> samples;
    if (std::system(command.c_str()) == 0) samples = ReadRawSamples(raw);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return samples;
}

}  // namespace sorn::devicetest
