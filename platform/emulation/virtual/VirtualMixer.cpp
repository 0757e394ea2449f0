// The virtual device's mixers (platform/emulation/virtual/VirtualMixer.h) and their
// backend (platform/emulation/mixer/MixerBackend.h).
#include "platform/emulation/virtual/VirtualMixer.h"

#include <map>

#include "platform/emulation/mixer/MixerBackend.h"
#include "platform/emulation/mixer/MixerTreeParts.h"
#include "threading/Mutex.h"

namespace sorn::mixer {
namespace {

constexpr DWORD kMaxChannels = 8;

struct State {
    Mutex mutex;
    std::vector<VirtualMixerDevice> devices SORN_GUARDED_BY(mutex);
    // Per device: control id -> (destination, source or -1, control).
    std::vector<std::map<DWORD, VirtualControl*>> byId SORN_GUARDED_BY(mutex);
    unsigned generation SORN_GUARDED_BY(mutex) = 0;
    unsigned reads SORN_GUARDED_BY(mutex) = 0;
    unsigned writes SORN_GUARDED_BY(mutex) = 0;
    unsigned open SORN_GUARDED_BY(mutex) = 0;
};

State& Shared();

DWORD DeviceChannels(const VirtualLine& line, const VirtualControl& control) {
    return (control.flags & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : line.channels;
}

DWORD Items(const VirtualControl& control) {
    return (control.flags & MIXERCONTROL_CONTROLF_MULTIPLE) ? control.multipleItems : 1;
}

// Checks a line and completes its controls' initial values.
bool PrepareLine(VirtualLine& line) {
    if (line.channels == 0 || line.channels > kMaxChannels) return false;
    for (VirtualControl& control : line.controls) {
        if ((control.flags & MIXERCONTROL_CONTROLF_MULTIPLE) && control.multipleItems == 0) return false;
        const std::size_t count = static_cast<std::size_t>(DeviceChannels(line, control)) * Items(control);
        if (control.values.empty()) control.values.assign(count, control.minimum);
        if (control.values.size() != count) return false;
    }
    return true;
}

// Numbers the controls and indexes them.
void Index(State& state) SORN_REQUIRES(state.mutex) {
    state.byId.assign(state.devices.size(), {});
    for (std::size_t m = 0; m < state.devices.size(); ++m) {
        DWORD next = 1;
        for (VirtualDestination& destination : state.devices[m].destinations) {
            for (VirtualControl& control : destination.line.controls) state.byId[m][next++] = &control;
            for (VirtualLine& source : destination.sources) {
                for (VirtualControl& control : source.controls) state.byId[m][next++] = &control;
            }
        }
    }
}

LineInfo Describe(const VirtualLine& line, DWORD* nextId) {
    LineInfo info = TreeLine(line.componentType, line.channels, line.name, line.targetType, "");
    info.lineQuery = line.lineFault;
    info.controlQuery = line.controlsFault;
    for (const VirtualControl& control : line.controls) {
        ControlInfo c =
            MakeControl((*nextId)++, control.type, control.flags, control.name.substr(0, MIXER_SHORT_NAME_CHARS - 1),
                        control.name, control.maximum, control.steps);
        c.minimum = control.minimum;
        c.multipleItems = control.multipleItems;
        info.controls.push_back(std::move(c));
    }
    return info;
}

class VirtualMixerDeviceOpen final : public MixerDevice {
public:
    VirtualMixerDeviceOpen(UINT device, unsigned generation, MixerTree tree)
        : device_(device), generation_(generation), tree_(std::move(tree)) {}
    ~VirtualMixerDeviceOpen() override {
        State& state = Shared();
        MutexLock lock(state.mutex);
        --state.open;
    }
    const MixerTree& Tree() const override { return tree_; }

    MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) override {
        State& state = Shared();
        MutexLock lock(state.mutex);
        VirtualControl* control = Find(state, controlId);
        if (control == nullptr) return MMSYSERR_NODRIVER;
        ++state.reads;
        if (control->readFault != MMSYSERR_NOERROR) return control->readFault;
        *values = control->values;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(DWORD controlId, const std::vector<DWORD>& values) override {
        State& state = Shared();
        MutexLock lock(state.mutex);
        VirtualControl* control = Find(state, controlId);
        if (control == nullptr) return MMSYSERR_NODRIVER;
        ++state.writes;
        if (control->writeFault != MMSYSERR_NOERROR) return control->writeFault;
        if (values.size() != control->values.size()) return MMSYSERR_INVALPARAM;
        control->values = values;
        return MMSYSERR_NOERROR;
    }

private:
    VirtualControl* Find(State& state, DWORD controlId) const SORN_REQUIRES(state.mutex) {
        if (state.generation != generation_ || device_ >= state.byId.size()) return nullptr;
        auto it = state.byId[device_].find(controlId);
        return it == state.byId[device_].end() ? nullptr : it->second;
    }

    const UINT device_;
    const unsigned generation_;
    const MixerTree tree_;
};

class VirtualMixers final : public MixerBackend {
public:
    UINT DeviceCount() override {
        State& state = Shared();
        MutexLock lock(state.mutex);
        return static_cast<UINT>(state.devices.size());
    }

    MMRESULT Open(UINT device, std::unique_ptr<MixerDevice>* result) override {
        State& state = Shared();
        MutexLock lock(state.mutex);
        if (device >= state.devices.size()) return MMSYSERR_BADDEVICEID;
        const VirtualMixerDevice& source = state.devices[device];
        if (source.openFault != MMSYSERR_NOERROR) return source.openFault;
        MixerTree tree;
        tree.name = source.name;
        tree.capsQuery = source.capsFault;
        DWORD nextId = 1;
        for (const VirtualDestination& destination : source.destinations) {
            DestinationInfo info;
            info.line = Describe(destination.line, &nextId);
            for (const VirtualLine& line : destination.sources) info.sources.push_back(Describe(line, &nextId));
            tree.destinations.push_back(std::move(info));
        }
        ++state.open;
        *result = std::make_unique<VirtualMixerDeviceOpen>(device, state.generation, std::move(tree));
        return MMSYSERR_NOERROR;
    }
};

State& Shared() {
    static State* state = [] {
        auto* created = new State();  // never destroyed
        MutexLock lock(created->mutex);  // not yet shared: no one else takes it
        created->devices = VirtualMixer::DefaultDevices();
        Index(*created);
        return created;
    }();
    return *state;
}

VirtualControl Control(DWORD type, const char* name, DWORD channels, DWORD value) {
    VirtualControl control;
    control.type = type;
    control.name = name;
    if (type == MIXERCONTROL_CONTROLTYPE_MUTE) {
        control.maximum = 1;
        control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
        channels = 1;
    } else {
        control.steps = 65536;
    }
    control.values.assign(channels, value);
    return control;
}

}  // namespace

std::shared_ptr<MixerBackend> VirtualMixerBackend() {
    static const std::shared_ptr<MixerBackend> backend = std::make_shared<VirtualMixers>();
    return backend;
}

std::vector<VirtualMixerDevice> VirtualMixer::DefaultDevices() {
    VirtualMixerDevice device;
    VirtualDestination speakers;
    speakers.line.componentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    speakers.line.channels = 2;
    speakers.line.name = "Speakers";
    speakers.line.targetType = MIXERLINE_TARGETTYPE_WAVEOUT;
    speakers.line.controls = {Control(MIXERCONTROL_CONTROLTYPE_VOLUME, "Volume", 2, 65535),
                              Control(MIXERCONTROL_CONTROLTYPE_MUTE, "Mute", 2, 0)};
    VirtualLine wave;
    wave.componentType = MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT;
    wave.channels = 2;
    wave.name = "Wave";
    wave.targetType = MIXERLINE_TARGETTYPE_WAVEOUT;
    speakers.sources.push_back(wave);
    VirtualDestination recording;
    recording.line.componentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    recording.line.channels = 1;
    recording.line.name = "Recording";
    recording.line.targetType = MIXERLINE_TARGETTYPE_WAVEIN;
    VirtualLine microphone;
    microphone.componentType = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
    microphone.channels = 1;
    microphone.name = "Microphone";
    microphone.targetType = MIXERLINE_TARGETTYPE_WAVEIN;
    microphone.controls = {Control(MIXERCONTROL_CONTROLTYPE_VOLUME, "Volume", 1, 65535),
                           Control(MIXERCONTROL_CONTROLTYPE_MUTE, "Mute", 1, 0)};
    recording.sources.push_back(microphone);
    device.destinations = {speakers, recording};
    return {device};
}

bool VirtualMixer::SetDevices(std::vector<VirtualMixerDevice> devices) {
    for (VirtualMixerDevice& device : devices) {
        for (VirtualDestination& destination : device.destinations) {
            if (!PrepareLine(destination.line)) return false;
            for (VirtualLine& source : destination.sources) {
                if (!PrepareLine(source)) return false;
            }
        }
    }
    State& state = Shared();
    MutexLock lock(state.mutex);
    state.devices = std::move(devices);
    ++state.generation;
    Index(state);
    return true;
}

void VirtualMixer::Reset() {
    SetDevices(DefaultDevices());
    State& state = Shared();
    MutexLock lock(state.mutex);
    state.reads = 0;
    state.writes = 0;
}

DWORD VirtualMixer::ControlId(UINT device, UINT destination, int source, UINT control) {
    State& state = Shared();
    MutexLock lock(state.mutex);
    if (device >= state.devices.size()) return 0;
    DWORD id = 1;
    const auto& destinations = state.devices[device].destinations;
    for (UINT d = 0; d < destinations.size(); ++d) {
        auto lineId = [&](const VirtualLine& line, bool wanted) -> DWORD {
            if (wanted) return control < line.controls.size() ? id + control : 0;
            id += static_cast<DWORD>(line.controls.size());
            return 0;
        };
        if (d == destination && source < 0) return lineId(destinations[d].line, true);
        lineId(destinations[d].line, false);
        for (UINT s = 0; s < destinations[d].sources.size(); ++s) {
            if (d == destination && static_cast<int>(s) == source) return lineId(destinations[d].sources[s], true);
            lineId(destinations[d].sources[s], false);
        }
    }
    return 0;
}

std::vector<DWORD> VirtualMixer::Values(UINT device, DWORD controlId) {
    State& state = Shared();
    MutexLock lock(state.mutex);
    if (device >= state.byId.size()) return {};
    auto it = state.byId[device].find(controlId);
    return it == state.byId[device].end() ? std::vector<DWORD>{} : it->second->values;
}

bool VirtualMixer::SetValues(UINT device, DWORD controlId, std::vector<DWORD> values) {
    State& state = Shared();
    MutexLock lock(state.mutex);
    if (device >= state.byId.size()) return false;
    auto it = state.byId[device].find(controlId);
    if (it == state.byId[device].end() || it->second->values.size() != values.size()) return false;
    it->second->values = std::move(values);
    return true;
}

unsigned VirtualMixer::ReadCount() {
    State& state = Shared();
    MutexLock lock(state.mutex);
    return state.reads;
}

unsigned VirtualMixer::WriteCount() {
    State& state = Shared();
    MutexLock lock(state.mutex);
    return state.writes;
}

unsigned VirtualMixer::OpenCount() {
    State& state = Shared();
    MutexLock lock(state.mutex);
    return state.open;
}

}  // namespace sorn::mixer
