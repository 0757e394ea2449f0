#pragma once
// Checks one input against the WAV codec's rules: the fuzz target aborts on
// a broken rule, and the codec tests run every committed input through it.
//
// The file is decoded as a caller does it (size query, then a heap buffer of
// exactly the reported size, so AddressSanitizer sees any write past it),
// then again with a smaller buffer. Each result is compared with a plain
// model of the file layout; the same bytes are also given to DecodeBuffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"

namespace sornfuzz {

// What DecodeFile must produce for file bytes b and a buffer of cap bytes.
struct Expected {
    bool accepted = false;
    std::size_t offset = 0;  // of the samples in b
    std::uint32_t size = 0;
    unsigned short channels = 0, blockAlign = 0;
    std::uint32_t rate = 0;
};

inline std::uint32_t Le(const unsigned char* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline Expected Model(const unsigned char* b, std::size_t n, std::uint32_t cap) {
    Expected e;
    if (n < 36 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVEfmt ", 8) != 0) return e;
    // Only 16-bit integer PCM is read: format tag 1, or the extensible form
    // (0xFFFE) whose 40-byte chunk names sub-format 1.
    std::uint32_t tag = Le(b + 20, 2);
    if (tag == 0xFFFE) tag = Le(b + 16, 4) >= 40 && n >= 60 && Le(b + 36, 2) >= 22 ? Le(b + 44, 2) : 0;
    if (tag != 1 || Le(b + 34, 2) != 16) return e;

    // The chain from offset 12: id, size, body, pad byte after an odd size.
    // It is broken at a header cut short, an id that is not text, or a chunk
    // other than data running past the end.
    bool found = false, broken = false;
    std::uint64_t at = 12, i = 0;
    std::uint32_t declared = 0;
    while (at < n && !found && !broken) {
        const unsigned char* h = b + at;
        if (n - at < 8 || !std::all_of(h, h + 4, [](unsigned char c) { return c >= 0x20 && c < 0x7F; })) {
            broken = true;
        } else if (std::memcmp(h, "data", 4) == 0) {
            found = true;
            i = at + 8;
            declared = Le(h + 4, 4);
        } else {
            const std::uint64_t size = Le(h + 4, 4);
            broken = at + 8 + size > n;
            at += 8 + size + (size & 1);
        }
    }
    // A broken chain: the first "data" found by the byte scan from offset 36,
    // three bytes consumed after every "d".
    if (broken) {
        i = 36;
        while (i < n && !found) {
            if (b[i++] != 'd') continue;
            if (n - i < 3) return e;
            found = std::memcmp(b + i, "ata", 3) == 0;
            i += 3;
        }
        // A file that ends within the data size is an empty clip.
        if (found) declared = n - i < 4 ? 0 : Le(b + i, 4);
        i += 4;
    }
    if (!found) return e;
    e.accepted = true;
    e.offset = static_cast<std::size_t>(std::min<std::uint64_t>(i, n));
    e.size = static_cast<std::uint32_t>(std::min<std::size_t>({declared, cap, n - e.offset}));
    e.channels = static_cast<unsigned short>(Le(b + 22, 2));
    e.rate = Le(b + 24, 4);
    e.blockAlign = static_cast<unsigned short>(Le(b + 32, 2));
    return e;
}

class WavDecodeCheck {
public:
    // Counts the codec's warnings (and keeps them off stderr) while alive.
    WavDecodeCheck() {
        SornDataSys::SetObserver([this](const SornDataSys::Report& r) {
            if (r.event == SornDataSys::Event::Warning) ++warnings_;
        });
    }
    ~WavDecodeCheck() { SornDataSys::SetObserver({}); }
    WavDecodeCheck(const WavDecodeCheck&) = delete;
    WavDecodeCheck& operator=(const WavDecodeCheck&) = delete;

    // path holds exactly the n bytes b. Returns what went wrong, or "".
    std::string File(const char* path, const unsigned char* b, std::size_t n) {
        std::uint32_t size = 0;
        warnings_ = 0;
        if (codec_.DecodeFile(path, nullptr, &size, nullptr) != 1 || size != n || warnings_ != 0) {
            return "size query: not the file's length";
        }
        std::string broken = Read(path, b, n, size);
        if (broken.empty()) broken = Read(path, b, n, size / 3);
        return broken;
    }

    std::string Buffer(const unsigned char* b, std::size_t n) {
        const auto sourceSize = static_cast<std::uint32_t>(n);
        SornAudioFormat format(1234, 7, 9);
        std::uint32_t size = 0;
        if (codec_.DecodeBuffer(b, sourceSize, nullptr, &size, &format) != 1 || size != sourceSize) {
            return "DecodeBuffer: query";
        }
        std::unique_ptr<unsigned char[]> data(new unsigned char[size]);
        if (codec_.DecodeBuffer(b, sourceSize, data.get(), &size, &format) != 1 || size != sourceSize ||
            (n && std::memcmp(data.get(), b, n) != 0) || format.SampleNum() != sourceSize / 2 ||
            format.SampleRate() != 1234 || format.ChannelNum() != 7 || format.BlockAlign() != 9) {
            return "DecodeBuffer: copy";
        }
        return {};
    }

private:
    std::string Read(const char* path, const unsigned char* b, std::size_t n, std::uint32_t cap) {
        const Expected e = Model(b, n, cap);
        std::unique_ptr<unsigned char[]> data(new unsigned char[cap]);
        SornAudioFormat format(1234, 7, 9);
        format.SampleNum(42);
        std::uint32_t size = cap;
        warnings_ = 0;
        const int result = codec_.DecodeFile(path, data.get(), &size, &format);
        if (!e.accepted) {
            if (result != 0 || warnings_ != 1) return "a malformed file was not refused with one warning";
            if (size != cap || format.SampleRate() != 1234 || format.ChannelNum() != 7 ||
                format.BlockAlign() != 9 || format.SampleNum() != 42) {
                return "a refused file changed size or format";
            }
            return {};
        }
        if (result != 1 || warnings_ != 0) return "a readable file was refused";
        if (size != e.size || std::memcmp(data.get(), b + e.offset, size) != 0) return "wrong samples";
        if (format.SampleNum() != size / 2 || format.ChannelNum() != e.channels ||
            format.SampleRate() != e.rate || format.BlockAlign() != e.blockAlign) {
            return "wrong format";
        }
        return {};
    }

    SornMedia::SornAudio::WavCodec codec_;
    int warnings_ = 0;
};

}  // namespace sornfuzz
