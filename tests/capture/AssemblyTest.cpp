// MakeWave: joining the captured blocks and dropping the leading frames of
// 160 samples that do not change, on recordings made by the virtual device.
#include <gtest/gtest.h>

#include <vector>

#include "tests/capture/CaptureSupport.h"

namespace capture_test {
namespace {

class Assembly : public VirtualCapture {
protected:
    // Records exactly `input` (then stops) in blocks of `blockSamples`,
    // advancing the clock by the given steps.
    CWaveIn* RecordInput(std::vector<std::int16_t> input, unsigned blockSamples,
                         const std::vector<std::uint32_t>& steps) {
        VirtualDevice::SetInputSamples(std::move(input), false);
        CWaveIn* capture = OpenCapture(blockSamples);
        EXPECT_EQ(capture->Record(), 1);
        for (std::uint32_t step : steps) VirtualDevice::Advance(step);
        EXPECT_EQ(capture->Stop(), 1);
        return capture;
    }
};

std::vector<std::int16_t> Ramp(std::size_t count, int first) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(first + static_cast<int>(i));
    return samples;
}

TEST_F(Assembly, BlocksOf100And60GiveOneFrameThatIsKeptWhole) {
    // The second block is the partly filled header the stop returns.
    CWaveIn* capture = RecordInput(std::vector<std::int16_t>(160, 1234), 100, {100, 60});
    const std::vector<std::int16_t> clip = Samples(capture->MakeWave());
    EXPECT_EQ(clip, std::vector<std::int16_t>(160, 1234));
    capture->Delete();
}

TEST_F(Assembly, FourSilentFramesThenSoundKeepOneSilentFrame) {
    std::vector<std::int16_t> input(4 * 160, 0);
    const std::vector<std::int16_t> sound = Ramp(2 * 160, 100);
    input.insert(input.end(), sound.begin(), sound.end());
    CWaveIn* capture = RecordInput(input, 160, {6 * 160});

    std::vector<std::int16_t> expected(160, 0);
    expected.insert(expected.end(), sound.begin(), sound.end());
    EXPECT_EQ(Samples(capture->MakeWave()), expected);
    capture->Delete();
}

TEST_F(Assembly, ARecordingWhoseFirstFramesDifferKeepsEverything) {
    std::vector<std::int16_t> input = Ramp(3 * 160 + 17, -200);
    CWaveIn* capture = RecordInput(input, 128, {3 * 160 + 17});
    EXPECT_EQ(Samples(capture->MakeWave()), input);
    capture->Delete();
}

TEST_F(Assembly, AFrameDifferingInOneSampleIsNotDropped) {
    std::vector<std::int16_t> input(3 * 160, 5);
    input[160 + 159] = 6;  // frame 1 differs from frame 0 in its last sample only
    CWaveIn* capture = RecordInput(input, 160, {3 * 160});
    EXPECT_EQ(Samples(capture->MakeWave()), input);
    capture->Delete();
}

TEST_F(Assembly, AThousandEqualSamplesGiveTheLastTwoHundred) {
    CWaveIn* capture = RecordInput(std::vector<std::int16_t>(1000, 77), 160, {1000});
    IWave* wave = capture->MakeWave();
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(Samples(wave), std::vector<std::int16_t>(200, 77));
    EXPECT_EQ(wave->AudioFormat()->SampleNum(), 200u);
    capture->Delete();
}

TEST_F(Assembly, AnEmptyRecordingGivesNullAndLeavesTheClipAsItWas) {
    CWaveIn* capture = RecordInput(Ramp(500, 0), 160, {500});
    IWave* first = capture->MakeWave();
    ASSERT_NE(first, nullptr);
    const std::vector<std::int16_t> kept = Samples(first);
    EXPECT_EQ(kept, Ramp(500, 0));

    ASSERT_EQ(capture->Record(), 1);
    ASSERT_EQ(capture->Stop(), 1);
    EXPECT_EQ(capture->MakeWave(), nullptr);
    EXPECT_EQ(Samples(first), kept);
    capture->Delete();
}

TEST_F(Assembly, TwoCallsGiveTheSameClipWithTheSameContents) {
    std::vector<std::int16_t> input(2 * 160, 0);
    const std::vector<std::int16_t> sound = Ramp(300, 9);
    input.insert(input.end(), sound.begin(), sound.end());
    CWaveIn* capture = RecordInput(input, 100, {620});
    IWave* first = capture->MakeWave();
    const std::vector<std::int16_t> firstSamples = Samples(first);
    IWave* second = capture->MakeWave();
    EXPECT_EQ(first, second);
    EXPECT_EQ(Samples(second), firstSamples);
    EXPECT_EQ(firstSamples.size(), 620u - 160);
    capture->Delete();
}

TEST_F(Assembly, AStereoRecordingIsTrimmedInWholeStepsAndTheDetectorHearsEveryFrame) {
    // Interleaved stereo: 320 silent sample frames, then 200 of sound whose
    // two channels differ. The trim steps are 160 sample frames (320 16-bit
    // samples) long: the first step is dropped, the second kept, and every
    // frame of sound is kept to the end.
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 16000, 64000, 4, 16, 0};
    std::vector<std::int16_t> input(2 * 320, 0);
    for (int i = 0; i < 200; ++i) {
        input.push_back(static_cast<std::int16_t>(1 + i));     // left
        input.push_back(static_cast<std::int16_t>(-7 * i));    // right
    }
    // The detector sees one mono sample per frame: the mean of the channels.
    struct Heard : SpeechDetector {
        std::mutex mutex;
        std::vector<std::int16_t> samples;
        void Restart(unsigned) override {}
        SornVADFlag Detect(const short* data, unsigned count) override {
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), data, data + count);
            return SORN_VAD_SPEECH;
        }
    };
    auto heard = std::make_shared<Heard>();
    VirtualDevice::SetInputSamples(input, false);
    CWaveIn capture(format, &device, nullptr, heard);
    capture.SetWaveInCB(&CallbackProbe::Callback, 1);  // the detector runs only with a callback
    ASSERT_EQ(capture.Open(4 * 90), 1);
    ASSERT_EQ(capture.Record(), 1);
    VirtualDevice::Advance(520);
    ASSERT_EQ(capture.Stop(), 1);
    IWave* wave = capture.MakeWave();
    ASSERT_NE(wave, nullptr);
    ASSERT_EQ(wave->GetNumSamples(), 520u - 160);
    const auto* data = static_cast<const std::int16_t*>(wave->GetBuffer());
    EXPECT_EQ(std::vector<std::int16_t>(data, data + 2 * 360),
              std::vector<std::int16_t>(input.begin() + 2 * 160, input.end()));

    std::vector<std::int16_t> mono;
    for (std::size_t i = 0; i < input.size(); i += 2)
        mono.push_back(static_cast<std::int16_t>((input[i] + input[i + 1]) / 2));
    std::lock_guard lock(heard->mutex);
    EXPECT_EQ(heard->samples, mono);
}

// A host that reads the recording as it grows (a few frames at a time, the
// trim decided as it goes) ends with exactly MakeWave's clip, and what it
// read never changes afterwards.
TEST_F(Assembly, ReadingAsItGrowsGivesMakeWavesClip) {
    std::vector<std::int16_t> leading(5 * 160, 9);
    const std::vector<std::int16_t> sound = Ramp(3 * 160 + 40, -300);
    leading.insert(leading.end(), sound.begin(), sound.end());
    for (const std::vector<std::int16_t>& input :
         {leading, std::vector<std::int16_t>(1000, 77), Ramp(700, 5), std::vector<std::int16_t>(90, 1)}) {
        VirtualDevice::SetInputSamples(input, false);
        CWaveIn* capture = OpenCapture(100);
        ASSERT_EQ(capture->Record(), 1);
        std::vector<std::int16_t> read;
        std::int16_t chunk[37];
        auto readOn = [&](bool whole) {
            while (const unsigned long got = capture->ReadRecording(read.size(), chunk, 37, whole))
                read.insert(read.end(), chunk, chunk + got);
        };
        for (std::size_t at = 0; at < input.size(); at += 100) {
            VirtualDevice::Advance(100);
            readOn(false);
        }
        const std::vector<std::int16_t> early = read;
        ASSERT_EQ(capture->Stop(), 1);
        readOn(true);
        EXPECT_EQ(std::vector<std::int16_t>(read.begin(), read.begin() + early.size()), early);
        IWave* wave = capture->MakeWave();
        EXPECT_EQ(read, wave ? Samples(wave) : std::vector<std::int16_t>()) << input.size() << " samples";
        capture->Delete();
    }
}

}  // namespace
}  // namespace capture_test
