#pragma once
// Shared helpers of the pitch tests.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pitch/PitchPrimitives.h"

namespace PitchTest {

inline std::vector<SornPitch::Isa> AvailableIsas() {
    std::vector<SornPitch::Isa> isas;
    for (SornPitch::Isa isa : SornPitch::kEveryIsa)
        if (SornPitch::IsaAvailable(isa)) isas.push_back(isa);
    return isas;
}

// Same bits, or NaN on both sides.
inline bool SameFloat(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// Index of the first difference, or -1.
inline int FirstDifference(const float* a, const float* b, int count) {
    for (int i = 0; i < count; ++i)
        if (!SameFloat(a[i], b[i])) return i;
    return -1;
}

inline std::string Describe(SornPitch::Isa isa, bool fft) {
    return std::string(SornPitch::IsaName(isa)) + (fft ? "+fft" : "");
}

}  // namespace PitchTest
