#pragma once
// Little-endian fields and the canonical 44-byte header of a 16-bit PCM WAV
// file (RIFF, a 16-byte "fmt " chunk, then "data"), for every part that
// writes such files: the core, the virtual device and the sorn host.
#include <cstdint>
#include <cstring>

#include "riff/WavChunks.h"

namespace sorn::wav {

// The size of the canonical header; the samples follow it.
constexpr std::uint32_t kHeaderBytes = 44;
// The format tag of integer PCM in a "fmt " chunk.
constexpr std::uint16_t kFormatPcm = 1;

using riff::Le16;
using riff::Le32;

inline void PutLe16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void PutLe32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Fills `header` for `dataBytes` bytes of interleaved 16-bit samples.
inline void WritePcm16Header(unsigned char (&header)[kHeaderBytes], std::uint32_t sampleRate, std::uint16_t channels,
                             std::uint32_t dataBytes) {
    const auto blockAlign = static_cast<std::uint16_t>(channels * 2u);
    std::memcpy(header, "RIFF", 4);
    PutLe32(header + 4, kHeaderBytes - 8 + dataBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    PutLe32(header + 16, 16);
    PutLe16(header + 20, kFormatPcm);
    PutLe16(header + 22, channels);
    PutLe32(header + 24, sampleRate);
    PutLe32(header + 28, sampleRate * blockAlign);
    PutLe16(header + 32, blockAlign);
    PutLe16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    PutLe32(header + 40, dataBytes);
}

}  // namespace sorn::wav
