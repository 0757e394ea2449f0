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
#include "riff/WavChunks.h"
#include "tools/cli/TextBuffer.h"

namespace sorn::cli {

namespace {

using riff::kTagALaw;
using riff::kTagFloat;
using riff::kTagMuLaw;
using riff::kTagPcm;

// A read-only descriptor of a regular file, closed on every path.
class File : public riff::ByteSource {
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
    std::uint64_t Length() const override { return length_; }

    long long Read(std::uint64_t offset, void* target, std::size_t bytes) override {
        auto* p = static_cast<unsigned char*>(target);
        std::size_t done = 0;
        while (done < bytes) {
            const ssize_t got = ::pread(fd_, p + done, bytes - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error_ = std::string("cannot be read: ") + std::strerror(errno);
                return -1;
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<long long>(done);
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

// Refuses a format no frame count can come from.
bool CheckFormat(const riff::WavFormat& f, std::string& reason) {
    if (!f.subFormatNamed) {
        reason = "has an extensible format chunk too short to name its sub-format";
        return false;
    }
    if (f.channels == 0) {
        reason = "declares 0 channels";
        return false;
    }
    if (f.sampleRate == 0) {
        reason = "declares a sample rate of 0 Hz";
        return false;
    }
    if (f.blockAlign == 0) {
        reason = "declares a block align of 0 bytes";
        return false;
    }
    if (f.encodingTag == kTagPcm || f.encodingTag == kTagFloat) {
        const unsigned expected = f.channels * ((f.bitsPerSample + 7u) / 8u);
        if (f.bitsPerSample == 0 || f.blockAlign != expected) {
            reason = "declares a block align of " + std::to_string(f.blockAlign) + " bytes, which does not fit " +
                     std::to_string(f.channels) + " channel(s) of " + std::to_string(f.bitsPerSample) + " bits";
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
    riff::WavFormat f;
    f.encodingTag = encodingTag;
    f.bitsPerSample = bitsPerSample;
    f.validBits = validBits;
    return f.EncodingName();
}

namespace {

// DescribeWav on a file already open; `layout` receives the walk (where the
// data chunk is).
bool Describe(File& file, const std::string& path, WavDescription& out, riff::WavLayout& layout, std::string& why) {
    const std::uint64_t length = file.Length();
    if (length == 0) return Fail(why, path, "is empty (0 bytes)");
    if (length < 12) return Fail(why, path, "is too short for a WAV file (" + std::to_string(length) + " bytes)");

    unsigned char head[12];
    if (file.Read(0, head, sizeof head) != 12) return Fail(why, path, file.Error());
    if (std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0)
        return Fail(why, path, "is an RF64 file (64-bit sizes), which sorn does not read");
    if (std::memcmp(head, "RIFX", 4) == 0)
        return Fail(why, path, "is a big-endian RIFX file, which sorn does not read");
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return Fail(why, path, "is not a RIFF/WAVE file (it starts with \"" + IdText(head) + "\")");

    if (!riff::ReadLayout(file, layout)) return Fail(why, path, file.Error());
    if (!layout.haveFormat) return Fail(why, path, "has no format chunk (\"fmt \")");
    if (layout.formatSize < 16)
        return Fail(why, path, "has a format chunk of " + std::to_string(layout.formatSize) + " bytes (16 at least)");
    if (layout.formatBytes < 16) return Fail(why, path, "ends inside its format chunk");
    std::string reason;
    if (!CheckFormat(layout.format, reason)) return Fail(why, path, reason);
    if (!layout.haveData) return Fail(why, path, "has no data chunk");

    const riff::WavFormat& f = layout.format;
    WavDescription d;
    d.formatTag = f.formatTag;
    d.encodingTag = f.encodingTag;
    d.extensible = f.extensible;
    d.channels = f.channels;
    d.sampleRate = f.sampleRate;
    d.blockAlign = f.blockAlign;
    d.bitsPerSample = f.bitsPerSample;
    d.validBits = f.validBits;
    d.dataBytes = layout.dataPresent;
    d.truncated = layout.Truncated();
    d.formatFirst = layout.formatFirst;
    d.dataByScan = layout.dataByScan;
    d.frames = d.dataBytes / d.blockAlign;
    // Compressed data (ADPCM, GSM, ...) has blocks of many frames; its frame
    // count is in the fact chunk.
    if (!IsLinear(d.encodingTag) && layout.factFrames >= 0) d.frames = static_cast<std::uint64_t>(layout.factFrames);
    d.described = true;
    out = d;
    return true;
}

}  // namespace

bool DescribeWav(const std::string& path, WavDescription& out, std::string& why) {
    File file(path);
    if (!file.IsOpen()) return Fail(why, path, file.Error());
    riff::WavLayout layout;
    return Describe(file, path, out, layout, why);
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
    if (d.dataByScan) out.Put("note: the chunk chain is broken; the data chunk was found by scanning for its id\n");
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

// The file behind a Pcm16Reader.
class Pcm16Reader::Source : public File {
public:
    using File::File;
};

Pcm16Reader::Pcm16Reader() = default;
Pcm16Reader::~Pcm16Reader() = default;

bool Pcm16Reader::Open(const std::string& path, std::string& why, WavDescription* description) {
    file_.reset();
    path_ = path;
    frames_ = framesRead_ = 0;
    auto file = std::make_unique<Source>(path);
    if (!file->IsOpen()) return Fail(why, path, file->Error());
    WavDescription d;
    riff::WavLayout layout;
    if (!Describe(*file, path, d, layout, why)) return false;
    if (description) *description = d;
    if (!d.IsPcm16()) {
        why = RefusalOf(path, d);
        return false;
    }
    if (!d.formatFirst)
        return Fail(why, path,
                    "has a chunk before its format chunk, which the module's WAV codec does not read; rewrite it with "
                    "sox " +
                        path + " -b 16 -e signed-integer OUT.wav");
    // The data chunk's whole frames, as the module's codec places them.
    dataOffset_ = layout.dataOffset;
    frames_ = d.frames;
    channels_ = d.channels;
    sampleRate_ = d.sampleRate;
    file_ = std::move(file);
    return true;
}

long long Pcm16Reader::Read(std::int16_t* target, std::uint64_t maxFrames, std::string& why) {
    if (!file_) {
        Fail(why, path_, "is not open");
        return -1;
    }
    const std::uint64_t frames = std::min(maxFrames, frames_ - framesRead_);
    if (frames == 0) return 0;
    const std::uint64_t frameBytes = std::uint64_t{2} * channels_;
    const std::size_t bytes = static_cast<std::size_t>(frames * frameBytes);
    const long long got = file_->Read(dataOffset_ + framesRead_ * frameBytes, target, bytes);
    if (got < 0 || static_cast<std::size_t>(got) != bytes) {
        Fail(why, path_, got < 0 ? file_->Error() : "became shorter while it was read");
        return -1;
    }
    framesRead_ += frames;
    return static_cast<long long>(frames);
}

bool ReadPcm16(const std::string& path, Pcm16Clip& out, std::string& why, WavDescription* description) {
    // One open, one walk of the chunks, one read of the samples.
    Pcm16Reader reader;
    if (!reader.Open(path, why, description)) return false;
    LargeVector<std::int16_t> samples(static_cast<std::size_t>(reader.Frames()) * reader.Channels());
    if (reader.Frames() > 0 && reader.Read(samples.data(), reader.Frames(), why) < 0) return false;
    out.samples = std::move(samples);
    out.channels = reader.Channels();
    out.sampleRate = reader.SampleRate();
    return true;
}

}  // namespace sorn::cli
