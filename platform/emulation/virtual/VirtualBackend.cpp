// The virtual device as a backend: one output and one input device over the
// process-wide engine (VirtualEngine.h). A new backend can start from this
// folder's layout: the backend class and its creation here, the streams in
// their own file, the device's clock beside them, and the option parser
// apart, so that a bad selection is refused before anything changes.
#include "platform/emulation/virtual/VirtualBackend.h"

#include "platform/emulation/mixer/MixerBackend.h"
#include "platform/emulation/virtual/VirtualEngine.h"
#include "platform/emulation/virtual/VirtualOptions.h"
#include "platform/emulation/virtual/VirtualStream.h"

namespace sorn::audio::virtualdev {
namespace {

bool IsOurDevice(UINT device) { return device == 0 || device == kDefaultDevice; }

class VirtualBackend : public Backend {
public:
    const char* Name() const override { return "virtual"; }
    std::shared_ptr<mixer::MixerBackend> Mixers() override { return mixer::VirtualMixerBackend(); }
    UINT DeviceCount(Direction) override { return 1; }
    MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) override {
        if (!IsOurDevice(device)) return MMSYSERR_BADDEVICEID;
        caps->name = direction == Direction::Output ? "Sorn virtual output" : "Sorn virtual input";
        caps->channels = kMostChannels;
        caps->formats = kSixteenBitFormats;  // and any other rate the layer takes
        return MMSYSERR_NOERROR;
    }
    MMRESULT QueryFormat(Direction, UINT device, const StreamFormat&) override {
        return IsOurDevice(device) ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
    }
    MMRESULT Open(Direction direction, UINT device, const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* result) override {
        if (!IsOurDevice(device)) return MMSYSERR_BADDEVICEID;
        OpenStream(Engine::Get(), direction, format, std::move(sink), result);
        return MMSYSERR_NOERROR;
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
    MutexLock lock(engine.mutex);
    if (options.periodMs) engine.periodMs = *options.periodMs;
    switch (options.output) {
        case Options::Output::Unchanged:
            break;
        case Options::Output::Memory:
            engine.writer.Close();
            engine.memory.clear();
            break;
        case Options::Output::File:
            engine.memory.clear();
            engine.writer = std::move(options.outputFile);
            break;
    }
    switch (options.input) {
        case Options::Input::Unchanged:
            break;
        case Options::Input::Silence:
            engine.SetSourceLocked(Engine::Source::Silence);
            break;
        case Options::Input::Loopback:
            engine.SetSourceLocked(Engine::Source::Loopback);
            engine.loopback.clear();
            break;
        case Options::Input::File:
            engine.SetSourceLocked(Engine::Source::Samples);
            engine.samples = std::move(options.inputFile.samples);
            break;
    }
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
