#pragma once
// WAV files for the sorn host: what a file holds (any RIFF/WAVE encoding,
// described from its chunks), and the 16-bit PCM samples of a file as the
// module's codec (registered under "wav") reads them, which is what play and
// pitch work on. Every failure comes back as one line that says what is wrong
// with the file; nothing here prints.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/LargeBuffer.h"

class ICodec;

namespace sorn::cli {

// What the chunks of a RIFF/WAVE file say.
struct WavDescription {
    bool described = false;          // DescribeWav filled this record
    std::uint16_t formatTag = 0;     // as written in the format chunk (0xFFFE: extensible)
    std::uint16_t encodingTag = 0;   // extensible: the sub-format's tag; else formatTag
    bool extensible = false;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;   // container bits per sample
    std::uint16_t validBits = 0;       // extensible: valid bits; else bitsPerSample
    std::uint64_t dataBytes = 0;       // bytes of the data chunk present in the file
    std::uint64_t frames = 0;          // dataBytes / blockAlign (compressed: the fact chunk's count)
    bool truncated = false;            // the data chunk declares more than the file holds
    bool formatFirst = true;           // the format chunk is the first chunk (offset 12)
    bool dataByScan = false;  // the chunk chain is broken: the data chunk was found by its id

    double DurationSeconds() const { return sampleRate ? static_cast<double>(frames) / sampleRate : 0.0; }
    // 16-bit integer PCM, plain or extensible: what play and pitch take.
    bool IsPcm16() const;
    // "16-bit PCM", "24-bit PCM", "8-bit PCM (unsigned)", "32-bit float",
    // "A-law", "mu-law", "IMA ADPCM", "format 0x0055", ...
    std::string EncodingName() const;
};

// Reads the chunks of path. False with one line in why that names the file
// and says what is wrong: the OS error text when it cannot be opened, what is
// missing or inconsistent when it is not a usable RIFF/WAVE file. Every line
// this file's functions give starts with the path; the host adds "sorn: ".
bool DescribeWav(const std::string& path, WavDescription& out, std::string& why);

// Empty for a 16-bit PCM file; otherwise the one line that refuses it and
// names the sox command that converts it, e.g.
// "in.wav is 24-bit PCM; sorn reads 16-bit PCM WAV only: convert it with
//  sox in.wav -b 16 -e signed-integer in-16bit.wav".
std::string RefusalOf(const std::string& path, const WavDescription& description);

// "format: 16-bit PCM (tag 0x0001)\nchannels: 1\n..." and the same as one
// JSON object. Both end with a newline.
std::string InfoText(const std::string& path, const WavDescription& description);
std::string InfoJson(const std::string& path, const WavDescription& description);

// A 16-bit PCM clip: interleaved samples.
struct Pcm16Clip {
    LargeVector<std::int16_t> samples;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// The codec registered under "wav" in the core's registry, or null.
ICodec* RegisteredWavCodec();

// A 16-bit PCM file read from start to end in parts, so that a long file
// never needs a buffer of its own size. Open refuses what ReadPcm16 refuses,
// with the same lines; Read hands over the data chunk's whole frames in
// order. Every line it gives starts with the path.
class Pcm16Reader {
public:
    Pcm16Reader();
    ~Pcm16Reader();
    Pcm16Reader(const Pcm16Reader&) = delete;
    Pcm16Reader& operator=(const Pcm16Reader&) = delete;

    // One open and one walk of the chunks. description (when not null)
    // receives what the walk found whenever it succeeded.
    bool Open(const std::string& path, std::string& why, WavDescription* description = nullptr);
    // The next frames, at most maxFrames of them (channels samples each,
    // interleaved), into target: how many were read, 0 at the end, -1 with
    // one line in why when the file cannot be read or became shorter.
    long long Read(std::int16_t* target, std::uint64_t maxFrames, std::string& why);

    const std::string& Path() const { return path_; }
    std::uint16_t Channels() const { return channels_; }
    std::uint32_t SampleRate() const { return sampleRate_; }
    std::uint64_t Frames() const { return frames_; }

private:
    class Source;
    std::unique_ptr<Source> file_;
    std::string path_;
    std::uint64_t dataOffset_ = 0;
    std::uint64_t frames_ = 0;
    std::uint64_t framesRead_ = 0;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t channels_ = 0;
};

// Describes path, refuses anything but 16-bit PCM (RefusalOf) and what the
// module's codec would not read, then reads the data chunk's whole frames:
// one open, one walk of the chunks (riff/WavChunks.h, the codec's own), one
// read of the samples. False with one line in why when the file is refused
// or cannot be read; description (when not null) receives what the walk
// found whenever it succeeded. Shares nothing between calls: threads may read
// files at once.
bool ReadPcm16(const std::string& path, Pcm16Clip& out, std::string& why, WavDescription* description = nullptr);

}  // namespace sorn::cli
