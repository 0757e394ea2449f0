#pragma once
// Signals for the pitch tracker's tests and benchmark: speech rendered by
// espeak-ng and sox into a private temporary folder, and synthetic signals
// from fixed seeds.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "SpokenClips.h"

namespace PitchSignals {

inline bool HaveSpeechTools() { return spoken::Available(); }

// text spoken at an espeak-ng pitch (0-99), as 16 kHz mono 16-bit samples
// converted to float unchanged (resampled without dither, so the same text
// always gives the same samples), or the clip the build rendered of it.
// Empty when the tools fail.
inline std::vector<float> Speak(const std::string& text, int pitch, int wordsPerMinute = 175) {
    const std::vector<std::int16_t> samples = spoken::Speak({"", pitch, wordsPerMinute, text, 16000, false});
    return std::vector<float>(samples.begin(), samples.end());
}

inline float Clip16(double v) {
    return static_cast<float>(std::lround(std::fmin(32767.0, std::fmax(-32768.0, v))));
}

inline std::vector<float> Sine(double hertz, double amplitude, int count, int rate = 16000, bool round = true) {
    std::vector<float> s(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double v = amplitude * std::sin(6.283185307179586 * hertz * i / rate);
        s[static_cast<std::size_t>(i)] = round ? Clip16(v) : static_cast<float>(v);
    }
    return s;
}

// Frequency rising linearly from `from` to `to` hertz.
inline std::vector<float> Sweep(double from, double to, double amplitude, int count, int rate = 16000) {
    std::vector<float> s(static_cast<std::size_t>(count));
    double phase = 0.0;
    for (int i = 0; i < count; ++i) {
        const double f = from + (to - from) * i / count;
        phase += 6.283185307179586 * f / rate;
        s[static_cast<std::size_t>(i)] = Clip16(amplitude * std::sin(phase));
    }
    return s;
}

// Full scale: +32767 and -32768.
inline std::vector<float> Square(double hertz, int count, int rate = 16000) {
    std::vector<float> s(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) s[static_cast<std::size_t>(i)] = std::fmod(hertz * i / rate, 1.0) < 0.5 ? 32767.0f : -32768.0f;
    return s;
}

// Integers uniform in [-amplitude, amplitude].
inline std::vector<float> Noise(int amplitude, int count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<float> s(static_cast<std::size_t>(count));
    const std::uint32_t span = 2u * static_cast<std::uint32_t>(amplitude) + 1u;
    for (float& v : s) v = static_cast<float>(static_cast<std::int64_t>(random() % span) - amplitude);
    return s;
}

// A voiced-like signal for when espeak-ng is absent: a pulse train at a
// gliding pitch through a few resonances, with pauses.
inline std::vector<float> SyntheticSpeech(int count, int rate = 16000) {
    std::vector<float> s(static_cast<std::size_t>(count));
    double phase = 0.0, r1 = 0.0, r2 = 0.0;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f0 = 120.0 + 40.0 * std::sin(6.283185307179586 * 0.3 * t);
        phase += f0 / rate;
        double pulse = 0.0;
        if (phase >= 1.0) {
            phase -= 1.0;
            pulse = 1.0;
        }
        const double out = pulse + 1.6 * r1 - 0.8 * r2;
        r2 = r1;
        r1 = out;
        const bool voiced = std::fmod(t, 2.0) < 1.4;
        s[static_cast<std::size_t>(i)] = voiced ? Clip16(3000.0 * out) : 0.0f;
    }
    return s;
}

}  // namespace PitchSignals
