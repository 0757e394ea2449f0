#pragma once
// The codec test fixture: reading with a guarded buffer, the caller's
// query-then-read, and the check that a refusal touched nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include "WavBytes.h"
#include "codec/WavCodec.h"

namespace wavtest {

constexpr std::size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

// A format no decode produces, to see whether a failure touched it.
inline SornAudioFormat Untouched() {
    SornAudioFormat format(1234, 7, 9);
    format.SampleNum(42);
    return format;
}

inline bool SameFormat(const SornAudioFormat& a, const SornAudioFormat& b) {
    return a.SampleRate() == b.SampleRate() && a.ChannelNum() == b.ChannelNum() &&
           a.BlockAlign() == b.BlockAlign() && a.SampleNum() == b.SampleNum() &&
           a.AudioType() == b.AudioType() && a.AudioSerializationType() == b.AudioSerializationType();
}

struct Decoded {
    int result = 0;
    std::uint32_t size = 0;
    SornAudioFormat format = Untouched();
    Bytes data;          // the bytes the codec reported as placed
    bool guardIntact = true;
};

class WavCodecTest : public ::testing::Test {
protected:
    // The reading call with a buffer of capacity bytes followed by a guard.
    Decoded Read(const std::string& path, std::uint32_t capacity) {
        Decoded d;
        Bytes buffer(capacity + kGuard, 0);
        std::fill(buffer.begin() + capacity, buffer.end(), kGuardByte);
        d.size = capacity;
        d.result = codec.DecodeFile(path.c_str(), buffer.data(), &d.size, &d.format);
        for (std::size_t i = capacity; i < buffer.size(); ++i) d.guardIntact &= buffer[i] == kGuardByte;
        if (d.result == 1 && d.size <= capacity) d.data.assign(buffer.begin(), buffer.begin() + d.size);
        return d;
    }
    // What a well-behaved caller does: the size query, then the read.
    Decoded QueryAndRead(const std::string& path) {
        std::uint32_t size = 0;
        SornAudioFormat format;
        EXPECT_EQ(codec.DecodeFile(path.c_str(), nullptr, &size, &format), 1) << path;
        return Read(path, size);
    }
    void ExpectRefused(const Decoded& d, std::uint32_t capacity, const std::string& path) {
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.size, capacity) << "size changed on failure";
        EXPECT_TRUE(SameFormat(d.format, Untouched())) << "format changed on failure";
        EXPECT_TRUE(d.guardIntact);
        ASSERT_EQ(recorder.warnings.size(), 1u);
        EXPECT_EQ(recorder.warnings[0].text, path);
        EXPECT_TRUE(recorder.warnings[0].secondIsNull);
    }
    // Neither the size query (which leaves the size as it was) nor a read
    // accepts `path`; the read warns once, naming it.
    void ExpectQueryAndReadRefused(const std::string& path) {
        std::uint32_t size = 5;
        EXPECT_EQ(codec.DecodeFile(path.c_str(), nullptr, &size, nullptr), 0);
        EXPECT_EQ(size, 5u);
        recorder.warnings.clear();
        ExpectRefused(Read(path, 64), 64, path);
    }

    TempFolder folder;
    WarningRecorder recorder;
    SornMedia::SornAudio::WavCodec codec;
};

}  // namespace wavtest
