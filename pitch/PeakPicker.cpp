// The peak picker: one pitch from the scaled autocorrelation of one window.
#include <cstdint>

#include "pitch/PitchPrimitives.h"

namespace SornPitch {
namespace {

constexpr int kLags = 512;
constexpr int kLastPartneredLag = 253;
constexpr double kMinMeanSpacing = 5.0;
constexpr double kMinMaximum = 3.7;
constexpr double kProminence = 0.5;
constexpr int kMaxPeaks = 64;  // peaks lie at least 11 lags apart: at most 43

std::int32_t PitchOfLag(std::int32_t sampleRate, std::int32_t lag) {
    return static_cast<std::int32_t>(static_cast<float>(static_cast<double>(sampleRate) / lag));
}

// The 64 bits of the lag bitmap from lag `from` on (from + 63 <= 575).
std::uint64_t BitsFrom(const std::uint64_t* bits, int from) {
    const int word = from >> 6, offset = from & 63;
    return offset == 0 ? bits[word] : (bits[word] >> offset) | (bits[word + 1] << (64 - offset));
}

// The partner of a lag of at most 253: the first peak among 2L, 2L-1..2L-6,
// 2L+1..2L+6 (lags of 492 or more are no peaks, and have no bit), or 0.
// That is the highest peak lag in 2L-6..2L, else the lowest in 2L+1..2L+6.
std::int32_t PartnerOf(const std::uint64_t* bits, std::int32_t lag) {
    const std::int32_t from = 2 * lag - 6;
    const std::uint64_t near = BitsFrom(bits, from);
    const std::uint64_t below = near & 0x7f;  // 2L-6..2L
    const std::uint64_t above = (near >> 7) & 0x3f;  // 2L+1..2L+6
    if (below != 0) return from + 63 - __builtin_clzll(below);
    if (above != 0) return from + 7 + __builtin_ctzll(above);
    return 0;
}

}  // namespace

// Flags are kept per peak (index into the ascending peak list) rather than
// per lag: every flag that can be 1 belongs to a peak.
std::int32_t PitchFromAutocorrelationWith(const Kernels& kernels, const float* R, std::int32_t sampleRate) {
    // Crossings and maximum. The crossing lags matter only through their
    // count c (the leading 0 included) and the sum of their spacings, which
    // in single precision is exactly the last crossing lag (integers < 2^24).
    CrossingScan scan;
    kernels.scan(R, scan);
    const float spacing =
        static_cast<float>(static_cast<double>(static_cast<float>(scan.lastCrossing)) / scan.crossings);
    if (!(static_cast<double>(spacing) > kMinMeanSpacing && static_cast<double>(scan.maximum) > kMinMaximum))
        return 0;

    // Peaks, ascending, with their values (in double: the prominence margin
    // is added in double; comparing the doubles orders as the floats do).
    std::uint64_t bits[kLags / 64 + 1];
    kernels.peaks(R, bits);
    std::int32_t P[kMaxPeaks];
    double V[kMaxPeaks];
    std::int32_t n = 0;
    for (int w = 0; w < kLags / 64; ++w)
        for (std::uint64_t word = bits[w]; word != 0; word &= word - 1, ++n) {
            P[n] = 64 * w + __builtin_ctzll(word);
            V[n] = static_cast<double>(R[P[n]]);
        }
    if (n < 2) return 0;

    // Prominence: the ends against their one neighbour, inner peaks by a
    // margin of 0.5 against both; also as lag bits, for the partners.
    std::uint8_t prominent[kMaxPeaks];
    prominent[0] = V[1] <= V[0] ? 1 : 0;
    prominent[n - 1] = V[n - 2] <= V[n - 1] ? 1 : 0;
    for (std::int32_t k = 1; k <= n - 2; ++k)
        prominent[k] = (V[k - 1] + kProminence <= V[k] && V[k + 1] + kProminence <= V[k]) ? 1 : 0;
    std::int32_t q = 0;
    std::uint64_t prominentBits[kLags / 64 + 1] = {};
    for (std::int32_t k = 0; k < n; ++k) {
        q += prominent[k];
        prominentBits[P[k] >> 6] |= std::uint64_t{prominent[k]} << (P[k] & 63);
    }
    // The partner of peak k (lags above 253 never keep one), or 0.
    const auto partnerOf = [&](std::int32_t k) { return P[k] <= kLastPartneredLag ? PartnerOf(bits, P[k]) : 0; };

    // The peaks that qualify: prominent, with a partner that is prominent
    // too (only a prominent peak's partner is looked for).
    std::uint8_t qualifies[kMaxPeaks];
    std::int32_t count = 0;
    for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t partner = prominent[k] == 1 ? partnerOf(k) : 0;
        qualifies[k] = partner != 0 && ((prominentBits[partner >> 6] >> (partner & 63)) & 1) != 0 ? 1 : 0;
        count += qualifies[k];
    }

    // The answer is the first qualifying peak once the peaks are sorted by
    // value, highest first, by an exchange sort that never exchanges equal
    // values with each other directly. Whatever that order of equal values,
    // it puts a qualifying peak of the highest qualifying value first when
    // it is the only one of that value; only a tie needs the sort itself.
    if (count > 0) {
        std::int32_t best = -1, ties = 0;
        for (std::int32_t k = 0; k < n; ++k) {
            if (qualifies[k] == 0) continue;
            if (best < 0 || V[k] > V[best]) {
                best = k;
                ties = 1;
            } else if (V[k] == V[best]) {
                ++ties;
            }
        }
        if (ties == 1) return PitchOfLag(sampleRate, P[best]);
        std::uint8_t order[kMaxPeaks];
        for (std::int32_t k = 0; k < n; ++k) order[k] = static_cast<std::uint8_t>(k);
        for (std::int32_t k = 0; k <= n - 2; ++k) {
            for (std::int32_t j = k + 1; j <= n - 1; ++j)
                if (V[order[j]] > V[order[k]]) {
                    const std::uint8_t t = order[k];
                    order[k] = order[j];
                    order[j] = t;
                }
            if (qualifies[order[k]] == 1) return PitchOfLag(sampleRate, P[order[k]]);
        }
        return PitchOfLag(sampleRate, P[order[n - 1]]);  // the last one left qualifies
    }

    // No peak qualified: the highest peak, when it is the only prominent one
    // and has a partner. The sort's first pass puts first the earliest peak
    // of the highest value.
    if (q != 1) return 0;
    std::int32_t top = 0;
    for (std::int32_t k = 1; k < n; ++k)
        if (V[k] > V[top]) top = k;
    return prominent[top] == 1 && partnerOf(top) != 0 ? PitchOfLag(sampleRate, P[top]) : 0;
}

std::int32_t PitchFromAutocorrelation(const float* R, std::int32_t sampleRate) {
    return PitchFromAutocorrelationWith(KernelsFor(BestIsa()), R, sampleRate);
}

}  // namespace SornPitch
