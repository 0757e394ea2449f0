// Lag sums of one window: the vector kernels, written once over 8-lane double
// vectors and compiled for each instruction set the dispatcher may pick.
#include "pitch/WindowKernels.h"

#include <cmath>
#include <cstring>

namespace SornPitch {
namespace {

typedef double v8d __attribute__((vector_size(64)));
typedef float v8f __attribute__((vector_size(32)));
using v8l = decltype(v8d{} != v8d{});  // lane masks of comparisons

#define SORN_INLINE [[gnu::always_inline]] inline

SORN_INLINE v8d Load(const double* p) {
    v8d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
SORN_INLINE void Store(double* p, const v8d& v) { __builtin_memcpy(p, &v, sizeof v); }
SORN_INLINE v8d Splat(double x) { return v8d{x, x, x, x, x, x, x, x}; }
SORN_INLINE v8d Reverse(const v8d& v) { return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0); }
SORN_INLINE bool AnySet(const v8l& mask) {
    auto any = mask[0];
    for (int i = 1; i < 8; ++i) any |= mask[i];
    return any != 0;
}

// e^{-2 pi i j / n} as cos - i sin, for the transform's stages.
struct Twiddles {
    double cos512[512], sin512[512];    // j / 512
    double cos1024[512], sin1024[512];  // j / 1024, for the real-input split
    double firstRe[8][64], firstIm[8][64];  // e^{-2 pi i p k / 512}, k = 0..7, p = 0..63

    Twiddles() {
        const double twoPi = 6.283185307179586476925286766559;
        for (int j = 0; j < 512; ++j) {
            cos512[j] = std::cos(twoPi * j / 512.0);
            sin512[j] = std::sin(twoPi * j / 512.0);
            cos1024[j] = std::cos(twoPi * j / 1024.0);
            sin1024[j] = std::sin(twoPi * j / 1024.0);
        }
        for (int k = 0; k < 8; ++k)
            for (int p = 0; p < 64; ++p) {
                firstRe[k][p] = cos512[(p * k) % 512];
                firstIm[k][p] = -sin512[(p * k) % 512];
            }
    }
};

const Twiddles& GetTwiddles() {
    static const Twiddles twiddles;  // built once, thread-safe
    return twiddles;
}

// ---- loading a window ------------------------------------------------------

SORN_INLINE WindowStats PrepareImpl(const float* window, WindowScratch& scratch) {
    const v8d magic = Splat(0x1.8p52);  // (x + magic) - magic rounds to an integer
    const v8d up15 = Splat(32768.0);
    v8d squares0 = {}, squares1 = {};
    v8l notInteger0 = {}, notInteger15 = {};
    for (int i = 0; i < kWindow; i += 16) {
        v8f fa, fb;
        __builtin_memcpy(&fa, window + i, sizeof fa);
        __builtin_memcpy(&fb, window + i + 8, sizeof fb);
        const v8d a = __builtin_convertvector(fa, v8d);
        const v8d b = __builtin_convertvector(fb, v8d);
        Store(scratch.samples + i, a);
        Store(scratch.samples + i + 8, b);
        squares0 += a * a;
        squares1 += b * b;
        notInteger0 |= (a != (a + magic) - magic) | (b != (b + magic) - magic);
        const v8d a15 = a * up15, b15 = b * up15;
        notInteger15 |= (a15 != (a15 + magic) - magic) | (b15 != (b15 + magic) - magic);
    }
    const v8d squares = squares0 + squares1;
    double sum = 0.0;
    for (int l = 0; l < 8; ++l) sum += squares[l];
    WindowStats stats{sum, -1};
    if (!AnySet(notInteger0))
        stats.scaleExponent = 0;
    else if (!AnySet(notInteger15))
        stats.scaleExponent = 15;
    return stats;
}

// ---- the direct path -------------------------------------------------------

// Lags in lanes: kBlocks vectors of 8 consecutive lags are summed together,
// each lane adding x[i] * x[i + lag] for i = 0, 1, 2, ... in order. Lanes
// whose lag runs past the window add products with the zero padding.
template <int kBlocks>
SORN_INLINE void DirectImpl(const double* x, double* sums) {
    constexpr int kGroup = 8 * kBlocks;
    for (int k0 = 0; k0 < kWindow; k0 += kGroup) {
        v8d acc[kBlocks] = {};
        const int last = kWindow - 1 - k0;
        for (int i = 0; i <= last; ++i) {
            const v8d xi = Splat(x[i]);
            const double* y = x + i + k0;
            for (int b = 0; b < kBlocks; ++b) acc[b] += xi * Load(y + 8 * b);
        }
        for (int b = 0; b < kBlocks; ++b) Store(sums + k0 + 8 * b, acc[b]);
    }
}

// ---- the transform path ----------------------------------------------------

SORN_INLINE void Transpose8(v8d* m) {
    v8d t[8], u[8];
    for (int r = 0; r < 8; r += 2) {
        t[r] = __builtin_shufflevector(m[r], m[r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[r + 1] = __builtin_shufflevector(m[r], m[r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int r = 0; r < 8; r += 4) {
        u[r] = __builtin_shufflevector(t[r], t[r + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[r + 2] = __builtin_shufflevector(t[r], t[r + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        u[r + 1] = __builtin_shufflevector(t[r + 1], t[r + 3], 0, 1, 8, 9, 4, 5, 12, 13);
        u[r + 3] = __builtin_shufflevector(t[r + 1], t[r + 3], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (int r = 0; r < 4; ++r) {
        m[r] = __builtin_shufflevector(u[r], u[r + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        m[r + 4] = __builtin_shufflevector(u[r], u[r + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// First pass of the 512-point transform (Stockham order, decimation in
// frequency): 8-point transforms of x[p + 64 j], j = 0..7, twiddled by
// e^{-2 pi i p k / 512} and stored at y[8 p + k]. Lanes hold 8 values of p
// until the transposition puts k in the lanes.
SORN_INLINE void FirstPass(const double* xr, const double* xi, double* yr, double* yi, const Twiddles& tw) {
    const v8d h = Splat(0.70710678118654752440084436210485);
    for (int p0 = 0; p0 < 64; p0 += 8) {
        v8d ar[8], ai[8];
        for (int j = 0; j < 8; ++j) {
            ar[j] = Load(xr + p0 + 64 * j);
            ai[j] = Load(xi + p0 + 64 * j);
        }
        // Halves: b_j = a_j + a_{j+4}; c_j = (a_j - a_{j+4}) e^{-2 pi i j / 8}.
        v8d br[4], bi[4], cr[4], ci[4];
        for (int j = 0; j < 4; ++j) {
            br[j] = ar[j] + ar[j + 4];
            bi[j] = ai[j] + ai[j + 4];
            cr[j] = ar[j] - ar[j + 4];
            ci[j] = ai[j] - ai[j + 4];
        }
        {
            const v8d r1 = cr[1], i1 = ci[1];
            cr[1] = h * (r1 + i1);
            ci[1] = h * (i1 - r1);
            const v8d r2 = cr[2];
            cr[2] = ci[2];
            ci[2] = -r2;
            const v8d r3 = cr[3], i3 = ci[3];
            cr[3] = h * (i3 - r3);
            ci[3] = -h * (r3 + i3);
        }
        // 4-point transforms of b (even outputs) and c (odd outputs).
        v8d outR[8], outI[8];
        for (int half = 0; half < 2; ++half) {
            const v8d* sr = half == 0 ? br : cr;
            const v8d* si = half == 0 ? bi : ci;
            const v8d er = sr[0] + sr[2], ei = si[0] + si[2];
            const v8d fr = sr[0] - sr[2], fi = si[0] - si[2];
            const v8d gr = sr[1] + sr[3], gi = si[1] + si[3];
            const v8d dr = sr[1] - sr[3], di = si[1] - si[3];
            outR[half + 0] = er + gr;
            outI[half + 0] = ei + gi;
            outR[half + 4] = er - gr;
            outI[half + 4] = ei - gi;
            outR[half + 2] = fr + di;  // f - i d
            outI[half + 2] = fi - dr;
            outR[half + 6] = fr - di;  // f + i d
            outI[half + 6] = fi + dr;
        }
        for (int k = 1; k < 8; ++k) {
            const v8d wr = Load(tw.firstRe[k] + p0), wi = Load(tw.firstIm[k] + p0);
            const v8d r = outR[k], i = outI[k];
            outR[k] = r * wr - i * wi;
            outI[k] = r * wi + i * wr;
        }
        Transpose8(outR);
        Transpose8(outI);
        for (int l = 0; l < 8; ++l) {
            Store(yr + 8 * (p0 + l), outR[l]);
            Store(yi + 8 * (p0 + l), outI[l]);
        }
    }
}

// One radix-2 Stockham pass of length n and stride s (s >= 8): lanes run over
// the stride.
SORN_INLINE void Radix2Pass(int n, int s, const double* xr, const double* xi, double* yr, double* yi,
                            const Twiddles& tw) {
    const int m = n / 2;
    for (int p = 0; p < m; ++p) {
        const v8d c = Splat(tw.cos512[p * s]), sn = Splat(tw.sin512[p * s]);
        for (int q = 0; q < s; q += 8) {
            const v8d ar = Load(xr + q + s * p), ai = Load(xi + q + s * p);
            const v8d br = Load(xr + q + s * (p + m)), bi = Load(xi + q + s * (p + m));
            Store(yr + q + s * 2 * p, ar + br);
            Store(yi + q + s * 2 * p, ai + bi);
            const v8d dr = ar - br, di = ai - bi;
            Store(yr + q + s * (2 * p + 1), dr * c + di * sn);
            Store(yi + q + s * (2 * p + 1), di * c - dr * sn);
        }
    }
}

// Forward 512-point complex transform of (re0, im0), using (re1, im1) as the
// second buffer; the result lands in the pair that outRe/outIm name.
SORN_INLINE void Transform512(double* re0, double* im0, double* re1, double* im1, const Twiddles& tw,
                              double** outRe, double** outIm) {
    FirstPass(re0, im0, re1, im1, tw);
    double *xr = re1, *xi = im1, *yr = re0, *yi = im0;
    for (int s = 8; s < kFftPoints; s *= 2) {
        Radix2Pass(kFftPoints / s, s, xr, xi, yr, yi, tw);
        double* t = xr;
        xr = yr;
        yr = t;
        t = xi;
        xi = yi;
        yi = t;
    }
    *outRe = xr;
    *outIm = xi;
}

// Worst-case error of the transform path, as a multiple of the (integer-scale)
// sum of squares: the 512-point transform has 9 radix-2 levels plus the real
// split, each adding at most about 8.5e-16 in relative 2-norm; the inverse
// transform sees a spectrum whose 2-norm is at most 2 * 1024 * sum of squares
// scaled back by 1/1024 through sqrt(512), which gives about 4.5e-13.
constexpr double kErrorPerEnergy = 5e-13;
constexpr double kErrorLimit = 0.375;     // of one integer step
constexpr double kResidueLimit = 0.0625;  // square of the largest rounding residue accepted (0.25)

SORN_INLINE bool TransformImpl(WindowScratch& s, const WindowStats& stats, double* sums) {
    if (stats.scaleExponent < 0) return false;
    const double scale = stats.scaleExponent == 0 ? 1.0 : 32768.0;
    const double unscale = stats.scaleExponent == 0 ? 1.0 : 0x1p-30;
    const double energy = stats.sumOfSquares * scale * scale * (1.0 + 1e-12);
    if (!(energy * kErrorPerEnergy <= kErrorLimit)) return false;
    const Twiddles& tw = GetTwiddles();

    // z[n] = x[2n] + i x[2n+1]: the 1024 real points (512 of them zero) as
    // 512 complex ones.
    const v8d up = Splat(scale);
    for (int n0 = 0; n0 < kWindow / 2; n0 += 8) {
        const v8d a = Load(s.samples + 2 * n0), b = Load(s.samples + 2 * n0 + 8);
        Store(s.re0 + n0, __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14) * up);
        Store(s.im0 + n0, __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15) * up);
    }
    for (int n0 = kWindow / 2; n0 < kFftPoints; n0 += 8) {
        Store(s.re0 + n0, v8d{});
        Store(s.im0 + n0, v8d{});
    }
    double *zr, *zi;
    Transform512(s.re0, s.im0, s.re1, s.im1, tw, &zr, &zi);
    zr[kFftPoints] = zr[0];
    zi[kFftPoints] = zi[0];

    // Power spectrum of the 1024-point real transform, bins 0..512:
    // X[k] = E + e^{-2 pi i k/1024} O, E = (Z[k] + conj Z[512-k]) / 2,
    // O = (Z[k] - conj Z[512-k]) / 2i.
    const v8d half = Splat(0.5);
    for (int k0 = 0; k0 < kFftPoints; k0 += 8) {
        const v8d kr = Load(zr + k0), ki = Load(zi + k0);
        const v8d rr = Reverse(Load(zr + kFftPoints - 7 - k0)), ri = Reverse(Load(zi + kFftPoints - 7 - k0));
        const v8d er = (kr + rr) * half, ei = (ki - ri) * half;
        const v8d orr = (ki + ri) * half, oi = (rr - kr) * half;
        const v8d c = Load(tw.cos1024 + k0), sn = Load(tw.sin1024 + k0);
        const v8d xr = er + c * orr + sn * oi;
        const v8d xi = ei + c * oi - sn * orr;
        Store(s.power + k0, xr * xr + xi * xi);
    }
    {
        const double x512 = zr[0] - zi[0];
        s.power[kFftPoints] = x512 * x512;
    }

    // Back to lags: w[n] = r[2n] + i r[2n+1] = (1/1024) sum_k V[k] e^{+2 pi i k n/512}
    // with V[k] = (P[k] + P[512-k]) + i e^{2 pi i k/1024} (P[k] - P[512-k]).
    // The inverse runs as a forward transform with real and imaginary parts
    // exchanged on the way in and out.
    double* vr = zr == s.re1 ? s.re0 : s.re1;
    double* vi = zr == s.re1 ? s.im0 : s.im1;
    double* wr = zr == s.re1 ? s.re1 : s.re0;
    double* wi = zr == s.re1 ? s.im1 : s.im0;
    for (int k0 = 0; k0 < kFftPoints; k0 += 8) {
        const v8d pk = Load(s.power + k0), pr = Reverse(Load(s.power + kFftPoints - 7 - k0));
        const v8d a = pk + pr, b = pk - pr;
        const v8d c = Load(tw.cos1024 + k0), sn = Load(tw.sin1024 + k0);
        Store(vi + k0, a - sn * b);  // real part of V, exchanged
        Store(vr + k0, c * b);       // imaginary part of V, exchanged
    }
    double *outR, *outI;
    Transform512(vr, vi, wr, wi, tw, &outR, &outI);

    // r[2n] = outI[n] / 1024, r[2n+1] = outR[n] / 1024; round each to the
    // nearest integer and check how far the transform was from it.
    const v8d magic = Splat(0x1.8p52);
    const v8d down = Splat(0x1p-10);
    const v8d back = Splat(unscale);
    const v8d residueLimit = Splat(kResidueLimit);
    v8l bad = {};
    for (int n0 = 0; n0 < kWindow / 2; n0 += 8) {
        const v8d even = Load(outI + n0) * down, odd = Load(outR + n0) * down;
        const v8d evenRounded = (even + magic) - magic, oddRounded = (odd + magic) - magic;
        const v8d de = even - evenRounded, dd = odd - oddRounded;
        bad |= (de * de > residueLimit) | (dd * dd > residueLimit);
        Store(sums + 2 * n0, __builtin_shufflevector(evenRounded, oddRounded, 0, 8, 1, 9, 2, 10, 3, 11) * back);
        Store(sums + 2 * n0 + 8,
              __builtin_shufflevector(evenRounded, oddRounded, 4, 12, 5, 13, 6, 14, 7, 15) * back);
    }
    return !AnySet(bad);
}

SORN_INLINE void ToValuesImpl(const double* sums, float* values, bool divide, float reciprocal) {
    const float inv = 0x1p-9f;
    const v8f scale = {inv, inv, inv, inv, inv, inv, inv, inv};
    const v8f r = {reciprocal, reciprocal, reciprocal, reciprocal, reciprocal, reciprocal, reciprocal, reciprocal};
    for (int k = 0; k < kWindow; k += 8) {
        v8f f = __builtin_convertvector(Load(sums + k), v8f);
        f = f * scale;
        if (divide) f = f * r;
        __builtin_memcpy(values + k, &f, sizeof f);
    }
}

SORN_INLINE void TransformOnlyImpl(double* re, double* im) {
    alignas(64) double re1[kFftPoints + 8], im1[kFftPoints + 8];
    double *outR, *outI;
    Transform512(re, im, re1, im1, GetTwiddles(), &outR, &outI);
    if (outR != re) {
        std::memcpy(re, outR, sizeof(double) * kFftPoints);
        std::memcpy(im, outI, sizeof(double) * kFftPoints);
    }
}

// One set of entry points per instruction set.
#define SORN_PITCH_KERNELS(Suffix, Target, Blocks)                                                    \
    Target WindowStats Prepare##Suffix(const float* window, WindowScratch& scratch) {                 \
        return PrepareImpl(window, scratch);                                                          \
    }                                                                                                 \
    Target void Direct##Suffix(const WindowScratch& scratch, double* sums) {                          \
        DirectImpl<Blocks>(scratch.samples, sums);                                                    \
    }                                                                                                 \
    Target bool Transform##Suffix(WindowScratch& scratch, const WindowStats& stats, double* sums) {   \
        return TransformImpl(scratch, stats, sums);                                                   \
    }                                                                                                 \
    Target void ToValues##Suffix(const double* sums, float* values, bool divide, float reciprocal) {  \
        ToValuesImpl(sums, values, divide, reciprocal);                                               \
    }                                                                                                 \
    Target void TransformOnly##Suffix(double* re, double* im) { TransformOnlyImpl(re, im); }          \
    const Kernels kKernels##Suffix = {Prepare##Suffix, Direct##Suffix, Transform##Suffix, ToValues##Suffix};

SORN_PITCH_KERNELS(Generic, , 2)
#if defined(__x86_64__)
SORN_PITCH_KERNELS(Avx2, __attribute__((target("avx2,fma"))), 4)
SORN_PITCH_KERNELS(Avx512, __attribute__((target("avx512f"))), 8)
#endif

}  // namespace

const char* IsaName(Isa isa) {
    switch (isa) {
    case Isa::Avx512:
        return "avx512";
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
    switch (isa) {
    case Isa::Avx512:
        return __builtin_cpu_supports("avx512f");
    case Isa::Avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
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
    if (isa == Isa::Avx512 && IsaAvailable(isa)) return kKernelsAvx512;
    if (isa == Isa::Avx2 && IsaAvailable(isa)) return kKernelsAvx2;
#endif
    (void)isa;
    return kKernelsGeneric;
}

void ClearPadding(WindowScratch& scratch) {
    for (int i = kWindow; i < kPaddedWindow; ++i) scratch.samples[i] = 0.0;
}

SumPath WindowSums(const Kernels& kernels, const float* window, WindowScratch& scratch, const WindowStats& stats,
                   bool allowFft, double* sums) {
    if (!std::isfinite(stats.sumOfSquares)) {
        // Infinities or NaN: the plain loop, in its own order.
        for (int lag = 0; lag < kWindow; ++lag) {
            double sum = 0.0;
            for (int i = 0; i <= kWindow - 1 - lag; ++i)
                sum += static_cast<double>(window[i]) * static_cast<double>(window[i + lag]);
            sums[lag] = sum;
        }
        return SumPath::Literal;
    }
    if (allowFft && stats.scaleExponent >= 0 && kernels.transform(scratch, stats, sums)) return SumPath::Fft;
    kernels.direct(scratch, sums);
    return SumPath::Direct;
}

void ComplexTransformForTest(Isa isa, double* re, double* im) {
#if defined(__x86_64__)
    if (isa == Isa::Avx512 && IsaAvailable(isa)) return TransformOnlyAvx512(re, im);
    if (isa == Isa::Avx2 && IsaAvailable(isa)) return TransformOnlyAvx2(re, im);
#endif
    (void)isa;
    TransformOnlyGeneric(re, im);
}

}  // namespace SornPitch
