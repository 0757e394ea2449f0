#pragma once
// Shared pieces of the wave layer tests: formats, headers, and a callback
// that records what it was called with and can act from inside the call.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/WaveLayer.h"
#include "threading/Mutex.h"

namespace wavetest {

inline WAVEFORMATEX Pcm16(std::uint32_t rate = 16000, std::uint16_t channels = 1) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<WORD>(channels * 2);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.cbSize = 0;
    return format;
}

// A header over its own sample block.
struct Block {
    explicit Block(std::size_t samples, std::int16_t first = 0) : data(samples) {
        for (std::size_t i = 0; i < samples; ++i) data[i] = static_cast<std::int16_t>(first + i);
        header.lpData = reinterpret_cast<LPSTR>(data.data());
        header.dwBufferLength = static_cast<DWORD>(samples * 2);
    }
    std::vector<std::int16_t> data;
    WAVEHDR header{};
};

// Prepares each block on `device` and queues it, in order, without checking
// the answers: for tests whose point comes after the queueing.
inline void Queue(HWAVEOUT device, std::initializer_list<Block*> blocks) {
    for (Block* block : blocks) {
        waveOutPrepareHeader(device, &block->header, sizeof(WAVEHDR));
        waveOutWrite(device, &block->header, sizeof(WAVEHDR));
    }
}
inline void Queue(HWAVEIN device, std::initializer_list<Block*> blocks) {
    for (Block* block : blocks) {
        waveInPrepareHeader(device, &block->header, sizeof(WAVEHDR));
        waveInAddBuffer(device, &block->header, sizeof(WAVEHDR));
    }
}

struct Call {
    UINT message;
    WAVEHDR* header;
    std::thread::id thread;
    DWORD flags;  // the header's flags as the callback saw them
    DWORD bytesRecorded;
    DWORD_PTR instance;
};

// Records every call. `action` runs inside the callback, after recording.
struct Recorder {
    sorn::Mutex mutex;
    std::vector<Call> calls SORN_GUARDED_BY(mutex);
    std::function<void(void* device, UINT message, WAVEHDR* header)> action SORN_GUARDED_BY(mutex);

    // Installs what the callback does from now on.
    void OnCall(std::function<void(void* device, UINT message, WAVEHDR* header)> act) {
        sorn::MutexLock lock(mutex);
        action = std::move(act);
    }

    std::vector<Call> Calls() {
        sorn::MutexLock lock(mutex);
        return calls;
    }
    // The headers of the completion messages, in order.
    std::vector<WAVEHDR*> Done(UINT message) {
        std::vector<WAVEHDR*> headers;
        for (const Call& call : Calls())
            if (call.message == message) headers.push_back(call.header);
        return headers;
    }
    std::size_t Count(UINT message) { return Done(message).size(); }

    void Record(void* device, UINT message, DWORD_PTR instance, DWORD_PTR param1) {
        auto* header = reinterpret_cast<WAVEHDR*>(param1);
        std::function<void(void*, UINT, WAVEHDR*)> act;
        {
            sorn::MutexLock lock(mutex);
            calls.push_back({message, header, std::this_thread::get_id(), header ? header->dwFlags : 0,
                             header ? header->dwBytesRecorded : 0, instance});
            act = action;
        }
        if (act) act(device, message, header);
    }
};

inline void OutCallback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    reinterpret_cast<Recorder*>(instance)->Record(device, message, instance, param1);
}
inline void InCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    reinterpret_cast<Recorder*>(instance)->Record(device, message, instance, param1);
}

// Opens the default device of `device`'s kind with `callback`
// (CALLBACK_FUNCTION) and `instance` as its user value.
inline MMRESULT OpenWithCallback(HWAVEOUT* device, const WAVEFORMATEX& format,
                                 void (*callback)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR), void* instance) {
    return waveOutOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(callback),
                       reinterpret_cast<DWORD_PTR>(instance), CALLBACK_FUNCTION);
}
inline MMRESULT OpenWithCallback(HWAVEIN* device, const WAVEFORMATEX& format,
                                 void (*callback)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR), void* instance) {
    return waveInOpen(device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(callback),
                      reinterpret_cast<DWORD_PTR>(instance), CALLBACK_FUNCTION);
}

// Every test starts on a fresh stepped virtual device and must leave no
// device open.
class SteppedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sorn::audio::SelectBackend("virtual:clock=stepped"), MMSYSERR_NOERROR);
        ASSERT_STREQ(sorn::audio::SelectedBackendName(), "virtual");
    }
    void TearDown() override { EXPECT_EQ(sorn::audio::detail::OpenDeviceCount(), 0u); }

    HWAVEOUT OpenOut(Recorder* recorder, WAVEFORMATEX format = Pcm16()) {
        HWAVEOUT device = nullptr;
        EXPECT_EQ(OpenWithCallback(&device, format, &OutCallback, recorder), MMSYSERR_NOERROR);
        return device;
    }
    HWAVEIN OpenIn(Recorder* recorder, WAVEFORMATEX format = Pcm16()) {
        HWAVEIN device = nullptr;
        EXPECT_EQ(OpenWithCallback(&device, format, &InCallback, recorder), MMSYSERR_NOERROR);
        return device;
    }
    static DWORD Position(HWAVEOUT device) {
        MMTIME time{};
        time.wType = TIME_SAMPLES;
        EXPECT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
        EXPECT_EQ(time.wType, TIME_SAMPLES);
        return time.u.sample;
    }
    static DWORD Position(HWAVEIN device) {
        MMTIME time{};
        time.wType = TIME_SAMPLES;
        EXPECT_EQ(waveInGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
        return time.u.sample;
    }
};

}  // namespace wavetest
