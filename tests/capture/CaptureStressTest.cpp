// Reliability of CWaveIn: many recordings that stop by themselves, stops
// racing the worker, and objects destroyed in the middle of a recording.
// Run under the address and thread sanitizers, these find leaks, races and
// hangs.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/capture/CaptureSupport.h"

namespace capture_test {
namespace {

TEST_F(VirtualCapture, AThousandRecordingsStopByThemselvesWithEveryByteOnce) {
    detector.Install();
    CWaveIn* capture = OpenCapture(32);
    probe.capture = capture;
    capture->SetWaveInCB(&CallbackProbe::Callback, 11);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        detector.calls = 0;
        detector.endAt = 2;
        signal.Forget();
        ASSERT_EQ(capture->Record(), 1) << "cycle " << cycle;
        VirtualDevice::Advance(32);
        VirtualDevice::Advance(32 + cycle % 20);  // block 2 ends the speech
        if (cycle % 3 == 0) {
            EXPECT_EQ(capture->Stop(), 1);  // races the worker's stop
        }
        ASSERT_TRUE(probe.WaitFor(cycle + 1)) << "cycle " << cycle;
        const std::vector<std::int16_t> delivered = signal.Produced();
        {
            std::lock_guard lock(probe.mutex);
            ASSERT_EQ(probe.clip, delivered) << "cycle " << cycle;
            ASSERT_EQ(probe.recordingInCallback, 0);
        }
        ASSERT_EQ(Samples(capture->MakeWave()), delivered) << "cycle " << cycle;
    }
    capture->Delete();
    EXPECT_EQ(probe.Count(), 1000);
}

TEST_F(VirtualCapture, ARecordRacingTheWorkerIsNeverStoppedByTheOldRecordingsWorker) {
    detector.Install();
    CWaveIn* capture = OpenCapture(32);
    capture->SetWaveInCB(&CallbackProbe::Callback, 12);
    ASSERT_EQ(capture->Record(), 1);
    for (int cycle = 0; cycle < 300; ++cycle) {
        detector.calls = 0;
        detector.endAt = 1;
        VirtualDevice::Advance(32);  // releases this recording's worker
        detector.endAt = 0;          // the next recording never ends by itself
        ASSERT_EQ(capture->Record(), 1) << "cycle " << cycle;
        VirtualDevice::Advance(32);
        ASSERT_EQ(capture->IsRecording(), 1) << "cycle " << cycle;
    }
    ASSERT_EQ(capture->Stop(), 1);
    capture->Delete();
    EXPECT_LE(probe.Count(), 300);
}

TEST_F(VirtualCapture, AHundredObjectsDestroyedMidRecordingLeaveNothingBehind) {
    detector.Install();
    for (int i = 0; i < 100; ++i) {
        detector.calls = 0;
        detector.endAt = i % 4 == 0 ? 3 : 0;  // every fourth releases its worker just before
        CWaveIn* capture = OpenCapture(48);
        if (i % 2 == 0) capture->SetWaveInCB(&CallbackProbe::Callback, static_cast<unsigned long>(i));
        ASSERT_EQ(capture->Record(), 1);
        for (int step = 0; step < i % 5; ++step) VirtualDevice::Advance(48);
        VirtualDevice::Advance(static_cast<std::uint32_t>(i % 7));
        if (i % 3 == 0) capture->Pause();
        capture->Delete();  // headers with the device, the worker maybe running
    }
    // Several at once on the same device.
    std::vector<CWaveIn*> captures;
    for (int i = 0; i < 4; ++i) {
        captures.push_back(OpenCapture(64));
        ASSERT_EQ(captures.back()->Record(), 1);
    }
    VirtualDevice::Advance(200);
    for (CWaveIn* capture : captures) capture->Delete();
}

TEST_F(VirtualCapture, AWorkerReleasedByTheDestructorsOwnResetNeverActs) {
    // Only a partly filled block, which only a reset returns, ends the
    // speech: every object whose header holds a few frames when it is
    // destroyed releases its worker on the destructor's own reset. Two
    // objects are destroyed at a time, as a busy host would.
    auto endOnPart = std::make_shared<VerdictByLength>(
        [](unsigned count) { return count < 160 ? SORN_VAD_SPEECH_END : SORN_VAD_SPEECH; });
    auto destroyMany = [this, endOnPart](unsigned long user) {
        for (int i = 0; i < 150; ++i) {
            CWaveIn* capture = OpenCapture(160, endOnPart);
            capture->SetWaveInCB(&CallbackProbe::Callback, user);
            EXPECT_EQ(capture->Record(), 1);
            VirtualDevice::Advance(160);
            VirtualDevice::Advance(50);
            capture->Delete();
        }
    };
    std::thread other(destroyMany, 1);
    destroyMany(2);
    other.join();
    EXPECT_EQ(probe.Count(), 0);
}

TEST(RealTimeCapture, RecordingsOnARunningClockStopByThemselvesWithoutGaps) {
    // The clock runs on its own thread: deliveries, the worker and the
    // caller really overlap.
    ASSERT_EQ(sorn::audio::SelectBackend("virtual:clock=realtime"), MMSYSERR_NOERROR);
    VirtualDevice::Reset(VirtualDevice::Clock::RealTime);
    VirtualDevice::SetInputGenerator([](std::int16_t* out, std::size_t count, std::uint64_t first) {
        for (std::size_t i = 0; i < count; ++i) out[i] = Signal::Value(first + i);
    });
    auto scripted = std::make_shared<ScriptedDetector>();
    ScriptedDetector& detector = *scripted;
    CallbackProbe probe;
    CallbackProbe::current = &probe;
    CWaveDevice device(0xFFFFFFFFu);
    auto* capture = new CWaveIn(nullptr, scripted);
    capture->SetDevice(&device);
    ASSERT_EQ(capture->Open(3200), 1);  // 100 ms blocks at 16 kHz: no overrun on a busy machine
    probe.capture = capture;
    capture->SetWaveInCB(&CallbackProbe::Callback, 5);
    for (int cycle = 0; cycle < 15; ++cycle) {
        detector.calls = 0;
        detector.endAt = 2 + cycle % 2;
        ASSERT_EQ(capture->Record(), 1);
        ASSERT_TRUE(probe.WaitFor(cycle + 1)) << "cycle " << cycle;
        std::lock_guard lock(probe.mutex);
        // The signal counts up by one: any lost or repeated sample shows.
        ASSERT_GE(probe.clip.size(), static_cast<std::size_t>(detector.endAt) * 1600);
        for (std::size_t i = 1; i < probe.clip.size(); ++i) {
            const int step = (probe.clip[i] - probe.clip[i - 1] + 32749) % 32749;
            ASSERT_EQ(step, 1) << "cycle " << cycle << " sample " << i;
        }
    }
    // Destroyed while recording on the running clock.
    ASSERT_EQ(capture->Record(), 1);
    capture->Delete();
    CallbackProbe::current = nullptr;
    VirtualDevice::Reset(VirtualDevice::Clock::Stepped);
}

}  // namespace
}  // namespace capture_test
