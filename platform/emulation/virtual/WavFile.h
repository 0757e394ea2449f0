#pragma once
// The little WAV handling the virtual device needs: read a 16-bit PCM file
// whole, and append samples to a file whose header is kept up to date.
#include <cstdint>
#include <cstdio>
#include <vector>

namespace sorn::audio::virtualdev {

struct WavData {
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0;
    std::vector<std::int16_t> samples;  // interleaved
};

// False when the file is missing, not RIFF/WAVE, not 16-bit PCM or cut short.
bool ReadWav(const char* path, WavData* result);

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    // Takes over the other's file (closing its own first); the other is
    // left closed.
    WavWriter(WavWriter&& other) noexcept;
    WavWriter& operator=(WavWriter&& other) noexcept;

    // Creates (truncates) the file with an empty data chunk.
    bool Open(const char* path);
    bool IsOpen() const { return file != nullptr; }
    // The format is fixed by the first call; later samples are appended as
    // they are. The header's sizes are rewritten after every append.
    void Append(const std::int16_t* samples, std::size_t count, std::uint32_t sampleRate, std::uint16_t channels);
    void Close();

private:
    void WriteHeader();

    std::FILE* file = nullptr;
    std::uint32_t sampleRate = 16000;
    std::uint16_t channels = 1;
    bool formatFixed = false;
    std::uint32_t dataBytes = 0;
};

}  // namespace sorn::audio::virtualdev
