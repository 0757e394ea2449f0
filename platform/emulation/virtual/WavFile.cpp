#include "platform/emulation/virtual/WavFile.h"

#include <cstring>
#include <limits>

#include "riff/WavChunks.h"
#include "riff/WavHeader.h"

namespace sorn::audio::virtualdev {
namespace {

struct FileCloser {
    std::FILE* file;
    ~FileCloser() {
        if (file) std::fclose(file);
    }
};

}  // namespace

bool ReadWav(const char* path, WavData* result) {
    if (!path || !result) return false;
    FileCloser in{std::fopen(path, "rb")};
    if (!in.file || std::fseek(in.file, 0, SEEK_END) != 0) return false;
    const long length = std::ftell(in.file);
    if (length < 0) return false;
    riff::StreamSource source(in.file, static_cast<std::uint64_t>(length));
    riff::WavLayout layout;
    if (!riff::ReadLayout(source, layout) || !layout.haveFormat || !layout.haveData) return false;
    if (!layout.format.IsPcm16() || layout.format.channels == 0) return false;
    if (layout.dataOffset < layout.formatOffset) return false;  // the format comes first
    // Take what is there: a data size larger than the file (a file still
    // being written) is cut to whole samples present.
    std::vector<unsigned char> bytes(static_cast<std::size_t>(layout.dataPresent));
    if (!bytes.empty() &&
        source.Read(layout.dataOffset, bytes.data(), bytes.size()) != static_cast<long long>(bytes.size()))
        return false;
    WavData data;
    data.channels = layout.format.channels;
    data.sampleRate = layout.format.sampleRate;
    data.samples.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < data.samples.size(); ++i)
        data.samples[i] = static_cast<std::int16_t>(riff::Le16(&bytes[2 * i]));
    *result = std::move(data);
    return true;
}

WavWriter::~WavWriter() { Close(); }

WavWriter::WavWriter(WavWriter&& other) noexcept { *this = std::move(other); }

WavWriter& WavWriter::operator=(WavWriter&& other) noexcept {
    if (this == &other) return *this;
    Close();
    file = other.file;
    sampleRate = other.sampleRate;
    channels = other.channels;
    formatFixed = other.formatFixed;
    dataBytes = other.dataBytes;
    other.file = nullptr;
    return *this;
}

bool WavWriter::Open(const char* path) {
    Close();
    if (!path) return false;
    file = std::fopen(path, "wb");
    if (!file) return false;
    formatFixed = false;
    sampleRate = 16000;
    channels = 1;
    dataBytes = 0;
    WriteHeader();
    return true;
}

void WavWriter::Append(const std::int16_t* samples, std::size_t count, std::uint32_t rate, std::uint16_t channelCount) {
    if (!file || count == 0) return;
    if (!formatFixed) {
        sampleRate = rate;
        channels = channelCount;
        formatFixed = true;
    }
    // A full file stays valid.
    if (count > (std::numeric_limits<std::uint32_t>::max() - wav::kHeaderBytes - dataBytes) / 2) return;
    std::vector<unsigned char> bytes(count * 2);
    for (std::size_t i = 0; i < count; ++i) wav::PutLe16(&bytes[2 * i], static_cast<std::uint16_t>(samples[i]));
    std::fseek(file, wav::kHeaderBytes + static_cast<long>(dataBytes), SEEK_SET);
    dataBytes += static_cast<std::uint32_t>(std::fwrite(bytes.data(), 1, bytes.size(), file));
    WriteHeader();
}

void WavWriter::Close() {
    if (!file) return;
    WriteHeader();
    std::fclose(file);
    file = nullptr;
}

void WavWriter::WriteHeader() {
    unsigned char h[wav::kHeaderBytes];
    wav::WritePcm16Header(h, sampleRate, channels, dataBytes);
    std::fseek(file, 0, SEEK_SET);
    std::fwrite(h, 1, sizeof h, file);
    std::fflush(file);
}

}  // namespace sorn::audio::virtualdev
