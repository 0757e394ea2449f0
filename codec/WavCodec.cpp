#include "codec/WavCodec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "codec/AudioFormatHelperWav.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/WavHeader.h"
#include "platform/MMSystem.h"
#include "platform/files/RegularFile.h"

namespace SornMedia::SornAudio {

namespace {

// Closes the stream on every path out of DecodeFile.
class ReadStream {
public:
    ReadStream(const ReadStream&) = delete;
    ReadStream& operator=(const ReadStream&) = delete;

    // Opens path for binary reading when it names a regular file
    // (sorn::files::OpenRegularFile).
    explicit ReadStream(const char* path) : file_(sorn::files::OpenRegularFile(path, length_)) {}
    ~ReadStream() {
        if (file_) std::fclose(file_);
    }

    bool IsOpen() const { return file_ != nullptr; }
    std::FILE* Get() const { return file_; }
    // The file's length when it was opened.
    unsigned long long Length() const { return length_; }

    bool ReadExactly(void* target, std::size_t bytes) {
        return std::fread(target, 1, bytes, file_) == bytes;
    }

private:
    unsigned long long length_ = 0;
    std::FILE* file_ = nullptr;
};

using sorn::wav::Le16;
using sorn::wav::Le32;

// Scans byte by byte for the data chunk's id. After each "d" the next three
// bytes are consumed whether or not they are "ata", so a "d" right before
// the id hides it. Returns false when the file (or a read) ends first.
bool FindDataChunk(std::FILE* file) {
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        if (c != 'd') continue;
        char rest[3];
        if (std::fread(rest, 1, sizeof rest, file) != sizeof rest) return false;
        if (std::memcmp(rest, "ata", sizeof rest) == 0) return true;
    }
    return false;
}

// The work of DecodeFile; false means refuse. The stream is closed by the
// time the caller reports the warning.
bool DecodeFileInto(const char* path, void* data, std::uint32_t* size, SornAudioFormat* format) {
    ReadStream stream(path);
    if (!stream.IsOpen()) return false;

    if (!data) {
        constexpr unsigned long long most = std::numeric_limits<std::uint32_t>::max();
        *size = static_cast<std::uint32_t>(std::min(stream.Length(), most));
        return true;
    }

    // "RIFF", RIFF size (ignored), "WAVEfmt ", format chunk size (ignored),
    // then exactly 16 bytes of format whatever that size says.
    unsigned char header[36];
    if (!stream.ReadExactly(header, sizeof header)) return false;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVEfmt ", 8) != 0) return false;
    WAVEFORMATEX record{};
    record.wFormatTag = Le16(header + 20);
    record.nChannels = Le16(header + 22);
    record.nSamplesPerSec = Le32(header + 24);
    record.nAvgBytesPerSec = Le32(header + 28);
    record.nBlockAlign = Le16(header + 32);
    record.wBitsPerSample = Le16(header + 34);

    if (!FindDataChunk(stream.Get())) return false;
    // A file that ends inside (or right before) the data size holds no
    // samples: an empty clip, as a file cut anywhere in its data keeps what
    // is there.
    unsigned char sizeField[4];
    const std::uint32_t declared = stream.ReadExactly(sizeField, sizeof sizeField) ? Le32(sizeField) : 0;
    if (std::ferror(stream.Get())) return false;

    // The caller's *size bounds what is written: the buffer may be smaller
    // than the declared data size when the file grew after the size query or
    // declares more than it holds. The size reported is what was placed.
    const std::uint32_t wanted = std::min(declared, *size);
    const std::size_t placed = std::fread(data, 1, wanted, stream.Get());
    if (std::ferror(stream.Get())) return false;

    AudioFormatHelperWav helper;
    helper.ToAudioFormat(&record, format);
    *size = static_cast<std::uint32_t>(placed);
    format->SampleNum(*size / 2);
    return true;
}

}  // namespace

WavCodec::~WavCodec() = default;

int WavCodec::EncodeFile(const SornStringA&, const void*, std::uint32_t, const SornAudioFormat*) {
    return 0;
}

int WavCodec::EncodeBuffer(const void*, std::uint32_t, void*, std::uint32_t*, const SornAudioFormat*) {
    return 0;
}

int WavCodec::DecodeFile(const SornStringA& path, void* data, std::uint32_t* size,
                         SornAudioFormat* format) {
    // The size query needs no format; reading needs both out-arguments.
    const bool usable = size && (!data || format);
    if (usable && DecodeFileInto(path.ToChars(), data, size, format)) return 1;
    SornDataSys::Warning(const_cast<char*>(path.ToChars()), nullptr);
    return 0;
}

int WavCodec::DecodeBuffer(const void* source, std::uint32_t sourceSize, void* data, std::uint32_t* size,
                           SornAudioFormat* format) {
    if (!size || (!source && sourceSize != 0)) return 0;
    if (!data) {
        *size = sourceSize;
        return 1;
    }
    if (!format) return 0;
    if (sourceSize != 0) std::memmove(data, source, sourceSize);
    *size = sourceSize;
    format->SampleNum(sourceSize / 2);
    return 1;
}

}  // namespace SornMedia::SornAudio
