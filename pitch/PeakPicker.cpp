// The peak picker: one pitch from the scaled autocorrelation of one window.
#include <cstdint>

#include "pitch/PitchPrimitives.h"

namespace SornPitch {
namespace {

constexpr int kLags = 512;
constexpr int kLastPeakLag = 491;
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

}  // namespace

// Flags are kept per peak (index into the ascending peak list) rather than
// per lag: every flag that can be 1 belongs to a peak.
std::int32_t PitchFromAutocorrelation(const float* R, std::int32_t sampleRate) {
    const Kernels& kernels = KernelsFor(BestIsa());

    // Crossings and maximum. The crossing lags matter only through their
    // count c (the leading 0 included) and the sum of their spacings, which
    // in single precision is exactly the last crossing lag (integers < 2^24).
    CrossingScan scan;
    kernels.scan(R, scan);
    const float spacing =
        static_cast<float>(static_cast<double>(static_cast<float>(scan.lastCrossing)) / scan.crossings);
    if (!(static_cast<double>(spacing) > kMinMeanSpacing && static_cast<double>(scan.maximum) > kMinMaximum))
        return 0;

    // Peaks, ascending.
    std::int32_t P[kMaxPeaks];
    const std::int32_t n = kernels.peaks(R, P);
    if (n < 2) return 0;
    std::uint64_t isPeak[kLags / 64] = {};
    std::uint8_t indexOf[kLags];  // read only at peak lags
    for (std::int32_t k = 0; k < n; ++k) {
        isPeak[P[k] >> 6] |= std::uint64_t{1} << (P[k] & 63);
        indexOf[P[k]] = static_cast<std::uint8_t>(k);
    }

    // Prominence: the ends against their one neighbour, inner peaks by a
    // margin of 0.5 against both.
    std::uint8_t prominent[kMaxPeaks];
    const auto value = [R, &P](std::int32_t k) { return static_cast<double>(R[P[k]]); };
    prominent[0] = value(1) <= value(0) ? 1 : 0;
    prominent[n - 1] = value(n - 2) <= value(n - 1) ? 1 : 0;
    for (std::int32_t k = 1; k <= n - 2; ++k)
        prominent[k] = (value(k - 1) + kProminence <= value(k) && value(k + 1) + kProminence <= value(k)) ? 1 : 0;
    std::int32_t q = 0;
    for (std::int32_t k = 0; k < n; ++k) q += prominent[k];

    // Partners: the first peak among 2L, 2L-1..2L-6, 2L+1..2L+6 (lags of 492
    // or more are no peaks); lags above 253 never keep one.
    std::uint8_t partnered[kMaxPeaks];
    std::uint8_t partner[kMaxPeaks];
    for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t lag = P[k];
        partnered[k] = 0;
        partner[k] = 0;
        if (lag > kLastPartneredLag) continue;
        for (int offset : kPartnerOffsets) {
            const std::int32_t candidate = 2 * lag + offset;
            if (candidate <= kLastPeakLag && ((isPeak[candidate >> 6] >> (candidate & 63)) & 1) != 0) {
                partnered[k] = 1;
                partner[k] = indexOf[candidate];
                break;
            }
        }
    }

    // Exchange sort by value, highest first; equal values are never exchanged
    // with each other directly. The order of peak indices sorts as the lags
    // would.
    std::uint8_t order[kMaxPeaks];
    for (std::int32_t k = 0; k < n; ++k) order[k] = static_cast<std::uint8_t>(k);
    for (std::int32_t k = 0; k <= n - 2; ++k)
        for (std::int32_t j = k + 1; j <= n - 1; ++j)
            if (R[P[order[j]]] > R[P[order[k]]]) {
                const std::uint8_t t = order[k];
                order[k] = order[j];
                order[j] = t;
            }

    for (std::int32_t k = 0; k < n; ++k) {
        const std::uint8_t t = order[k];
        if (partnered[t] == 1 && prominent[t] == 1 && prominent[partner[t]] == 1) return PitchOfLag(sampleRate, P[t]);
    }
    if (q == 1 && partnered[order[0]] == 1 && prominent[order[0]] == 1) return PitchOfLag(sampleRate, P[order[0]]);
    return 0;
}

}  // namespace SornPitch
