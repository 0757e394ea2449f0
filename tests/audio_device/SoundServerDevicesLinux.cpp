#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "ScratchDir.h"
#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"
#include "platform/audio/Backend.h"
#include "platform/audio/pulse/PulseBackend.h"

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
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(raw, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        samples.resize(bytes.size() / 2);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                   static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return samples;
}

}  // namespace sorn::devicetest
