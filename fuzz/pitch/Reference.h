#pragma once
// The transcription of tests/pitch/PitchReference.h, behind calls of its own.
#include <cstdint>

namespace pitchfuzz {

void ReferenceExtractPitch(const float* samples, std::int32_t count, std::int16_t sampleRate, float level,
                           std::int16_t* pitch, std::int32_t pitchCount);
std::int32_t ReferencePitchFromAutocorrelation(const float* values, std::int32_t sampleRate);
std::int32_t ReferenceAutoCorr(const float* source, std::int32_t sourceLength, float* destination,
                               std::int32_t destinationLength);
std::int32_t ReferenceDivC(float divisor, float* values, std::int32_t length);

}  // namespace pitchfuzz
