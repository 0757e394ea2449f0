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
// Locks: `mutex` guards everything here and is held while a step calls a
// stream's sink (which takes only the wave layer's short data lock). It is
// never held while waiting for deliveries, so a client callback may call
// back into the wave layer, and from there into the backend, freely.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/virtual/VirtualStream.h"
#include "platform/emulation/virtual/WavFile.h"

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

    std::mutex mutex;
    Clock clock = Clock::RealTime;
    unsigned periodMs = 5;

    Source source = Source::Silence;
    std::vector<std::int16_t> samples;
    bool loopSamples = false;
    std::size_t samplePosition = 0;
    std::function<void(std::int16_t*, std::size_t, std::uint64_t)> generator;
    std::uint64_t generated = 0;
    std::deque<std::int16_t> loopback;

    std::vector<std::int16_t> memory;
    WavWriter writer;

    std::map<std::string, Fault> faults;

    std::vector<std::shared_ptr<VirtualStream>> streams;

    // ---- mutex held ----
    // Clock mode, no faults, input silence, output to memory (emptied).
    void ResetLocked(Clock newClock);
    // Switches the input source, forgetting the previous one's samples.
    void SetSourceLocked(Source newSource);
    // Every stream counts its frames afresh from now.
    void RestartClocksLocked();
    // Starts the timer when real time has streams to drive; returns a timer
    // thread that is no longer wanted, to be joined with the mutex released.
    std::thread ManageTimerLocked();
    // Output: pulls and plays up to `frames`; returns the frames played.
    std::uint64_t StepOutput(VirtualStream& stream, std::uint64_t frames);
    // Input: `count` samples of the input source.
    void Generate(std::int16_t* out, std::size_t count);

    // ---- mutex not held ----
    // The open streams as they are now.
    std::vector<std::shared_ptr<VirtualStream>> Snapshot();
    // Applies a clock mode, starting or ending the timer.
    void SetClock(Clock newClock);

private:
    Engine() = default;

    // Played samples go to the output target and, for loopback, the input.
    void Emit(const std::int16_t* data, std::size_t count, const StreamFormat& format);
    void StepInput(VirtualStream& stream, std::uint64_t frames);
    void RunTimer(std::uint64_t generation);

    std::thread timer_;
    std::uint64_t timerGeneration_ = 0;
    std::condition_variable timerWake_;
};

}  // namespace sorn::audio::virtualdev
