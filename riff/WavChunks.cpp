#include "riff/WavChunks.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace sorn::riff {

namespace {

// A chunk id is four characters of text (space included).
bool IsId(const unsigned char* id) {
    return std::all_of(id, id + 4, [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
}

std::string Hex4(std::uint16_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "0x0000";
    for (int i = 0; i < 4; ++i) text[5 - i] = kHex[(value >> (4 * i)) & 15];
    return text;
}

// The fields of a format chunk; `bytes` of it (up to 40) are in fmt, the
// rest zero.
WavFormat ParseFormat(const unsigned char* fmt, std::size_t bytes) {
    WavFormat f;
    f.formatTag = Le16(fmt);
    f.channels = Le16(fmt + 2);
    f.sampleRate = Le32(fmt + 4);
    f.bytesPerSecond = Le32(fmt + 8);
    f.blockAlign = Le16(fmt + 12);
    f.bitsPerSample = Le16(fmt + 14);
    f.encodingTag = f.formatTag;
    f.validBits = f.bitsPerSample;
    if (f.formatTag == kTagExtensible) {
        f.extensible = true;
        f.subFormatNamed = bytes >= 40 && Le16(fmt + 16) >= 22;
        if (f.subFormatNamed) {
            f.validBits = Le16(fmt + 18);
            f.encodingTag = Le16(fmt + 24);  // the first two bytes of the sub-format GUID
        }
    }
    return f;
}

// Reads the source forward one byte at a time, a block at a time underneath.
class ByteReader {
public:
    ByteReader(ByteSource& source, std::uint64_t from) : source_(source), next_(from) {}
    // The next byte, -1 at the end, -2 on a read error.
    int Next() {
        if (at_ == held_) {
            const long long got = source_.Read(next_, block_, sizeof block_);
            if (got < 0) return -2;
            if (got == 0) return -1;
            next_ += static_cast<std::uint64_t>(got);
            held_ = static_cast<std::size_t>(got);
            at_ = 0;
        }
        return block_[at_++];
    }
    // The offset of the byte Next() gives next.
    std::uint64_t Offset() const { return next_ - (held_ - at_); }

private:
    ByteSource& source_;
    std::uint64_t next_;
    unsigned char block_[16384];
    std::size_t held_ = 0, at_ = 0;
};

// The byte scan for a broken chain. False on a read error.
bool ScanForData(ByteSource& source, WavLayout& out) {
    constexpr std::uint64_t kScanStart = 36;
    const std::uint64_t length = source.Length();
    if (length < kScanStart) return true;
    ByteReader reader(source, kScanStart);
    int c = 0;
    while ((c = reader.Next()) >= 0) {
        if (c != 'd') continue;
        unsigned char rest[3];
        for (unsigned char& r : rest) {
            const int next = reader.Next();
            if (next == -2) return false;
            if (next < 0) return true;  // the file ends within the id
            r = static_cast<unsigned char>(next);
        }
        if (std::memcmp(rest, "ata", 3) != 0) continue;
        // A file that ends within the data size holds an empty data chunk.
        const std::uint64_t sizeAt = reader.Offset();
        unsigned char size[4];
        const long long got = source.Read(sizeAt, size, sizeof size);
        if (got < 0) return false;
        out.haveData = true;
        out.dataByScan = true;
        out.dataDeclared = got == 4 ? Le32(size) : 0;
        out.dataOffset = std::min(sizeAt + 4, length);
        out.dataPresent = std::min<std::uint64_t>(out.dataDeclared, length - out.dataOffset);
        return true;
    }
    return c != -2;
}

}  // namespace

long long StreamSource::Read(std::uint64_t offset, void* target, std::size_t bytes) {
    // fseek takes a long, which is 32 bits on some systems: far offsets are
    // reached in steps.
    constexpr std::uint64_t kStep = 1u << 30;
    if (std::fseek(file_, static_cast<long>(std::min(offset, kStep)), SEEK_SET) != 0) return -1;
    for (std::uint64_t at = std::min(offset, kStep); at < offset;) {
        const std::uint64_t step = std::min(offset - at, kStep);
        if (std::fseek(file_, static_cast<long>(step), SEEK_CUR) != 0) return -1;
        at += step;
    }
    const std::size_t got = std::fread(target, 1, bytes, file_);
    if (std::ferror(file_)) return -1;
    return static_cast<long long>(got);
}

std::string WavFormat::EncodingName() const {
    if (!subFormatNamed) return "extensible format without a sub-format";
    switch (encodingTag) {
        case kTagPcm:
            if (bitsPerSample == 8) return "8-bit PCM (unsigned)";
            if (validBits != bitsPerSample && validBits != 0)
                return std::to_string(validBits) + "-bit PCM in " + std::to_string(bitsPerSample) + "-bit containers";
            return std::to_string(bitsPerSample) + "-bit PCM";
        case kTagFloat:
            return std::to_string(bitsPerSample) + "-bit float";
        case kTagALaw:
            return "A-law";
        case kTagMuLaw:
            return "mu-law";
        case kTagAdpcm:
            return "Microsoft ADPCM";
        case kTagImaAdpcm:
            return "IMA ADPCM";
        case kTagGsm:
            return "GSM 6.10";
        case kTagMp3:
            return "MPEG layer 3";
        default:
            return "format " + Hex4(encodingTag);
    }
}

bool ReadLayout(ByteSource& source, WavLayout& out) {
    out = WavLayout{};
    const std::uint64_t length = source.Length();
    unsigned char head[12];
    long long got = source.Read(0, head, sizeof head);
    if (got < 0) return false;
    if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return true;
    out.riffWave = true;

    // The chain ends at the end of the file; a last chunk of odd size whose
    // pad byte is missing ends it too.
    for (std::uint64_t offset = 12; offset < length && !(out.haveFormat && out.haveData);) {
        unsigned char chunk[8];
        got = source.Read(offset, chunk, sizeof chunk);
        if (got < 0) return false;
        if (got < 8 || !IsId(chunk)) {
            out.chainBroken = true;
            break;
        }
        const std::uint32_t size = Le32(chunk + 4);
        const std::uint64_t body = offset + 8;
        const bool isData = std::memcmp(chunk, "data", 4) == 0;
        const bool isFormat = std::memcmp(chunk, "fmt ", 4) == 0 && !out.haveFormat;
        if (isFormat) {
            // At least the 16 bytes of the basic fields are read, whatever
            // the size says, as the codec always read them.
            unsigned char fmt[40] = {};
            got = source.Read(body, fmt, std::clamp<std::size_t>(size, 16, sizeof fmt));
            if (got < 0) return false;
            out.haveFormat = true;
            out.formatFirst = offset == 12;
            out.formatOffset = offset;
            out.formatSize = size;
            out.formatBytes = static_cast<std::size_t>(got);
            out.format = ParseFormat(fmt, std::min<std::size_t>(static_cast<std::size_t>(got), size));
        }
        // A data chunk may declare more than the file holds (a file still
        // being written, or cut short); any other chunk may not.
        if (!isData && body + size > length) {
            out.chainBroken = true;
            break;
        }
        if (std::memcmp(chunk, "fact", 4) == 0 && size >= 4 && out.factFrames < 0) {
            unsigned char count[4];
            got = source.Read(body, count, sizeof count);
            if (got < 0) return false;
            if (got == 4) out.factFrames = Le32(count);
        } else if (isData && !out.haveData) {
            out.haveData = true;
            out.dataOffset = body;
            out.dataDeclared = size;
            out.dataPresent = std::min<std::uint64_t>(size, length - body);
        }
        offset = body + size + (size & 1u);
    }
    if (!out.haveData && out.chainBroken && out.formatFirst) return ScanForData(source, out);
    return true;
}

}  // namespace sorn::riff
