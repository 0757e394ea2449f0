// The frame driver and the numeric primitives: window placement, the fill
// rule, levels, error reports, bad arguments, threads, and the engine.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "PitchReference.h"
#include "PitchSignals.h"
#include "core_contract/Engine.h"
#include "core_contract/Wave.h"
#include "pitch/ExtractPitch.h"
#include "pitch/PitchPrimitives.h"

namespace {

constexpr std::int16_t kUnset = -7;
constexpr std::int32_t kAllSlots = std::numeric_limits<std::int32_t>::max();

// ExtractPitch on count samples of signal into slots pre-set to kUnset;
// returns the slots.
std::vector<std::int16_t> Track(const std::vector<float>& signal, std::int32_t count, std::int16_t rate, float level,
                              std::int32_t slots, std::int32_t pitchCount = kAllSlots) {
    std::vector<std::int16_t> pitch(static_cast<std::size_t>(slots), kUnset);
    ExtractPitch(signal.data(), count, rate, level, pitch.data(), pitchCount == kAllSlots ? slots : pitchCount);
    return pitch;
}

int Analysed(const std::vector<std::int16_t>& pitch) {
    int n = 0;
    for (std::int16_t v : pitch) n += v != kUnset ? 1 : 0;
    return n;
}

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(PitchPrimitives, StatusCodesAndNothingWrittenOnRefusal) {
    float source[4] = {1, 2, 3, 4};
    float destination[4] = {9, 9, 9, 9};
    EXPECT_EQ(SornPitch::AutoCorr(nullptr, 4, destination, 4), -8);
    EXPECT_EQ(SornPitch::AutoCorr(source, 4, nullptr, 4), -8);
    EXPECT_EQ(SornPitch::AutoCorr(source, 0, destination, 4), -6);
    EXPECT_EQ(SornPitch::AutoCorr(source, 4, destination, -1), -6);
    for (float v : destination) EXPECT_EQ(v, 9.0f);
    EXPECT_EQ(SornPitch::DivC(0.0f, destination, 4), -10);
    EXPECT_EQ(SornPitch::DivC(-0.0f, destination, 4), -10);
    EXPECT_EQ(SornPitch::DivC(2.0f, nullptr, 4), -8);
    EXPECT_EQ(SornPitch::DivC(2.0f, destination, 0), -6);
    for (float v : destination) EXPECT_EQ(v, 9.0f);
    EXPECT_EQ(SornPitch::DivC(3.0f, destination, 4), 0);
    EXPECT_EQ(destination[0], 9.0f * static_cast<float>(1.0 / 3.0));
}

TEST(PitchPrimitives, AutoCorrOfAnyLengthsMatchesTheTranscription) {
    const std::vector<float> signal = PitchSignals::Sweep(100.0, 300.0, 7000.0, 700);
    for (auto [n, lags] : {std::pair{100, 150}, {512, 512}, {512, 600}, {512, 300}, {600, 512}, {1, 3}, {7, 2}}) {
        std::vector<float> expected(static_cast<std::size_t>(lags), 5.0f), actual(static_cast<std::size_t>(lags), 6.0f);
        ASSERT_EQ(PitchReference::AutoCorr(signal.data(), n, expected.data(), lags), 0);
        ASSERT_EQ(SornPitch::AutoCorr(signal.data(), n, actual.data(), lags), 0);
        EXPECT_EQ(actual, expected) << n << " samples, " << lags << " lags";
    }
    float values[8];
    const float tiny[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::copy(tiny, tiny + 8, values);
    float expected[8];
    std::copy(tiny, tiny + 8, expected);
    for (float divisor : {3.0f, 1e-30f, 7e-45f, std::numeric_limits<float>::infinity(), -2.5f}) {
        PitchReference::DivC(divisor, expected, 8);
        SornPitch::DivC(divisor, values, 8);
        for (int i = 0; i < 8; ++i) EXPECT_TRUE(std::isnan(values[i]) ? std::isnan(expected[i]) : values[i] == expected[i]);
    }
}

TEST(ExtractPitch, WindowsStartEveryHopBelowCountMinus1024) {
    const std::vector<float> silence(40000, 0.0f);
    EXPECT_EQ(Analysed(Track(silence, 1024, 16000, 200.0f, 20)), 0);
    EXPECT_EQ(Analysed(Track(silence, 1000, 16000, 200.0f, 20)), 0);
    EXPECT_EQ(Analysed(Track(silence, 1025, 16000, 200.0f, 20)), 1);
    EXPECT_EQ(Analysed(Track(silence, 2000, 16000, 200.0f, 20)), 7);  // 0, 160, ..., 960
    EXPECT_EQ(Track(silence, 2000, 16000, 200.0f, 20)[0], 0);           // silence has no pitch
    // The hop is rate / 100: windows = ceil((count - 1024) / hop).
    for (auto [rate, hop] : {std::pair{8000, 80}, {11025, 110}, {16000, 160}, {22050, 220}}) {
        const std::int32_t count = 1024 + 10 * hop;
        EXPECT_EQ(Analysed(Track(silence, count, static_cast<std::int16_t>(rate), 200.0f, 40)), 10) << rate;
        EXPECT_EQ(Analysed(Track(silence, count + 1, static_cast<std::int16_t>(rate), 200.0f, 40)), 11) << rate;
    }
    // Placement, seen through the values: a sweep at each common rate.
    for (std::int16_t rate : {8000, 11025, 16000, 22050}) {
        const std::vector<float> sweep = PitchSignals::Sweep(90.0, 450.0, 9000.0, rate * 3 / 2, rate);
        const auto count = static_cast<std::int32_t>(sweep.size());
        std::vector<std::int16_t> expected(200, kUnset);
        PitchReference::ExtractPitch(sweep.data(), count, rate, 200.0f, expected.data(), 200);
        EXPECT_EQ(Track(sweep, count, rate, 200.0f, 200), expected) << rate;
    }
}

TEST(ExtractPitch, PitchCountLimitsTheWindowsAndTheFillCopiesTheFirstUnreachedSlot) {
    const std::vector<float> sine = PitchSignals::Sine(200.0, 8000.0, 4000);
    // Pitch count 0 (or less): nothing is written.
    EXPECT_EQ(Analysed(Track(sine, 4000, 16000, 200.0f, 8, 0)), 0);
    EXPECT_EQ(Analysed(Track(sine, 4000, 16000, 200.0f, 8, -3)), 0);
    // Fewer slots than windows (19 possible): exactly those, no fill.
    const std::vector<std::int16_t> few = Track(sine, 4000, 16000, 200.0f, 8, 5);
    EXPECT_EQ(Analysed(few), 5);
    EXPECT_EQ(few[4], 200);
    EXPECT_EQ(few[5], kUnset);
    // More slots than windows: the rest take what slot 19 held.
    std::vector<std::int16_t> pitch(30, kUnset);
    pitch[19] = 42;
    ExtractPitch(sine.data(), 4000, 16000, 200.0f, pitch.data(), 30);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(pitch[static_cast<std::size_t>(i)], 200) << i;
    for (int i = 19; i < 30; ++i) EXPECT_EQ(pitch[static_cast<std::size_t>(i)], 42) << i;
    // No window at all: every slot takes slot 0's value.
    std::vector<std::int16_t> none(6, 3);
    none[0] = 11;
    ExtractPitch(sine.data(), 900, 16000, 200.0f, none.data(), 6);
    EXPECT_EQ(none, std::vector<std::int16_t>(6, 11));
}

TEST(ExtractPitch, LevelZeroReportsDivCOncePerWindowAndUsesTheUnscaledValues) {
    const std::vector<float> quiet = PitchSignals::Sine(160.0, 10.0, 2000);  // voiced only unscaled
    for (float level : {0.0f, 1e-30f}) {
        std::vector<std::int16_t> expected(9, kUnset);
        testing::internal::CaptureStderr();
        PitchReference::ExtractPitch(quiet.data(), 2000, 16000, level, expected.data(), 9);
        const std::string referenceReport = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        const std::vector<std::int16_t> pitch = Track(quiet, 2000, 16000, level, 9);
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(pitch, expected);
        EXPECT_EQ(pitch[0], 160);
        EXPECT_EQ(Occurrences(report, " IPP ERROR! DivC \n : "), 7) << report;
        EXPECT_EQ(report, referenceReport);
        EXPECT_EQ(Occurrences(report, "AutoCorr"), 0);
    }
}

TEST(ExtractPitch, InfiniteOrNaNLevelGivesNoPitch) {
    const std::vector<float> sine = PitchSignals::Sine(200.0, 8000.0, 3000);
    for (float level : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN(), 1e30f}) {
        testing::internal::CaptureStderr();
        const std::vector<std::int16_t> pitch = Track(sine, 3000, 16000, level, 13);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(pitch, std::vector<std::int16_t>(13, 0)) << level;
    }
}

TEST(ExtractPitch, BadArgumentsNeitherCrashNorReadOutside) {
    const std::vector<float> sine = PitchSignals::Sine(200.0, 8000.0, 3000);
    // Null samples: AutoCorr refuses in every window, which has no pitch.
    testing::internal::CaptureStderr();
    std::vector<std::int16_t> pitch(5, kUnset);
    ExtractPitch(nullptr, 3000, 16000, 200.0f, pitch.data(), 5);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pitch, std::vector<std::int16_t>(5, 0));
    EXPECT_EQ(Occurrences(report, " IPP ERROR! AutoCorr \n : "), 5);
    // Null pitch array.
    ExtractPitch(sine.data(), 3000, 16000, 200.0f, nullptr, 5);
    // A rate of 0 or less analyses no window (a negative hop would walk
    // before the samples): the fill rule alone applies.
    for (std::int16_t rate : {0, -1, -100, -32768}) {
        std::vector<std::int16_t> slots(4, kUnset);
        slots[0] = 9;
        ExtractPitch(sine.data(), 3000, rate, 200.0f, slots.data(), 4);
        EXPECT_EQ(slots, std::vector<std::int16_t>(4, 9)) << rate;
    }
    // Counts whose margin would wrap around.
    EXPECT_EQ(Analysed(Track(sine, std::numeric_limits<std::int32_t>::min(), 16000, 200.0f, 4)), 0);
    EXPECT_EQ(Analysed(Track(sine, std::numeric_limits<std::int32_t>::min() + 1000, 16000, 200.0f, 4)), 0);
}

TEST(ExtractPitch, RatesBelow100RepeatTheFirstWindow) {
    const std::vector<float> sine = PitchSignals::Sine(1.0, 8000.0, 1500, 50);
    std::vector<std::int16_t> expected(6, kUnset);
    PitchReference::ExtractPitch(sine.data(), 1500, 50, 200.0f, expected.data(), 6);
    EXPECT_EQ(Track(sine, 1500, 50, 200.0f, 6), expected);
}

TEST(ExtractPitch, ConcurrentCallsOnSeparateArraysAgree) {
    std::vector<std::vector<float>> signals = {PitchSignals::Sine(200.0, 8000.0, 8000),
                                               PitchSignals::Sweep(80.0, 600.0, 9000.0, 8000),
                                               PitchSignals::Square(125.0, 8000), PitchSignals::Noise(2000, 8000, 5)};
    std::vector<std::vector<std::int16_t>> expected;
    for (const auto& s : signals) expected.push_back(Track(s, 8000, 16000, 200.0f, 50));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                const std::size_t which = (t + static_cast<std::size_t>(round)) % signals.size();
                if (Track(signals[which], 8000, 16000, 200.0f, 50) != expected[which]) ++mismatches;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ExtractPitch, EngineEvaluatesAClipThroughTheTracker) {
    const int rate = 16000;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(rate));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(6.283185307179586 * 200.0 * i / rate)));
    CWave clip;
    ASSERT_EQ(clip.SetBuffer(samples.data(), static_cast<unsigned long>(samples.size()), 1), 1);
    SornEngine::SphEngine engine(ExtractPitch);
    SornEngine::SornSentEval* result = engine.EvaluationResult(&clip, SornStringA(""));
    ASSERT_NE(result, nullptr);
    EXPECT_DOUBLE_EQ(result->durationSeconds, 1.0);
    ASSERT_EQ(result->pitchCount, 100);
    // ceil((16000 - 1024) / 160) = 94 windows, all at 200 Hz (lag 80); the
    // engine's zeroed slots fill the rest.
    for (int i = 0; i < 94; ++i) EXPECT_NEAR(result->pitch[i], 200, 2) << i;
    for (int i = 94; i < 100; ++i) EXPECT_EQ(result->pitch[i], 0) << i;
    engine.ReleaseSentEval(result);
}

}  // namespace

TEST(ExtractPitch, SinesGiveTheirPitchSilenceAndAConstantGiveNone) {
    // Periods from 25 to 150 samples: the lags the tracker can confirm (a
    // peak at the period, a partner peak at twice it and a lower one after).
    constexpr int kWindows = 30;
    for (const int rate : {8000, 11025, 16000, 22050, 32000}) {
        const int count = 1024 + kWindows * (rate / 100) + 1;
        for (const double hertz : {60.0, 80.0, 100.0, 130.0, 170.0, 220.0, 290.0, 380.0, 500.0}) {
            const double period = rate / hertz;
            if (period < 25.0 || period > 150.0) continue;
            SCOPED_TRACE(std::to_string(rate) + " Hz rate, " + std::to_string(hertz) + " Hz tone");
            const auto pitch = Track(PitchSignals::Sine(hertz, 3000.0, count, rate), count,
                                     static_cast<std::int16_t>(rate), 100.0f, kWindows);
            // Within 2 %: the lag is whole samples (up to half a sample off
            // at a period of 25), and the window's fading autocorrelation
            // moves the peak below the period (about 1.5 samples at 150).
            for (std::int16_t value : pitch) EXPECT_NEAR(value, hertz, 0.02 * hertz + 1.0);
        }
        const auto silence = Track(std::vector<float>(static_cast<std::size_t>(count), 0.0f), count,
                                   static_cast<std::int16_t>(rate), 100.0f, kWindows);
        const auto constant = Track(std::vector<float>(static_cast<std::size_t>(count), 3000.0f), count,
                                    static_cast<std::int16_t>(rate), 100.0f, kWindows);
        EXPECT_EQ(silence, std::vector<std::int16_t>(kWindows, 0)) << rate;
        EXPECT_EQ(constant, std::vector<std::int16_t>(kWindows, 0)) << rate;
    }
}
