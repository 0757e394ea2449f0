// CWaveOut on the real sound server: what is played into the default sink
// (a 16 kHz mono null sink) comes back through its monitor, the default
// source, captured with waveIn. Skips when no server answers, unless
// SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>

#include "audio/CWaveDevice.h"
#include "audio_device/Recorder.h"
#include "audio_device/SoundServerDeviceTest.h"
#include "mixer/CMixer.h"
#include "playback/PlaybackTestSupport.h"
#ifndef _WIN32
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerSupport.h"
#endif

namespace {

using namespace sorn::devicetest;
using namespace sorn::test;
using namespace SornMedia::SornAudio;

class SoundServerPlayback : public SoundServerDeviceTest {
protected:
    void SetUp() override {
        SoundServerDeviceTest::SetUp();
        if (Stopped()) return;
        ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR) << "capture from the default device";
        ASSERT_EQ(capture.Start(), MMSYSERR_NOERROR) << "capture from the default device";
        // The monitor is live once it delivers.
        ASSERT_TRUE(
            WaitFor([&] { return capture.Frames() >= kRate / 10; }, std::chrono::seconds(5)));
    }
    void TearDown() override {
        capture.Finish();
        SoundServerDeviceTest::TearDown();
    }

    Recorder capture{320, 4};  // 20 ms blocks
    CWaveDevice device;
    CallbackLog log;
};

// The offset in `signal` at which `reference` fits best: normalised cross-
// correlation of the reference's loudest 1024 samples.
long Align(const std::vector<std::int16_t>& signal, const std::vector<std::int16_t>& reference) {
    constexpr std::size_t kProbe = 1024;
    std::size_t probe = 0;
    double loudest = -1;
    for (std::size_t start = 0; start + kProbe <= reference.size(); start += kProbe / 2) {
        double energy = 0;
        for (std::size_t i = 0; i < kProbe; ++i)
            energy += double(reference[start + i]) * reference[start + i];
        if (energy > loudest) loudest = energy, probe = start;
    }
    long best = -1;
    double bestScore = -2;
    for (std::size_t at = 0; at + kProbe <= signal.size(); ++at) {
        double dot = 0, energy = 0;
        for (std::size_t i = 0; i < kProbe; ++i) {
            dot += double(signal[at + i]) * reference[probe + i];
            energy += double(signal[at + i]) * signal[at + i];
        }
        const double score = energy > 0 ? dot / std::sqrt(energy * loudest) : 0;
        if (score > bestScore)
            bestScore = score, best = static_cast<long>(at) - static_cast<long>(probe);
    }
    return best;
}

TEST_F(SoundServerPlayback, RangeOfSpeechComesBackThroughTheMonitor) {
    const auto speech = Speech("playback-range", "Sorn plays a range of this sentence into the null sink.");
    if (speech.size() < kRate) {
        if (ServerRequired()) FAIL() << "espeak-ng and sox are needed";
        GTEST_SKIP() << "espeak-ng and sox are needed";
    }
    CWave clip;
    LoadClip(clip, speech);
    const unsigned long from = speech.size() / 4, to = speech.size() * 3 / 4;
    CWaveOut out(&clip, &device, nullptr);
    log.Attach(out);
    ASSERT_EQ(out.Open(), 1);
    ASSERT_EQ(out.Play(from, to, 0), 1);
    ASSERT_TRUE(WaitFor([&] { return log.count >= 3; }, std::chrono::seconds(10)))
        << "callbacks: " << log.count;
    EXPECT_EQ(out.IsPlaying(), 0);
    // The monitor lags the sink a little.
    const std::size_t after = capture.Frames() + kRate * 3 / 10;
    ASSERT_TRUE(WaitFor([&] { return capture.Frames() >= after; }, std::chrono::seconds(5)));
    ASSERT_EQ(out.Close(), 1);
    capture.Finish();

    const std::vector<std::int16_t> range(speech.begin() + static_cast<long>(from),
                                          speech.begin() + static_cast<long>(to));
    const auto heard = capture.Samples();
    const long lag = Align(heard, range);
    ASSERT_GE(lag, 0);
    ASSERT_LE(static_cast<std::size_t>(lag) + range.size(), heard.size())
        << "the end was not heard";
    // The sound server may drop the first milliseconds of a new stream (the
    // sink has already rendered them); from there on it must be exact.
    const auto at = [&](std::size_t i) { return heard[static_cast<std::size_t>(lag) + i]; };
    std::size_t lost = 0;
    while (lost + 64 < range.size() && !std::equal(range.begin() + static_cast<long>(lost),
                                                   range.begin() + static_cast<long>(lost) + 64,
                                                   heard.begin() + lag + static_cast<long>(lost)))
        ++lost;
    RecordProperty("onset_samples_lost", static_cast<int>(lost));
    EXPECT_LE(lost, kRate / 20) << "more than 50 ms lost at the start";
    double signal = 0, error = 0, outside = 0;
    for (std::size_t i = 0; i < range.size(); ++i) {
        signal += double(range[i]) * range[i];
        if (i < lost) continue;
        const double d = double(at(i)) - range[i];
        error += d * d;
    }
    for (std::size_t i = 0; i < heard.size(); ++i) {
        if (i + 16 >= static_cast<std::size_t>(lag) &&
            i < static_cast<std::size_t>(lag) + range.size() + 16)
            continue;
        outside += double(heard[i]) * heard[i];
    }
    EXPECT_LT(error / signal, 1e-4) << "what came back differs from the range";
    EXPECT_LT(outside / signal, 1e-3) << "more than the range was played";
}

// A reset takes the stream out of pause: the range played after Pause and
// Stop sounds and ends with its callbacks.
TEST_F(SoundServerPlayback, RangePlayedAfterPauseAndStopSounds) {
    // Half a second quiet, then half a second loud: four pieces each.
    std::vector<std::int16_t> tone(kRate);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>((i < kRate / 2 ? 2000 : 12000) *
                                            std::sin(2 * std::numbers::pi * 440.0 * double(i) / kRate));
    CWave clip;
    LoadClip(clip, tone);
    CWaveOut out(&clip, &device, nullptr);
    log.Attach(out);
    ASSERT_EQ(out.Open(), 1);
    ASSERT_EQ(out.Play(0, kRate / 2, 0), 1);
    ASSERT_EQ(out.Pause(), 1);
    ASSERT_EQ(out.Stop(), 1);
    ASSERT_TRUE(WaitFor([&] { return log.count >= 3; }, std::chrono::seconds(5)));
    ASSERT_EQ(out.Play(kRate / 2, kRate, 0), 1);
    EXPECT_TRUE(WaitFor([&] { return log.count >= 6; }, std::chrono::seconds(5)))
        << "the range after the stop never ended";
    EXPECT_EQ(out.IsPlaying(), 0);
    EXPECT_TRUE(WaitFor([&] { return capture.FirstLoud(8000) >= 0; }, std::chrono::seconds(2)))
        << "the range after the stop never sounded";
}

TEST_F(SoundServerPlayback, StopSilencesTheRangeWithinAHundredMilliseconds) {
    std::vector<std::int16_t> tone(3 * kRate);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(
            8000 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / kRate));
    CWave clip;
    LoadClip(clip, tone);
    CWaveOut out(&clip, &device, nullptr);
    log.Attach(out);
    ASSERT_EQ(out.Open(), 1);
    const std::size_t before = capture.Frames();
    const auto played = Clock::now();
    ASSERT_EQ(out.Play(0, 0xFFFFFFFFul, 0), 1);
    ASSERT_TRUE(WaitFor([&] { return capture.FirstLoud(2000) >= static_cast<long>(before); },
                        std::chrono::seconds(5)))
        << "the tone never came back";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(out.Stop(), 1);
    const auto stopped = Clock::now();
    EXPECT_EQ(out.IsPlaying(), 0);
    ASSERT_TRUE(WaitFor([&] { return log.count >= 3; }, std::chrono::seconds(5)));
    const std::size_t after = capture.Frames() + kRate / 2;
    ASSERT_TRUE(WaitFor([&] { return capture.Frames() >= after; }, std::chrono::seconds(5)));
    capture.Finish();

    const auto heard = capture.Samples();
    long first = -1, last = -1;
    for (std::size_t i = before; i < heard.size(); ++i) {
        if (std::abs(heard[i]) <= 2000) continue;
        if (first < 0) first = static_cast<long>(i);
        last = static_cast<long>(i);
    }
    ASSERT_GE(first, 0);
    const double heardSeconds = double(last - first) / kRate;
    const double elapsed = std::chrono::duration<double>(stopped - played).count();
    RecordProperty("heard_minus_elapsed_ms", static_cast<int>((heardSeconds - elapsed) * 1000));
    EXPECT_GT(heardSeconds, 0.2);
    EXPECT_LT(heardSeconds, 2.5) << "the stop came mid-range";
    EXPECT_LE(heardSeconds, elapsed + 0.1) << "sound went on after Stop";
}

// The volume's mixer is found through a handle the mapper opens for the
// output's format; where the system knows no mixer of such a handle (Wine),
// through the device's id. Either way it has its speakers destination.
TEST_F(SoundServerPlayback, TheOutputsMixerOpensThroughTheMapper) {
    WAVEFORMATEX format = Pcm16(kRate, 1);
    CMixer mixer;
    EXPECT_GT(mixer.OpenForWave(MIXER_OBJECTF_WAVEOUT, format, nullptr), 0);
    EXPECT_GT(mixer.GetNumDestinations(), 0);
}

#ifndef _WIN32  // a private server of the test's own is started on Linux only
// The sound server dies mid-range: the queued pieces come back as a reset
// would return them, so the range ends (IsPlaying 0, one end callback per
// piece in flight) and the position answers 0xFFFFFFFF. Once a server is
// back, the object opens and plays again.
TEST_F(SoundServerDeviceTest, ServerDeathEndsTheRangeWithItsCallbacksAndANewServerServes) {
    sorn::soundtest::PrivateServer server;
    ASSERT_TRUE(server.Start()) << "cannot start a private sound server";
    ASSERT_EQ(sorn::audio::SelectBackend(("pulse:server=" + server.Address()).c_str()), MMSYSERR_NOERROR);
    std::vector<std::int16_t> tone(10 * kRate);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / kRate));
    CWave clip;
    LoadClip(clip, tone);
    CWaveDevice device;
    CallbackLog log;
    CWaveOut out(&clip, &device, nullptr);
    log.Attach(out);
    ASSERT_EQ(out.Open(), 1);
    ASSERT_EQ(out.Play(0, 0xFFFFFFFFul, 0), 1);
    ASSERT_TRUE(WaitFor([&] { return out.GetPosition() > kRate / 2; }, std::chrono::seconds(5)));

    ASSERT_TRUE(server.Kill());
    EXPECT_TRUE(WaitFor([&] { return log.count == 3; }, std::chrono::seconds(2))) << log.count << " end callbacks of 3";
    EXPECT_EQ(out.IsPlaying(), 0);
    EXPECT_EQ(out.GetPosition(), 0xFFFFFFFFul);
    EXPECT_EQ(out.Close(), 1);

    ASSERT_TRUE(server.Start());
    ASSERT_EQ(out.Open(), 1);
    EXPECT_EQ(out.Play(0, kRate / 10, 0), 0) << "one piece";
    EXPECT_TRUE(WaitFor([&] { return log.count == 4; }, std::chrono::seconds(5)));
    EXPECT_EQ(out.Close(), 1);
}
#endif

}  // namespace
