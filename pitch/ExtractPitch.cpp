// The pitch frame driver: 512-sample windows every 10 ms, autocorrelation
// divided by the squared level, one pitch per window.
#include "pitch/ExtractPitch.h"

#include <cfloat>
#include <cstdint>
#include <cstdio>

#include "pitch/PitchPrimitives.h"

namespace SornPitch {
namespace {

constexpr std::int32_t kEndMargin = 1024;
const char* const kAutoCorrError = " IPP ERROR! AutoCorr \n ";
const char* const kDivCError = " IPP ERROR! DivC \n ";

// True when no lag of the window can exceed the voicing gate's 3.7 once
// scaled, so the window's pitch is 0 without computing it. sumOfSquares, in
// whatever order it was summed, lies within 511 * 2^-53 (relative) of the
// exact lag-0 sum, and every lag's sum as the tracker forms it lies within
// as much of a value no larger than that exact sum (Cauchy-Schwarz); so
// sumOfSquares * (1 + 1e-12) bounds every lag's double sum. Rounding to
// float and multiplying by 2^-9 and by a non-negative reciprocal are
// monotonic, so the bound carried through the same steps bounds every scaled
// value. NaN and infinities never take this shortcut.
bool CannotPassGate(double sumOfSquares, bool divide, float reciprocal) {
    const double bound = sumOfSquares * (1.0 + 1e-12);
    if (!(bound <= DBL_MAX)) return false;
    float scaled = static_cast<float>(bound) * 0x1p-9f;
    if (divide) scaled = scaled * reciprocal;
    return static_cast<double>(scaled) <= 3.7;
}

}  // namespace

void ExtractPitchWith(Isa isa, bool allowFft, const float* samples, std::int32_t count, std::int16_t sampleRate,
                      float level, std::int16_t* pitch, std::int32_t pitchCount) {
    if (pitch == nullptr || pitchCount <= 0) return;
    alignas(64) float buffer[kWindow] = {};
    const std::int32_t hop = sampleRate / 100;
    const float levelSquared = level * level;
    const bool divide = levelSquared != 0.0f;
    const float reciprocal = divide ? static_cast<float>(1.0 / static_cast<double>(levelSquared)) : 1.0f;
    // In 64 bits: count - 1024 must not wrap for counts near the 32-bit
    // minimum. A rate of 0 or less would move windows backwards or nowhere:
    // it analyses none.
    const std::int64_t limit = sampleRate > 0 ? std::int64_t{count} - kEndMargin : 0;
    const Kernels& kernels = KernelsFor(isa);
    WindowScratch scratch;
    ClearPadding(scratch);

    std::int64_t pos = 0;
    std::int32_t m = 0;
    while (pos < limit && m < pitchCount) {
        std::int32_t result = 0;
        if (samples == nullptr) {
            // AutoCorr refuses; the buffer keeps what it had.
            std::perror(kAutoCorrError);
            if (DivC(levelSquared, buffer, kWindow) != kStatusOk) std::perror(kDivCError);
            result = PitchFromAutocorrelationWith(kernels, buffer, sampleRate);
        } else {
            const float* window = samples + pos;
            CheckWindowBounds(window);
            const WindowStats stats = kernels.prepare(window, scratch);
            if (!divide) std::perror(kDivCError);
            if (!CannotPassGate(stats.sumOfSquares, divide, reciprocal)) {
                WindowValues(kernels, window, scratch, stats, allowFft, divide, reciprocal, buffer);
                result = PitchFromAutocorrelationWith(kernels, buffer, sampleRate);
            }
        }
        pitch[m] = static_cast<std::int16_t>(result);
        ++m;
        pos += hop;
    }
    if (m < pitchCount) {
        const std::int16_t fill = pitch[m];
        for (std::int32_t j = m; j < pitchCount; ++j) pitch[j] = fill;
    }
}

}  // namespace SornPitch

void ExtractPitch(const float* samples, std::int32_t count, std::int16_t sampleRate, float level, std::int16_t* pitch,
                  std::int32_t pitchCount) {
    SornPitch::ExtractPitchWith(SornPitch::BestIsa(), true, samples, count, sampleRate, level, pitch, pitchCount);
}
