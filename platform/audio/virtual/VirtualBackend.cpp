// The virtual device: a process-wide engine with no hardware behind it.
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
// Locks: the engine's mutex guards everything here and is held while a step
// calls a stream's sink (which takes only the wave layer's short data lock).
// It is never held while waiting for deliveries, so a client callback may
// call back into the wave layer, and from there into this backend, freely.
#include "platform/audio/virtual/VirtualBackend.h"

#include "platform/mixer/MixerBackend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/audio/WaveLayer.h"
#include "platform/audio/virtual/WavFile.h"

namespace sorn::audio::virtualdev {
namespace {

using SteadyClock = std::chrono::steady_clock;
using Clock = VirtualDevice::Clock;

// The loopback keeps at most this many samples not yet captured.
constexpr std::size_t kLoopbackLimit = std::size_t{1} << 21;
// Output kept in memory: at most about this many of the latest samples.
constexpr std::size_t kMemoryLimit = std::size_t{1} << 24;
// A real-time step never covers more than a second (after a stall).
constexpr std::uint64_t kMaxStepSeconds = 1;

class Engine;

class VirtualStream : public Stream {
public:
    VirtualStream(Engine& engine, Direction direction, const StreamFormat& format, std::shared_ptr<StreamSink> sink)
        : engine(engine), direction(direction), format(format), sink(std::move(sink)) {}

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override { return MMSYSERR_NOERROR; }  // nothing is held between pull and play
    void Close() override;

    Engine& engine;
    const Direction direction;
    const StreamFormat format;
    const std::shared_ptr<StreamSink> sink;
    // Under the engine's mutex.
    bool running = false;
    bool closed = false;
    bool lost = false;
    SteadyClock::time_point since;
    std::uint64_t framesDone = 0;
};

class Engine {
public:
    static Engine& Get() {
        static Engine* engine = new Engine();  // never destroyed: streams may outlive statics
        return *engine;
    }

    std::mutex mutex;
    Clock clock = Clock::RealTime;
    unsigned periodMs = 5;

    enum class Source { Silence, Samples, Generator, Loopback };
    Source source = Source::Silence;
    std::vector<std::int16_t> samples;
    bool loopSamples = false;
    std::size_t samplePosition = 0;
    std::function<void(std::int16_t*, std::size_t, std::uint64_t)> generator;
    std::uint64_t generated = 0;
    std::deque<std::int16_t> loopback;

    std::vector<std::int16_t> memory;
    WavWriter writer;

    struct Fault {
        MMRESULT code;
        int count;
    };
    std::map<std::string, Fault> faults;

    std::vector<std::shared_ptr<VirtualStream>> streams;

    std::thread timer;
    std::uint64_t timerGeneration = 0;
    std::condition_variable timerWake;

    // ---- mutex held ----
    void ResetLocked(Clock newClock) {
        clock = newClock;
        faults.clear();
        SetSourceLocked(Source::Silence);
        memory.clear();
        writer.Close();
        loopback.clear();
        RestartClocksLocked();
    }
    void SetSourceLocked(Source newSource) {
        source = newSource;
        samples.clear();
        samplePosition = 0;
        loopSamples = false;
        generator = nullptr;
        generated = 0;
    }
    void RestartClocksLocked() {
        auto now = SteadyClock::now();
        for (auto& stream : streams) {
            stream->since = now;
            stream->framesDone = 0;
        }
    }
    // Starts the timer when real time has streams to drive; returns a timer
    // thread that is no longer wanted, to be joined with the mutex released.
    std::thread ManageTimerLocked() {
        bool wanted = clock == Clock::RealTime && !streams.empty();
        if (wanted && !timer.joinable()) {
            std::uint64_t generation = ++timerGeneration;
            try {
                timer = std::thread([this, generation] { RunTimer(generation); });
            } catch (const std::system_error&) {
                // No thread to be had: the clock stands still until the next
                // open tries again.
            }
        } else if (!wanted && timer.joinable()) {
            ++timerGeneration;
            timerWake.notify_all();
            return std::move(timer);
        }
        return {};
    }

    void Emit(const std::int16_t* data, std::size_t count, const StreamFormat& format) {
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

    void Generate(std::int16_t* out, std::size_t count) {
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

    // Output: pulls and plays up to `frames`; returns the frames played.
    std::uint64_t StepOutput(VirtualStream& stream, std::uint64_t frames) {
        std::size_t blockAlign = stream.format.BlockAlign();
        std::vector<std::int16_t> buffer(frames * stream.format.channels);
        std::size_t got = stream.sink->Pull(buffer.data(), frames * blockAlign);
        std::uint64_t played = got / blockAlign;
        stream.sink->Played(played);
        Emit(buffer.data(), played * stream.format.channels, stream.format);
        return played;
    }

    void StepInput(VirtualStream& stream, std::uint64_t frames) {
        std::vector<std::int16_t> buffer(frames * stream.format.channels);
        Generate(buffer.data(), buffer.size());
        stream.sink->Push(buffer.data(), buffer.size() * 2);
    }

    void RunTimer(std::uint64_t generation) {
        std::unique_lock lock(mutex);
        while (timerGeneration == generation) {
            timerWake.wait_for(lock, std::chrono::milliseconds(periodMs));
            if (timerGeneration != generation) break;
            auto now = SteadyClock::now();
            for (auto& stream : std::vector(streams)) {
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
};

MMRESULT VirtualStream::Start() {
    std::lock_guard lock(engine.mutex);
    if (lost || closed) return MMSYSERR_NODRIVER;
    running = true;
    since = SteadyClock::now();
    framesDone = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualStream::Stop() {
    std::lock_guard lock(engine.mutex);
    running = false;
    return MMSYSERR_NOERROR;
}

void VirtualStream::Close() {
    std::thread idle;
    {
        std::lock_guard lock(engine.mutex);
        closed = true;
        running = false;
        auto& list = engine.streams;
        list.erase(std::remove_if(list.begin(), list.end(), [this](auto& s) { return s.get() == this; }), list.end());
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

class VirtualBackend : public Backend {
public:
    const char* Name() const override { return "virtual"; }
    std::shared_ptr<mixer::MixerBackend> Mixers() override { return mixer::VirtualMixerBackend(); }
    UINT DeviceCount(Direction) override { return 1; }
    MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) override {
        if (device != 0 && device != kDefaultDevice) return MMSYSERR_BADDEVICEID;
        caps->name = direction == Direction::Output ? "Sorn virtual output" : "Sorn virtual input";
        caps->channels = kMostChannels;
        caps->formats = kSixteenBitFormats;  // and any other rate the layer takes
        return MMSYSERR_NOERROR;
    }
    MMRESULT QueryFormat(Direction, UINT device, const StreamFormat&) override {
        return device == 0 || device == kDefaultDevice ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
    }
    MMRESULT Open(Direction direction, UINT device, const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* result) override {
        if (device != 0 && device != kDefaultDevice) return MMSYSERR_BADDEVICEID;
        Engine& engine = Engine::Get();
        auto stream = std::make_shared<VirtualStream>(engine, direction, format, std::move(sink));
        std::thread idle;
        {
            std::lock_guard lock(engine.mutex);
            engine.streams.push_back(stream);
            idle = engine.ManageTimerLocked();
        }
        if (idle.joinable()) idle.join();
        // The layer owns the stream through a unique_ptr; the engine's list
        // keeps a shared reference until Close.
        struct Owner : Stream {
            std::shared_ptr<VirtualStream> stream;
            explicit Owner(std::shared_ptr<VirtualStream> s) : stream(std::move(s)) {}
            MMRESULT Start() override { return stream->Start(); }
            MMRESULT Stop() override { return stream->Stop(); }
            MMRESULT Flush() override { return stream->Flush(); }
            void Close() override { stream->Close(); }
        };
        *result = std::make_unique<Owner>(stream);
        return MMSYSERR_NOERROR;
    }
    MMRESULT InjectedFault(const char* operation) override {
        Engine& engine = Engine::Get();
        std::lock_guard lock(engine.mutex);
        auto it = engine.faults.find(operation);
        if (it == engine.faults.end() || it->second.count <= 0) return MMSYSERR_NOERROR;
        --it->second.count;
        return it->second.code;
    }
};

std::vector<std::shared_ptr<VirtualStream>> Snapshot(Engine& engine) {
    std::lock_guard lock(engine.mutex);
    return engine.streams;
}

void SetClock(Engine& engine, Clock clock) {
    std::thread idle;
    {
        std::lock_guard lock(engine.mutex);
        engine.clock = clock;
        engine.RestartClocksLocked();
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

bool ApplyOption(Engine& engine, const std::string& key, const std::string& value) {
    if (key == "period") {
        char* end = nullptr;
        long ms = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || ms < 1 || ms > 100) return false;
        std::lock_guard lock(engine.mutex);
        engine.periodMs = static_cast<unsigned>(ms);
        return true;
    }
    if (key == "out") {
        if (value == "memory") {
            VirtualDevice::SetOutputMemory();
            return true;
        }
        return !value.empty() && VirtualDevice::SetOutputFile(value.c_str());
    }
    if (key == "in") {
        if (value == "silence") {
            VirtualDevice::SetInputSilence();
            return true;
        }
        if (value == "loopback") {
            VirtualDevice::SetInputLoopback();
            return true;
        }
        return !value.empty() && VirtualDevice::SetInputFile(value.c_str());
    }
    return key == "clock";  // applied before
}

}  // namespace

std::shared_ptr<Backend> CreateVirtualBackend(const std::string& options, bool resetFirst, MMRESULT* error) {
    // Split "key=value,key=value"; check every key before changing anything.
    std::vector<std::pair<std::string, std::string>> pairs;
    bool clockGiven = false;
    Clock clock = Clock::RealTime;
    std::size_t start = 0;
    while (start <= options.size() && !options.empty()) {
        std::size_t comma = options.find(',', start);
        std::string item = options.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        bool known = key == "period" || key == "out" || key == "in" ||
                     (key == "clock" && (value == "realtime" || value == "stepped"));
        if (!known) {
            if (error) *error = MMSYSERR_INVALPARAM;
            return nullptr;
        }
        if (key == "clock") {
            clock = value == "stepped" ? Clock::Stepped : Clock::RealTime;
            clockGiven = true;
        }
        pairs.emplace_back(key, value);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    Engine& engine = Engine::Get();
    if (resetFirst) {
        VirtualDevice::Reset(clock);
    } else if (clockGiven) {
        SetClock(engine, clock);
    }
    for (auto& [key, value] : pairs) {
        if (!ApplyOption(engine, key, value)) {
            if (error) *error = MMSYSERR_INVALPARAM;
            return nullptr;
        }
    }
    if (error) *error = MMSYSERR_NOERROR;
    return std::make_shared<VirtualBackend>();
}

}  // namespace sorn::audio::virtualdev

namespace sorn::audio {

using virtualdev::Engine;

void VirtualDevice::Reset(Clock clock) {
    Engine& engine = Engine::Get();
    std::thread idle;
    {
        std::lock_guard lock(engine.mutex);
        engine.periodMs = 5;
        engine.ResetLocked(clock);
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

void VirtualDevice::SetInputSilence() {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.SetSourceLocked(Engine::Source::Silence);
}

void VirtualDevice::SetInputSamples(std::vector<std::int16_t> samples, bool loop) {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.SetSourceLocked(Engine::Source::Samples);
    engine.samples = std::move(samples);
    engine.loopSamples = loop;
}

void VirtualDevice::SetInputGenerator(
    std::function<void(std::int16_t* out, std::size_t samples, std::uint64_t firstSample)> generator) {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.SetSourceLocked(Engine::Source::Generator);
    engine.generator = std::move(generator);
}

bool VirtualDevice::SetInputFile(const char* wavPath) {
    virtualdev::WavData wav;
    if (!virtualdev::ReadWav(wavPath, &wav)) return false;
    SetInputSamples(std::move(wav.samples), false);
    return true;
}

void VirtualDevice::SetInputLoopback() {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.SetSourceLocked(Engine::Source::Loopback);
    engine.loopback.clear();
}

void VirtualDevice::SetOutputMemory() {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.writer.Close();
    engine.memory.clear();
}

std::vector<std::int16_t> VirtualDevice::TakeOutput() {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    std::vector<std::int16_t> taken;
    taken.swap(engine.memory);
    return taken;
}

bool VirtualDevice::SetOutputFile(const char* wavPath) {
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.memory.clear();
    return engine.writer.Open(wavPath);
}

void VirtualDevice::Advance(std::uint32_t frames) {
    Engine& engine = Engine::Get();
    auto streams = virtualdev::Snapshot(engine);
    // Outputs first, so that a loopback input hears this step's output.
    for (auto& stream : streams) {
        if (stream->direction != Direction::Output) continue;
        std::uint64_t remaining = frames;
        while (remaining > 0) {
            std::uint64_t played;
            {
                std::lock_guard lock(engine.mutex);
                if (!stream->running) break;
                played = engine.StepOutput(*stream, remaining);
            }
            remaining -= played;
            // The callbacks may queue more for the rest of this step.
            stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
            if (played == 0) break;  // the queue ran dry: silence
        }
    }
    for (auto& stream : streams) {
        if (stream->direction != Direction::Input) continue;
        std::vector<std::int16_t> buffer;
        {
            std::lock_guard lock(engine.mutex);
            if (!stream->running) continue;
            buffer.resize(std::size_t{frames} * stream->format.channels);
            engine.Generate(buffer.data(), buffer.size());
        }
        std::size_t bytes = buffer.size() * 2;
        std::size_t offset = 0;
        while (offset < bytes) {
            std::size_t taken;
            {
                std::lock_guard lock(engine.mutex);
                if (!stream->running) break;
                taken = stream->sink->Push(reinterpret_cast<const char*>(buffer.data()) + offset, bytes - offset);
            }
            offset += taken;
            stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
            if (taken == 0) break;  // no header queued: the rest is lost
        }
    }
}

bool VirtualDevice::WaitIdle(std::uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (auto& stream : virtualdev::Snapshot(Engine::Get())) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!stream->sink->WaitDelivered(static_cast<std::uint32_t>(std::max<long long>(0, left.count()))))
            return false;
    }
    return true;
}

void VirtualDevice::FailNext(const char* operation, MMRESULT code, int count) {
    if (!operation) return;
    Engine& engine = Engine::Get();
    std::lock_guard lock(engine.mutex);
    engine.faults[operation] = {code, count};
}

void VirtualDevice::Disconnect(bool waitForDeliveries) {
    Engine& engine = Engine::Get();
    auto streams = virtualdev::Snapshot(engine);
    {
        std::lock_guard lock(engine.mutex);
        for (auto& stream : streams) {
            if (stream->lost) continue;
            stream->lost = true;
            stream->running = false;
            stream->sink->Failed(MMSYSERR_NODRIVER);
        }
    }
    if (!waitForDeliveries) return;
    for (auto& stream : streams) stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
}

}  // namespace sorn::audio
