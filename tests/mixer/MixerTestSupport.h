#pragma once
// Helpers of the mixer tests: virtual trees built line by line, and the
// message boxes the mixer shows, caught instead of shown.
#include <string>
#include <vector>

#include "platform/UserInterface.h"
#include "platform/emulation/virtual/VirtualMixer.h"
#include "platform/emulation/wave/Backend.h"
#include "threading/Mutex.h"

namespace sorn::mixertest {

using mixer::VirtualControl;
using mixer::VirtualDestination;
using mixer::VirtualLine;
using mixer::VirtualMixer;
using mixer::VirtualMixerDevice;

inline VirtualControl Volume(std::vector<DWORD> values, DWORD maximum = 65535) {
    VirtualControl control;
    control.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control.name = "Volume";
    control.maximum = maximum;
    control.values = std::move(values);
    return control;
}

inline VirtualControl Meter(DWORD channels) {
    VirtualControl control;
    control.type = MIXERCONTROL_CONTROLTYPE_PEAKMETER;
    control.name = "Peak";
    control.minimum = static_cast<DWORD>(-32768);
    control.maximum = 32767;
    control.values.assign(channels, 0);
    return control;
}

inline VirtualLine Line(DWORD type, DWORD channels, std::vector<VirtualControl> controls = {}) {
    VirtualLine line;
    line.componentType = type;
    line.channels = channels;
    line.name = "line";
    line.controls = std::move(controls);
    return line;
}

inline VirtualDestination Destination(VirtualLine line, std::vector<VirtualLine> sources = {}) {
    return VirtualDestination{std::move(line), std::move(sources)};
}

// A device with a speakers destination holding `speakers` controls and a
// wave-in destination holding `recording` controls, each `channels` wide.
inline VirtualMixerDevice Device(std::vector<VirtualControl> speakers, std::vector<VirtualControl> recording,
                                 DWORD channels = 2) {
    VirtualMixerDevice device;
    device.destinations = {Destination(Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, channels, std::move(speakers))),
                           Destination(Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, channels, std::move(recording)))};
    return device;
}

// Catches message boxes while it lives, and uses the virtual backend.
class Boxes {
public:
    Boxes() {
        audio::SelectBackend("virtual");
        SetMessageBoxAnswerProvider(&Boxes::Answer, this);
    }
    ~Boxes() {
        SetMessageBoxAnswerProvider(nullptr, nullptr);
        VirtualMixer::Reset();
    }
    std::vector<std::string> Texts() {
        sorn::MutexLock lock(mutex_);
        return texts_;
    }

private:
    static int Answer(void* context, HWND, LPCSTR text, LPCSTR caption, UINT) {
        auto* self = static_cast<Boxes*>(context);
        sorn::MutexLock lock(self->mutex_);
        self->texts_.push_back(std::string(caption) + ": " + text);
        return IDOK;
    }
    sorn::Mutex mutex_;
    std::vector<std::string> texts_ SORN_GUARDED_BY(mutex_);
};

}  // namespace sorn::mixertest
