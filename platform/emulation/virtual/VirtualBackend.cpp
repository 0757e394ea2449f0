// The virtual device as a backend: its output and input devices (one each
// unless a layout or a test adds more) over the process-wide engine
// (VirtualEngine.h). A new backend can start from this
// folder's layout: the backend class and its creation here, the streams in
// their own file, the device's clock beside them, and the option parser
// apart, so that a bad selection is refused before anything changes.
#include "platform/emulation/virtual/VirtualBackend.h"

#include "platform/emulation/mixer/MixerBackend.h"
#include "platform/emulation/virtual/VirtualEngine.h"
#include "platform/emulation/virtual/VirtualOptions.h"
#include "platform/emulation/virtual/VirtualStream.h"
#include "platform/emulation/wave/WaveLayer.h"

namespace sorn::audio::virtualdev {
namespace {

class VirtualBackend : public Backend {
public:
    const char* Name() const override { return "virtual"; }
    std::shared_ptr<mixer::MixerBackend> Mixers() override { return mixer::VirtualMixerBackend(); }
    UINT DeviceCount(Direction direction) override {
        Engine& engine = Engine::Get();
        MutexLock lock(engine.mutex);
        return static_cast<UINT>(engine.Devices(direction).size());
    }
    UINT DefaultDevice(Direction direction) override {
        Engine& engine = Engine::Get();
        MutexLock lock(engine.mutex);
        Engine::Device* device = engine.DefaultLocked(direction);
        return device ? engine.NumberLocked(direction, device->id) : kDefaultDevice;
    }
    MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) override {
        Engine& engine = Engine::Get();
        MutexLock lock(engine.mutex);
        Engine::Device* found = engine.FindLocked(direction, device);
        if (!found) return device == kDefaultDevice ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
        caps->name = found->name;
        caps->channels = kMostChannels;
        caps->deviceChannels = found->channels;
        caps->formats = kSixteenBitFormats;  // and any other rate the layer takes
        caps->rate = found->rate;
        caps->key = (direction == Direction::Output ? "virtual-output-" : "virtual-input-") + std::to_string(found->id);
        return MMSYSERR_NOERROR;
    }
    MMRESULT QueryFormat(Direction direction, UINT device, const StreamFormat&) override {
        Engine& engine = Engine::Get();
        MutexLock lock(engine.mutex);
        if (engine.FindLocked(direction, device)) return MMSYSERR_NOERROR;
        return device == kDefaultDevice ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
    }
    MMRESULT Open(Direction direction, UINT device, const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* result) override {
        return OpenStream(Engine::Get(), direction, device, format, std::move(sink), result);
    }
    MMRESULT InjectedFault(const char* operation) override {
        Engine& engine = Engine::Get();
        MutexLock lock(engine.mutex);
        auto it = engine.faults.find(operation);
        if (it == engine.faults.end() || it->second.count <= 0) return MMSYSERR_NOERROR;
        --it->second.count;
        return it->second.code;
    }
};

void Apply(Options& options, bool resetFirst) {
    Engine& engine = Engine::Get();
    if (resetFirst) {
        VirtualDevice::Reset(options.clock.value_or(VirtualDevice::Clock::RealTime));
    } else if (options.clock) {
        engine.SetClock(*options.clock);
    }
    std::vector<std::shared_ptr<VirtualStream>> lost;
    {
        MutexLock lock(engine.mutex);
        if (options.periodMs) engine.periodMs = *options.periodMs;
        for (Direction direction : {Direction::Output, Direction::Input}) {
            const auto& layout = direction == Direction::Output ? options.outputs : options.inputs;
            if (!layout) continue;
            auto gone = engine.SetLayoutLocked(direction, Engine::NamedLayout(direction, *layout));
            lost.insert(lost.end(), gone.begin(), gone.end());
        }
        // The output and input options apply to the default devices (when
        // a test has removed every device of a direction, to none).
        Engine::Device* output = engine.DefaultLocked(Direction::Output);
        Engine::Device* input = engine.DefaultLocked(Direction::Input);
        if (!output) options.output = Options::Output::Unchanged;
        if (!input) options.input = Options::Input::Unchanged;
        switch (options.output) {
            case Options::Output::Unchanged:
                break;
            case Options::Output::Memory:
                output->writer.Close();
                output->memory.clear();
                break;
            case Options::Output::File:
                output->memory.clear();
                output->writer = std::move(options.outputFile);
                break;
        }
        switch (options.input) {
            case Options::Input::Unchanged:
                break;
            case Options::Input::Silence:
                SetSource(*input, Engine::Source::Silence);
                break;
            case Options::Input::Loopback:
                SetSource(*input, Engine::Source::Loopback);
                if (output) input->loopbackOf = output->id;
                break;
            case Options::Input::File:
                SetSource(*input, Engine::Source::Samples);
                input->samples = std::move(options.inputFile.samples);
                break;
        }
    }
    for (auto& stream : lost) stream->sink->WaitDelivered(detail::kDeliveryTimeoutMs);
}

}  // namespace

std::shared_ptr<Backend> CreateVirtualBackend(const std::string& options, bool resetFirst, MMRESULT* error) {
    Options parsed;
    if (!ParseOptions(options, &parsed)) {
        if (error) *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    Apply(parsed, resetFirst);
    if (error) *error = MMSYSERR_NOERROR;
    return std::make_shared<VirtualBackend>();
}

}  // namespace sorn::audio::virtualdev
