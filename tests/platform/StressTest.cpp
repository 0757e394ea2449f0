// Open, queue, reset from inside the callback and close, many times over,
// on the stepped clock and on the real-time clock with a second thread
// resetting from outside. Run under the thread sanitizer as well.
#include <atomic>
#include <chrono>

#include "WaveTestSupport.h"

using namespace wavetest;
using sorn::audio::VirtualDevice;

namespace {

struct Session {
    std::atomic<int> done{0};
    std::atomic<int> resetsInside{0};
};

void OutProc(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto* session = reinterpret_cast<Session*>(instance);
    if (message != WOM_DONE) return;
    if (session->done.fetch_add(1) == 0) {
        // The first completion resets the device from inside the callback.
        if (waveOutReset(device) == MMSYSERR_NOERROR) ++session->resetsInside;
    }
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    waveOutUnprepareHeader(device, header, sizeof(WAVEHDR));
}

void InProc(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto* session = reinterpret_cast<Session*>(instance);
    if (message != WIM_DATA) return;
    if (session->done.fetch_add(1) == 0) {
        if (waveInReset(device) == MMSYSERR_NOERROR) ++session->resetsInside;
    }
    waveInUnprepareHeader(device, reinterpret_cast<WAVEHDR*>(param1), sizeof(WAVEHDR));
}

}  // namespace

using WaveStress = SteppedDevice;

TEST_F(WaveStress, AThousandOpenQueueResetInsideCloseCycles) {
    WAVEFORMATEX format = Pcm16();
    for (int i = 0; i < 1000; ++i) {
        Session session;
        Block a(64), b(64), c(64);
        bool output = i % 2 == 0;
        HWAVEOUT out = nullptr;
        HWAVEIN in = nullptr;
        if (output) {
            ASSERT_EQ(OpenWithCallback(&out, format, &OutProc, &session), MMSYSERR_NOERROR);
            for (Block* block : {&a, &b, &c}) {
                ASSERT_EQ(waveOutPrepareHeader(out, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
                ASSERT_EQ(waveOutWrite(out, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            }
        } else {
            ASSERT_EQ(OpenWithCallback(&in, format, &InProc, &session), MMSYSERR_NOERROR);
            for (Block* block : {&a, &b, &c}) {
                ASSERT_EQ(waveInPrepareHeader(in, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
                ASSERT_EQ(waveInAddBuffer(in, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            }
            ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
        }
        VirtualDevice::Advance(100);  // completes the first; its callback resets the rest
        ASSERT_EQ(session.done, 3) << "cycle " << i;
        ASSERT_EQ(session.resetsInside, 1);
        for (Block* block : {&a, &b, &c}) ASSERT_EQ(block->header.dwFlags, WHDR_DONE) << "cycle " << i;
        ASSERT_EQ(output ? waveOutClose(out) : waveInClose(in), MMSYSERR_NOERROR);
    }
}

TEST_F(WaveStress, RealTimeClockWithResetsFromOutsideAndInside) {
    ASSERT_EQ(sorn::audio::SelectBackend("virtual:period=1"), MMSYSERR_NOERROR);
    WAVEFORMATEX format = Pcm16(48000, 1);
    for (int i = 0; i < 100; ++i) {
        Session session;
        Block a(48), b(48), c(4800);
        HWAVEOUT out = nullptr;
        ASSERT_EQ(OpenWithCallback(&out, format, &OutProc, &session), MMSYSERR_NOERROR);
        Queue(out, {&a, &b, &c});
        // Race the clock: reset from here while the timer may be completing
        // the first header and its callback may be resetting too.
        if (i % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 5)));
        ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
        // Every header came back exactly once, before reset returned.
        ASSERT_EQ(session.done, 3) << "cycle " << i;
        ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        for (Block* block : {&a, &b, &c}) ASSERT_EQ(block->header.dwFlags & WHDR_INQUEUE, 0u);
    }
}

namespace {

struct Hammered {
    std::atomic<int> completions[6] = {};
};

void CountByUser(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    if (message != WOM_DONE) return;
    auto* shared = reinterpret_cast<Hammered*>(instance);
    ++shared->completions[reinterpret_cast<WAVEHDR*>(param1)->dwUser];
}

}  // namespace

TEST_F(WaveStress, SeveralThreadsShareOneDevice) {
    ASSERT_EQ(sorn::audio::SelectBackend("virtual:period=1"), MMSYSERR_NOERROR);
    Hammered shared;
    WAVEFORMATEX format = Pcm16(48000, 1);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(OpenWithCallback(&device, format, &CountByUser, &shared), MMSYSERR_NOERROR);
    std::atomic<int> failures{0};
    std::atomic<bool> writersDone{false};
    auto writer = [&](int first) {
        Block blocks[2] = {Block(48), Block(96)};
        for (int iteration = 0; iteration < 100; ++iteration) {
            int before[2];
            for (int k = 0; k < 2; ++k) {
                blocks[k].header.dwUser = static_cast<DWORD_PTR>(first + k);
                before[k] = shared.completions[first + k];
                if (waveOutPrepareHeader(device, &blocks[k].header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR ||
                    waveOutWrite(device, &blocks[k].header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
                    ++failures;
            }
            if (iteration % 3 == 0 && waveOutReset(device) != MMSYSERR_NOERROR) ++failures;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int k = 0; k < 2; ++k) {
                while (shared.completions[first + k] == before[k] && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (shared.completions[first + k] != before[k] + 1) ++failures;
                if (waveOutUnprepareHeader(device, &blocks[k].header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
                    ++failures;
            }
        }
    };
    std::thread writers[3] = {std::thread(writer, 0), std::thread(writer, 2), std::thread(writer, 4)};
    std::thread fiddler([&] {
        MMTIME time{};
        time.wType = TIME_SAMPLES;
        while (!writersDone) {
            if (waveOutPause(device) != MMSYSERR_NOERROR || waveOutRestart(device) != MMSYSERR_NOERROR ||
                waveOutGetPosition(device, &time, sizeof time) != MMSYSERR_NOERROR)
                ++failures;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    for (auto& thread : writers) thread.join();
    writersDone = true;
    fiddler.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}
