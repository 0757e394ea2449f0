// The waveOut operations on the stepped virtual device.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "WaveTestSupport.h"

using namespace wavetest;
using sorn::audio::VirtualDevice;

using WaveOut = SteppedDevice;

TEST_F(WaveOut, CompletionsArriveOncePerHeaderInQueueOrderOnTheNotificationThread) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(100, 0), b(100, 1000), c(100, 2000);
    for (Block* block : {&a, &b, &c}) {
        ASSERT_EQ(waveOutPrepareHeader(device, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(block->header.dwFlags, WHDR_PREPARED);
        ASSERT_EQ(waveOutWrite(device, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(block->header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    }
    EXPECT_EQ(Position(device), 0u);  // written, not played

    VirtualDevice::Advance(250);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(c.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(Position(device), 250u);

    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
    EXPECT_EQ(Position(device), 300u);
    for (const Call& call : recorder.Calls()) {
        if (call.message == WOM_DONE) {
            EXPECT_NE(call.thread, std::this_thread::get_id());
            EXPECT_EQ(call.flags, WHDR_PREPARED | WHDR_DONE);
        } else {
            EXPECT_EQ(call.thread, std::this_thread::get_id()) << "the open notice is the caller's";
        }
    }
    EXPECT_EQ(recorder.Calls().front().message, WOM_OPEN);

    // What was played is exactly what was queued, in order.
    std::vector<std::int16_t> played = VirtualDevice::TakeOutput();
    std::vector<std::int16_t> expected = a.data;
    expected.insert(expected.end(), b.data.begin(), b.data.end());
    expected.insert(expected.end(), c.data.begin(), c.data.end());
    EXPECT_EQ(played, expected);

    for (Block* block : {&a, &b, &c}) EXPECT_EQ(waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR)), 0u);
    EXPECT_EQ(a.header.dwFlags, WHDR_DONE);
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Calls().back().message, WOM_CLOSE);
}

TEST_F(WaveOut, PositionCountsFramesPlayedSinceOpenOrReset) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder, Pcm16(8000, 2));
    Block block(2000);  // 1000 stereo frames
    Queue(device, {&block});
    VirtualDevice::Advance(400);
    EXPECT_EQ(Position(device), 400u);
    MMTIME time{};
    time.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.cb, 1600u);
    time.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.ms, 50u);
    time.wType = TIME_SMPTE;  // not kept: answered in samples
    ASSERT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.wType, TIME_SAMPLES);
    EXPECT_EQ(time.u.sample, 400u);
    EXPECT_EQ(waveOutGetPosition(device, nullptr, sizeof time), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutGetPosition(device, &time, 2), MMSYSERR_ERROR);  // a short record

    // The queue running dry is silence, not played frames.
    VirtualDevice::Advance(5000);
    EXPECT_EQ(Position(device), 1000u);

    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(Position(device), 0u);
    waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    waveOutClose(device);
}

TEST_F(WaveOut, ResetReturnsEveryQueuedHeaderDoneThroughTheCallbackBeforeItReturns) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(100), b(100), c(100);
    Queue(device, {&a, &b, &c});
    VirtualDevice::Advance(50);  // a is half played
    EXPECT_EQ(Position(device), 50u);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);

    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
    for (Block* block : {&a, &b, &c}) EXPECT_EQ(block->header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(Position(device), 0u);
    EXPECT_EQ(VirtualDevice::TakeOutput().size(), 50u);

    // Nothing is left to play; a second reset returns nothing.
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Count(WOM_DONE), 3u);
    VirtualDevice::Advance(500);
    EXPECT_EQ(Position(device), 0u);

    // After the reset the device plays again from position 0.
    waveOutWrite(device, &a.header, sizeof(WAVEHDR));
    VirtualDevice::Advance(100);
    EXPECT_EQ(Position(device), 100u);
    EXPECT_EQ(recorder.Count(WOM_DONE), 4u);
    for (Block* block : {&a, &b, &c}) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, PauseHoldsTheClockAndRestartGoesOnWithTheSameHeaders) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(100), b(100);
    Queue(device, {&a, &b});
    VirtualDevice::Advance(60);
    ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPause(device), MMSYSERR_NOERROR);  // a second pause is harmless
    VirtualDevice::Advance(1000);
    EXPECT_EQ(Position(device), 60u);
    EXPECT_EQ(recorder.Count(WOM_DONE), 0u);
    EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);

    ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
    VirtualDevice::Advance(140);
    EXPECT_EQ(Position(device), 200u);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(VirtualDevice::TakeOutput().size(), 200u);
    for (Block* block : {&a, &b}) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    waveOutClose(device);
}

TEST_F(WaveOut, HeaderRulesArePreparedFirstAndNothingTouchesAQueuedHeader) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block block(100);
    EXPECT_EQ(waveOutWrite(device, &block.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(device, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(device, &block.header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutPrepareHeader(device, &block.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(device, &block.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);  // again: fine
    ASSERT_EQ(waveOutWrite(device, &block.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);

    EXPECT_EQ(waveOutWrite(device, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    // Clearing the flags does not fool the layer: it knows its queue.
    block.header.dwFlags = WHDR_PREPARED;
    EXPECT_EQ(waveOutWrite(device, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    // Nor another device: a header is in one queue at a time.
    Recorder otherRecorder;
    HWAVEOUT other = OpenOut(&otherRecorder);
    EXPECT_EQ(waveOutWrite(other, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(other, &block.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(other), MMSYSERR_NOERROR);

    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Count(WOM_DONE), 1u);
    EXPECT_EQ(waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(block.header.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveOutWrite(device, &block.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, EmptyAndOddLengthHeadersCompleteInTheirTurn) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(10), empty(0), b(10);
    b.header.dwBufferLength = 7;  // three whole frames and half of one
    Queue(device, {&a, &empty, &b});
    EXPECT_EQ(recorder.Count(WOM_DONE), 0u);  // the empty one waits for the one before it
    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &empty.header, &b.header}));
    EXPECT_EQ(Position(device), 13u);
    for (Block* block : {&a, &empty, &b}) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    waveOutClose(device);
}

TEST_F(WaveOut, BadOrClosedHandlesAreRefusedNotDereferenced) {
    Recorder recorder;
    HWAVEOUT closed = OpenOut(&recorder);
    ASSERT_EQ(waveOutClose(closed), MMSYSERR_NOERROR);
    HWAVEIN input = OpenIn(&recorder);
    Block block(10);
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    for (HWAVEOUT bad : {static_cast<HWAVEOUT>(nullptr), closed, reinterpret_cast<HWAVEOUT>(input),
                         reinterpret_cast<HWAVEOUT>(&block)}) {
        EXPECT_EQ(waveOutClose(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutPrepareHeader(bad, &block.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutUnprepareHeader(bad, &block.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutWrite(bad, &block.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutPause(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutRestart(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutReset(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutGetPosition(bad, &time, sizeof time), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(waveInClose(reinterpret_cast<HWAVEIN>(closed)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(input), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, OpenTakesOnly16BitPcmAndAFormatQueryOpensNothing) {
    WAVEFORMATEX good = Pcm16(16000, 1);
    HWAVEOUT device = reinterpret_cast<HWAVEOUT>(0x1234);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(device, reinterpret_cast<HWAVEOUT>(0x1234));
    EXPECT_EQ(sorn::audio::detail::OpenDeviceCount(), 0u);

    // What the query says of `good` with one thing changed.
    auto queried = [&](auto change) {
        WAVEFORMATEX format = good;
        change(format);
        return waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY);
    };
    EXPECT_EQ(queried([](WAVEFORMATEX& eightBit) {
                  eightBit.wBitsPerSample = 8;
                  eightBit.nBlockAlign = 1;
                  eightBit.nAvgBytesPerSec = 16000;
              }),
              WAVERR_BADFORMAT);
    EXPECT_EQ(queried([](WAVEFORMATEX& notPcm) { notPcm.wFormatTag = 3; }), WAVERR_BADFORMAT);
    EXPECT_EQ(queried([](WAVEFORMATEX& badAlign) { badAlign.nBlockAlign = 4; }), WAVERR_BADFORMAT);
    EXPECT_EQ(queried([](WAVEFORMATEX& noChannels) { noChannels.nChannels = 0; }), WAVERR_BADFORMAT);
    EXPECT_EQ(queried([](WAVEFORMATEX& badRate) { badRate.nAvgBytesPerSec = 1; }), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, nullptr, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_INVALPARAM);

    EXPECT_EQ(waveOutOpen(nullptr, 5, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(&device, 5, &good, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &good, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &good, 0, 0, CALLBACK_EVENT), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &good, 0, 0, 0x80000000u), MMSYSERR_INVALFLAG);
    EXPECT_EQ(sorn::audio::detail::OpenDeviceCount(), 0u);
}

TEST_F(WaveOut, WithoutACallbackHeadersAreStillMarkedDone) {
    HWAVEOUT device = nullptr;
    WAVEFORMATEX format = Pcm16();
    ASSERT_EQ(waveOutOpen(&device, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block block(100);
    Queue(device, {&block});
    VirtualDevice::Advance(100);
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(block.header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, TheCallbackMayQueueUnprepareAndResetButNotClose) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(100), b(100), c(100);
    int refills = 0;
    MMRESULT closeInside = MMSYSERR_NOERROR, resetInside = 1, unprepareInside = 1, writeInside = 1;
    recorder.OnCall([&](void* handle, UINT message, WAVEHDR* header) {
        if (message != WOM_DONE) return;
        auto* out = static_cast<HWAVEOUT>(handle);
        if (header == &a.header && refills < 2) {
            // Stream a in a ring: unprepare, prepare and queue it again.
            ++refills;
            unprepareInside = waveOutUnprepareHeader(out, header, sizeof(WAVEHDR));
            waveOutPrepareHeader(out, header, sizeof(WAVEHDR));
            writeInside = waveOutWrite(out, header, sizeof(WAVEHDR));
        } else if (header == &b.header) {
            closeInside = waveOutClose(out);
            resetInside = waveOutReset(out);  // returns c (and a) without waiting
        }
    });
    Queue(device, {&a, &b, &c});
    VirtualDevice::Advance(150);  // a done (and requeued after c), b half played
    EXPECT_EQ(unprepareInside, MMSYSERR_NOERROR);
    EXPECT_EQ(writeInside, MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header}));
    VirtualDevice::Advance(50);  // b done: its callback resets
    EXPECT_EQ(closeInside, MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(resetInside, MMSYSERR_NOERROR);
    // Advance waited for the callbacks the reset caused, too.
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header, &a.header}));
    EXPECT_EQ(refills, 2);  // the reset's return of a was refilled once more...
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);  // ...and this returns it for good
    EXPECT_EQ(recorder.Count(WOM_DONE), 5u);
    EXPECT_EQ(Position(device), 0u);
    for (Block* block : {&a, &b, &c}) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

// The open and close notices run on the caller's thread with no lock held:
// the handle works inside WOM_OPEN (close excepted) and is gone in WOM_CLOSE.
TEST_F(WaveOut, OpenAndCloseNoticesRunOnTheCallersThreadWithNoLockHeld) {
    Recorder recorder;
    MMRESULT positionInOpen = 1, closeInOpen = MMSYSERR_NOERROR, positionInClose = MMSYSERR_NOERROR;
    recorder.OnCall([&](void* handle, UINT message, WAVEHDR*) {
        auto* out = static_cast<HWAVEOUT>(handle);
        MMTIME time{};
        time.wType = TIME_SAMPLES;
        if (message == WOM_OPEN) {
            positionInOpen = waveOutGetPosition(out, &time, sizeof time);
            closeInOpen = waveOutClose(out);
        } else if (message == WOM_CLOSE) {
            positionInClose = waveOutGetPosition(out, &time, sizeof time);
        }
    });
    HWAVEOUT device = OpenOut(&recorder);
    EXPECT_EQ(positionInOpen, MMSYSERR_NOERROR);
    EXPECT_EQ(closeInOpen, MMSYSERR_HANDLEBUSY);
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(positionInClose, MMSYSERR_INVALHANDLE);
    ASSERT_EQ(recorder.Calls().size(), 2u);
    for (const Call& call : recorder.Calls()) EXPECT_EQ(call.thread, std::this_thread::get_id());
}

TEST_F(WaveOut, NoCallbackRunsOnceCloseHasReturned) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block block(100);
    Queue(device, {&block});
    ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    std::size_t calls = recorder.Calls().size();
    EXPECT_EQ(recorder.Calls().back().message, WOM_CLOSE);
    VirtualDevice::Advance(1000);
    EXPECT_TRUE(VirtualDevice::WaitIdle(1000));
    EXPECT_EQ(recorder.Calls().size(), calls);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveOut, InjectedFaultsAndADisconnect) {
    Recorder recorder;
    HWAVEOUT device = OpenOut(&recorder);
    Block a(100), b(100);
    VirtualDevice::FailNext("waveOutPrepareHeader", MMSYSERR_NOMEM, 2);
    EXPECT_EQ(waveOutPrepareHeader(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOMEM);
    EXPECT_EQ(waveOutPrepareHeader(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOMEM);
    ASSERT_EQ(waveOutPrepareHeader(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    waveOutPrepareHeader(device, &b.header, sizeof(WAVEHDR));
    VirtualDevice::FailNext("waveOutWrite", MMSYSERR_ERROR);
    EXPECT_EQ(waveOutWrite(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_ERROR);
    EXPECT_EQ(a.header.dwFlags, WHDR_PREPARED);  // a refused write leaves the header alone
    ASSERT_EQ(waveOutWrite(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(device, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    VirtualDevice::FailNext("waveOutGetPosition", MMSYSERR_NODRIVER);
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NODRIVER);

    VirtualDevice::Advance(30);
    VirtualDevice::Disconnect();  // both come back done before it returns
    EXPECT_EQ(recorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(waveOutWrite(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutRestart(device), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);  // nothing left: cleaning up works
    EXPECT_EQ(waveOutUnprepareHeader(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(device, &b.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    // A new device opens and plays.
    HWAVEOUT again = OpenOut(&recorder);
    Queue(again, {&a});
    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Count(WOM_DONE), 3u);
    waveOutUnprepareHeader(again, &a.header, sizeof(WAVEHDR));
    waveOutClose(again);

    VirtualDevice::FailNext("waveOutOpen", MMSYSERR_ALLOCATED);
    HWAVEOUT refused = nullptr;
    WAVEFORMATEX format = Pcm16();
    EXPECT_EQ(waveOutOpen(&refused, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(refused, nullptr);
}

// A lost device skips the backend, but reset, stop and close still wait for
// the headers it gave back, as on a healthy device: a sound server that goes
// away does not wait for the client's callbacks.
TEST_F(WaveOut, ResetStopAndCloseAfterALossWaitForTheDeliveriesUnderWay) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round == 0 ? "waveOutReset" : round == 1 ? "waveInStop" : "waveOutClose");
        Recorder recorder;
        std::mutex mutex;
        std::condition_variable cv;
        bool inside = false, release = false;
        recorder.OnCall([&](void*, UINT message, WAVEHDR*) {
            if (message != WOM_DONE && message != WIM_DATA) return;
            std::unique_lock lock(mutex);
            inside = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
        });
        const bool input = round == 1;
        HWAVEOUT out = input ? nullptr : OpenOut(&recorder);
        HWAVEIN in = input ? OpenIn(&recorder) : nullptr;
        Block a(100), b(100);
        for (Block* block : {&a, &b}) {
            if (input) {
                waveInPrepareHeader(in, &block->header, sizeof(WAVEHDR));
                waveInAddBuffer(in, &block->header, sizeof(WAVEHDR));
            } else {
                waveOutPrepareHeader(out, &block->header, sizeof(WAVEHDR));
                waveOutWrite(out, &block->header, sizeof(WAVEHDR));
            }
        }
        if (input) {
            ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
        }
        VirtualDevice::Disconnect(false);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return inside; }));
        }
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(mutex);
            release = true;
            cv.notify_all();
        });
        if (round == 0) {
            EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
        } else if (round == 1) {
            EXPECT_EQ(waveInStop(in), MMSYSERR_NOERROR);
        } else {
            EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        }
        // Every header is the client's again.
        for (Block* block : {&a, &b}) {
            if (round == 2) continue;
            EXPECT_EQ(input ? waveInUnprepareHeader(in, &block->header, sizeof(WAVEHDR))
                            : waveOutUnprepareHeader(out, &block->header, sizeof(WAVEHDR)),
                      MMSYSERR_NOERROR);
        }
        releaser.join();
        if (round == 0) {
            EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        } else if (round == 1) {
            EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(recorder.Count(input ? WIM_DATA : WOM_DONE), 2u);
    }
}

TEST(WaveErrorText, EveryCodeHasATextAndUnknownCodesAreRefused) {
    char text[MAXERRORLENGTH];
    for (MMRESULT code = 0; code <= WAVERR_LASTERROR; ++code) {
        bool known = code <= MMSYSERR_LASTERROR || code >= WAVERR_BADFORMAT;
        std::memset(text, 0, sizeof text);
        EXPECT_EQ(waveOutGetErrorTextA(code, text, sizeof text), known ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM)
            << code;
        EXPECT_EQ(std::strlen(text) > 0, known) << code;
        EXPECT_EQ(waveInGetErrorTextA(code, text, sizeof text), known ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM);
    }
    EXPECT_EQ(waveOutGetErrorTextA(WAVERR_LASTERROR + 1, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_EQ(waveOutGetErrorTextA(MMSYSERR_INVALHANDLE, nullptr, 10), MMSYSERR_INVALPARAM);
    char small[8];
    ASSERT_EQ(waveOutGetErrorTextA(MMSYSERR_INVALHANDLE, small, sizeof small), MMSYSERR_NOERROR);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);  // cut, and terminated
}

TEST_F(WaveOut, DevicesCanBeListed) {
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    WAVEOUTCAPSA out{};
    ASSERT_EQ(waveOutGetDevCapsA(0, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, "Sorn virtual output");
    EXPECT_EQ(out.wChannels, 2) << "a device that takes stereo (the platform documents 1 or 2)";
    WORD own = 0;
    ASSERT_EQ(sorn::audio::DeviceChannels(true, 0, &own), MMSYSERR_NOERROR);
    EXPECT_EQ(own, 2);
    EXPECT_EQ(sorn::audio::DeviceChannels(true, 1, &own), MMSYSERR_BADDEVICEID);
    EXPECT_NE(out.dwFormats, 0u);
    WAVEOUTCAPSA mapper{};
    ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &mapper, sizeof mapper), MMSYSERR_NOERROR);
    EXPECT_STREQ(mapper.szPname, out.szPname);
    WAVEINCAPSA in{};
    ASSERT_EQ(waveInGetDevCapsA(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "Sorn virtual input");
    EXPECT_EQ(waveOutGetDevCapsA(1, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInGetDevCapsA(1, &in, sizeof in), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetDevCapsA(0, nullptr, sizeof out), MMSYSERR_INVALPARAM);
    // A short record gets what fits.
    WAVEOUTCAPSA partial{};
    partial.dwFormats = 0xABCD;
    ASSERT_EQ(waveOutGetDevCapsA(0, &partial, offsetof(WAVEOUTCAPSA, dwFormats)), MMSYSERR_NOERROR);
    EXPECT_STREQ(partial.szPname, "Sorn virtual output");
    EXPECT_EQ(partial.dwFormats, 0xABCDu);
}

// The capability records as the platform defines them: a size of 0 copies
// nothing and succeeds; an open handle stands for its device; wChannels is
// 2 (stereo opens, and so do up to 8 channels), and the format bits are
// exactly the formats that open.
TEST_F(WaveOut, CapabilitiesDescribeWhatOpens) {
    for (bool output : {true, false}) {
        SCOPED_TRACE(output ? "output" : "input");
        auto caps = [&](UINT_PTR id, void* record, UINT size) {
            return output ? waveOutGetDevCapsA(id, static_cast<WAVEOUTCAPSA*>(record), size)
                          : waveInGetDevCapsA(id, static_cast<WAVEINCAPSA*>(record), size);
        };
        auto query = [&](std::uint32_t rate, std::uint16_t channels, WORD bits = 16) {
            WAVEFORMATEX format = Pcm16(rate, channels);
            format.wBitsPerSample = bits;
            format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
            format.nAvgBytesPerSec = rate * format.nBlockAlign;
            return output ? waveOutOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY)
                          : waveInOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY);
        };
        WAVEOUTCAPSA untouched{};
        untouched.wChannels = 77;
        EXPECT_EQ(caps(0, &untouched, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(untouched.wChannels, 77) << "nothing copied";
        EXPECT_EQ(caps(5, &untouched, 0), MMSYSERR_BADDEVICEID);

        WAVEOUTCAPSA device{};  // the input record is its first part
        ASSERT_EQ(caps(0, &device, sizeof device), MMSYSERR_NOERROR);
        EXPECT_EQ(device.wChannels, 2);
        EXPECT_EQ(query(16000, device.wChannels), MMSYSERR_NOERROR);
        EXPECT_EQ(query(16000, 8), MMSYSERR_NOERROR);
        EXPECT_NE(query(16000, 9), MMSYSERR_NOERROR);

        struct Bit {
            DWORD bit;
            std::uint32_t rate;
            std::uint16_t channels;
            WORD bits;
        } table[] = {
            {WAVE_FORMAT_1M08, 11025, 1, 8},  {WAVE_FORMAT_1S08, 11025, 2, 8},  {WAVE_FORMAT_1M16, 11025, 1, 16},
            {WAVE_FORMAT_1S16, 11025, 2, 16}, {WAVE_FORMAT_2M08, 22050, 1, 8},  {WAVE_FORMAT_2S08, 22050, 2, 8},
            {WAVE_FORMAT_2M16, 22050, 1, 16}, {WAVE_FORMAT_2S16, 22050, 2, 16}, {WAVE_FORMAT_4M08, 44100, 1, 8},
            {WAVE_FORMAT_4S08, 44100, 2, 8},  {WAVE_FORMAT_4M16, 44100, 1, 16}, {WAVE_FORMAT_4S16, 44100, 2, 16},
            {WAVE_FORMAT_48M08, 48000, 1, 8}, {WAVE_FORMAT_48S08, 48000, 2, 8}, {WAVE_FORMAT_48M16, 48000, 1, 16},
            {WAVE_FORMAT_48S16, 48000, 2, 16}, {WAVE_FORMAT_96M08, 96000, 1, 8}, {WAVE_FORMAT_96S08, 96000, 2, 8},
            {WAVE_FORMAT_96M16, 96000, 1, 16}, {WAVE_FORMAT_96S16, 96000, 2, 16},
        };
        for (const Bit& entry : table) {
            SCOPED_TRACE(testing::Message() << "format bit 0x" << std::hex << entry.bit);
            EXPECT_EQ((device.dwFormats & entry.bit) != 0,
                      query(entry.rate, entry.channels, entry.bits) == MMSYSERR_NOERROR);
        }

        // An open handle describes its device.
        Recorder recorder;
        HWAVEOUT out = output ? OpenOut(&recorder) : nullptr;
        HWAVEIN in = output ? nullptr : OpenIn(&recorder);
        const auto handle = output ? reinterpret_cast<UINT_PTR>(out) : reinterpret_cast<UINT_PTR>(in);
        WAVEOUTCAPSA viaHandle{};
        EXPECT_EQ(caps(handle, &viaHandle, sizeof device), MMSYSERR_NOERROR);
        EXPECT_STREQ(viaHandle.szPname, device.szPname);
        EXPECT_EQ(viaHandle.wChannels, device.wChannels);
        EXPECT_EQ(output ? waveOutClose(out) : waveInClose(in), MMSYSERR_NOERROR);
        EXPECT_EQ(caps(handle, &viaHandle, sizeof device), MMSYSERR_BADDEVICEID) << "closed";
    }
}

TEST_F(WaveOut, CloseWaitsForADeliveryUnderWay) {
    Recorder recorder;
    std::mutex mutex;
    std::condition_variable cv;
    bool inside = false, release = false;
    recorder.OnCall([&](void*, UINT message, WAVEHDR*) {
        if (message != WOM_DONE) return;
        std::unique_lock lock(mutex);
        inside = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
    });
    HWAVEOUT device = OpenOut(&recorder);
    Block block(10);
    Queue(device, {&block});
    std::thread stepper([] { VirtualDevice::Advance(10); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return inside; }));
    }
    // The header is the client's now (its callback runs), so close may go
    // ahead, but it must not return while that callback is still running.
    std::atomic<bool> closed{false};
    std::atomic<MMRESULT> result{MMSYSERR_ERROR};
    std::thread closer([&] {
        result = waveOutClose(device);
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed);
    {
        std::lock_guard lock(mutex);
        release = true;
        cv.notify_all();
    }
    closer.join();
    stepper.join();
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    std::size_t calls = recorder.Calls().size();
    EXPECT_EQ(recorder.Calls().back().message, WOM_CLOSE);
    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Calls().size(), calls);
}
