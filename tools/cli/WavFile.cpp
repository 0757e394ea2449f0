#include "tools/cli/WavFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core_contract/Codec.h"
#include "core_contract/SornDataSys.h"
#include "tools/cli/TextBuffer.h"

namespace sorn::cli {

namespace {

constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagAdpcm = 0x0002;
constexpr std::uint16_t kTagFloat = 0x0003;
constexpr std::uint16_t kTagALaw = 0x0006;
constexpr std::uint16_t kTagMuLaw = 0x0007;
constexpr std::uint16_t kTagImaAdpcm = 0x0011;
constexpr std::uint16_t kTagGsm = 0x0031;
constexpr std::uint16_t kTagMp3 = 0x0055;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A read-only descriptor of a regular file, closed on every path.
class File {
public:
    explicit File(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            error_ = std::string("cannot be read: ") + std::strerror(errno);
            return;
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0) {
            error_ = std::string("cannot be read: ") + std::strerror(errno);
        } else if (S_ISDIR(info.st_mode)) {
            error_ = "is a directory, not a WAV file";
        } else if (!S_ISREG(info.st_mode)) {
            error_ = "is not a regular file (a device or a pipe), not a WAV file";
        } else {
            length_ = static_cast<std::uint64_t>(info.st_size);
            return;
        }
        ::close(fd_);
        fd_ = -1;
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Why the file is not open ("cannot be read: <OS error text>", "is a
    // directory, ..."), or why the last read failed.
    const std::string& Error() const { return error_; }
    std::uint64_t Length() const { return length_; }

    // Reads bytes at offset; false (with the OS error text) unless all came.
    bool ReadAt(std::uint64_t offset, void* target, std::size_t bytes) {
        auto* p = static_cast<unsigned char*>(target);
        while (bytes > 0) {
            const ssize_t got = ::pread(fd_, p, bytes, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error_ = std::string("cannot be read: ") + (got < 0 ? std::strerror(errno) : "it ends early");
                return false;
            }
            p += got;
            offset += static_cast<std::uint64_t>(got);
            bytes -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_ = -1;
    std::uint64_t length_ = 0;
    std::string error_;
};

std::string Hex4(std::uint16_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "0x0000";
    for (int i = 0; i < 4; ++i) text[5 - i] = kHex[(value >> (4 * i)) & 15];
    return text;
}

// Printable form of a four-byte id for an error line.
std::string IdText(const unsigned char* id) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = id[i];
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return text;
}

bool Fail(std::string& why, const std::string& path, const std::string& reason) {
    why = path + ": " + reason;
    return false;
}

// The fields of a format chunk (at least 16 bytes, up to 40 read).
bool ReadFormat(const unsigned char* fmt, std::uint32_t size, WavDescription& d, std::string& reason) {
    d.formatTag = Le16(fmt);
    d.channels = Le16(fmt + 2);
    d.sampleRate = Le32(fmt + 4);
    d.blockAlign = Le16(fmt + 12);
    d.bitsPerSample = Le16(fmt + 14);
    d.encodingTag = d.formatTag;
    d.validBits = d.bitsPerSample;
    if (d.formatTag == kTagExtensible) {
        d.extensible = true;
        if (size < 40 || Le16(fmt + 16) < 22) {
            reason = "has an extensible format chunk too short to name its sub-format";
            return false;
        }
        d.validBits = Le16(fmt + 18);
        d.encodingTag = Le16(fmt + 24);  // the first two bytes of the sub-format GUID
    }
    if (d.channels == 0) {
        reason = "declares 0 channels";
        return false;
    }
    if (d.sampleRate == 0) {
        reason = "declares a sample rate of 0 Hz";
        return false;
    }
    if (d.blockAlign == 0) {
        reason = "declares a block align of 0 bytes";
        return false;
    }
    if (d.encodingTag == kTagPcm || d.encodingTag == kTagFloat) {
        const unsigned expected = d.channels * ((d.bitsPerSample + 7u) / 8u);
        if (d.bitsPerSample == 0 || d.blockAlign != expected) {
            reason = "declares a block align of " + std::to_string(d.blockAlign) + " bytes, which does not fit " +
                     std::to_string(d.channels) + " channel(s) of " + std::to_string(d.bitsPerSample) + " bits";
            return false;
        }
    }
    return true;
}

// Encodings with one block of blockAlign bytes per frame.
bool IsLinear(std::uint16_t tag) { return tag == kTagPcm || tag == kTagFloat || tag == kTagALaw || tag == kTagMuLaw; }

}  // namespace

bool WavDescription::IsPcm16() const {
    return encodingTag == kTagPcm && bitsPerSample == 16 && blockAlign == channels * 2u;
}

std::string WavDescription::EncodingName() const {
    switch (encodingTag) {
        case kTagPcm:
            if (bitsPerSample == 8) return "8-bit PCM (unsigned)";
            if (validBits != bitsPerSample && validBits != 0)
                return std::to_string(validBits) + "-bit PCM in " + std::to_string(bitsPerSample) + "-bit containers";
            return std::to_string(bitsPerSample) + "-bit PCM";
        case kTagFloat: return std::to_string(bitsPerSample) + "-bit float";
        case kTagALaw: return "A-law";
        case kTagMuLaw: return "mu-law";
        case kTagAdpcm: return "Microsoft ADPCM";
        case kTagImaAdpcm: return "IMA ADPCM";
        case kTagGsm: return "GSM 6.10";
        case kTagMp3: return "MPEG layer 3";
        default: return "format " + Hex4(encodingTag);
    }
}

bool DescribeWav(const std::string& path, WavDescription& out, std::string& why) {
    File file(path);
    if (!file.IsOpen()) return Fail(why, path, file.Error());
    const std::uint64_t length = file.Length();
    if (length == 0) return Fail(why, path, "is empty (0 bytes)");
    if (length < 12) return Fail(why, path, "is too short for a WAV file (" + std::to_string(length) + " bytes)");

    unsigned char head[12];
    if (!file.ReadAt(0, head, sizeof head)) return Fail(why, path, file.Error());
    if (std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0)
        return Fail(why, path, "is an RF64 file (64-bit sizes), which sorn does not read");
    if (std::memcmp(head, "RIFX", 4) == 0)
        return Fail(why, path, "is a big-endian RIFX file, which sorn does not read");
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return Fail(why, path, "is not a RIFF/WAVE file (it starts with \"" + IdText(head) + "\")");

    WavDescription d;
    bool haveFormat = false, haveData = false;
    std::int64_t factFrames = -1;  // the fact chunk's frame count, when there is one
    std::uint64_t offset = 12;
    // Chunks are word-aligned: an odd-sized chunk is followed by a pad byte.
    while (offset + 8 <= length && !(haveFormat && haveData)) {
        unsigned char chunk[8];
        if (!file.ReadAt(offset, chunk, sizeof chunk)) return Fail(why, path, file.Error());
        const std::uint32_t size = Le32(chunk + 4);
        const std::uint64_t body = offset + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFormat) {
            if (size < 16)
                return Fail(why, path, "has a format chunk of " + std::to_string(size) + " bytes (16 at least)");
            unsigned char fmt[40] = {};
            const std::size_t want = std::min<std::uint64_t>({size, sizeof fmt, length - std::min(length, body)});
            if (want < 16 || !file.ReadAt(body, fmt, want)) return Fail(why, path, "ends inside its format chunk");
            std::string reason;
            if (!ReadFormat(fmt, static_cast<std::uint32_t>(want), d, reason)) return Fail(why, path, reason);
            d.formatFirst = offset == 12;
            haveFormat = true;
        } else if (std::memcmp(chunk, "fact", 4) == 0 && size >= 4) {
            unsigned char count[4];
            if (file.ReadAt(body, count, sizeof count)) factFrames = Le32(count);
        } else if (std::memcmp(chunk, "data", 4) == 0 && !haveData) {
            const std::uint64_t present = std::min<std::uint64_t>(size, length - body);
            d.dataBytes = present;
            d.truncated = present < size;
            haveData = true;
        }
        offset = body + size + (size & 1u);
    }
    if (!haveFormat) return Fail(why, path, "has no format chunk (\"fmt \")");
    if (!haveData) return Fail(why, path, "has no data chunk");
    d.frames = d.dataBytes / d.blockAlign;
    // Compressed data (ADPCM, GSM, ...) has blocks of many frames; its frame
    // count is in the fact chunk.
    if (!IsLinear(d.encodingTag) && factFrames >= 0) d.frames = static_cast<std::uint64_t>(factFrames);
    d.described = true;
    out = d;
    return true;
}

std::string RefusalOf(const std::string& path, const WavDescription& d) {
    if (d.IsPcm16()) return {};
    const std::filesystem::path p(path);
    const std::string converted = (p.parent_path() / (p.stem().string() + "-16bit.wav")).string();
    return path + " is " + d.EncodingName() + (d.extensible ? " (extensible)" : "") +
           "; sorn reads 16-bit PCM WAV only: convert it with sox " + path + " -b 16 -e signed-integer " + converted;
}

std::string InfoText(const std::string& path, const WavDescription& d) {
    TextBuffer out;
    out.Put("file: ").Put(path).Put('\n');
    out.Put("format: ").Put(d.EncodingName()).Put(" (tag ").Put(Hex4(d.formatTag));
    if (d.extensible) out.Put(", sub-format ").Put(Hex4(d.encodingTag));
    out.Put(")\n");
    out.Put("bits: ").Int(d.bitsPerSample);
    if (d.validBits != d.bitsPerSample) out.Put(" (").Int(d.validBits).Put(" valid)");
    out.Put('\n');
    out.Put("channels: ").Int(d.channels).Put('\n');
    out.Put("rate: ").Int(d.sampleRate).Put(" Hz\n");
    out.Put("frames: ").Int(static_cast<long long>(d.frames)).Put('\n');
    out.Put("duration: ").Fixed(d.DurationSeconds(), 3).Put(" s\n");
    if (d.truncated) out.Put("note: the data chunk declares more bytes than the file holds\n");
    return out.Take();
}

std::string InfoJson(const std::string& path, const WavDescription& d) {
    TextBuffer out;
    out.Put("{\"file\":").JsonString(path);
    out.Put(",\"format\":").JsonString(d.EncodingName());
    out.Put(",\"format_tag\":").Int(d.formatTag);
    out.Put(",\"extensible\":").Put(d.extensible ? "true" : "false");
    out.Put(",\"sub_format_tag\":").Int(d.encodingTag);
    out.Put(",\"bits\":").Int(d.bitsPerSample);
    out.Put(",\"valid_bits\":").Int(d.validBits);
    out.Put(",\"channels\":").Int(d.channels);
    out.Put(",\"rate\":").Int(d.sampleRate);
    out.Put(",\"block_align\":").Int(d.blockAlign);
    out.Put(",\"frames\":").Int(static_cast<long long>(d.frames));
    out.Put(",\"duration_s\":").Fixed(d.DurationSeconds(), 6);
    out.Put(",\"truncated\":").Put(d.truncated ? "true" : "false");
    out.Put(",\"pcm16\":").Put(d.IsPcm16() ? "true" : "false");
    out.Put("}\n");
    return out.Take();
}

ICodec* RegisteredWavCodec() {
    ICodecHandler* registry = SornDataSys::CodecHandler();
    return registry ? registry->GetCodec(SornStringA("wav")) : nullptr;
}

bool ReadPcm16(const std::string& path, Pcm16Clip& out, std::string& why, WavDescription* description,
               ICodec* codec) {
    WavDescription d;
    if (!DescribeWav(path, d, why)) return false;
    if (description) *description = d;
    if (!d.IsPcm16()) {
        why = RefusalOf(path, d);
        return false;
    }
    if (!d.formatFirst)
        return Fail(why, path,
                    "has a chunk before its format chunk, which the module's WAV codec does not read; rewrite it with "
                    "sox " + path + " -b 16 -e signed-integer OUT.wav");
    if (!codec) codec = RegisteredWavCodec();
    if (!codec) return Fail(why, path, "cannot be decoded: no codec is registered under \"wav\"");

    const SornStringA name(path.c_str());
    SornAudioFormat format;
    std::uint32_t size = 0;
    if (!codec->DecodeFile(name, nullptr, &size, &format))
        return Fail(why, path, "the module's WAV codec cannot open it");
    // The size query answers the whole file's length: room for any data chunk.
    LargeVector<std::int16_t> samples((static_cast<std::size_t>(size) + 1) / 2);
    std::uint32_t got = size;
    if (!codec->DecodeFile(name, samples.data(), &got, &format))
        return Fail(why, path, "the module's WAV codec refused it (no data chunk where it looks for one)");
    // The codec finds the data chunk by scanning for its id; a stray "data"
    // in an earlier chunk, or a "d" just before the id, makes it read other
    // bytes than the chunk walk found. Such a reading is not the file.
    if (got != d.dataBytes || format.ChannelNum() != d.channels || format.SampleRate() != d.sampleRate)
        return Fail(why, path,
                    "the module's WAV codec read " + std::to_string(got) + " data bytes where the data chunk holds " +
                        std::to_string(d.dataBytes) + "; rewrite it with sox " + path +
                        " -b 16 -e signed-integer OUT.wav");
    samples.resize(static_cast<std::size_t>(d.frames) * d.channels);
    out.samples = std::move(samples);
    out.channels = d.channels;
    out.sampleRate = d.sampleRate;
    return true;
}

}  // namespace sorn::cli
