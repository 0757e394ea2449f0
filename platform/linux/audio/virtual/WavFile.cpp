#include "platform/audio/virtual/WavFile.h"

#include <cstring>
#include <limits>

#include "core_contract/WavHeader.h"

namespace sorn::audio::virtualdev {
namespace {

using wav::Le16;
using wav::Le32;

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
    if (!in.file) return false;
    unsigned char riff[12];
    if (std::fread(riff, 1, 12, in.file) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return false;
    WavData data;
    bool haveFormat = false;
    for (;;) {
        unsigned char chunk[8];
        if (std::fread(chunk, 1, 8, in.file) != 8) return false;  // no data chunk
        std::uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > 1024) return false;
            unsigned char fmt[1024];
            if (std::fread(fmt, 1, size, in.file) != size) return false;
            if ((size & 1) && std::fseek(in.file, 1, SEEK_CUR) != 0) return false;
            if (Le16(fmt) != wav::kFormatPcm || Le16(fmt + 14) != 16 || Le16(fmt + 2) == 0) return false;
            data.channels = Le16(fmt + 2);
            data.sampleRate = Le32(fmt + 4);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return false;
            // Take what is there: a data size larger than the file (a file
            // still being written) is cut to whole samples present.
            std::vector<std::int16_t> samples;
            unsigned char buffer[8192];
            std::uint64_t left = size;
            while (left > 0) {
                std::size_t want = left < sizeof buffer ? static_cast<std::size_t>(left) : sizeof buffer;
                std::size_t got = std::fread(buffer, 1, want, in.file);
                for (std::size_t i = 0; i + 1 < got; i += 2)
                    samples.push_back(static_cast<std::int16_t>(Le16(buffer + i)));
                if (got < want) break;
                left -= got;
            }
            data.samples = std::move(samples);
            *result = std::move(data);
            return true;
        } else {
            if (std::fseek(in.file, static_cast<long>(size) + (size & 1), SEEK_CUR) != 0) return false;
        }
    }
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
