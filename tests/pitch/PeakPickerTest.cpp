// The peak picker alone: the rules one by one, and agreement with the plain
// transcription on random and awkward value arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "PitchReference.h"
#include "PitchTestSupport.h"
#include "pitch/PitchPrimitives.h"

namespace {

using SornPitch::PitchFromAutocorrelation;

// A window that passes the spacing gate: small positive values with a single
// touch of zero at lag 12 (mean spacing 12 / 2 = 6), plus the given peaks.
std::vector<float> Shaped(std::initializer_list<std::pair<int, float>> peaks, int zeroAt = 12) {
    std::vector<float> r(512, 0.1f);
    r[0] = 10.0f;
    r[static_cast<std::size_t>(zeroAt)] = 0.0f;
    for (const auto& [lag, value] : peaks) r[static_cast<std::size_t>(lag)] = value;
    return r;
}

// The picker on every instruction set this processor has, against the
// transcription; the picker's answer.
std::int32_t Both(const std::vector<float>& r, std::int32_t rate = 16000) {
    const std::int32_t expected = PitchReference::PitchFromAutocorrelation(r.data(), rate);
    for (SornPitch::Isa isa : PitchTest::AvailableIsas())
        EXPECT_EQ(SornPitch::PitchFromAutocorrelationWith(SornPitch::KernelsFor(isa), r.data(), rate), expected)
            << SornPitch::IsaName(isa);
    const std::int32_t actual = PitchFromAutocorrelation(r.data(), rate);
    EXPECT_EQ(actual, expected);
    return actual;
}

// The crossing scan as its definition reads: the leading entry counts; a
// crossing at lag i is a change of sign from lag i - 1 to i, or a zero at i.
SornPitch::CrossingScan LiteralScan(const std::vector<float>& r) {
    SornPitch::CrossingScan scan{1, 0, 0.0f};
    for (std::size_t i = 1; i < 512; ++i) {
        const float a = r[i - 1], b = r[i];
        if ((a < 0.0f && b > 0.0f) || (a > 0.0f && b < 0.0f) || b == 0.0f) {
            ++scan.crossings;
            scan.lastCrossing = static_cast<std::int32_t>(i);
        }
        if (b > scan.maximum) scan.maximum = b;
    }
    return scan;
}

TEST(PeakPicker, SilenceAndWindowsWithoutCrossingsHaveNoPitch) {
    EXPECT_EQ(Both(std::vector<float>(512, 0.0f)), 0);  // c = 512, mean spacing 511/512
    std::vector<float> positive = Shaped({{100, 9.0f}, {200, 9.0f}});
    positive[12] = 0.1f;  // no crossing left: c = 1, M = 0
    EXPECT_EQ(Both(positive), 0);
}

TEST(PeakPicker, SpacingGateCountsTheLeadingEntry) {
    EXPECT_EQ(Both(Shaped({{100, 9.0f}, {200, 9.0f}}, 12)), 160);  // M = 12 / 2 = 6
    EXPECT_EQ(Both(Shaped({{100, 9.0f}, {200, 9.0f}}, 10)), 0);    // M = 10 / 2 = 5
    // A sign change counts like a touch of zero; a zero after a zero does too.
    std::vector<float> flip = Shaped({{100, 9.0f}, {200, 9.0f}});
    flip[12] = 0.1f;
    flip[11] = -0.1f;  // changes at 11 and 12: M = 12 / 3 = 4
    EXPECT_EQ(Both(flip), 0);
}

TEST(PeakPicker, MaximumGateComparesInDoublePrecision) {
    const float nearest = 3.7f;  // lies above the double 3.7
    EXPECT_EQ(Both(Shaped({{100, nearest}, {200, nearest}})), 160);
    const float below = std::nextafter(nearest, 0.0f);
    EXPECT_EQ(Both(Shaped({{100, below}, {200, below}})), 0);
}

TEST(PeakPicker, OnePeakIsNotEnough) { EXPECT_EQ(Both(Shaped({{100, 9.0f}})), 0); }

TEST(PeakPicker, EqualPeaksAtALagAndTwiceItKeepTheirOrder) {
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {200, 6.0f}})), 160);
    EXPECT_EQ(Both(Shaped({{245, 6.0f}, {490, 6.0f}})), 65);  // 16000 / 245 = 65.3
    EXPECT_EQ(Both(Shaped({{33, 6.0f}, {66, 6.0f}})), 484);   // 16000 / 33 = 484.8
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {206, 6.0f}})), 160);  // partner window reaches 2L + 6
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {207, 6.0f}})), 0);
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {194, 6.0f}})), 160);
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {193, 6.0f}})), 0);
}

// Two qualifying peaks of one value (60 and 180, partners 120 and 360): the
// exchange sort moves 60 behind 180 when it swaps in 360, so 180 wins
// although it comes later by lag.
TEST(PeakPicker, EqualQualifyingPeaksTakeTheExchangeSortsOrder) {
    const std::vector<float> r =
        Shaped({{30, 1.0f}, {60, 9.0f}, {90, 1.0f}, {120, 10.0f}, {150, 1.0f}, {180, 9.0f}, {210, 1.0f}, {360, 10.0f}});
    EXPECT_EQ(Both(r), 88);  // 16000 / 180
}

TEST(PeakPicker, InnerPeaksNeedAMarginOfOneHalf) {
    // Inner peak at 100 exactly 0.5 above both neighbours: flagged, the only
    // flag (q = 1), highest, with a partner: the fallback takes it.
    EXPECT_EQ(Both(Shaped({{60, 5.0f}, {100, 5.5f}, {200, 5.0f}})), 160);
    const float less = std::nextafter(5.5f, 0.0f);
    EXPECT_EQ(Both(Shaped({{60, 5.0f}, {100, less}, {200, 5.0f}})), 0);
}

TEST(PeakPicker, LagsAbove253OnlyServeAsPartners) {
    EXPECT_EQ(Both(Shaped({{127, 5.0f}, {254, 6.0f}})), 0);
    EXPECT_EQ(Both(Shaped({{127, 6.0f}, {254, 5.0f}})), 125);
    EXPECT_EQ(Both(Shaped({{300, 6.0f}, {400, 6.0f}})), 0);
}

TEST(PeakPicker, SampleRateOverLagDropsTheFraction) {
    EXPECT_EQ(Both(Shaped({{100, 6.0f}, {200, 6.0f}}), 8000), 80);
    EXPECT_EQ(Both(Shaped({{21, 6.0f}, {42, 6.0f}}), 22050), 1050);
    EXPECT_EQ(Both(Shaped({{248, 6.0f}, {491, 6.0f}}), 32767), 132);
}

// Autocorrelation-like arrays (a decaying cosine of random period plus
// noise), coarsely quantised for ties, with awkward values sprinkled in.
TEST(PeakPicker, AgreesWithTheTranscriptionOnRandomAndAwkwardArrays) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const float awkward[] = {0.0f,
                             -0.0f,
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::denorm_min(),
                             -std::numeric_limits<float>::denorm_min(),
                             1e-40f,
                             std::numeric_limits<float>::max(),
                             3.7f,
                             0.5f};
    int voiced = 0;
    const int trials = 6000;
    for (int trial = 0; trial < trials; ++trial) {
        std::vector<float> r(512);
        const double period = 15.0 + 260.0 * unit(random);
        const double amplitude = 40.0 * unit(random);
        const double decay = 0.002 * unit(random);
        const double noise = (trial % 3) * unit(random);
        const double grid = trial % 4 == 0 ? 0.5 : (trial % 4 == 1 ? 1.0 / 64 : 0.0);
        for (int k = 0; k < 512; ++k) {
            double v = amplitude * std::cos(6.283185307179586 * k / period) * std::exp(-decay * k) +
                       noise * (unit(random) - 0.5);
            if (grid > 0.0) v = std::round(v / grid) * grid;
            r[static_cast<std::size_t>(k)] = static_cast<float>(v);
        }
        if (trial % 5 == 0) {
            const int count = 1 + static_cast<int>(random() % 6);
            for (int j = 0; j < count; ++j)
                r[random() % 512] = awkward[random() % (sizeof awkward / sizeof awkward[0])];
        }
        if (trial % 50 == 0)  // pure noise, any sign
            for (float& v : r) v = static_cast<float>(20.0 * (unit(random) - 0.5));
        if (trial % 13 == 0) r[0] = trial % 2 == 0 ? 0.0f : -0.0f;
        const SornPitch::CrossingScan literal = LiteralScan(r);
        for (SornPitch::Isa isa : PitchTest::AvailableIsas()) {
            SornPitch::CrossingScan scan{};
            SornPitch::KernelsFor(isa).scan(r.data(), scan);
            ASSERT_EQ(scan.crossings, literal.crossings) << "trial " << trial << " on " << SornPitch::IsaName(isa);
            ASSERT_EQ(scan.lastCrossing, literal.lastCrossing)
                << "trial " << trial << " on " << SornPitch::IsaName(isa);
            ASSERT_EQ(scan.maximum, literal.maximum) << "trial " << trial << " on " << SornPitch::IsaName(isa);
        }
        const std::int32_t rate = trial % 7 == 0 ? 8000 : 16000;
        const std::int32_t expected = PitchReference::PitchFromAutocorrelation(r.data(), rate);
        ASSERT_EQ(PitchFromAutocorrelation(r.data(), rate), expected) << "trial " << trial;
        for (SornPitch::Isa isa : PitchTest::AvailableIsas())
            ASSERT_EQ(SornPitch::PitchFromAutocorrelationWith(SornPitch::KernelsFor(isa), r.data(), rate), expected)
                << "trial " << trial << " on " << SornPitch::IsaName(isa);
        voiced += expected != 0 ? 1 : 0;
    }
    // The arrays exercise the picker beyond its gate.
    EXPECT_GT(voiced, trials / 10);
}

TEST(PeakPicker, AwkwardValuesNearPeaks) {
    const float values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 0.0f, -0.0f,
                            std::numeric_limits<float>::denorm_min(), 6.0f, 5.5f};
    for (float v : values)
        for (int at : {1, 12, 13, 90, 95, 100, 105, 110, 111, 200, 210, 211, 491, 511}) {
            std::vector<float> r = Shaped({{100, 6.0f}, {200, 6.0f}});
            r[static_cast<std::size_t>(at)] = v;
            Both(r);
        }
}

}  // namespace
