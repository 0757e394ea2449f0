#pragma once
// Speech for the tests: espeak-ng speaks a text and sox resamples it to raw
// 16-bit mono. Where the tools cannot run (the Windows tests under Wine), the
// build renders the same clips beforehand into the folder SORN_TEST_SPOKEN_DIR
// names, from tests/spoken-clips.txt, and the tests read them from there: a
// clip is found by its name (ClipName), which the build computes alike.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ScratchDir.h"

namespace spoken {

struct Clip {
    std::string voice;  // espeak-ng's -v ("" for its default)
    int pitch = 50;     // -p, 0-99
    int speed = 175;    // -s, words per minute
    std::string text;
    int rate = 16000;
    bool dither = true;  // sox's dither (off: the same text always gives the same samples)
};

// VOICE_pPITCH_sSPEED_rRATE[_nd]_TEXT with the text cut at 40 characters,
// every character other than a letter or a digit made a '-'.
inline std::string ClipName(const Clip& clip) {
    const auto clean = [](const std::string& text) {
        std::string out;
        for (const char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
        return out;
    };
    return clean(clip.voice.empty() ? "default" : clip.voice) + "_p" + std::to_string(clip.pitch) + "_s" +
           std::to_string(clip.speed) + "_r" + std::to_string(clip.rate) + (clip.dither ? "" : "_nd") + "_" +
           clean(clip.text.substr(0, 40)) + ".raw";
}

inline std::vector<std::int16_t> ReadRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(
            static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return samples;
}

// The folder of clips the build rendered ("" when there is none).
inline std::string RenderedFolder() {
#ifdef SORN_TEST_SPOKEN_DIR
    return SORN_TEST_SPOKEN_DIR;
#else
    return "";
#endif
}

// Whether speech can be had: rendered clips, or espeak-ng and sox to run.
inline bool Available() {
    if (!RenderedFolder().empty()) return true;
    static const bool tools =
        std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") == 0;
    return tools;
}

// The clip's samples; empty when it cannot be had.
inline std::vector<std::int16_t> Speak(const Clip& clip) {
    if (!RenderedFolder().empty()) return ReadRaw(RenderedFolder() + "/" + ClipName(clip));
    const std::string folder = MakeScratchDir("sorn-spoken-");
    if (folder.empty()) return {};
    const std::string textFile = folder + "/text.txt";
    const std::string rawFile = folder + "/speech.raw";
    std::ofstream(textFile) << clip.text;
    const std::string command = "espeak-ng " + (clip.voice.empty() ? std::string() : "-v " + clip.voice + " ") +
                                "-p " + std::to_string(clip.pitch) + " -s " + std::to_string(clip.speed) + " -f '" +
                                textFile + "' --stdout 2>/dev/null | sox " + (clip.dither ? "" : "-D ") +
                                "-t wav - -r " + std::to_string(clip.rate) +
                                " -c 1 -b 16 -e signed-integer -t raw '" + rawFile + "' 2>/dev/null";
    std::vector<std::int16_t> samples;
    if (std::system(command.c_str()) == 0) samples = ReadRaw(rawFile);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return samples;
}

// Noise made by sox (`sox -R -n ... synth SECONDS KIND vol VOL`, repeatable)
// at 16 kHz; `volume` as written in the list of clips (say "0.002").
inline std::vector<std::int16_t> Noise(const std::string& kind, const std::string& volume, int seconds) {
    const std::string name = "noise_" + kind + "_v" + volume + "_" + std::to_string(seconds) + ".raw";
    if (!RenderedFolder().empty()) return ReadRaw(RenderedFolder() + "/" + name);
    const std::string folder = MakeScratchDir("sorn-noise-");
    if (folder.empty()) return {};
    const std::string rawFile = folder + "/" + name;
    const std::string command = "sox -R -n -r 16000 -c 1 -b 16 -e signed-integer -t raw '" + rawFile + "' synth " +
                                std::to_string(seconds) + " " + kind + " vol " + volume + " 2>/dev/null";
    std::vector<std::int16_t> samples;
    if (std::system(command.c_str()) == 0) samples = ReadRaw(rawFile);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return samples;
}

}  // namespace spoken
