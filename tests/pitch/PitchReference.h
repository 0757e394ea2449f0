#pragma once
// The pitch tracker written out step by step, scalar and in the plainest
// order: the yardstick the production tracker is held to, bit for bit, by the
// tests and the benchmark. Speed is of no concern here; nothing is clever.
#include <cstdint>
#include <cstdio>

namespace PitchReference {

inline std::int32_t AutoCorr(const float* source, std::int32_t sourceLength, float* destination,
                             std::int32_t destinationLength) {
    if (source == nullptr || destination == nullptr) return -8;
    if (sourceLength <= 0 || destinationLength <= 0) return -6;
    const std::int32_t n = sourceLength;
    const std::int32_t k = n < destinationLength ? n : destinationLength;
    const float inverse = static_cast<float>(1.0 / static_cast<double>(n));
    for (std::int32_t lag = 0; lag < k; ++lag) {
        double sum = 0.0;
        for (std::int32_t i = 0; i <= n - 1 - lag; ++i)
            sum += static_cast<double>(source[i]) * static_cast<double>(source[i + lag]);
        destination[lag] = static_cast<float>(sum) * inverse;
    }
    for (std::int32_t lag = k; lag < destinationLength; ++lag) destination[lag] = 0.0f;
    return 0;
}

inline std::int32_t DivC(float divisor, float* values, std::int32_t length) {
    if (values == nullptr) return -8;
    if (length <= 0) return -6;
    if (divisor == 0.0f) return -10;
    const float reciprocal = static_cast<float>(1.0 / static_cast<double>(divisor));
    for (std::int32_t i = 0; i < length; ++i) values[i] = values[i] * reciprocal;
    return 0;
}

inline std::int32_t PitchOfLag(std::int32_t sampleRate, std::int32_t lag) {
    return static_cast<std::int32_t>(static_cast<float>(static_cast<double>(sampleRate) / lag));
}

inline std::int32_t PitchFromAutocorrelation(const float* R, std::int32_t sampleRate) {
    std::int32_t Z[512] = {};
    std::int32_t P[512] = {};
    std::int16_t A[512] = {};
    std::int16_t B[512] = {};
    std::int32_t D[512] = {};

    // 1. Crossings and maximum.
    Z[0] = 0;
    std::int32_t c = 1;
    float Rmax = 0.0f;
    for (std::int32_t i = 1; i <= 511; ++i) {
        const bool opposite = (R[i - 1] < 0.0f && R[i] > 0.0f) || (R[i - 1] > 0.0f && R[i] < 0.0f);
        if (opposite || R[i] == 0.0f) {
            Z[c] = i;
            ++c;
        }
        if (R[i] > Rmax) Rmax = R[i];
    }
    // 2. Mean spacing, divided by the entry count.
    float S = 0.0f;
    for (std::int32_t j = 1; j <= c - 1; ++j) S += static_cast<float>(Z[j] - Z[j - 1]);
    const float M = static_cast<float>(static_cast<double>(S) / static_cast<double>(c));
    // 3. Voicing gate.
    if (!(static_cast<double>(M) > 5.0 && static_cast<double>(Rmax) > 3.7)) return 0;
    // 4. Peak search.
    std::int32_t n = 0;
    for (std::int32_t i = 20; i <= 491; ++i) {
        bool peak = R[i] > 0.0f;
        for (std::int32_t j = i - 10; j <= i + 10; ++j)
            if (j != i && !(R[i] > R[j])) peak = false;
        if (peak) {
            A[i] = 1;
            P[n] = i;
            ++n;
        } else {
            A[i] = 0;
        }
    }
    // 5. Prominence flags start as the peak flags.
    for (std::int32_t i = 20; i <= 491; ++i) B[i] = A[i];
    std::int32_t q = 0;
    // 6.
    if (n < 2) return 0;
    // 7. Prominence.
    if (static_cast<double>(R[P[1]]) <= static_cast<double>(R[P[0]])) {
        B[P[0]] = 1;
        ++q;
    } else {
        B[P[0]] = 0;
    }
    if (static_cast<double>(R[P[n - 2]]) <= static_cast<double>(R[P[n - 1]])) {
        B[P[n - 1]] = 1;
        ++q;
    } else {
        B[P[n - 1]] = 0;
    }
    for (std::int32_t k = 1; k <= n - 2; ++k) {
        if (static_cast<double>(R[P[k - 1]]) + 0.5 <= static_cast<double>(R[P[k]]) &&
            static_cast<double>(R[P[k + 1]]) + 0.5 <= static_cast<double>(R[P[k]])) {
            B[P[k]] = 1;
            ++q;
        } else {
            B[P[k]] = 0;
        }
    }
    // 8. Partner search.
    static const std::int32_t offsets[13] = {0, -1, -2, -3, -4, -5, -6, 1, 2, 3, 4, 5, 6};
    for (std::int32_t i = 20; i <= 491; ++i) {
        if (i > 253) {
            A[i] = 0;
            D[i] = 0;
        } else if (A[i] == 1) {
            bool found = false;
            for (std::int32_t t = 0; t < 13 && !found; ++t) {
                const std::int32_t candidate = 2 * i + offsets[t];
                if (candidate < 492 && A[candidate] == 1) {
                    D[i] = candidate;
                    found = true;
                }
            }
            if (!found) {
                A[i] = 0;
                D[i] = 0;
            }
        }
    }
    // 9. Exchange sort, highest value first.
    for (std::int32_t k = 0; k <= n - 2; ++k)
        for (std::int32_t j = k + 1; j <= n - 1; ++j)
            if (R[P[j]] > R[P[k]]) {
                const std::int32_t t = P[k];
                P[k] = P[j];
                P[j] = t;
            }
    // 10. Choice.
    for (std::int32_t k = 0; k <= n - 1; ++k) {
        const std::int32_t L = P[k];
        if (A[L] == 1 && B[L] == 1 && B[D[L]] == 1) return PitchOfLag(sampleRate, L);
    }
    // 11. Fallback.
    if (q == 1 && A[P[0]] == 1 && B[P[0]] == 1) return PitchOfLag(sampleRate, P[0]);
    return 0;
}

// The frame driver as written; assumes valid arguments (a positive rate, a
// pitch array of pitchCount slots).
inline void ExtractPitch(const float* samples, std::int32_t count, std::int16_t sampleRate, float level,
                         std::int16_t* pitch, std::int32_t pitchCount) {
    float buffer[512];
    for (float& v : buffer) v = 0.0f;
    const std::int32_t hop = sampleRate / 100;
    const float levelSquared = level * level;
    const std::int32_t limit = count - 1024;
    std::int32_t pos = 0;
    std::int32_t m = 0;
    while (pos < limit && m < pitchCount) {
        if (AutoCorr(samples + pos, 512, buffer, 512) != 0) std::perror(" IPP ERROR! AutoCorr \n ");
        if (DivC(levelSquared, buffer, 512) != 0) std::perror(" IPP ERROR! DivC \n ");
        pitch[m] = static_cast<std::int16_t>(PitchFromAutocorrelation(buffer, sampleRate));
        ++m;
        pos += hop;
    }
    if (m < pitchCount) {
        const std::int16_t fill = pitch[m];
        for (std::int32_t j = m; j < pitchCount; ++j) pitch[j] = fill;
    }
}

}  // namespace PitchReference
