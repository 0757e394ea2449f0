#pragma once
// Lag sums of one 512-sample window on the widest vector unit the processor
// has. Every path yields, for each lag k, exactly the double that summing
// x[i]*x[i+k] for ascending i gives:
//  - the direct path keeps lags in vector lanes and adds the products of each
//    lag in ascending order (a float times a float is exact in double, so a
//    fused multiply-add rounds exactly as the plain sum does; the zero
//    padding beyond the window adds +0, which leaves such a sum unchanged);
//  - the transform path applies to windows whose samples are integers, or
//    integers times 2^-15: every sum is then an integer of that scale, the
//    double-precision transform lands within a proven bound below 1/2 of it,
//    and rounding recovers it exactly. Windows beyond the bound, or whose
//    rounding residue looks wrong, fall back to the direct path.
// Non-finite windows take the plain scalar loop (padding products would turn
// infinities into NaN otherwise).
#include <cstdint>

namespace SornPitch {

constexpr int kWindow = 512;
constexpr int kPaddedWindow = kWindow + 64;  // room for the widest lag group
constexpr int kFftPoints = 512;              // complex points of the 1024-point real transform

// Avx512OnAvx2 is the AVX-512 kernels' code (eight double lanes) compiled
// for AVX2: never picked to run, it lets a machine without AVX-512 check that
// code against the others.
enum class Isa { Generic, Avx2, Avx512, Avx512OnAvx2 };
inline constexpr Isa kEveryIsa[] = {Isa::Generic, Isa::Avx2, Isa::Avx512, Isa::Avx512OnAvx2};
enum class SumPath { Literal, Direct, Fft };

const char* IsaName(Isa isa);
bool IsaAvailable(Isa isa);
Isa BestIsa();  // decided once per process

// Working memory of one window, kept on the caller's stack. The transform's
// arrays lie 4608 bytes apart: at 4160 a load one vector past a store to the
// next array matched it in the low 12 address bits, which the processor
// takes for a dependence and waits on.
constexpr int kFftArray = kFftPoints + 64;
struct alignas(64) WindowScratch {
    double samples[kPaddedWindow];  // the window as doubles, then zeros (the direct path)
    double re0[kFftArray], im0[kFftArray];
    double re1[kFftArray], im1[kFftArray];
};

struct WindowStats {
    double sumOfSquares;  // any summation order; not finite when a sample is not
    int scaleExponent;    // samples * 2^scaleExponent are integers (0 or 15); -1: neither
};

// The crossing count (the leading entry included), the last crossing lag and
// the largest of 0 and values[1..511].
struct CrossingScan {
    std::int32_t crossings;
    std::int32_t lastCrossing;
    float maximum;
};

struct Kernels {
    // The window's sum of squares and scale; places its even and odd samples
    // (as doubles) in scratch.re0 and scratch.im0, where the transform takes
    // them.
    WindowStats (*prepare)(const float* window, WindowScratch& scratch);
    // Loads the window into scratch.samples (the padding must already be 0)
    // and sums every lag there.
    void (*direct)(const float* window, WindowScratch& scratch, double* sums);
    // After prepare: the window's values, as toValues gives them from its
    // lag sums. False (values left undefined) when the window is outside
    // the transform's proven bound.
    bool (*transform)(WindowScratch& scratch, const WindowStats& stats, bool divide, float reciprocal, float* values);
    // values[k] = float(sums[k]) * 2^-9, then, when divide is set, * reciprocal.
    void (*toValues)(const double* sums, float* values, bool divide, float reciprocal);
    void (*scan)(const float* values, CrossingScan& out);
    // The peak lags of the peak picker as bits: lag i is bit i % 64 of
    // bits[i / 64], bits[0..8] (the ninth word stays 0, for reads up to 2 x 256).
    void (*peaks)(const float* values, std::uint64_t* bits);
};

const Kernels& KernelsFor(Isa isa);

// Zeroes the padding of scratch.samples; once per scratch.
void ClearPadding(WindowScratch& scratch);

// The values of a window prepared into scratch: its lag sums, as toValues
// scales them (divide, reciprocal).
SumPath WindowValues(const Kernels& kernels, const float* window, WindowScratch& scratch, const WindowStats& stats,
                     bool allowFft, bool divide, float reciprocal, float* values);

// Test seam: the 512-point complex transform alone (forward, unscaled),
// in place on split real and imaginary arrays of 520 doubles.
void ComplexTransformForTest(Isa isa, double* re, double* im);

}  // namespace SornPitch
