#pragma once
// Builders for WAV files in memory, a private temporary folder, and a
// recorder of the core's warnings, for the codec tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "core_contract/SornDataSys.h"

namespace wavtest {

using Bytes = std::vector<unsigned char>;

inline void Put(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
inline void Put(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
inline void Put16(Bytes& out, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
inline void Put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// "RIFF" size "WAVEfmt " with a format chunk of fmtSize bytes (16 bytes of
// PCM fields, then zeros), i.e. everything before the first chunk after it.
inline Bytes Header(std::uint16_t channels, std::uint32_t rate, std::uint32_t fmtSize = 16) {
    Bytes b;
    Put(b, "RIFF");
    Put32(b, 0);  // RIFF size: the codec ignores it
    Put(b, "WAVEfmt ");
    Put32(b, fmtSize);
    Put16(b, 1);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * 2u);
    Put16(b, static_cast<std::uint16_t>(channels * 2));
    Put16(b, 16);
    b.resize(b.size() + (fmtSize - 16), 0);
    return b;
}

inline Bytes Chunk(const std::string& id, const Bytes& payload, std::uint32_t declared) {
    Bytes b;
    Put(b, id);
    Put32(b, declared);
    Put(b, payload);
    return b;
}
inline Bytes Chunk(const std::string& id, const Bytes& payload) {
    return Chunk(id, payload, static_cast<std::uint32_t>(payload.size()));
}

// count bytes of a recognisable pattern.
inline Bytes Samples(std::size_t count) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
    return b;
}

inline Bytes Canonical(std::uint16_t channels, std::uint32_t rate, const Bytes& samples) {
    Bytes b = Header(channels, rate);
    Put(b, Chunk("data", samples));
    return b;
}

// A private folder removed with everything in it at the end of the test.
class TempFolder {
public:
    TempFolder() {
        path_ = MakeScratchDir("sorn-codec.");
        if (path_.empty()) ADD_FAILURE() << "cannot make a temporary folder";
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Path(const std::string& name) const { return (path_ / name).string(); }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

private:
    std::filesystem::path path_;
};

// Records every warning reported through SornDataSys while alive.
class WarningRecorder {
public:
    struct Warning {
        std::string text;
        bool secondIsNull;
        std::string reason;  // the second text
    };
    WarningRecorder() {
        SornDataSys::SetObserver([this](const SornDataSys::Report& report) {
            if (report.event == SornDataSys::Event::Warning) {
                warnings.push_back(
                    {report.text ? report.text : "", report.text2 == nullptr, report.text2 ? report.text2 : ""});
            }
        });
    }
    ~WarningRecorder() { SornDataSys::SetObserver({}); }
    WarningRecorder(const WarningRecorder&) = delete;
    WarningRecorder& operator=(const WarningRecorder&) = delete;

    std::vector<Warning> warnings;
};

}  // namespace wavtest
