#include "codec/WavCodec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "codec/AudioFormatHelperWav.h"
#include "core_contract/SornDataSys.h"
#include "platform/MMSystem.h"
#include "platform/files/RegularFile.h"
#include "riff/WavChunks.h"

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

// The work of DecodeFile; false means refuse, with a reason for the warning
// when the file is well formed but its samples are not 16-bit PCM. The
// stream is closed by the time the caller reports the warning.
bool DecodeFileInto(const char* path, void* data, std::uint32_t* size, SornAudioFormat* format, std::string& reason) {
    ReadStream stream(path);
    if (!stream.IsOpen()) return false;

    if (!data) {
        constexpr unsigned long long most = std::numeric_limits<std::uint32_t>::max();
        *size = static_cast<std::uint32_t>(std::min(stream.Length(), most));
        return true;
    }

    // "RIFF", RIFF size (ignored), "WAVEfmt ", format chunk size, then the
    // 16 bytes of the basic format fields.
    unsigned char header[36];
    if (!stream.ReadExactly(header, sizeof header)) return false;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVEfmt ", 8) != 0) return false;

    // The data chunk is the first one of the chunk chain (or, when the chain
    // is broken, the first id the byte scan finds).
    sorn::riff::StreamSource source(stream.Get(), stream.Length());
    sorn::riff::WavLayout layout;
    if (!sorn::riff::ReadLayout(source, layout)) return false;
    if (!layout.format.IsPcm16()) {
        reason = "holds " + layout.format.EncodingName() + " samples; the WAV codec reads 16-bit PCM only";
        return false;
    }
    if (!layout.haveData) return false;

    // The caller's *size bounds what is written: the buffer may be smaller
    // than the declared data size when the file grew after the size query or
    // declares more than it holds. The size reported is what was placed.
    const std::uint32_t wanted = std::min(layout.dataDeclared, *size);
    const long long placed = wanted ? source.Read(layout.dataOffset, data, wanted) : 0;
    if (placed < 0) return false;

    WAVEFORMATEX record{};
    record.wFormatTag = sorn::riff::Le16(header + 20);
    record.nChannels = sorn::riff::Le16(header + 22);
    record.nSamplesPerSec = sorn::riff::Le32(header + 24);
    record.nAvgBytesPerSec = sorn::riff::Le32(header + 28);
    record.nBlockAlign = sorn::riff::Le16(header + 32);
    record.wBitsPerSample = sorn::riff::Le16(header + 34);
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
    std::string reason;
    if (usable && DecodeFileInto(path.ToChars(), data, size, format, reason)) return 1;
    SornDataSys::Warning(const_cast<char*>(path.ToChars()), reason.empty() ? nullptr : reason.data());
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
