// CWaveOut on the virtual device with a stepped clock: every completion
// happens inside an Advance, so the pieces, results and callbacks are exact.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <thread>

#include "audio/CWaveDevice.h"
#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/WaveLayer.h"
#include "playback/PlaybackTestSupport.h"

namespace {

using sorn::audio::VirtualDevice;
using namespace sorn::test;
using namespace SornMedia::SornAudio;

constexpr unsigned long kToEnd = 0xFFFFFFFFul;

std::vector<std::int16_t> Slice(const std::vector<std::int16_t>& samples, std::size_t from,
                                std::size_t to) {
    return {samples.begin() + static_cast<std::ptrdiff_t>(from),
            samples.begin() + static_cast<std::ptrdiff_t>(to)};
}

// The parts one after the other.
std::vector<std::int16_t> Joined(std::initializer_list<std::vector<std::int16_t>> parts) {
    std::vector<std::int16_t> joined;
    for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

std::string ErrorText(const CWaveOut& out) {
    std::unique_ptr<SornStringA> text(out.GetError());
    return text->ToChars();
}

class SteppedPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sorn::audio::SelectBackend("virtual:clock=stepped"), MMSYSERR_NOERROR);
        VirtualDevice::Reset(VirtualDevice::Clock::Stepped);
    }
    void TearDown() override { EXPECT_TRUE(VirtualDevice::WaitIdle(5000)); }

    // A playback object on the default device, opened on a clip of `samples`.
    std::unique_ptr<CWaveOut> OpenOn(std::size_t samples) {
        clipSamples = PatternSamples(samples);
        LoadClip(clip, clipSamples);
        auto out = std::make_unique<CWaveOut>(&clip, &device, nullptr);
        log.Attach(*out);
        EXPECT_EQ(out->Open(), 1) << ErrorText(*out);
        return out;
    }
    static void Step(std::uint32_t frames) {
        VirtualDevice::Advance(frames);
        ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    }

    CWave clip;
    std::vector<std::int16_t> clipSamples;
    CWaveDevice device;
    CallbackLog log;
};

TEST_F(SteppedPlayback, ClipOfTenThousandBytesGoesOutInThreePiecesStraightFromTheClip) {
    auto out = OpenOn(5000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    EXPECT_EQ(out->IsPlaying(), 1);
    const auto* base = static_cast<char*>(clip.GetBuffer());
    const DWORD lengths[] = {4096, 4096, 1808};
    for (int i = 0; i < 3; ++i) {
        const WAVEHDR header = CWaveOutTestAccess::Header(*out, i);
        EXPECT_EQ(header.dwBufferLength, lengths[i]) << "header " << i;
        EXPECT_EQ(header.lpData, base + 4096 * i) << "header " << i << " is not a view of the clip";
        EXPECT_EQ(header.dwUser, reinterpret_cast<DWORD_PTR>(out.get()));
    }
    EXPECT_EQ(CWaveOutTestAccess::HeaderIndex(*out), 2);

    Step(2048);
    EXPECT_EQ(log.count, 1);
    EXPECT_EQ(log.playingAtFirst, 0) << "playing falls with the first completion of a queued range";
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetPosition(), 2048u);
    Step(2048);
    EXPECT_EQ(log.count, 2);
    Step(904);
    EXPECT_EQ(log.count, 3);
    Step(2000);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
    EXPECT_EQ(ErrorText(*out), "");
}

TEST_F(SteppedPlayback, ClipOfFiveThousandBytesReportsTheShortRingButPlaysBothPieces) {
    auto out = OpenOn(2500);
    EXPECT_EQ(out->Play(0, kToEnd, 0), 0);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 0).dwBufferLength, 4096u);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 1).dwBufferLength, 904u);
    EXPECT_EQ(CWaveOutTestAccess::LastError(*out), MMSYSERR_NOERROR) << "nothing failed";
    Step(2500);
    EXPECT_EQ(log.count, 2);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
}

TEST_F(SteppedPlayback, RangeIsCutInBytesFromFramesAndRefilledUntilItsEnd) {
    auto out = OpenOn(10000);
    // Frames 100 to 9000: bytes 200 to 18000, four full pieces and 1416 bytes.
    ASSERT_EQ(out->Play(100, 9000, 0), 1);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 0).lpData,
              static_cast<char*>(clip.GetBuffer()) + 200);
    for (int piece = 0; piece < 4; ++piece) {
        Step(2048);
        EXPECT_EQ(log.count, piece < 2 ? 0 : piece - 1) << "after piece " << piece;
    }
    Step(708);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(CWaveOutTestAccess::RangeEnd(*out), 18000u);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Slice(clipSamples, 100, 9000));
}

TEST_F(SteppedPlayback, EndPastTheClipPlaysToTheClipsEndAndNoFurther) {
    auto out = OpenOn(5000);
    ASSERT_EQ(out->Play(500, 123456, 0), 1);
    EXPECT_EQ(CWaveOutTestAccess::RangeEnd(*out), 10000u);
    Step(8000);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Slice(clipSamples, 500, 5000));
}

TEST_F(SteppedPlayback, EmptyRangesQueueNothingAndStayPlayingUntilStop) {
    auto out = OpenOn(5000);
    struct Case {
        unsigned long from, to;
    } cases[] = {
        {1000, 1000}, {3000, 2000}, {5000, kToEnd}, {0xFFFFFFF0ul, kToEnd}, {~0ul / 2, ~0ul}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " to " << c.to);
        EXPECT_EQ(out->Play(c.from, c.to, 0), 0);
        EXPECT_EQ(out->IsPlaying(), 1);
        EXPECT_EQ(CWaveOutTestAccess::Header(*out, 0).dwBufferLength, 0u) << "nothing queued";
        Step(1000);
        EXPECT_EQ(log.count, 0);
        EXPECT_EQ(out->IsPlaying(), 1);
        EXPECT_EQ(out->Stop(), 1);
        EXPECT_EQ(out->IsPlaying(), 0);
    }
    EXPECT_TRUE(VirtualDevice::TakeOutput().empty());
}

TEST_F(SteppedPlayback, NewPieceLengthAppliesToTheRefillsOfTheRangePlaying) {
    auto out = OpenOn(10000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    out->ModifyWaveOutBufferLength(1000);
    Step(2048);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 0).dwBufferLength, 1000u);
    EXPECT_EQ(CWaveOutTestAccess::RangePosition(*out), 3 * 4096u + 1000u);
    out->ModifyWaveOutBufferLength(0);  // ignored: the range would never end
    Step(2048);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 1).dwBufferLength, 1000u);
    for (int i = 0; i < 20 && log.count < 3; ++i) Step(500);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
}

// Pieces are whole frames: a piece length that is not is rounded down to the
// clip's block align (never to 0), so no later sample shifts by a byte and
// no channel swaps.
TEST_F(SteppedPlayback, PiecesAreRoundedDownToWholeFrames) {
    struct Case {
        unsigned short channels;
        unsigned long pieceLength;
        DWORD expectedPiece;
    } cases[] = {{1, 1001, 1000}, {2, 4098, 4096}, {2, 1, 4}, {2, 6, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, pieces of " << c.pieceLength);
        clipSamples = PatternSamples(12000);
        SornAudioFormat format(16000, c.channels, static_cast<unsigned short>(2 * c.channels));
        clip.Load(clipSamples.data(), clipSamples.size() * 2, &format);
        CWaveOut out(&clip, &device, nullptr);
        log.Attach(out);
        log.count = 0;
        ASSERT_EQ(out.Open(), 1) << ErrorText(out);
        out.ModifyWaveOutBufferLength(c.pieceLength);
        ASSERT_EQ(out.Play(0, kToEnd, 0), 1);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(CWaveOutTestAccess::Header(out, i).dwBufferLength, c.expectedPiece);
        for (int step = 0; step < 20000 && out.IsPlaying(); ++step) Step(100);
        Step(12000);
        EXPECT_EQ(log.count, 3);
        EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
    }
}

TEST_F(SteppedPlayback, StopReturnsEveryQueuedPieceWithOneCallbackEach) {
    auto out = OpenOn(10000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(100);
    ASSERT_EQ(out->Stop(), 1);
    EXPECT_EQ(out->IsPlaying(), 0);
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(out->GetPosition(), 0u) << "a reset starts the position again";
    Step(10000);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Slice(clipSamples, 0, 100));
}

TEST_F(SteppedPlayback, PlayWhilePlayingStopsTheRangeFirst) {
    auto out = OpenOn(10000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(1000);
    ASSERT_EQ(out->Play(5000, 8000, 0), 0);  // two pieces
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(log.count, 3) << "the stopped range's three pieces";
    EXPECT_EQ(out->IsPlaying(), 1);
    Step(3000);
    EXPECT_EQ(log.count, 5);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Joined({Slice(clipSamples, 0, 1000), Slice(clipSamples, 5000, 8000)}));
}

// playing falls while two pieces are still queued; the ring must not be
// refilled over them.
TEST_F(SteppedPlayback, PlayWhileTheEndOfTheLastRangeIsStillQueued) {
    auto out = OpenOn(5000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(2048);
    ASSERT_EQ(out->IsPlaying(), 0);
    ASSERT_EQ(log.count, 1);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    EXPECT_EQ(log.count, 3) << "the two pieces left come back before the ring is refilled";
    Step(5000);
    EXPECT_EQ(log.count, 6);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Joined({Slice(clipSamples, 0, 2048), clipSamples}));
}

// Play from the end callback queues the next range behind the pieces of the
// last one still queued: nothing of either is lost, and those pieces coming
// back end nothing and call nothing.
TEST_F(SteppedPlayback, PlayFromInsideTheCallbackQueuesTheNextRangeBehindTheTail) {
    auto out = OpenOn(20000);
    std::atomic<int> played{-1};
    log.then = [&](int call) {
        if (call == 1) played = out->Play(10000, 20000, 0);
    };
    // Frames 0 to 10000: five pieces; the first end comes when the third has
    // played, with the last two still queued.
    ASSERT_EQ(out->Play(0, 10000, 0), 1);
    Step(6144);
    EXPECT_EQ(log.count, 1);
    EXPECT_EQ(played, 1) << "the ring is full again; the tail's completions queue the rest";
    EXPECT_EQ(out->IsPlaying(), 1);
    Step(3856);  // the tail of the first range
    EXPECT_EQ(log.count, 1) << "the tail coming back is no end of the new range";
    EXPECT_EQ(out->IsPlaying(), 1);
    Step(10000);
    EXPECT_EQ(log.count, 4);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples) << "both ranges whole, back to back";

    // A next range shorter than the tail: its pieces wait for headers the
    // tail still holds, and it ends only once its own pieces have played.
    log.count = 0;
    log.then = [&](int call) {
        if (call == 1) played = out->Play(0, 2500, 0);
    };
    ASSERT_EQ(out->Play(0, 5000, 0), 1);
    Step(2048);
    EXPECT_EQ(log.count, 1);
    Step(2952);
    EXPECT_EQ(log.count, 1);
    EXPECT_EQ(out->IsPlaying(), 1) << "nothing of the new range has played yet";
    Step(2500);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Joined({Slice(clipSamples, 0, 5000), Slice(clipSamples, 0, 2500)}));
    EXPECT_EQ(ErrorText(*out), "");
}

TEST_F(SteppedPlayback, ClosedDeviceOperationsSucceedWithoutDoingAnything) {
    CWave empty;
    CWaveOut out(&empty, &device, nullptr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "never opened" : "opened and closed");
        EXPECT_EQ(out.Stop(), 1);
        EXPECT_EQ(out.Pause(), 1);
        EXPECT_EQ(out.Continue(), 1);
        EXPECT_EQ(out.Close(), 1);
        EXPECT_EQ(out.GetPosition(), 0xFFFFFFFFul);
        EXPECT_EQ(out.IsPlaying(), 0);
        EXPECT_EQ(ErrorText(out), "");
        ASSERT_EQ(out.Open(), 1);
        ASSERT_EQ(out.Close(), 1);
    }
    EXPECT_FALSE(out.Mute(true));
    EXPECT_EQ(out.VolumeLevel(), 0.0) << "no mixer manager";
    out.VolumeLevel(0.5);
    EXPECT_EQ(out.VolumeLevel(), 0.0);
}

TEST_F(SteppedPlayback, OpenWithoutClipOrDeviceFailsClearly) {
    CWaveOut bare(nullptr);
    EXPECT_EQ(bare.Open(), 0);
    EXPECT_NE(ErrorText(bare), "");
    EXPECT_EQ(bare.Play(0, kToEnd, 0), 0);
    EXPECT_EQ(bare.IsPlaying(), 0);
    CWaveOut noDevice(&clip, nullptr, nullptr);
    EXPECT_EQ(noDevice.Open(), 0);
}

TEST_F(SteppedPlayback, PauseHoldsThePiecesAndContinueGoesOn) {
    auto out = OpenOn(5000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    ASSERT_EQ(out->Pause(), 1);
    Step(5000);
    EXPECT_EQ(log.count, 0);
    EXPECT_EQ(out->IsPlaying(), 1);
    ASSERT_EQ(out->Continue(), 1);
    Step(5000);
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
}

// A reset takes the device out of pause, as the platform's reset does: a
// range played after Stop, or played while paused (Play stops first), sounds.
TEST_F(SteppedPlayback, StopAndPlayTakeAPausedDeviceOutOfPause) {
    auto out = OpenOn(5000);
    ASSERT_EQ(out->Play(0, 1000, 0), 0);  // one piece
    ASSERT_EQ(out->Pause(), 1);
    ASSERT_EQ(out->Stop(), 1);
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(log.count, 1) << "the stopped piece";
    ASSERT_EQ(out->Play(1000, 2000, 0), 0);
    Step(1000);
    EXPECT_EQ(log.count, 2) << "the range after the stop plays";
    EXPECT_EQ(out->IsPlaying(), 0);

    ASSERT_EQ(out->Pause(), 1);
    ASSERT_EQ(out->Play(2000, 3000, 0), 0);  // stops nothing: nothing is queued
    ASSERT_EQ(out->Play(3000, 4000, 0), 0);  // stops the paused range
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    Step(1000);
    EXPECT_EQ(log.count, 4) << "the range played while paused sounds";
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Joined({Slice(clipSamples, 1000, 2000), Slice(clipSamples, 3000, 4000)}));
}

TEST_F(SteppedPlayback, ErrorTextIsThePlatformsTextOfTheLastFailure) {
    auto out = OpenOn(5000);
    EXPECT_EQ(out->GetPosition(), 0u);
    EXPECT_EQ(ErrorText(*out), "") << "after a successful call";

    VirtualDevice::FailNext("waveOutGetPosition", MMSYSERR_NOMEM);
    EXPECT_EQ(out->GetPosition(), 0xFFFFFFFFul);
    char expected[MAXERRORLENGTH] = {};
    ASSERT_EQ(waveOutGetErrorTextA(MMSYSERR_NOMEM, expected, MAXERRORLENGTH), MMSYSERR_NOERROR);
    EXPECT_NE(std::string(expected), "");
    EXPECT_EQ(ErrorText(*out), expected);
    std::unique_ptr<SornStringA> again(out->GetError());
    EXPECT_EQ(std::string(again->ToChars()), expected) << "each call gives a new string";

    VirtualDevice::FailNext("waveOutPause", MMSYSERR_NODRIVER);
    EXPECT_EQ(out->Pause(), 0);
    VirtualDevice::FailNext("waveOutReset", MMSYSERR_NODRIVER);
    EXPECT_EQ(out->Close(), 0) << "a failed stop keeps the device";
    EXPECT_EQ(out->GetPosition(), 0u);
    EXPECT_EQ(out->Close(), 1);
}

TEST_F(SteppedPlayback, FailedWriteIsRolledBackAndTheNextCompletionRetries) {
    auto out = OpenOn(10000);
    VirtualDevice::FailNext("waveOutWrite", MMSYSERR_NOMEM);
    EXPECT_EQ(out->Play(0, kToEnd, 0), 0);
    WAVEHDR first = CWaveOutTestAccess::Header(*out, 0);
    EXPECT_EQ(first.lpData, nullptr);
    EXPECT_EQ(first.dwBufferLength, 0u);
    EXPECT_EQ(first.dwFlags, 0u);
    EXPECT_EQ(first.dwUser, 0u);
    EXPECT_EQ(CWaveOutTestAccess::HeaderIndex(*out), -1);
    EXPECT_EQ(CWaveOutTestAccess::LastError(*out), MMSYSERR_NOMEM) << "the write's code is kept";
    EXPECT_EQ(CWaveOutTestAccess::RangePosition(*out), 0u);
    EXPECT_EQ(out->IsPlaying(), 1);

    // The same in a refill: the next completion queues the piece instead.
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    VirtualDevice::FailNext("waveOutWrite", MMSYSERR_NOMEM);
    Step(2048);
    EXPECT_EQ(CWaveOutTestAccess::HeaderIndex(*out), -1);
    EXPECT_EQ(CWaveOutTestAccess::RangePosition(*out), 3 * 4096u);
    Step(2048);
    EXPECT_EQ(CWaveOutTestAccess::HeaderIndex(*out), 0);
    EXPECT_EQ(CWaveOutTestAccess::RangePosition(*out), 4 * 4096u);
    Step(2048);
    Step(2048);
    Step(1808);
    EXPECT_EQ(log.count, 2) << "one piece fewer was in flight when the range was queued";
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
}

// Refills that fail until no piece is left queued to try again: the range
// cannot go on and ends with its callback instead of playing forever.
TEST_F(SteppedPlayback, RefillsFailingUntilNothingIsQueuedEndTheRange) {
    auto out = OpenOn(20000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    for (int piece = 0; piece < 3; ++piece) {
        VirtualDevice::FailNext("waveOutPrepareHeader", MMSYSERR_NOMEM);
        Step(2048);
    }
    EXPECT_EQ(log.count, 1);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(VirtualDevice::TakeOutput(), Slice(clipSamples, 0, 3 * 2048));
}

TEST_F(SteppedPlayback, FailedPrepareLeavesTheHeaderFilled) {
    auto out = OpenOn(5000);
    VirtualDevice::FailNext("waveOutPrepareHeader", MMSYSERR_NOMEM);
    EXPECT_EQ(out->Play(0, kToEnd, 0), 0);
    EXPECT_EQ(CWaveOutTestAccess::HeaderIndex(*out), 0);
    EXPECT_EQ(CWaveOutTestAccess::Header(*out, 0).dwBufferLength, 4096u);
    EXPECT_EQ(CWaveOutTestAccess::LastError(*out), MMSYSERR_NOMEM);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1) << "the header is used again";
    Step(5000);
    EXPECT_EQ(VirtualDevice::TakeOutput(), clipSamples);
}

TEST_F(SteppedPlayback, DestructionMidPlayReturnsAfterTheLastCallback) {
    std::atomic<int> finished{0};
    auto out = OpenOn(10000);
    log.then = [&](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        finished.fetch_add(1);
    };
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(100);
    out.reset();
    EXPECT_EQ(finished.load(), 3);
    Step(10000);
    EXPECT_EQ(finished.load(), 3) << "no callback after the destructor";
}

// Deleting the object from its own end callback: the pieces still queued
// come back without reaching it, no callback follows, and the device is
// closed once that delivery has returned.
TEST_F(SteppedPlayback, DeletionFromItsOwnEndCallbackClosesTheDeviceAfterwards) {
    CWaveOut* out = OpenOn(10000).release();  // five pieces
    log.then = [&](int call) {
        if (call == 1) out->Delete();
    };
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(6144);  // the third piece: the first end, with two pieces queued
    EXPECT_EQ(log.count, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sorn::audio::detail::OpenDeviceCount() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sorn::audio::detail::OpenDeviceCount(), 0u) << "the device is closed";
    Step(10000);
    EXPECT_EQ(log.count, 1) << "no callback after the deletion";
    EXPECT_EQ(VirtualDevice::TakeOutput(), Slice(clipSamples, 0, 6144));
}

TEST_F(SteppedPlayback, DestructionRetriesAFailedStop) {
    auto out = OpenOn(10000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    VirtualDevice::FailNext("waveOutReset", MMSYSERR_NOMEM);
    out.reset();
    EXPECT_EQ(log.count, 3);
}

// A device that vanishes mid-range hands its pieces back; the refills fail
// with the device's code and the range ends there, as after Stop: playing
// falls and each piece that came back calls the end callback. Closing
// still works.
TEST_F(SteppedPlayback, LostDeviceEndsTheRangeReportsItsErrorAndClosesCleanly) {
    auto out = OpenOn(20000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    Step(2048);
    VirtualDevice::Disconnect();
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_NE(ErrorText(*out), "");
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(out->IsPlaying(), 0);
    EXPECT_EQ(out->GetPosition(), 0xFFFFFFFFul);
    EXPECT_EQ(out->Close(), 1);
    EXPECT_EQ(out->Open(), 1) << "a new stream on the device that is back";
}

TEST_F(SteppedPlayback, SecondOpenClosesTheFirstDeviceAndItsPieces) {
    auto out = OpenOn(10000);
    ASSERT_EQ(out->Play(0, kToEnd, 0), 1);
    ASSERT_EQ(out->Open(), 1);
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(log.count, 3);
    EXPECT_EQ(out->IsPlaying(), 0);
    ASSERT_EQ(out->Play(0, 100, 0), 0);
    Step(100);
    EXPECT_EQ(log.count, 4);
}

// Real-time clock: play, stop, replay and destroy in every order while
// another thread watches, with callbacks that call back in.
TEST(RealTimePlayback, PlayStopDestroyLoop) {
    ASSERT_EQ(sorn::audio::SelectBackend("virtual:clock=realtime"), MMSYSERR_NOERROR);
    VirtualDevice::Reset(VirtualDevice::Clock::RealTime);
    CWave clip;
    LoadClip(clip, PatternSamples(800));  // 50 ms
    CWaveDevice device;
    for (int round = 0; round < 24; ++round) {
        CallbackLog log;
        auto out = std::make_unique<CWaveOut>(&clip, &device, nullptr);
        CWaveOut* playback = out.get();
        out->ModifyWaveOutBufferLength(round % 2 ? 256 : 4096);
        log.Attach(*out);
        log.then = [playback, round](int call) {
            playback->GetPosition();
            if (round % 3 == 0 && call == 1) playback->Stop();
        };
        ASSERT_EQ(out->Open(), 1);
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            while (!done) {
                out->IsPlaying();
                out->GetPosition();
                std::this_thread::yield();
            }
        });
        out->Play(0, kToEnd, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4 * 5));
        if (round % 4 == 1) out->Play(100, 700, 0);
        if (round % 4 == 2) out->Stop();
        done = true;
        watcher.join();
        out.reset();
        const int calls = log.count;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(log.count, calls) << "round " << round;
    }
}

}  // namespace
