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

Engine::Engine() {
    MutexLock lock(mutex);
    SetLayoutLocked(Direction::Output, DefaultLayout(Direction::Output));
    SetLayoutLocked(Direction::Input, DefaultLayout(Direction::Input));
}

void SetSource(VirtualDeviceState& device, VirtualDeviceState::Source source) {
    device.source = source;
    device.samples.clear();
    device.samplePosition = 0;
    device.loopSamples = false;
    device.generator = nullptr;
    device.generated = 0;
    device.loopbackOf = 0;
    device.loopback.clear();
}

std::vector<Engine::DeviceShape> Engine::DefaultLayout(Direction direction) {
    return NamedLayout(direction, {DeviceShape{}});
}

std::vector<Engine::DeviceShape> Engine::NamedLayout(Direction direction, std::vector<DeviceShape> shapes) {
    const std::string base = direction == Direction::Output ? "Sorn virtual output" : "Sorn virtual input";
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (!shapes[i].name.empty()) continue;
        // Letters, not numbers: a device's number changes when one before it
        // goes, its name does not (at most 32 devices: A to Z, then AA...).
        std::string letter(1, static_cast<char>('A' + i % 26));
        if (i >= 26) letter.insert(letter.begin(), static_cast<char>('A' + i / 26 - 1));
        shapes[i].name = shapes.size() == 1 ? base : base + " " + letter;
    }
    return shapes;
}

void Engine::ResetLocked(Clock newClock) {
    clock = newClock;
    faults.clear();
    for (Direction direction : {Direction::Output, Direction::Input}) {
        // Streams on the devices a reset removes were left open by whoever
        // opened them: they are lost, as by a removal (nobody waits here).
        SetLayoutLocked(direction, DefaultLayout(direction));
        for (auto& device : Devices(direction)) {
            SetSource(*device, Source::Silence);
            device->memory.clear();
            device->writer.Close();
        }
    }
    RestartClocksLocked();
}

void Engine::RestartClocksLocked() {
    auto now = std::chrono::steady_clock::now();
    for (auto& stream : streams) {
        Holds(*stream);
        stream->since = now;
        stream->framesDone = 0;
    }
}

Engine::Device* Engine::DefaultLocked(Direction direction) {
    const std::uint64_t id = direction == Direction::Output ? defaultOutput_ : defaultInput_;
    for (auto& device : Devices(direction))
        if (device->id == id) return device.get();
    return nullptr;
}

Engine::Device* Engine::FindLocked(Direction direction, UINT number) {
    if (number == kDefaultDevice) return DefaultLocked(direction);
    auto& list = Devices(direction);
    return number < list.size() ? list[number].get() : nullptr;
}

UINT Engine::NumberLocked(Direction direction, std::uint64_t id) {
    auto& list = Devices(direction);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->id == id) return static_cast<UINT>(i);
    return kDefaultDevice;
}

Engine::Device* Engine::DeviceOfLocked(const VirtualStream& stream) {
    if (stream.followsDefault) return DefaultLocked(stream.direction);
    auto& list = Devices(stream.direction);
    for (auto& device : list)
        if (device->id == stream.deviceId) return device.get();
    return nullptr;
}

UINT Engine::AddLocked(Direction direction, const DeviceShape& shape) {
    auto device = std::make_unique<Device>();
    device->id = nextId_++;
    device->name = shape.name;
    device->channels = shape.channels;
    device->rate = shape.rate;
    auto& list = Devices(direction);
    list.push_back(std::move(device));
    if (list.size() == 1) SetDefaultLocked(direction, 0);
    return static_cast<UINT>(list.size() - 1);
}

void Engine::SetDefaultLocked(Direction direction, UINT number) {
    auto& list = Devices(direction);
    const std::uint64_t id = number < list.size() ? list[number]->id : 0;
    (direction == Direction::Output ? defaultOutput_ : defaultInput_) = id;
}

void Engine::LoseLocked(VirtualStream& stream) {
    Holds(stream);
    if (stream.lost) return;
    stream.lost = true;
    stream.running = false;
    stream.sink->Failed(MMSYSERR_NODRIVER);
}

std::vector<std::shared_ptr<VirtualStream>> Engine::RemoveLocked(Direction direction, UINT number) {
    std::vector<std::shared_ptr<VirtualStream>> lost;
    auto& list = Devices(direction);
    if (number >= list.size()) return lost;
    const std::uint64_t id = list[number]->id;
    const bool wasDefault = DefaultLocked(direction) == list[number].get();
    list.erase(list.begin() + number);
    if (wasDefault) SetDefaultLocked(direction, 0);  // none left: no default
    const bool mapperLost = list.empty();
    for (auto& stream : streams) {
        Holds(*stream);
        if (stream->direction != direction || stream->closed) continue;
        if (stream->followsDefault ? !mapperLost : stream->deviceId != id) continue;
        LoseLocked(*stream);
        lost.push_back(stream);
    }
    return lost;
}

std::vector<std::shared_ptr<VirtualStream>> Engine::SetLayoutLocked(Direction direction,
                                                                    const std::vector<DeviceShape>& shapes) {
    std::vector<std::shared_ptr<VirtualStream>> lost;
    auto& list = Devices(direction);
    while (list.size() > shapes.size()) {
        auto gone = RemoveLocked(direction, static_cast<UINT>(list.size() - 1));
        lost.insert(lost.end(), gone.begin(), gone.end());
    }
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (i == list.size()) {
            AddLocked(direction, shapes[i]);
            continue;
        }
        list[i]->name = shapes[i].name;
        list[i]->channels = shapes[i].channels;
        list[i]->rate = shapes[i].rate;
    }
    SetDefaultLocked(direction, 0);
    return lost;
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

void Engine::Emit(Device& output, const std::int16_t* data, std::size_t count, const StreamFormat& format) {
    if (output.writer.IsOpen()) {
        output.writer.Append(data, count, format.sampleRate, format.channels);
    } else {
        auto& memory = output.memory;
        memory.insert(memory.end(), data, data + count);
        // Nobody may ever take it (a program left on the virtual device):
        // keep the most recent samples only.
        if (memory.size() > kMemoryLimit + kMemoryLimit / 4)
            memory.erase(memory.begin(), memory.begin() + (memory.size() - kMemoryLimit));
    }
    for (auto& input : inputs_) {
        if (input->source != Source::Loopback || input->loopbackOf != output.id) continue;
        auto& loopback = input->loopback;
        loopback.insert(loopback.end(), data, data + count);
        if (loopback.size() > kLoopbackLimit)
            loopback.erase(loopback.begin(), loopback.begin() + (loopback.size() - kLoopbackLimit));
    }
}

void Engine::Generate(Device* device, std::int16_t* out, std::size_t count) {
    if (!device) {
        std::fill(out, out + count, 0);
        return;
    }
    Device& in = *device;
    switch (in.source) {
        case Source::Silence:
            std::fill(out, out + count, 0);
            break;
        case Source::Samples:
            for (std::size_t i = 0; i < count; ++i) {
                if (in.samplePosition >= in.samples.size() && in.loopSamples && !in.samples.empty())
                    in.samplePosition = 0;
                out[i] = in.samplePosition < in.samples.size() ? in.samples[in.samplePosition++] : 0;
            }
            break;
        case Source::Generator:
            std::fill(out, out + count, 0);
            if (in.generator) in.generator(out, count, in.generated);
            in.generated += count;
            break;
        case Source::Loopback: {
            std::size_t n = std::min(count, in.loopback.size());
            std::copy(in.loopback.begin(), in.loopback.begin() + n, out);
            in.loopback.erase(in.loopback.begin(), in.loopback.begin() + n);
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
    // A stream that is not lost has its device (a removal loses the streams
    // on it first).
    if (Device* output = DeviceOfLocked(stream))
        Emit(*output, buffer.data(), played * stream.format.channels, stream.format);
    return played;
}

void Engine::StepInput(VirtualStream& stream, std::uint64_t frames) {
    std::vector<std::int16_t> buffer(frames * stream.format.channels);
    Generate(DeviceOfLocked(stream), buffer.data(), buffer.size());
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
