// CWaveIn on the stepped virtual device: recording, the auto-stop worker, the
// user callback, and the operations on a closed device.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/capture/CaptureSupport.h"

namespace capture_test {
namespace {

std::string ErrorText(CWaveIn* capture) {
    std::unique_ptr<SornStringA, void (*)(SornStringA*)> text(capture->GetError(),
                                                              [](SornStringA* s) { delete s; });
    return text ? text->ToChars() : "(null)";
}

TEST_F(VirtualCapture, EndVerdictStopsOnTheWorkerAndCallsBackOnceWithTheWholeRecording) {
    CWaveIn* capture = OpenProbedCapture(5, 4242);
    ASSERT_EQ(capture->Record(), 1);
    EXPECT_EQ(capture->IsRecording(), 1);

    for (int i = 0; i < 4; ++i) VirtualDevice::Advance(160);
    EXPECT_EQ(probe.Count(), 0);
    EXPECT_EQ(capture->IsRecording(), 1);
    // Block 5 ends the speech; 50 more frames are already in the next header
    // when the worker resets the device.
    VirtualDevice::Advance(160 + 50);
    ASSERT_TRUE(probe.WaitFor(1));
    const std::vector<std::int16_t> delivered = signal.Produced();
    VirtualDevice::Advance(400);  // stopped: nothing more is captured

    EXPECT_EQ(probe.Count(), 1);
    EXPECT_EQ(probe.user, 4242u);
    EXPECT_NE(probe.thread, std::this_thread::get_id());
    EXPECT_NE(probe.thread, detector.Thread());
    EXPECT_NE(detector.Thread(), std::this_thread::get_id());
    // Inside the callback the recording had stopped and MakeWave saw every
    // block, the one the reset returned included.
    EXPECT_EQ(probe.recordingInCallback, 0);
    EXPECT_EQ(delivered.size(), 850u);
    EXPECT_EQ(probe.clip, delivered);
    EXPECT_EQ(Samples(capture->MakeWave()), delivered);
    EXPECT_EQ(detector.calls.load(), 6);  // the returned block is looked at too
    EXPECT_EQ(capture->IsRecording(), 0);
    EXPECT_EQ(capture->Stop(), 1);
    capture->Delete();
    EXPECT_EQ(probe.Count(), 1);
}

TEST_F(VirtualCapture, WithoutCallbackNoDetectorRunsAndOnlyStopEndsTheRecording) {
    detector.endAt = 1;  // would end at once if it were asked
    detector.Install();
    CWaveIn* capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    for (int i = 0; i < 6; ++i) VirtualDevice::Advance(160);
    VirtualDevice::Advance(30);
    EXPECT_EQ(capture->IsRecording(), 1);
    EXPECT_EQ(detector.calls.load(), 0);
    EXPECT_EQ(capture->Stop(), 1);
    EXPECT_EQ(capture->IsRecording(), 0);
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    EXPECT_EQ(signal.Produced().size(), 6u * 160 + 30);
    capture->Delete();
    EXPECT_EQ(probe.Count(), 0);
}

TEST_F(VirtualCapture, RecordWhileRecordingStartsOverWithAnEmptyList) {
    CWaveIn* capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(3 * 160 + 50);
    ASSERT_EQ(capture->Record(), 1);
    EXPECT_EQ(capture->IsRecording(), 1);
    const std::size_t before = signal.Produced().size();
    VirtualDevice::Advance(2 * 160 + 7);
    ASSERT_EQ(capture->Stop(), 1);
    const std::vector<std::int16_t> all = signal.Produced();
    const std::vector<std::int16_t> second(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(second.size(), 2u * 160 + 7);
    EXPECT_EQ(Samples(capture->MakeWave()), second);
    capture->Delete();
}

TEST_F(VirtualCapture, AWorkerLeftArmedByASecondRecordNeverRuns) {
    detector.Install();  // no end verdict yet
    CWaveIn* capture = OpenCapture(160);
    capture->SetWaveInCB(&CallbackProbe::Callback, 7);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(2 * 160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(2 * 160);
    EXPECT_EQ(probe.Count(), 0);

    // Only the second recording's worker answers its end verdict.
    detector.endAt = detector.calls + 1;
    VirtualDevice::Advance(160);
    ASSERT_TRUE(probe.WaitFor(1));
    EXPECT_EQ(capture->IsRecording(), 0);
    VirtualDevice::Advance(3 * 160);
    capture->Delete();  // waits for every worker that was released
    EXPECT_EQ(probe.Count(), 1);
    EXPECT_EQ(probe.user, 7u);
}

TEST_F(VirtualCapture, ArmedWorkersOfRecordsWithoutEndVerdictNeverRun) {
    detector.Install();
    CWaveIn* capture = OpenCapture(160);
    capture->SetWaveInCB(&CallbackProbe::Callback, 1);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(capture->Record(), 1);
        VirtualDevice::Advance(160);
    }
    EXPECT_EQ(capture->Stop(), 1);
    capture->Delete();
    EXPECT_EQ(probe.Count(), 0);
}

TEST_F(VirtualCapture, StopTwiceSucceedsBothTimes) {
    CWaveIn* capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(200);
    EXPECT_EQ(capture->Stop(), 1);
    EXPECT_EQ(capture->Stop(), 1);
    EXPECT_EQ(capture->IsRecording(), 0);
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    capture->Delete();
}

TEST_F(VirtualCapture, OperationsOnAClosedDeviceSucceedWithoutEffect) {
    CWaveIn capture(nullptr);
    // What a closed object answers: success without effect, no position.
    auto expectClosed = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(capture.IsRecording(), 0);
        EXPECT_EQ(capture.Stop(), 1);
        EXPECT_EQ(capture.Pause(), 1);
        EXPECT_EQ(capture.Continue(), 1);
        EXPECT_EQ(capture.Close(), 1);
        EXPECT_EQ(capture.GetPosition(), CWaveIn::kNoPosition);
    };
    expectClosed("never opened");
    EXPECT_EQ(ErrorText(&capture), "");
    EXPECT_FALSE(capture.Mute(true));
    EXPECT_EQ(capture.VolumeLevel(), 0.0);
    capture.VolumeLevel(0.5);  // no mixer: ignored
    EXPECT_EQ(capture.VolumeLevel(), 0.0);
    EXPECT_EQ(capture.MakeWave(), nullptr);

    // Record before Open fails at the first prepare, with the platform's text.
    EXPECT_EQ(capture.Record(), 0);
    EXPECT_NE(ErrorText(&capture), "");
    EXPECT_EQ(capture.IsRecording(), 0);

    // Open without a device selection is refused, not followed.
    EXPECT_EQ(capture.Open(320), 0);
    EXPECT_NE(ErrorText(&capture), "");

    // Once opened and closed again, the same holds.
    capture.SetDevice(&device);
    ASSERT_EQ(capture.Open(320), 1);
    ASSERT_EQ(capture.Record(), 1);
    VirtualDevice::Advance(100);
    EXPECT_EQ(capture.Close(), 1);
    expectClosed("closed again");
    EXPECT_EQ(Samples(capture.MakeWave()), signal.Produced());
}

TEST_F(VirtualCapture, IsRecordingAndPositionFollowTheStates) {
    CWaveIn* capture = OpenCapture(160);
    EXPECT_EQ(capture->IsRecording(), 0);
    EXPECT_EQ(capture->GetPosition(), 0u);
    ASSERT_EQ(capture->Record(), 1);
    EXPECT_EQ(capture->IsRecording(), 1);
    VirtualDevice::Advance(480);
    EXPECT_EQ(capture->GetPosition(), 480u);

    // Pause returns the partly filled header and keeps its bytes; the header
    // goes back to the device, so the recording goes on after Continue.
    VirtualDevice::Advance(70);
    ASSERT_EQ(capture->Pause(), 1);
    EXPECT_EQ(capture->IsRecording(), 1);
    VirtualDevice::Advance(300);
    ASSERT_EQ(capture->Continue(), 1);
    VirtualDevice::Advance(160);
    EXPECT_EQ(capture->IsRecording(), 1);

    ASSERT_EQ(capture->Stop(), 1);
    EXPECT_EQ(capture->IsRecording(), 0);
    EXPECT_EQ(capture->GetPosition(), 0u);  // a reset starts the count again
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    EXPECT_EQ(signal.Produced().size(), 480u + 70 + 160);

    ASSERT_EQ(capture->Record(), 1);
    EXPECT_EQ(capture->IsRecording(), 1);
    EXPECT_EQ(capture->Close(), 1);
    EXPECT_EQ(capture->IsRecording(), 0);
    capture->Delete();
}

TEST_F(VirtualCapture, TheFormatGivenToTheConstructorReachesTheClip) {
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    CWaveIn capture(format, &device, nullptr);
    ASSERT_EQ(capture.Open(160), 1);
    ASSERT_EQ(capture.Record(), 1);
    VirtualDevice::Advance(400);
    ASSERT_EQ(capture.Stop(), 1);
    IWave* wave = capture.MakeWave();
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(wave->GetSamplesPerSec(), 8000u);
    EXPECT_EQ(wave->AudioFormat()->BlockAlign(), 2);
    EXPECT_EQ(Samples(wave), signal.Produced());
}

TEST_F(VirtualCapture, AFailedQueueInRecordReturnsZeroAndTheNextRecordWorks) {
    CWaveIn* capture = OpenCapture(160);
    VirtualDevice::FailNext("waveInAddBuffer", MMSYSERR_NOMEM);
    EXPECT_EQ(capture->Record(), 0);
    EXPECT_NE(ErrorText(capture), "");
    ASSERT_EQ(capture->Record(), 1);
    signal.Forget();
    VirtualDevice::Advance(3 * 160);
    ASSERT_EQ(capture->Stop(), 1);
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    capture->Delete();
}

TEST_F(VirtualCapture, OpenTwiceClosesTheFirstDevice) {
    CWaveIn* capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(200);
    ASSERT_EQ(capture->Open(320), 1);
    EXPECT_EQ(capture->IsRecording(), 0);
    ASSERT_EQ(capture->Record(), 1);
    signal.Forget();
    VirtualDevice::Advance(320);
    ASSERT_EQ(capture->Stop(), 1);
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    capture->Delete();
}

TEST_F(VirtualCapture, ALostDeviceNeitherHangsNorLeaks) {
    detector.Install();
    CWaveIn* capture = OpenCapture(160);
    capture->SetWaveInCB(&CallbackProbe::Callback, 3);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(400);
    VirtualDevice::Disconnect();
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(capture->IsRecording(), 0);
    capture->Stop();
    // Every byte captured before the loss is kept.
    EXPECT_EQ(Samples(capture->MakeWave()), signal.Produced());
    EXPECT_EQ(capture->Record(), 0);
    EXPECT_NE(ErrorText(capture), "");
    capture->Delete();
    EXPECT_EQ(probe.Count(), 0);
}

TEST_F(VirtualCapture, TheUserCallbackMayStartTheNextRecording) {
    CWaveIn* capture = OpenProbedCapture(2, 8);
    probe.recordsInCallback = 1;
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(160);
    VirtualDevice::Advance(160);
    ASSERT_TRUE(probe.WaitFor(1));
    EXPECT_EQ(capture->IsRecording(), 1);  // the callback's recording runs

    // The new recording has a worker of its own (the detector still says
    // "ended", so its first block stops it).
    signal.Forget();
    VirtualDevice::Advance(160);
    ASSERT_TRUE(probe.WaitFor(2));
    EXPECT_EQ(capture->IsRecording(), 0);
    {
        std::lock_guard lock(probe.mutex);
        EXPECT_EQ(probe.clip, signal.Produced());
    }
    capture->Delete();
    EXPECT_EQ(probe.Count(), 2);
}

TEST_F(VirtualCapture, TheUserCallbackMayDestroyTheCaptureObject) {
    CWaveIn* capture = OpenProbedCapture(2, 9);
    probe.deleteInCallback = true;
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(160);
    VirtualDevice::Advance(160 + 20);
    ASSERT_TRUE(probe.WaitFor(1));
    std::lock_guard lock(probe.mutex);
    EXPECT_EQ(probe.clip.size(), signal.Produced().size());
    EXPECT_EQ(probe.clip, signal.Produced());
    EXPECT_EQ(probe.capture, nullptr);
}

TEST_F(VirtualCapture, AFailedCloseIsRetriedAndBlocksTheDeviceHoldsAreNeverFreed) {
    // One refused reset: the destructor's close is tried again, and the
    // device gives every header back before the object goes.
    CWaveIn* capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(160 + 50);
    VirtualDevice::FailNext("waveInReset", MMSYSERR_ERROR);
    capture->Delete();
    VirtualDevice::Advance(400);  // nothing of the object may be filled now

    // A device that refuses every reset keeps its headers: the object goes,
    // what the device holds stays valid, and whatever it still delivers
    // reaches nothing.
    capture = OpenCapture(160);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(100);
    VirtualDevice::FailNext("waveInReset", MMSYSERR_ERROR, 1000);
    capture->Delete();
    for (int i = 0; i < 4; ++i) VirtualDevice::Advance(160);
    // The device finally lets go: its headers come back to no object, and
    // their blocks are freed then (the leak check sees nothing left).
    VirtualDevice::Disconnect();
    EXPECT_TRUE(VirtualDevice::WaitIdle(5000));
}

// A user callback that is still busy with the object 300 ms after it began.
struct SlowCallback {
    static inline std::atomic<CWaveIn*> capture{nullptr};
    static inline std::atomic<int> entered{0};
    static inline std::atomic<int> done{0};
    static void Callback(unsigned long) {
        ++entered;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        IWave* wave = capture.load()->MakeWave();
        if (wave) wave->GetNumSamples();
        ++done;
    }
};

TEST_F(VirtualCapture, ARecordWhileTheUserCallbackRunsLeavesThatWorkerWaitedFor) {
    // The callback is still busy with the object when the caller starts the
    // next recording and then destroys the object.
    SlowCallback::entered = 0;
    SlowCallback::done = 0;
    detector.endAt = 2;
    detector.Install();
    CWaveIn* capture = OpenCapture(160);
    SlowCallback::capture = capture;
    capture->SetWaveInCB(&SlowCallback::Callback, 1);
    ASSERT_EQ(capture->Record(), 1);
    VirtualDevice::Advance(160);
    VirtualDevice::Advance(160);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SlowCallback::entered == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(SlowCallback::entered.load(), 1);
    ASSERT_EQ(capture->Record(), 1);
    capture->Delete();  // waits for the first recording's callback too
    EXPECT_EQ(SlowCallback::done.load(), 1);
}

}  // namespace
}  // namespace capture_test
