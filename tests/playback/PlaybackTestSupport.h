#pragma once
// Shared pieces of the playback tests: clips with recognisable samples, a
// callback that counts, and a window onto the header ring.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "audio/CWaveOut.h"
#include "core_contract/Wave.h"

namespace SornMedia::SornAudio {

// Reads the ring of a CWaveOut under its lock.
struct CWaveOutTestAccess {
    static WAVEHDR Header(CWaveOut& out, int index) {
        sorn::MutexLock hold(out.lock_);
        return out.headers[static_cast<std::size_t>(index)];
    }
    static int HeaderIndex(CWaveOut& out) {
        sorn::MutexLock hold(out.lock_);
        return out.headerIndex;
    }
    static std::uint32_t RangePosition(CWaveOut& out) {
        sorn::MutexLock hold(out.lock_);
        return out.rangePosition;
    }
    static std::uint32_t RangeEnd(CWaveOut& out) {
        sorn::MutexLock hold(out.lock_);
        return out.rangeEnd;
    }
    static unsigned LastError(const CWaveOut& out) { return out.lastError.load(); }
};

}  // namespace SornMedia::SornAudio

namespace sorn::test {

// A mono 16 kHz clip of `samples` 16-bit samples, each different from its
// neighbours, so that any misplaced or repeated byte shows.
inline std::vector<std::int16_t> PatternSamples(std::size_t samples) {
    std::vector<std::int16_t> out(samples);
    for (std::size_t i = 0; i < samples; ++i)
        out[i] = static_cast<std::int16_t>((i * 7919u + 13u) % 60001u) - 30000;
    return out;
}

inline void LoadClip(CWave& clip, const std::vector<std::int16_t>& samples, unsigned rate = 16000) {
    SornAudioFormat format(rate, 1, 2);
    clip.Load(samples.data(), samples.size() * 2, &format);
}

// What the user callback saw. The callback is handed this record's address
// as its user value.
struct CallbackLog {
    std::atomic<int> count{0};
    std::atomic<int> playingAtFirst{-1};
    SornMedia::SornAudio::CWaveOut* out = nullptr;
    // Runs inside the callback with the number of the call (1, 2, ...).
    std::function<void(int)> then;

    static void Record(std::uintptr_t user) {
        auto* log = reinterpret_cast<CallbackLog*>(user);
        const int call = log->count.fetch_add(1) + 1;
        if (call == 1 && log->out) log->playingAtFirst = log->out->IsPlaying();
        if (log->then) log->then(call);
    }
    void Attach(SornMedia::SornAudio::CWaveOut& playback) {
        out = &playback;
        playback.SetWaveOutCB(&CallbackLog::Record, reinterpret_cast<std::uintptr_t>(this));
    }
};

}  // namespace sorn::test
