#pragma once
// The numeric primitives and the peak picker behind ExtractPitch. Internal to
// the module; tests reach them by linking the sorn_pitch part.
#include <cstdint>

#include "pitch/WindowKernels.h"

namespace SornPitch {

// Status codes of the primitives.
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kStatusBadSize = -6;
constexpr std::int32_t kStatusNullPointer = -8;
constexpr std::int32_t kStatusDivideByZero = -10;

// Biased autocorrelation: destination[k] = (1/N) * sum_{i=0}^{N-1-k}
// source[i]*source[i+k] for k below min(N, destinationLength), with
// N = sourceLength; the sum is taken in double in ascending i, stored as a
// float and multiplied by the float 1/N. Later slots are set to 0.
// -8: a null pointer, -6: a length of 0 or less (nothing written).
std::int32_t AutoCorr(const float* source, std::int32_t sourceLength, float* destination,
                      std::int32_t destinationLength);

// values[0 .. length-1] *= float(1/divisor). -10 for a zero divisor, -8 for a
// null pointer, -6 for a length of 0 or less (nothing changed).
std::int32_t DivC(float divisor, float* values, std::int32_t length);

// The pitch of one window from its 512 scaled autocorrelation values: the
// sample rate over the accepted lag (20 to 248), or 0.
std::int32_t PitchFromAutocorrelation(const float* values, std::int32_t sampleRate);
// The same with the scan and peak kernels of a chosen instruction set.
std::int32_t PitchFromAutocorrelationWith(const Kernels& kernels, const float* values, std::int32_t sampleRate);

// ExtractPitch on a chosen instruction set, with or without the transform
// path. Every combination yields the same values.
void ExtractPitchWith(Isa isa, bool allowFft, const float* samples, std::int32_t count,
                      std::int16_t sampleRate, float level, std::int16_t* pitch, std::int32_t pitchCount);

// The kernels are built without sanitizer instrumentation; under
// AddressSanitizer the callers read both ends of each window themselves, so a
// misplaced window is still reported.
inline void CheckWindowBounds(const float* window) {
#if defined(__SANITIZE_ADDRESS__)
    volatile float ends = window[0] + window[kWindow - 1];
    (void)ends;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    volatile float ends = window[0] + window[kWindow - 1];
    (void)ends;
#else
    (void)window;
#endif
#else
    (void)window;
#endif
}

// AutoCorr(window, 512, values, 512) on a chosen instruction set; returns the
// path that produced the sums.
SumPath AutoCorrWindow(Isa isa, bool allowFft, const float* window, float* values);

}  // namespace SornPitch
