// The core's clip saved as a WAV file and read back through the codec
// registered under "wav".
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "codec/WavCodec.h"
#include "core_contract/Wave.h"
#include "WavBytes.h"

using namespace wavtest;

namespace {

class WaveRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec), 1);
    }
    void TearDown() override { SornDataSys::CodecHandler()->UnregisterCodec("wav"); }

    TempFolder folder;
};

TEST_F(WaveRoundTrip, SamplesAndFormatSurviveSaveAndLoad) {
    for (const unsigned short channels : {1, 2}) {
        SCOPED_TRACE(channels);
        const unsigned long frames = 1601;
        std::vector<short> samples(frames * channels);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<short>(20000 * std::sin(0.05 * static_cast<double>(i)) - (i % 3));
        }
        CWave saved;
        SornAudioFormat format(22050, channels, static_cast<unsigned short>(2 * channels));
        saved.AudioFormat(&format);
        ASSERT_EQ(saved.SetBuffer(samples.data(), frames, 1), 1);
        const std::string path = folder.Path("clip.WAV");  // the type is matched without case
        ASSERT_EQ(saved.Save(path.c_str()), 1);

        CWave loaded;
        ASSERT_EQ(loaded.Load(SornStringA(path.c_str())), 1);
        ASSERT_EQ(loaded.GetBufferLength(), samples.size() * sizeof(short));
        EXPECT_EQ(std::memcmp(loaded.GetBuffer(), samples.data(), loaded.GetBufferLength()), 0);
        EXPECT_EQ(loaded.GetNumSamples(), frames);
        EXPECT_EQ(loaded.GetSamplesPerSec(), 22050u);
        EXPECT_EQ(loaded.AudioFormat()->ChannelNum(), channels);
        EXPECT_EQ(loaded.AudioFormat()->BlockAlign(), 2 * channels);
    }
}

TEST_F(WaveRoundTrip, LoadOfAFileTheCodecRefusesFails) {
    WarningRecorder recorder;
    const std::string path = folder.Write("broken.wav", Bytes{'R', 'I', 'F', 'F'});
    CWave wave;
    EXPECT_EQ(wave.Load(SornStringA(path.c_str())), 0);
    EXPECT_EQ(wave.GetBufferLength(), 0u);
    ASSERT_FALSE(recorder.warnings.empty());
    EXPECT_EQ(recorder.warnings[0].text, path);
}

}  // namespace
