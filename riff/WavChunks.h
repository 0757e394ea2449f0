#pragma once
// The chunk chain of a RIFF/WAVE file, walked in one place for every reader
// of WAV files: the module's codec, the sorn host and the virtual device's
// file input. Plain C++ on a byte source: no core or platform types.
//
// A RIFF/WAVE file is "RIFF", a 32-bit size, "WAVE", then chunks: a 4-byte
// id, a 32-bit little-endian size, that many bytes, and a pad byte when the
// size is odd. The walk takes the first "fmt " and the first "data" chunk. An
// id or a text inside a chunk ("data" named by a cue point, "raw data here"
// in LIST/INFO) is never taken for a chunk.
//
// Files whose chain is broken (a chunk that runs past the end of the file,
// an id that is not text, a header cut short) are still read as the codec
// always read them: the data chunk is then the first "data" found by a byte
// scan from offset 36, where after each "d" the next three bytes are
// consumed whether or not they are "ata".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sorn::riff {

inline std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Format tags of the "fmt " chunk.
inline constexpr std::uint16_t kTagPcm = 0x0001;
inline constexpr std::uint16_t kTagAdpcm = 0x0002;
inline constexpr std::uint16_t kTagFloat = 0x0003;
inline constexpr std::uint16_t kTagALaw = 0x0006;
inline constexpr std::uint16_t kTagMuLaw = 0x0007;
inline constexpr std::uint16_t kTagImaAdpcm = 0x0011;
inline constexpr std::uint16_t kTagGsm = 0x0031;
inline constexpr std::uint16_t kTagMp3 = 0x0055;
inline constexpr std::uint16_t kTagExtensible = 0xFFFE;

// The bytes of one file.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The file's length when it was opened.
    virtual std::uint64_t Length() const = 0;
    // Reads up to `bytes` bytes at `offset`: how many came (fewer only at the
    // end of the file), or -1 when a read fails.
    virtual long long Read(std::uint64_t offset, void* target, std::size_t bytes) = 0;
};

// A ByteSource on an open stream (not owned), of the given length.
class StreamSource : public ByteSource {
public:
    StreamSource(std::FILE* file, std::uint64_t length) : file_(file), length_(length) {}
    std::uint64_t Length() const override { return length_; }
    long long Read(std::uint64_t offset, void* target, std::size_t bytes) override;

private:
    std::FILE* file_;
    std::uint64_t length_;
};

// What the "fmt " chunk says (its first 16 bytes, and the extensible form's
// valid bits and sub-format when the chunk holds them).
struct WavFormat {
    std::uint16_t formatTag = 0;  // as written (0xFFFE: extensible)
    std::uint16_t encodingTag = 0;  // extensible: the sub-format's tag; else formatTag
    bool extensible = false;
    bool subFormatNamed = true;  // false: an extensible chunk too short to name its sub-format
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t bytesPerSecond = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;  // container bits per sample
    std::uint16_t validBits = 0;  // extensible: valid bits; else bitsPerSample

    // 16-bit integer samples, plain or extensible.
    bool IsPcm16() const { return subFormatNamed && encodingTag == kTagPcm && bitsPerSample == 16; }
    // "16-bit PCM", "24-bit PCM", "8-bit PCM (unsigned)", "32-bit float",
    // "A-law", "mu-law", "IMA ADPCM", "format 0x0055", ...
    std::string EncodingName() const;
};

struct WavLayout {
    bool riffWave = false;  // "RIFF" size "WAVE"
    bool formatFirst = false;  // the "fmt " chunk is the first chunk (offset 12)
    bool haveFormat = false;
    std::uint64_t formatOffset = 0;  // of the "fmt " chunk's id
    std::uint32_t formatSize = 0;  // as declared
    std::size_t formatBytes = 0;  // of it in the file, up to 40 (16 at least unless the file ends)
    WavFormat format;
    bool haveData = false;
    bool dataByScan = false;  // found by the byte scan of a broken chain
    std::uint64_t dataOffset = 0;  // of the first sample byte (the file's length when none is there)
    std::uint32_t dataDeclared = 0;  // the data chunk's size (0 when the file ends within it)
    std::uint64_t dataPresent = 0;  // min(declared, bytes after dataOffset)
    bool chainBroken = false;
    std::int64_t factFrames = -1;  // the fact chunk's count, when one comes before the walk ends

    bool Truncated() const { return dataPresent < dataDeclared; }
};

// Walks the chain of source until it has the first "fmt " and the first
// "data" chunk, or the chain ends. When it ends without a data chunk because
// it is broken, and the format chunk is the first chunk, the byte scan looks
// for the data chunk. False only when a read fails; otherwise `out` says what
// was found (riffWave false: not a RIFF/WAVE file, nothing else is filled).
bool ReadLayout(ByteSource& source, WavLayout& out);

}  // namespace sorn::riff
