#pragma once
// The headers a wave device has given back, in order, as its callback
// reports them (WOM_DONE, WIM_DATA): the tests wait on these rather than
// read header flags the device's notification thread writes. And the steps
// the ALSA tests share to queue numbered blocks and check the position.
#include <gtest/gtest.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/MMSystem.h"

namespace sorn::alsatest {

class Completions {
public:
    // The callback to open a device with (CALLBACK_FUNCTION, Instance()).
    template <typename Handle>
    static void Proc(Handle, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        if (message != WOM_DONE && message != WIM_DATA) return;
        auto* self = reinterpret_cast<Completions*>(instance);
        std::lock_guard lock(self->mutex_);
        self->order_.push_back(reinterpret_cast<WAVEHDR*>(param1)->dwUser);
    }
    template <typename Handle>
    static DWORD_PTR Callback() {
        return reinterpret_cast<DWORD_PTR>(&Completions::Proc<Handle>);
    }
    DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

    // Opens the mapper's device for `format` with this as its callback.
    MMRESULT Open(HWAVEOUT* out, const WAVEFORMATEX& format) {
        return waveOutOpen(out, WAVE_MAPPER, &format, Callback<HWAVEOUT>(), Instance(), CALLBACK_FUNCTION);
    }
    MMRESULT Open(HWAVEIN* in, const WAVEFORMATEX& format) {
        return waveInOpen(in, WAVE_MAPPER, &format, Callback<HWAVEIN>(), Instance(), CALLBACK_FUNCTION);
    }

    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return order_.size();
    }
    // The dwUser of each header given back, in the order they came.
    std::vector<DWORD_PTR> Order() {
        std::lock_guard lock(mutex_);
        return order_;
    }

private:
    std::mutex mutex_;
    std::vector<DWORD_PTR> order_;
};

// Points headers[h] at blocks[h], numbered h in dwUser, prepares each on
// `out` and then writes them all in order (each step asserted; call it
// under ASSERT_NO_FATAL_FAILURE).
template <typename Sample>
void QueueNumbered(HWAVEOUT out, std::vector<std::vector<Sample>>& blocks, std::vector<WAVEHDR>& headers) {
    headers.assign(blocks.size(), WAVEHDR{});
    for (std::size_t h = 0; h < blocks.size(); ++h) {
        headers[h].lpData = reinterpret_cast<LPSTR>(blocks[h].data());
        headers[h].dwBufferLength = static_cast<DWORD>(blocks[h].size() * sizeof(Sample));
        headers[h].dwUser = h;
        ASSERT_EQ(waveOutPrepareHeader(out, &headers[h], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    for (WAVEHDR& header : headers) ASSERT_EQ(waveOutWrite(out, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
}

// The position of `out` in samples (TIME_SAMPLES) reads, and is `samples`.
inline void ExpectSamplePosition(HWAVEOUT out, std::size_t samples) {
    MMTIME position{};
    position.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(out, &position, sizeof position), MMSYSERR_NOERROR);
    EXPECT_EQ(position.u.sample, samples);
}

}  // namespace sorn::alsatest
