// The production tracker against the plain transcription, bit for bit, on
// every instruction set this processor has and with and without the
// transform path.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "PitchReference.h"
#include "PitchSignals.h"
#include "PitchTestSupport.h"
#include "pitch/PitchPrimitives.h"

namespace {

using SornPitch::Isa;
using SornPitch::SumPath;

struct Signal {
    std::string name;
    std::vector<float> samples;
    SumPath expected;  // the path an integer or a non-integer window takes
};

std::vector<Signal> SyntheticSignals() {
    using namespace PitchSignals;
    std::vector<Signal> signals;
    const int n = 6000;
    signals.push_back({"white noise", Noise(32768, n, 1), SumPath::Fft});
    signals.push_back({"quiet noise", Noise(3, n, 2), SumPath::Fft});
    signals.push_back({"sine 200 Hz", Sine(200.0, 8000.0, n), SumPath::Fft});
    signals.push_back({"sine 95 Hz loud", Sine(95.0, 32767.0, n), SumPath::Fft});
    signals.push_back({"sweep 70-700 Hz", Sweep(70.0, 700.0, 12000.0, n), SumPath::Fft});
    signals.push_back({"square 150 Hz full scale", Square(150.0, n), SumPath::Fft});
    std::vector<float> extreme(static_cast<std::size_t>(n), -32768.0f);
    signals.push_back({"constant -32768", extreme, SumPath::Fft});
    signals.push_back({"full-scale noise", Noise(32768, n, 3), SumPath::Fft});
    // Floats that are not integers: the direct path.
    signals.push_back({"sine 180 Hz, real-valued", Sine(180.0, 5000.3, n, 16000, false), SumPath::Direct});
    std::vector<float> fractional = Noise(20000, n, 4);
    for (std::size_t i = 0; i < fractional.size(); ++i) fractional[i] += 0.37f * static_cast<float>(i % 7);
    signals.push_back({"noise with fractions", fractional, SumPath::Direct});
    // Integers too large for the transform's error bound: the direct path.
    std::vector<float> large = Noise(32768, n, 6);
    for (float& v : large) v *= 64.0f;
    signals.push_back({"integers beyond the transform's bound", large, SumPath::Direct});
    // 16-bit samples scaled to [-1, 1): integers times 2^-15.
    std::vector<float> unit = Sweep(90.0, 400.0, 30000.0, n);
    for (float& v : unit) v *= 0x1p-15f;
    signals.push_back({"sweep in [-1, 1)", unit, SumPath::Fft});
    return signals;
}

void ExpectSameAutoCorr(const std::vector<float>& samples, const std::string& name, SumPath expected, int step) {
    for (std::size_t pos = 0; pos + 512 <= samples.size(); pos += static_cast<std::size_t>(step)) {
        const float* window = samples.data() + pos;
        float reference[512];
        ASSERT_EQ(PitchReference::AutoCorr(window, 512, reference, 512), 0);
        for (Isa isa : PitchTest::AvailableIsas())
            for (bool fft : {false, true}) {
                float values[512];
                const SumPath path = SornPitch::AutoCorrWindow(isa, fft, window, values);
                const int diff = PitchTest::FirstDifference(values, reference, 512);
                ASSERT_EQ(diff, -1) << name << " at " << pos << " on " << PitchTest::Describe(isa, fft) << ": lag "
                                    << diff << " " << values[diff < 0 ? 0 : diff] << " vs "
                                    << reference[diff < 0 ? 0 : diff];
                if (expected == SumPath::Fft)
                    EXPECT_EQ(path, fft ? SumPath::Fft : SumPath::Direct) << name << " at " << pos;
                else
                    EXPECT_EQ(path, expected) << name << " at " << pos;
            }
    }
}

TEST(PitchExactness, AutocorrelationIsBitExactOnSyntheticSignals) {
    for (const Signal& s : SyntheticSignals()) ExpectSameAutoCorr(s.samples, s.name, s.expected, 331);
}

TEST(PitchExactness, AutocorrelationIsBitExactOnSpeech) {
    if (!PitchSignals::HaveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    for (int pitch : {20, 50, 80}) {
        const std::vector<float> speech = PitchSignals::Speak("The quick brown fox jumps over the lazy dog.", pitch);
        ASSERT_GT(speech.size(), 16000u);
        ExpectSameAutoCorr(speech, "speech -p " + std::to_string(pitch), SumPath::Fft, 997);
    }
}

TEST(PitchExactness, WindowsWithInfinitiesOrNaNTakeThePlainSum) {
    std::vector<float> samples = PitchSignals::Sine(200.0, 1000.0, 512);
    for (float bad : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN()}) {
        for (int at : {0, 100, 511}) {
            std::vector<float> window = samples;
            window[static_cast<std::size_t>(at)] = bad;
            float reference[512];
            PitchReference::AutoCorr(window.data(), 512, reference, 512);
            for (Isa isa : PitchTest::AvailableIsas()) {
                float values[512];
                EXPECT_EQ(SornPitch::AutoCorrWindow(isa, true, window.data(), values), SumPath::Literal);
                EXPECT_EQ(PitchTest::FirstDifference(values, reference, 512), -1) << bad << " at " << at;
            }
        }
    }
    // Huge finite values overflow the float result to infinity alike.
    std::vector<float> huge = PitchSignals::Noise(1000, 512, 9);
    for (float& v : huge) v *= 1e36f;
    float reference[512], values[512];
    PitchReference::AutoCorr(huge.data(), 512, reference, 512);
    for (Isa isa : PitchTest::AvailableIsas()) {
        SornPitch::AutoCorrWindow(isa, true, huge.data(), values);
        EXPECT_EQ(PitchTest::FirstDifference(values, reference, 512), -1);
    }
}

TEST(PitchExactness, TransformMatchesTheDefinition) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<std::complex<double>> input(512);
    for (auto& v : input) v = {uniform(random), uniform(random)};
    for (Isa isa : PitchTest::AvailableIsas()) {
        alignas(64) double re[520], im[520];
        for (int i = 0; i < 512; ++i) {
            re[i] = input[static_cast<std::size_t>(i)].real();
            im[i] = input[static_cast<std::size_t>(i)].imag();
        }
        SornPitch::ComplexTransformForTest(isa, re, im);
        double worst = 0.0;
        for (int k = 0; k < 512; ++k) {
            std::complex<long double> sum = 0;
            for (int n = 0; n < 512; ++n) {
                const long double angle = -6.283185307179586476925286766559L * ((static_cast<long>(n) * k) % 512) / 512;
                sum += std::complex<long double>(input[static_cast<std::size_t>(n)]) *
                       std::complex<long double>(std::cos(angle), std::sin(angle));
            }
            worst = std::max(worst, static_cast<double>(std::abs(sum - std::complex<long double>(re[k], im[k]))));
        }
        EXPECT_LT(worst, 1e-12) << SornPitch::IsaName(isa);
    }
}

void ExpectSamePitch(const std::vector<float>& samples, std::int16_t rate, float level, const std::string& name) {
    const auto count = static_cast<std::int32_t>(samples.size());
    const std::int32_t slots = count / (rate / 100) + 3;
    std::vector<std::int16_t> reference(static_cast<std::size_t>(slots), -5);
    PitchReference::ExtractPitch(samples.data(), count, rate, level, reference.data(), slots);
    for (Isa isa : PitchTest::AvailableIsas())
        for (bool fft : {false, true}) {
            std::vector<std::int16_t> pitch(static_cast<std::size_t>(slots), -5);
            SornPitch::ExtractPitchWith(isa, fft, samples.data(), count, rate, level, pitch.data(), slots);
            ASSERT_EQ(pitch, reference) << name << " level " << level << " on " << PitchTest::Describe(isa, fft);
        }
}

TEST(PitchExactness, PitchValuesMatchOnSyntheticSignals) {
    const std::vector<Signal> signals = SyntheticSignals();
    for (std::size_t i = 0; i < signals.size(); ++i) {
        const float level = i % 3 == 0 ? 200.0f : (i % 3 == 1 ? 37.5f : 4000.0f);
        ExpectSamePitch(signals[i].samples, 16000, level, signals[i].name);
        ExpectSamePitch(signals[i].samples, 16000, 1.0f, signals[i].name);
    }
    std::vector<float> unit = PitchSignals::Sweep(90.0, 400.0, 30000.0, 6000);
    for (float& v : unit) v *= 0x1p-15f;
    ExpectSamePitch(unit, 16000, 0.006f, "sweep in [-1, 1)");
    ExpectSamePitch(PitchSignals::Sweep(80.0, 500.0, 9000.0, 8000, 8000), 8000, 150.0f, "sweep at 8000 Hz");
    ExpectSamePitch(PitchSignals::Sweep(80.0, 500.0, 9000.0, 12000, 22050), 22050, 150.0f, "sweep at 22050 Hz");
}

TEST(PitchExactness, PitchValuesMatchOnSpeech) {
    if (!PitchSignals::HaveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    for (int pitch : {20, 50, 80}) {
        const std::vector<float> speech = PitchSignals::Speak("Seven slow swans swam south, singing softly.", pitch);
        ASSERT_GT(speech.size(), 16000u);
        ExpectSamePitch(speech, 16000, pitch == 50 ? 100.0f : 200.0f, "speech -p " + std::to_string(pitch));
        // The contour is speech-like: a fair share of voiced windows.
        const auto count = static_cast<std::int32_t>(speech.size());
        std::vector<std::int16_t> contour(speech.size() / 160, 0);
        SornPitch::ExtractPitchWith(SornPitch::BestIsa(), true, speech.data(), count, 16000, 200.0f, contour.data(),
                                    static_cast<std::int32_t>(contour.size()));
        std::size_t voiced = 0;
        for (std::int16_t v : contour) voiced += (v >= 64 && v <= 800) ? 1 : 0;
        EXPECT_GT(voiced, contour.size() / 5) << "espeak pitch " << pitch;
    }
}

// Levels around the point where a window's largest lag value crosses the
// voicing threshold: the shortcut for windows that cannot pass must agree
// with the full computation on both sides.
TEST(PitchExactness, PitchValuesMatchAroundTheVoicingThreshold) {
    const std::vector<float> sine = PitchSignals::Sine(250.0, 300.0, 1200);
    const std::vector<float> slow = PitchSignals::Sine(20.0, 300.0, 1200);  // lag 1 almost lag 0
    for (const auto* samples : {&sine, &slow}) {
        float lags[512];
        PitchReference::AutoCorr(samples->data(), 512, lags, 512);
        for (int lag : {0, 1, 64}) {
            const double critical = std::sqrt(static_cast<double>(lags[lag]) / 3.7);
            for (int step = -20; step <= 20; ++step) {
                const float level = static_cast<float>(critical * (1.0 + step * 1e-7));
                ExpectSamePitch(*samples, 16000, level, "threshold");
            }
        }
    }
}

}  // namespace
