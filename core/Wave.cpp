#include "core_contract/Wave.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core_contract/SornDataSys.h"
#include "riff/WavHeader.h"

namespace {

// The file type of a path: its extension after the last dot, lower case.
std::string FileType(const char* path) {
    const char* dot = std::strrchr(path, '.');
    const char* slash = std::strrchr(path, '/');
    if (!dot || (slash && dot < slash)) return {};
    std::string type(dot + 1);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

void Warn(const char* path, const char* what) {
    SornDataSys::Warning(const_cast<char*>(path), const_cast<char*>(what));
}

}  // namespace

CWave::CWave() = default;
CWave::~CWave() = default;

CWave::CWave(const CWave& other) : IWave(other), format_(other.format_) {
    owned_.assign(other.data_, other.data_ + other.bytes_);
    data_ = owned_.empty() ? nullptr : owned_.data();
    bytes_ = other.bytes_;
}

CWave& CWave::operator=(const CWave& other) {
    if (this == &other) return *this;
    IWave::operator=(other);
    format_ = other.format_;
    std::vector<unsigned char> copy(other.data_, other.data_ + other.bytes_);
    owned_.swap(copy);
    data_ = owned_.empty() ? nullptr : owned_.data();
    bytes_ = other.bytes_;
    return *this;
}

int CWave::Load(const void* data, unsigned long bytes, const SornAudioFormat* format) {
    if (!data && bytes != 0) return 0;
    if (format) format_ = *format;
    const auto* p = static_cast<const unsigned char*>(data);
    owned_.assign(p, p + bytes);
    data_ = owned_.empty() ? nullptr : owned_.data();
    bytes_ = bytes;
    format_.SampleNum(GetNumSamples());
    return 1;
}

int CWave::Load(const SornStringA& path) {
    const std::string type = FileType(path.ToChars());
    ICodec* codec = SornDataSys::CodecHandler()->GetCodec(SornStringA(type.c_str()));
    if (!codec) {
        Warn(path.ToChars(), "no codec for this file type");
        return 0;
    }
    std::uint32_t size = 0;
    SornAudioFormat format;
    if (!codec->DecodeFile(path, nullptr, &size, &format)) return 0;
    std::vector<unsigned char> buffer(size);
    std::uint32_t got = size;
    if (!codec->DecodeFile(path, buffer.data(), &got, &format)) return 0;
    if (got > buffer.size()) got = static_cast<std::uint32_t>(buffer.size());
    if (format.BlockAlign() == 0 || format.ChannelNum() == 0) {
        Warn(path.ToChars(), "unusable audio format");
        return 0;
    }
    buffer.resize(got);
    owned_.swap(buffer);
    data_ = owned_.empty() ? nullptr : owned_.data();
    bytes_ = got;
    format_ = format;
    format_.SampleNum(GetNumSamples());
    return 1;
}

int CWave::Save(const SornStringA& path) {
    const unsigned channels = format_.ChannelNum();
    const unsigned align = format_.BlockAlign();
    if (channels == 0 || align != channels * 2u) {
        Warn(path.ToChars(), "only 16-bit PCM clips can be saved");
        return 0;
    }
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(bytes_ - bytes_ % align);
    unsigned char header[sorn::wav::kHeaderBytes];
    sorn::wav::WritePcm16Header(header, static_cast<std::uint32_t>(format_.SampleRate()),
                                static_cast<std::uint16_t>(channels), dataBytes);

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.ToChars(), "wb"), &std::fclose);
    if (!file) {
        Warn(path.ToChars(), "cannot be written");
        return 0;
    }
    bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    if (ok && dataBytes) ok = std::fwrite(data_, 1, dataBytes, file.get()) == dataBytes;
    ok = (std::fclose(file.release()) == 0) && ok;
    if (!ok) Warn(path.ToChars(), "write failed");
    return ok ? 1 : 0;
}

unsigned long CWave::GetBufferLength() { return bytes_; }

unsigned long CWave::GetNumSamples() {
    const unsigned align = format_.BlockAlign();
    return align ? bytes_ / align : 0;
}

void* CWave::GetBuffer() { return data_; }

int CWave::SetBuffer(void* data, unsigned long count, int copy) {
    const unsigned long bytes = count * format_.BlockAlign();
    if (!data && bytes != 0) return 0;
    if (copy) {
        const auto* p = static_cast<const unsigned char*>(data);
        owned_.assign(p, p + bytes);
        data_ = owned_.empty() ? nullptr : owned_.data();
    } else {
        owned_.clear();
        owned_.shrink_to_fit();
        data_ = static_cast<unsigned char*>(data);
    }
    bytes_ = bytes;
    format_.SampleNum(count);
    return 1;
}

unsigned long CWave::GetSamplesPerSec() { return format_.SampleRate(); }

void CWave::AudioFormat(SornAudioFormat* format) {
    if (format) format_ = *format;
}

SornAudioFormat* CWave::AudioFormat() { return &format_; }

WaveBuffer::WaveBuffer() = default;
WaveBuffer::~WaveBuffer() = default;

int WaveBuffer::CopyBuffer(const void* source, unsigned long count, int sampleSize) {
    if (sampleSize < 1 || (!source && count != 0)) return 0;
    const auto* p = static_cast<const unsigned char*>(source);
    data_.assign(p, p + count * static_cast<unsigned long>(sampleSize));
    count_ = count;
    sampleSize_ = sampleSize;
    return 1;
}

void* WaveBuffer::GetBuffer() { return data_.empty() ? nullptr : data_.data(); }
unsigned long WaveBuffer::GetNumSamples() const { return count_; }
int WaveBuffer::GetSampleSize() const { return sampleSize_; }
