// The peak picker: one pitch from the scaled autocorrelation of one window.
#include <cstdint>
#include <cstring>

#include "pitch/PitchPrimitives.h"

namespace SornPitch {
namespace {

constexpr int kLags = 512;
constexpr int kFirstPeakLag = 20;
constexpr int kLastPeakLag = 491;
constexpr int kNeighbourhood = 10;
constexpr int kLastPartneredLag = 253;
constexpr double kMinMeanSpacing = 5.0;
constexpr double kMinMaximum = 3.7;
constexpr double kProminence = 0.5;
constexpr int kMaxPeaks = 64;  // peaks lie at least 11 lags apart: at most 43

// Partner candidates around twice a lag, in the order they are tried.
constexpr int kPartnerOffsets[13] = {0, -1, -2, -3, -4, -5, -6, 1, 2, 3, 4, 5, 6};

std::int32_t PitchOfLag(std::int32_t sampleRate, std::int32_t lag) {
    return static_cast<std::int32_t>(static_cast<float>(static_cast<double>(sampleRate) / lag));
}

// R[i] > 0 and R[i] exceeds every other value within 10 lags (false for NaN
// anywhere in that neighbourhood).
bool IsPeak(const float* R, int i) {
    const float v = R[i];
    if (!(v > 0.0f) || !(v > R[i - 1]) || !(v > R[i + 1])) return false;
    for (int j = i - kNeighbourhood; j <= i + kNeighbourhood; ++j)
        if (j != i && !(v > R[j])) return false;
    return true;
}

}  // namespace

std::int32_t PitchFromAutocorrelation(const float* R, std::int32_t sampleRate) {
    // Crossings and maximum. The crossing lags matter only through their
    // count c (the leading 0 included) and the sum of their spacings, which
    // in single precision is exactly the last crossing lag (integers < 2^24).
    std::int32_t c = 1;
    std::int32_t lastCrossing = 0;
    float rmax = 0.0f;
    for (int i = 1; i < kLags; ++i) {
        const float a = R[i - 1], b = R[i];
        const bool crossing = (a < 0.0f && b > 0.0f) || (a > 0.0f && b < 0.0f) || b == 0.0f;
        c += crossing ? 1 : 0;
        lastCrossing = crossing ? i : lastCrossing;
        rmax = b > rmax ? b : rmax;
    }
    const float spacing = static_cast<float>(static_cast<double>(static_cast<float>(lastCrossing)) / c);
    if (!(static_cast<double>(spacing) > kMinMeanSpacing && static_cast<double>(rmax) > kMinMaximum)) return 0;

    // Peaks, ascending. A peak's next 10 lags cannot be peaks.
    std::int32_t P[kMaxPeaks];
    std::int32_t n = 0;
    std::uint8_t A[kLags + 8];  // peak flags, later: peak with a partner
    std::uint8_t B[kLags + 8];  // prominence flags
    std::int16_t D[kLags];      // partner lags, valid where A is set after the partner search
    std::memset(A, 0, sizeof A);
    std::memset(B, 0, sizeof B);
    for (int i = kFirstPeakLag; i <= kLastPeakLag; ++i) {
        if (!IsPeak(R, i)) continue;
        A[i] = 1;
        P[n++] = i;
        i += kNeighbourhood;
    }
    for (std::int32_t k = 0; k < n; ++k) B[P[k]] = 1;
    std::int32_t q = 0;
    if (n < 2) return 0;

    // Prominence: the ends against their one neighbour, inner peaks by a
    // margin of 0.5 against both.
    const auto value = [R, &P](std::int32_t k) { return static_cast<double>(R[P[k]]); };
    B[P[0]] = value(1) <= value(0) ? 1 : 0;
    q += B[P[0]];
    B[P[n - 1]] = value(n - 2) <= value(n - 1) ? 1 : 0;
    q += B[P[n - 1]];
    for (std::int32_t k = 1; k <= n - 2; ++k) {
        B[P[k]] = (value(k - 1) + kProminence <= value(k) && value(k + 1) + kProminence <= value(k)) ? 1 : 0;
        q += B[P[k]];
    }

    // Partners near twice the lag, ascending, so every candidate (always above
    // the lag) still carries its peak flag; candidates of 492 or more are no
    // peaks. Lags above 253 lose their flag.
    for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t lag = P[k];
        if (lag > kLastPartneredLag) {
            A[lag] = 0;
            continue;
        }
        std::int32_t partner = 0;
        for (int offset : kPartnerOffsets) {
            const std::int32_t candidate = 2 * lag + offset;
            if (candidate <= kLastPeakLag && A[candidate] == 1) {
                partner = candidate;
                break;
            }
        }
        if (partner == 0) A[lag] = 0;
        D[lag] = static_cast<std::int16_t>(partner);
    }

    // Exchange sort by value, highest first; equal values are never exchanged
    // with each other directly.
    for (std::int32_t k = 0; k <= n - 2; ++k)
        for (std::int32_t j = k + 1; j <= n - 1; ++j)
            if (R[P[j]] > R[P[k]]) {
                const std::int32_t t = P[k];
                P[k] = P[j];
                P[j] = t;
            }

    for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t lag = P[k];
        if (A[lag] == 1 && B[lag] == 1 && B[D[lag]] == 1) return PitchOfLag(sampleRate, lag);
    }
    if (q == 1 && A[P[0]] == 1 && B[P[0]] == 1) return PitchOfLag(sampleRate, P[0]);
    return 0;
}

}  // namespace SornPitch
