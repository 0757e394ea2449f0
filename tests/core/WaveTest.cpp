#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core_contract/Wave.h"

TEST(CWave, SetBufferWithCopyTakesItsOwnCopy) {
    CWave wave;
    auto source = std::make_unique<short[]>(4);
    for (int i = 0; i < 4; ++i) source[i] = static_cast<short>(100 * (i + 1));
    ASSERT_EQ(wave.SetBuffer(source.get(), 4, 1), 1);
    source.reset();  // the caller frees its data at once
    ASSERT_EQ(wave.GetNumSamples(), 4u);
    ASSERT_EQ(wave.GetBufferLength(), 8u);
    const short* data = static_cast<const short*>(wave.GetBuffer());
    EXPECT_EQ(data[0], 100);
    EXPECT_EQ(data[3], 400);
    EXPECT_EQ(wave.AudioFormat()->SampleNum(), 4u);
}

TEST(CWave, CopiesAreIndependent) {
    CWave wave;
    short samples[2] = {1, 2};
    wave.SetBuffer(samples, 2, 1);
    CWave copy(wave);
    static_cast<short*>(copy.GetBuffer())[0] = 9;
    EXPECT_EQ(static_cast<short*>(wave.GetBuffer())[0], 1);
}

TEST(WaveBuffer, CopiesCountSamplesOfTheGivenSize) {
    WaveBuffer block;
    std::vector<unsigned char> bytes{1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(block.CopyBuffer(bytes.data(), 3, 2), 1);
    bytes.assign(7, 0);
    EXPECT_EQ(block.GetNumSamples(), 3u);
    EXPECT_EQ(block.GetSampleSize(), 2);
    EXPECT_EQ(std::memcmp(block.GetBuffer(), "\1\2\3\4\5\6", 6), 0);
    EXPECT_EQ(block.CopyBuffer(nullptr, 3, 2), 0);
}
