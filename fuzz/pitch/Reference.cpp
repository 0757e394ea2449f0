// The plain transcription, compiled apart without libFuzzer's coverage: its
// quadratic loops would otherwise spend the run in comparison tracing, and
// the coverage that guides the fuzzing is the production tracker's.
#include "fuzz/pitch/Reference.h"

#include "PitchReference.h"

namespace pitchfuzz {

void ReferenceExtractPitch(const float* samples, std::int32_t count, std::int16_t sampleRate, float level,
                           std::int16_t* pitch, std::int32_t pitchCount) {
    PitchReference::ExtractPitch(samples, count, sampleRate, level, pitch, pitchCount);
}

std::int32_t ReferencePitchFromAutocorrelation(const float* values, std::int32_t sampleRate) {
    return PitchReference::PitchFromAutocorrelation(values, sampleRate);
}

std::int32_t ReferenceAutoCorr(const float* source, std::int32_t sourceLength, float* destination,
                               std::int32_t destinationLength) {
    return PitchReference::AutoCorr(source, sourceLength, destination, destinationLength);
}

std::int32_t ReferenceDivC(float divisor, float* values, std::int32_t length) {
    return PitchReference::DivC(divisor, values, length);
}

}  // namespace pitchfuzz
