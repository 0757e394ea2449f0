#pragma once
// The virtual device's engine: one per process, holding the clock, the input
// source, the output target, the injected faults and every open stream.
//
// Its clock decides which frame each open stream has reached, as miniaudio's
// null backend does: in real time a timer thread wakes every few
// milliseconds and steps every running stream by the frames that elapsed
// since it started; in stepped mode only VirtualDevice::Advance moves time.
// A step of an output stream pulls the queued bytes for those frames and
// reports them played at once (they go to memory or a WAV file, and to the
// loopback); a step of an input stream pushes that many frames of the input
// source.
//
// Locks: `mutex` guards everything here (and every stream's state, see
// Holds) and is held while a step calls a stream's sink (which takes only the wave layer's short data lock). It is
// never held while waiting for deliveries, so a client callback may call
// back into the wave layer, and from there into the backend, freely.
#include <cassert>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/virtual/VirtualStream.h"
#include "platform/emulation/virtual/WavFile.h"
#include "threading/Mutex.h"

namespace sorn::audio::virtualdev {

class Engine {
public:
    using Clock = VirtualDevice::Clock;
    enum class Source { Silence, Samples, Generator, Loopback };
    struct Fault {
        MMRESULT code;
        int count;
    };

    // The process's engine; never destroyed (streams may outlive statics).
    static Engine& Get();

    Mutex mutex;
    Clock clock SORN_GUARDED_BY(mutex) = Clock::RealTime;
    unsigned periodMs SORN_GUARDED_BY(mutex) = 5;

    Source source SORN_GUARDED_BY(mutex) = Source::Silence;
    std::vector<std::int16_t> samples SORN_GUARDED_BY(mutex);
    bool loopSamples SORN_GUARDED_BY(mutex) = false;
    std::size_t samplePosition SORN_GUARDED_BY(mutex) = 0;
    std::function<void(std::int16_t*, std::size_t, std::uint64_t)> generator SORN_GUARDED_BY(mutex);
    std::uint64_t generated SORN_GUARDED_BY(mutex) = 0;
    std::deque<std::int16_t> loopback SORN_GUARDED_BY(mutex);

    std::vector<std::int16_t> memory SORN_GUARDED_BY(mutex);
    WavWriter writer SORN_GUARDED_BY(mutex);

    std::map<std::string, Fault> faults SORN_GUARDED_BY(mutex);

    std::vector<std::shared_ptr<VirtualStream>> streams SORN_GUARDED_BY(mutex);

    // ---- mutex held ----
    // A stream's state is guarded by the mutex it names, which is this
    // engine's: says so to the analysis (which cannot see that the two are
    // one) once `mutex` is held.
    void Holds(const VirtualStream& stream) const SORN_REQUIRES(mutex) SORN_ASSERT_CAPABILITY(stream.mutex) {
        assert(&stream.mutex == &mutex);
    }
    // Clock mode, no faults, input silence, output to memory (emptied).
    void ResetLocked(Clock newClock) SORN_REQUIRES(mutex);
    // Switches the input source, forgetting the previous one's samples.
    void SetSourceLocked(Source newSource) SORN_REQUIRES(mutex);
    // Every stream counts its frames afresh from now.
    void RestartClocksLocked() SORN_REQUIRES(mutex);
    // Starts the timer when real time has streams to drive; returns a timer
    // thread that is no longer wanted, to be joined with the mutex released.
    std::thread ManageTimerLocked() SORN_REQUIRES(mutex);
    // Output: pulls and plays up to `frames`; returns the frames played.
    std::uint64_t StepOutput(VirtualStream& stream, std::uint64_t frames) SORN_REQUIRES(mutex);
    // Input: `count` samples of the input source.
    void Generate(std::int16_t* out, std::size_t count) SORN_REQUIRES(mutex);

    // ---- mutex not held ----
    // The open streams as they are now.
    std::vector<std::shared_ptr<VirtualStream>> Snapshot() SORN_EXCLUDES(mutex);
    // Applies a clock mode, starting or ending the timer.
    void SetClock(Clock newClock) SORN_EXCLUDES(mutex);

private:
    Engine() = default;

    // Played samples go to the output target and, for loopback, the input.
    void Emit(const std::int16_t* data, std::size_t count, const StreamFormat& format) SORN_REQUIRES(mutex);
    void StepInput(VirtualStream& stream, std::uint64_t frames) SORN_REQUIRES(mutex);
    void RunTimer(std::uint64_t generation) SORN_EXCLUDES(mutex);

    std::thread timer_ SORN_GUARDED_BY(mutex);
    std::uint64_t timerGeneration_ SORN_GUARDED_BY(mutex) = 0;
    CondVar timerWake_;
};

}  // namespace sorn::audio::virtualdev
