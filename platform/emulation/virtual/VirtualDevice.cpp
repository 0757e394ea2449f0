// VirtualDevice, the public face of the virtual device's engine.
#include "platform/emulation/virtual/VirtualDevice.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/emulation/virtual/VirtualEngine.h"
#include "platform/emulation/virtual/WavFile.h"
#include "platform/emulation/wave/WaveLayer.h"

namespace sorn::audio {

using virtualdev::Engine;

void VirtualDevice::Reset(Clock clock) {
    Engine& engine = Engine::Get();
    std::thread idle;
    {
        MutexLock lock(engine.mutex);
        engine.periodMs = 5;
        engine.ResetLocked(clock);
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

namespace {

Direction Way(bool output) { return output ? Direction::Output : Direction::Input; }

}  // namespace

UINT VirtualDevice::AddDevice(bool output, const char* name, std::uint16_t channels, std::uint32_t rate) {
    if (!name || !*name || channels < 1 || channels > kMostChannels || rate < kLowestRate || rate > kHighestRate)
        return kNoDevice;
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    if (engine.Devices(Way(output)).size() >= Engine::kMostDevices) return kNoDevice;
    Engine::DeviceShape shape;
    shape.name = name;
    shape.channels = channels;
    shape.rate = rate;
    return engine.AddLocked(Way(output), shape);
}

bool VirtualDevice::RemoveDevice(bool output, UINT number, bool waitForDeliveries) {
    Engine& engine = Engine::Get();
    std::vector<std::shared_ptr<virtualdev::VirtualStream>> lost;
    {
        MutexLock lock(engine.mutex);
        if (number >= engine.Devices(Way(output)).size()) return false;
        lost = engine.RemoveLocked(Way(output), number);
    }
    if (waitForDeliveries)
        for (auto& stream : lost) stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
    return true;
}

bool VirtualDevice::SetDefault(bool output, UINT number) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    if (number >= engine.Devices(Way(output)).size()) return false;
    engine.SetDefaultLocked(Way(output), number);
    return true;
}

void VirtualDevice::SetInputSilence() {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    if (Engine::Device* input = engine.DefaultLocked(Direction::Input))
        virtualdev::SetSource(*input, Engine::Source::Silence);
}

bool VirtualDevice::SetInputSilence(UINT input) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* device = input == kDefaultDevice ? nullptr : engine.FindLocked(Direction::Input, input);
    if (!device) return false;
    virtualdev::SetSource(*device, Engine::Source::Silence);
    return true;
}

void VirtualDevice::SetInputSamples(std::vector<std::int16_t> samples, bool loop) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* input = engine.DefaultLocked(Direction::Input);
    if (!input) return;
    virtualdev::SetSource(*input, Engine::Source::Samples);
    input->samples = std::move(samples);
    input->loopSamples = loop;
}

bool VirtualDevice::SetInputSamples(UINT input, std::vector<std::int16_t> samples, bool loop) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* device = input == kDefaultDevice ? nullptr : engine.FindLocked(Direction::Input, input);
    if (!device) return false;
    virtualdev::SetSource(*device, Engine::Source::Samples);
    device->samples = std::move(samples);
    device->loopSamples = loop;
    return true;
}

void VirtualDevice::SetInputGenerator(
    std::function<void(std::int16_t* out, std::size_t samples, std::uint64_t firstSample)> generator) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* input = engine.DefaultLocked(Direction::Input);
    if (!input) return;
    virtualdev::SetSource(*input, Engine::Source::Generator);
    input->generator = std::move(generator);
}

bool VirtualDevice::SetInputFile(const char* wavPath) {
    virtualdev::WavData wav;
    if (!virtualdev::ReadWav(wavPath, &wav)) return false;
    SetInputSamples(std::move(wav.samples), false);
    return true;
}

void VirtualDevice::SetInputLoopback() {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* input = engine.DefaultLocked(Direction::Input);
    if (!input) return;
    virtualdev::SetSource(*input, Engine::Source::Loopback);
    if (Engine::Device* output = engine.DefaultLocked(Direction::Output)) input->loopbackOf = output->id;
}

bool VirtualDevice::SetInputLoopback(UINT input, UINT output) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* in = input == kDefaultDevice ? nullptr : engine.FindLocked(Direction::Input, input);
    Engine::Device* out = output == kDefaultDevice ? nullptr : engine.FindLocked(Direction::Output, output);
    if (!in || !out) return false;
    virtualdev::SetSource(*in, Engine::Source::Loopback);
    in->loopbackOf = out->id;
    return true;
}

void VirtualDevice::SetOutputMemory() {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* output = engine.DefaultLocked(Direction::Output);
    if (!output) return;
    output->writer.Close();
    output->memory.clear();
}

std::vector<std::int16_t> VirtualDevice::TakeOutput() {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    std::vector<std::int16_t> taken;
    if (Engine::Device* output = engine.DefaultLocked(Direction::Output)) taken.swap(output->memory);
    return taken;
}

std::vector<std::int16_t> VirtualDevice::TakeOutput(UINT output) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    std::vector<std::int16_t> taken;
    Engine::Device* device = output == kDefaultDevice ? nullptr : engine.FindLocked(Direction::Output, output);
    if (device) taken.swap(device->memory);
    return taken;
}

bool VirtualDevice::SetOutputFile(const char* wavPath) {
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    Engine::Device* output = engine.DefaultLocked(Direction::Output);
    if (!output) return false;
    output->memory.clear();
    return output->writer.Open(wavPath);
}

void VirtualDevice::Advance(std::uint32_t frames) {
    Engine& engine = Engine::Get();
    auto streams = engine.Snapshot();
    // Outputs first, so that a loopback input hears this step's output.
    for (auto& stream : streams) {
        if (stream->direction != Direction::Output) continue;
        std::uint64_t remaining = frames;
        while (remaining > 0) {
            std::uint64_t played;
            {
                MutexLock lock(engine.mutex);
                engine.Holds(*stream);
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
            MutexLock lock(engine.mutex);
            engine.Holds(*stream);
            if (!stream->running) continue;
            buffer.resize(std::size_t{frames} * stream->format.channels);
            engine.Generate(engine.DeviceOfLocked(*stream), buffer.data(), buffer.size());
        }
        std::size_t bytes = buffer.size() * 2;
        std::size_t offset = 0;
        while (offset < bytes) {
            std::size_t taken;
            {
                MutexLock lock(engine.mutex);
                engine.Holds(*stream);
                if (!stream->running) break;
                taken = stream->sink->Push(reinterpret_cast<const char*>(buffer.data()) + offset, bytes - offset);
            }
            offset += taken;
            stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
            if (taken == 0) break;  // the layer keeps no more: the rest is lost
        }
    }
}

bool VirtualDevice::WaitIdle(std::uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (auto& stream : Engine::Get().Snapshot()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!stream->sink->WaitDelivered(static_cast<std::uint32_t>(std::max<long long>(0, left.count()))))
            return false;
    }
    return true;
}

void VirtualDevice::FailNext(const char* operation, MMRESULT code, int count) {
    if (!operation) return;
    Engine& engine = Engine::Get();
    MutexLock lock(engine.mutex);
    engine.faults[operation] = {code, count};
}

void VirtualDevice::Disconnect(bool waitForDeliveries) {
    Engine& engine = Engine::Get();
    auto streams = engine.Snapshot();
    {
        MutexLock lock(engine.mutex);
        for (auto& stream : streams) {
            engine.Holds(*stream);
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
