#pragma once
// A recorder on waveIn: everything the input device delivers (16 kHz mono,
// 16-bit), in order, from a ring of headers that the callback requeues.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/MMSystem.h"
#include "threading/Mutex.h"

namespace sorn::devicetest {

class Recorder {
public:
    explicit Recorder(unsigned headerFrames = 1600, unsigned headerCount = 8);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    MMRESULT Open(UINT device = WAVE_MAPPER);
    MMRESULT Start();
    std::size_t Frames();
    // Index of the first sample louder than `level`, or -1.
    long FirstLoud(int level);
    std::vector<std::int16_t> Samples();  // what was captured so far
    std::vector<std::int16_t> Finish();  // reset and close; what was captured
    HWAVEIN Handle() const { return device_; }

private:
    static void Proc(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    const unsigned headerFrames_;
    HWAVEIN device_ = nullptr;
    std::vector<std::vector<std::int16_t>> blocks_;
    std::vector<WAVEHDR> headers_;
    sorn::Mutex mutex_;
    std::vector<std::int16_t> samples_ SORN_GUARDED_BY(mutex_);
    std::atomic<bool> stopping_{false};
};

}  // namespace sorn::devicetest
