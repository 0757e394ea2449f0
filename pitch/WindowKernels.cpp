// Lag sums of one window: the vector kernels, written once and compiled for
// each instruction set the dispatcher may pick.
#include "pitch/WindowKernels.h"

#include <cmath>
#include <cstring>
#include <utility>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace SornPitch {
namespace {

typedef double v8d __attribute__((vector_size(64)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));
typedef float v16f __attribute__((vector_size(64)));
typedef float v8f __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));
typedef float v2f __attribute__((vector_size(8)));

// e^{-2 pi i j / n} as cos - i sin, for the transform's stages.
struct Twiddles {
    double cos64[64], sin64[64];  // j / 64, for the second pass
    double cos1024[512], sin1024[512];  // j / 1024, for the real-input split
    double firstRe[8][64], firstIm[8][64];  // e^{-2 pi i p k / 512}, k = 0..7, p = 0..63

    Twiddles() {
        const double twoPi = 6.283185307179586476925286766559;
        for (int j = 0; j < 64; ++j) {
            cos64[j] = std::cos(twoPi * j / 64.0);
            sin64[j] = std::sin(twoPi * j / 64.0);
        }
        for (int j = 0; j < 512; ++j) {
            cos1024[j] = std::cos(twoPi * j / 1024.0);
            sin1024[j] = std::sin(twoPi * j / 1024.0);
        }
        for (int k = 0; k < 8; ++k)
            for (int p = 0; p < 64; ++p) {
                firstRe[k][p] = std::cos(twoPi * ((p * k) % 512) / 512.0);
                firstIm[k][p] = -std::sin(twoPi * ((p * k) % 512) / 512.0);
            }
    }
};

const Twiddles& GetTwiddles() {
    static const Twiddles twiddles;  // built once, thread-safe
    return twiddles;
}

// Worst-case error of the transform path, as a multiple of the (integer-scale)
// sum of squares E: the 512-point transform has nine levels of butterflies
// (three radix-8 passes of three levels each, with the products by
// e^{-2 pi i j / 8} inside a pass and the twiddles between passes) plus the
// real split, each adding at most about 8.5e-16 in relative 2-norm (rounding
// and twiddle error, some four units of double rounding per level); the
// inverse transform sees a spectrum of 2-norm at most 2 * 1024 * E, scaled by
// sqrt(512) / 1024 on the way back, which gives about 4.5e-13 * E for the
// largest error of any lag. Full-scale 16-bit windows (E <= 2^39) stay below
// 0.3 of an integer step; in practice the error is some 1000 times smaller,
// and the summed squared rounding residues are checked as well.
constexpr double kErrorPerEnergy = 5e-13;
constexpr double kErrorLimit = 0.375;     // of one integer step
constexpr double kResidueLimit = 0.0625;  // bound on the summed squares of all rounding residues

#define SORN_KERNEL [[gnu::always_inline]] inline SORN_TARGET_ATTRIBUTE

namespace generic {
#define SORN_TARGET_ATTRIBUTE
#define SORN_DOUBLE_LANES 2
#define SORN_DIRECT_BLOCKS 8
#define SORN_FLOAT_LANES v4f
#include "pitch/WindowKernelsImpl.inc"
#undef SORN_TARGET_ATTRIBUTE
#undef SORN_DIRECT_BLOCKS
#undef SORN_DOUBLE_LANES
#undef SORN_FLOAT_LANES
}  // namespace generic

#if defined(__x86_64__)
namespace avx2 {
#define SORN_TARGET_ATTRIBUTE __attribute__((target("avx2,fma")))
#define SORN_DOUBLE_LANES 4
#define SORN_DIRECT_BLOCKS 8
#define SORN_FLOAT_LANES v8f
#include "pitch/WindowKernelsImpl.inc"
#undef SORN_TARGET_ATTRIBUTE
#undef SORN_DIRECT_BLOCKS
#undef SORN_DOUBLE_LANES
#undef SORN_FLOAT_LANES
}  // namespace avx2

namespace avx512 {
#define SORN_TARGET_ATTRIBUTE __attribute__((target("avx512f")))
#define SORN_AVX512_INSTRUCTIONS 1
#define SORN_DOUBLE_LANES 8
#define SORN_DIRECT_BLOCKS 8
#define SORN_FLOAT_LANES v16f
#include "pitch/WindowKernelsImpl.inc"
#undef SORN_TARGET_ATTRIBUTE
#undef SORN_AVX512_INSTRUCTIONS
#undef SORN_DIRECT_BLOCKS
#undef SORN_DOUBLE_LANES
#undef SORN_FLOAT_LANES
}  // namespace avx512

// The same eight-lane code on AVX2 (each vector in two registers).
namespace avx512_on_avx2 {
#define SORN_TARGET_ATTRIBUTE __attribute__((target("avx2,fma")))
#define SORN_DOUBLE_LANES 8
#define SORN_DIRECT_BLOCKS 8
#define SORN_FLOAT_LANES v16f
#include "pitch/WindowKernelsImpl.inc"
#undef SORN_TARGET_ATTRIBUTE
#undef SORN_DIRECT_BLOCKS
#undef SORN_DOUBLE_LANES
#undef SORN_FLOAT_LANES
}  // namespace avx512_on_avx2
#endif

}  // namespace

const char* IsaName(Isa isa) {
    switch (isa) {
    case Isa::Avx512:
        return "avx512";
    case Isa::Avx512OnAvx2:
        return "avx512-on-avx2";
    case Isa::Avx2:
        return "avx2";
    case Isa::Generic:
        break;
    }
#if defined(__x86_64__)
    return "sse2";
#else
    return "generic";
#endif
}

bool IsaAvailable(Isa isa) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    // Code built for AVX2 or AVX-512 may also use POPCNT, which the compiler
    // takes those sets to include.
    const bool popcnt = __builtin_cpu_supports("popcnt");
    switch (isa) {
    case Isa::Avx512:
        return __builtin_cpu_supports("avx512f") && popcnt;
    case Isa::Avx2:
    case Isa::Avx512OnAvx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && popcnt;
    case Isa::Generic:
        return true;
    }
    return false;
#else
    return isa == Isa::Generic;
#endif
}

Isa BestIsa() {
    static const Isa best = [] {
        if (IsaAvailable(Isa::Avx512)) return Isa::Avx512;
        if (IsaAvailable(Isa::Avx2)) return Isa::Avx2;
        return Isa::Generic;
    }();
    return best;
}

const Kernels& KernelsFor(Isa isa) {
#if defined(__x86_64__)
    if (isa == Isa::Avx512 && IsaAvailable(isa)) return avx512::kKernels;
    if (isa == Isa::Avx2 && IsaAvailable(isa)) return avx2::kKernels;
    if (isa == Isa::Avx512OnAvx2 && IsaAvailable(isa)) return avx512_on_avx2::kKernels;
#endif
    (void)isa;
    return generic::kKernels;
}

void ClearPadding(WindowScratch& scratch) {
    for (int i = kWindow; i < kPaddedWindow; ++i) scratch.samples[i] = 0.0;
}

SumPath WindowValues(const Kernels& kernels, const float* window, WindowScratch& scratch, const WindowStats& stats,
                     bool allowFft, bool divide, float reciprocal, float* values) {
    alignas(64) double sums[kWindow];
    SumPath path = SumPath::Direct;
    if (!std::isfinite(stats.sumOfSquares)) {
        // Infinities or NaN: the plain loop, in its own order.
        for (int lag = 0; lag < kWindow; ++lag) {
            double sum = 0.0;
            for (int i = 0; i <= kWindow - 1 - lag; ++i)
                sum += static_cast<double>(window[i]) * static_cast<double>(window[i + lag]);
            sums[lag] = sum;
        }
        path = SumPath::Literal;
    } else if (allowFft && stats.scaleExponent >= 0 && kernels.transform(scratch, stats, divide, reciprocal, values)) {
        return SumPath::Fft;
    } else {
        kernels.direct(window, scratch, sums);
    }
    kernels.toValues(sums, values, divide, reciprocal);
    return path;
}

void ComplexTransformForTest(Isa isa, double* re, double* im) {
#if defined(__x86_64__)
    if (isa == Isa::Avx512 && IsaAvailable(isa)) return avx512::TransformOnly(re, im);
    if (isa == Isa::Avx2 && IsaAvailable(isa)) return avx2::TransformOnly(re, im);
    if (isa == Isa::Avx512OnAvx2 && IsaAvailable(isa)) return avx512_on_avx2::TransformOnly(re, im);
#endif
    (void)isa;
    generic::TransformOnly(re, im);
}

}  // namespace SornPitch
