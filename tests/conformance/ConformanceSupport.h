#pragma once
// What the conformance cases need from the side they run on: whether a sound
// server answers (the cases play into its default sink and record its
// monitor), and whether the API under test is Wine's. One small source per
// side (ConformanceLinux.cpp, ConformanceWindows.cpp) implements these.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"

namespace sorn::conformance {

// Empty when the wave devices of the sound server (or, in the virtual-device
// run, the virtual device) can be used; otherwise why not. On Linux it also
// pins that backend for the whole run.
std::string ServerMissing();

// True when the system's API under test is Wine's implementation.
bool OnWine();

// True when SORN_REQUIRE_SOUND_SERVER=1: a missing server fails the case.
using sorn::devicetest::ServerRequired;

constexpr DWORD kRate = 16000;

// 16-bit PCM, by default kRate mono.
using sorn::devicetest::Pcm16;

// `count` headers over blocks of `ms` milliseconds of Pcm16() silence each,
// numbered in dwUser; `blocks` holds their data.
inline void MakeHeaders(std::vector<std::vector<char>>& blocks, std::vector<WAVEHDR>& headers,
                        std::size_t count, unsigned ms) {
    blocks.assign(count, std::vector<char>(kRate * 2 * ms / 1000, 0));
    headers.assign(count, WAVEHDR{});
    for (std::size_t i = 0; i < count; ++i) {
        headers[i].lpData = blocks[i].data();
        headers[i].dwBufferLength = static_cast<DWORD>(blocks[i].size());
        headers[i].dwUser = i;
    }
}

// The position query of either direction.
inline MMRESULT GetPosition(HWAVEOUT device, MMTIME* time) { return waveOutGetPosition(device, time, sizeof *time); }
inline MMRESULT GetPosition(HWAVEIN device, MMTIME* time) { return waveInGetPosition(device, time, sizeof *time); }

// The position of `device` in `type` (TIME_BYTES or TIME_SAMPLES), checking
// that it reads and answers in the type asked for.
template <typename Handle>
DWORD PositionOf(Handle device, UINT type) {
    MMTIME time{};
    time.wType = type;
    EXPECT_EQ(GetPosition(device, &time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.wType, type);
    return type == TIME_BYTES ? time.u.cb : time.u.sample;
}

// A header that claims WHDR_INQUEUE | WHDR_DONE but is in no queue:
// `prepare` (the fixture's) goes by the device's own queue and leaves it
// just prepared; a second prepare of the prepared header changes nothing.
template <typename Prepare>
void ExpectPrepareIgnoresClaimedQueue(WAVEHDR& stray, Prepare prepare) {
    stray.dwFlags = WHDR_INQUEUE | WHDR_DONE;
    EXPECT_EQ(prepare(stray), MMSYSERR_NOERROR);
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED);
    stray.dwFlags |= WHDR_INQUEUE;
    EXPECT_EQ(prepare(stray), MMSYSERR_NOERROR);
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED | WHDR_INQUEUE) << "already prepared: no effect";
}

// One callback message as it arrived, with the header's state at that moment
// and the thread it arrived on.
struct Message {
    UINT message;
    WAVEHDR* header;
    DWORD flags;
    DWORD bytesRecorded;
    std::thread::id thread;
};

// The messages a device's callback (CALLBACK_FUNCTION) received, in order.
// The callback only records and wakes the test: the platform forbids calling
// the wave functions from inside it.
class MessageLog {
public:
    template <typename Handle>
    static void Callback(Handle, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        auto* log = reinterpret_cast<MessageLog*>(instance);
        auto* header = reinterpret_cast<WAVEHDR*>(param1);
        const bool data = message == WOM_DONE || message == WIM_DATA;
        std::lock_guard lock(log->mutex_);
        log->messages_.push_back({message, data ? header : nullptr, data && header ? header->dwFlags : 0,
                                  data && header ? header->dwBytesRecorded : 0, std::this_thread::get_id()});
        log->changed_.notify_all();
    }

    // Opens the default device, 16-bit mono (Pcm16), with this log as its
    // callback.
    MMRESULT Open(HWAVEOUT* device) {
        const WAVEFORMATEX format = Pcm16();
        return waveOutOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&Callback<HWAVEOUT>),
                           reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    MMRESULT Open(HWAVEIN* device) {
        const WAVEFORMATEX format = Pcm16();
        return waveInOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&Callback<HWAVEIN>),
                          reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }

    // Waits (at most `limit`) until `count` messages of kind `message` came.
    bool WaitCount(UINT message, std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return CountLocked(message) >= count; });
    }
    std::size_t Count(UINT message) {
        std::lock_guard lock(mutex_);
        return CountLocked(message);
    }
    std::vector<Message> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    std::size_t CountLocked(UINT message) const {
        std::size_t count = 0;
        for (const Message& m : messages_) count += m.message == message;
        return count;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

}  // namespace sorn::conformance

// Skips the case when no sound server answers, unless one is required.
#define CONFORMANCE_NEED_SERVER()                                                  \
    do {                                                                           \
        const std::string missing = ::sorn::conformance::ServerMissing();          \
        if (!missing.empty()) {                                                    \
            if (::sorn::conformance::ServerRequired()) FAIL() << missing;          \
            GTEST_SKIP() << missing;                                               \
        }                                                                          \
    } while (false)
