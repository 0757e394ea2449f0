// AutoCorr and DivC, the two numeric primitives of the pitch tracker.
#include <cstdint>

#include "pitch/PitchPrimitives.h"

namespace SornPitch {

std::int32_t AutoCorr(const float* source, std::int32_t sourceLength, float* destination,
                      std::int32_t destinationLength) {
    if (source == nullptr || destination == nullptr) return kStatusNullPointer;
    if (sourceLength <= 0 || destinationLength <= 0) return kStatusBadSize;
    if (sourceLength == kWindow && destinationLength >= kWindow) {
        AutoCorrWindow(BestIsa(), true, source, destination);
        for (std::int32_t k = kWindow; k < destinationLength; ++k) destination[k] = 0.0f;
        return kStatusOk;
    }
    const std::int32_t n = sourceLength;
    const std::int32_t lags = n < destinationLength ? n : destinationLength;
    const float inverse = static_cast<float>(1.0 / static_cast<double>(n));
    for (std::int32_t lag = 0; lag < lags; ++lag) {
        double sum = 0.0;
        for (std::int32_t i = 0; i < n - lag; ++i)
            sum += static_cast<double>(source[i]) * static_cast<double>(source[i + lag]);
        destination[lag] = static_cast<float>(sum) * inverse;
    }
    for (std::int32_t k = lags; k < destinationLength; ++k) destination[k] = 0.0f;
    return kStatusOk;
}

std::int32_t DivC(float divisor, float* values, std::int32_t length) {
    if (values == nullptr) return kStatusNullPointer;
    if (length <= 0) return kStatusBadSize;
    if (divisor == 0.0f) return kStatusDivideByZero;
    const float reciprocal = static_cast<float>(1.0 / static_cast<double>(divisor));
    for (std::int32_t i = 0; i < length; ++i) values[i] = values[i] * reciprocal;
    return kStatusOk;
}

SumPath AutoCorrWindow(Isa isa, bool allowFft, const float* window, float* values) {
    CheckWindowBounds(window);
    WindowScratch scratch;
    ClearPadding(scratch);
    const Kernels& kernels = KernelsFor(isa);
    const WindowStats stats = kernels.prepare(window, scratch);
    return WindowValues(kernels, window, scratch, stats, allowFft, false, 1.0f, values);
}

}  // namespace SornPitch
