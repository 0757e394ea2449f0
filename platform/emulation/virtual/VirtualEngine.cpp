#include "platform/emulation/virtual/VirtualEngine.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace sorn::audio::virtualdev {
namespace {

// The loopback keeps at most this many samples not yet captured.
constexpr std::size_t kLoopbackLimit = std::size_t{1} << 21;
// Output kept in memory: at most about this many of the latest samples.
constexpr std::size_t kMemoryLimit = std::size_t{1} << 24;
// A real-time step never covers more than a second (after a stall).
constexpr std::uint64_t kMaxStepSeconds = 1;

}  // namespace

Engine& Engine::Get() {
    static Engine* engine = new Engine();
    return *engine;
}

void Engine::ResetLocked(Clock newClock) {
    clock = newClock;
    faults.clear();
    SetSourceLocked(Source::Silence);
    memory.clear();
    writer.Close();
    loopback.clear();
    RestartClocksLocked();
}

void Engine::SetSourceLocked(Source newSource) {
    source = newSource;
    samples.clear();
    samplePosition = 0;
    loopSamples = false;
    generator = nullptr;
    generated = 0;
}

void Engine::RestartClocksLocked() {
    auto now = std::chrono::steady_clock::now();
    for (auto& stream : streams) {
        Holds(*stream);
        stream->since = now;
        stream->framesDone = 0;
    }
}

std::thread Engine::ManageTimerLocked() {
    bool wanted = clock == Clock::RealTime && !streams.empty();
    if (wanted && !timer_.joinable()) {
        std::uint64_t generation = ++timerGeneration_;
        try {
            timer_ = std::thread([this, generation] { RunTimer(generation); });
        } catch (const std::system_error&) {
            // No thread to be had: the clock stands still until the next
            // open tries again.
        }
    } else if (!wanted && timer_.joinable()) {
        ++timerGeneration_;
        timerWake_.NotifyAll();
        return std::move(timer_);
    }
    return {};
}

void Engine::Emit(const std::int16_t* data, std::size_t count, const StreamFormat& format) {
    if (writer.IsOpen()) {
        writer.Append(data, count, format.sampleRate, format.channels);
    } else {
        memory.insert(memory.end(), data, data + count);
        // Nobody may ever take it (a program left on the virtual device):
        // keep the most recent samples only.
        if (memory.size() > kMemoryLimit + kMemoryLimit / 4)
            memory.erase(memory.begin(), memory.begin() + (memory.size() - kMemoryLimit));
    }
    if (source != Source::Loopback) return;
    loopback.insert(loopback.end(), data, data + count);
    if (loopback.size() > kLoopbackLimit)
        loopback.erase(loopback.begin(), loopback.begin() + (loopback.size() - kLoopbackLimit));
}

void Engine::Generate(std::int16_t* out, std::size_t count) {
    switch (source) {
        case Source::Silence:
            std::fill(out, out + count, 0);
            break;
        case Source::Samples:
            for (std::size_t i = 0; i < count; ++i) {
                if (samplePosition >= samples.size() && loopSamples && !samples.empty()) samplePosition = 0;
                out[i] = samplePosition < samples.size() ? samples[samplePosition++] : 0;
            }
            break;
        case Source::Generator:
            std::fill(out, out + count, 0);
            if (generator) generator(out, count, generated);
            generated += count;
            break;
        case Source::Loopback: {
            std::size_t n = std::min(count, loopback.size());
            std::copy(loopback.begin(), loopback.begin() + n, out);
            loopback.erase(loopback.begin(), loopback.begin() + n);
            std::fill(out + n, out + count, 0);
            break;
        }
    }
}

std::uint64_t Engine::StepOutput(VirtualStream& stream, std::uint64_t frames) {
    std::size_t blockAlign = stream.format.BlockAlign();
    std::vector<std::int16_t> buffer(frames * stream.format.channels);
    std::size_t got = stream.sink->Pull(buffer.data(), frames * blockAlign);
    std::uint64_t played = got / blockAlign;
    stream.sink->Played(played);
    Emit(buffer.data(), played * stream.format.channels, stream.format);
    return played;
}

void Engine::StepInput(VirtualStream& stream, std::uint64_t frames) {
    std::vector<std::int16_t> buffer(frames * stream.format.channels);
    Generate(buffer.data(), buffer.size());
    stream.sink->Push(buffer.data(), buffer.size() * 2);
}

void Engine::RunTimer(std::uint64_t generation) {
    MutexLock lock(mutex);
    while (timerGeneration_ == generation) {
        timerWake_.WaitFor(mutex, std::chrono::milliseconds(periodMs));
        if (timerGeneration_ != generation) break;
        auto now = std::chrono::steady_clock::now();
        for (auto& stream : std::vector(streams)) {
            Holds(*stream);
            if (!stream->running) continue;
            auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - stream->since).count();
            std::uint64_t reached = static_cast<std::uint64_t>(elapsed) * stream->format.sampleRate / 1000000000u;
            std::uint64_t limit = kMaxStepSeconds * stream->format.sampleRate;
            if (reached > stream->framesDone + limit) stream->framesDone = reached - limit;
            if (reached <= stream->framesDone) continue;
            std::uint64_t due = reached - stream->framesDone;
            stream->framesDone = reached;
            if (stream->direction == Direction::Output) {
                StepOutput(*stream, due);
            } else {
                StepInput(*stream, due);
            }
        }
    }
}

std::vector<std::shared_ptr<VirtualStream>> Engine::Snapshot() {
    MutexLock lock(mutex);
    return streams;
}

void Engine::SetClock(Clock newClock) {
    std::thread idle;
    {
        MutexLock lock(mutex);
        clock = newClock;
        RestartClocksLocked();
        idle = ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

}  // namespace sorn::audio::virtualdev
