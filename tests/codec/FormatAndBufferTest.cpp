#include <gtest/gtest.h>

#include <cstring>

#include "codec/AudioFormatHelperWav.h"
#include "codec/WavCodec.h"
#include "platform/MMSystem.h"
#include "WavBytes.h"

using namespace wavtest;
using SornMedia::SornAudio::AudioFormatHelperWav;
using SornMedia::SornAudio::WavCodec;

namespace {

TEST(AudioFormatHelperWav, FromAudioFormatAlwaysDescribesSixteenBitPcm) {
    AudioFormatHelperWav helper;
    WAVEFORMATEX record;
    std::memset(&record, 0x5A, sizeof record);
    SornAudioFormat mono(16000, 1, 2);
    helper.FromAudioFormat(&mono, &record);
    EXPECT_EQ(record.wFormatTag, 1);
    EXPECT_EQ(record.nChannels, 1);
    EXPECT_EQ(record.nSamplesPerSec, 16000u);
    EXPECT_EQ(record.nAvgBytesPerSec, 32000u);
    EXPECT_EQ(record.nBlockAlign, 2);
    EXPECT_EQ(record.wBitsPerSample, 16);
    EXPECT_EQ(record.cbSize, 0);

    // The source's own block align is not consulted.
    SornAudioFormat stereo(44100, 2, 7);
    helper.FromAudioFormat(&stereo, &record);
    EXPECT_EQ(record.nChannels, 2);
    EXPECT_EQ(record.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(record.nBlockAlign, 4);
}

TEST(AudioFormatHelperWav, ToAudioFormatTakesChannelsRateAndBlockAlignOnly) {
    WAVEFORMATEX record{};
    record.wFormatTag = 3;  // neither tag, byte rate nor bits are used
    record.nChannels = 2;
    record.nSamplesPerSec = 8000;
    record.nAvgBytesPerSec = 1;
    record.nBlockAlign = 8;
    record.wBitsPerSample = 32;
    SornAudioFormat format(16000, 1, 2);
    format.SampleNum(77);
    AudioFormatHelperWav().ToAudioFormat(&record, &format);
    EXPECT_EQ(format.ChannelNum(), 2);
    EXPECT_EQ(format.SampleRate(), 8000u);
    EXPECT_EQ(format.BlockAlign(), 8);
    EXPECT_EQ(format.AudioType(), 0);
    EXPECT_EQ(format.AudioSerializationType(), 0);
    EXPECT_EQ(format.SampleNum(), 77u);
}

TEST(WavCodecDecodeBuffer, TakesTheBytesAsSixteenBitSamples) {
    WavCodec codec;
    const Bytes source = Samples(100);
    SornAudioFormat format(22050, 2, 4);
    std::uint32_t size = 0;
    ASSERT_EQ(codec.DecodeBuffer(source.data(), 100, nullptr, &size, &format), 1);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(format.SampleNum(), 0u);  // the query changes nothing else

    Bytes data(100, 0);
    ASSERT_EQ(codec.DecodeBuffer(source.data(), 100, data.data(), &size, &format), 1);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(data, source);
    EXPECT_EQ(format.SampleNum(), 50u);
    EXPECT_EQ(format.SampleRate(), 22050u);  // no header: nothing else is touched
    EXPECT_EQ(format.ChannelNum(), 2);
    EXPECT_EQ(format.BlockAlign(), 4);
}

TEST(WavCodecDecodeBuffer, RefusesMissingArgumentsWithoutTouchingAnything) {
    WavCodec codec;
    Bytes data(4, 9);
    SornAudioFormat format;
    std::uint32_t size = 3;
    EXPECT_EQ(codec.DecodeBuffer(nullptr, 4, data.data(), &size, &format), 0);
    EXPECT_EQ(codec.DecodeBuffer(data.data(), 4, data.data(), nullptr, &format), 0);
    EXPECT_EQ(codec.DecodeBuffer(data.data(), 4, data.data(), &size, nullptr), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data, Bytes(4, 9));
    EXPECT_EQ(codec.DecodeBuffer(nullptr, 0, data.data(), &size, &format), 1);  // empty is fine
    EXPECT_EQ(size, 0u);
}

}  // namespace
