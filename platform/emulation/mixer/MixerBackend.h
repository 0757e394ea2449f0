#pragma once
// Mixer backends: what stands behind the mixer* operations.
//
// The mixer layer (platform/emulation/mixer/MixerLayer.cpp) implements every mixer*
// operation of platform/Mixer.h once: the handle table, argument and record
// size checks, line ids, the filling of MIXERCAPSA / MIXERLINEA /
// MIXERCONTROLA records, the ONEBYID / ONEBYTYPE / LINEID / COMPONENTTYPE
// searches, channel and item counts of value transfers and the bounds check
// of written values. A backend only describes its mixers as trees and moves
// control values.
//
// What a backend owes:
// - DeviceCount, and Open of a device below it. An open device describes its
//   tree once, at open (the tree does not change while it is open); its
//   values are read and written on every Read / Write (no cache).
// - Control ids unique within a device, below 0x80000000.
// - Read / Write of `channels x items` values (channel-major: the items of
//   channel 0 first), where `channels` is the control's line channel count,
//   or 1 for a uniform control, and items its cMultipleItems (1 when not a
//   multiple-item control). The layer has checked the id, the counts and the
//   bounds before it calls.
// - Nothing may hang: every wait has a timeout; a device that has gone away
//   answers MMSYSERR_NODRIVER.
// - Thread safety: a backend's methods may be called from any thread; the
//   layer calls one open device's methods one at a time.
#include <memory>
#include <string>
#include <vector>

#include "platform/Mixer.h"
#include "platform/emulation/wave/Backend.h"

namespace sorn::mixer {

struct ControlInfo {
    DWORD id = 0;
    DWORD type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    DWORD flags = 0;  // MIXERCONTROL_CONTROLF_*
    DWORD multipleItems = 0;  // with MIXERCONTROL_CONTROLF_MULTIPLE
    std::string shortName;
    std::string name;
    // Bounds: DWORD for unsigned units, read as LONG for signed ones.
    DWORD minimum = 0;
    DWORD maximum = 65535;
    DWORD steps = 0;  // Metrics.cSteps (Metrics.cbCustomData for custom controls)
};

struct LineInfo {
    DWORD componentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    DWORD channels = 2;
    DWORD flags = MIXERLINE_LINEF_ACTIVE;  // the layer adds MIXERLINE_LINEF_SOURCE
    std::string shortName;
    std::string name;
    DWORD targetType = MIXERLINE_TARGETTYPE_UNDEFINED;
    std::string targetName;
    // What the line and control queries answer: MMSYSERR_NOERROR, or a code
    // the query fails with (a faulty driver, for tests).
    MMRESULT lineQuery = MMSYSERR_NOERROR;
    MMRESULT controlQuery = MMSYSERR_NOERROR;
    std::vector<ControlInfo> controls;
};

struct DestinationInfo {
    LineInfo line;
    std::vector<LineInfo> sources;
};

struct MixerTree {
    std::string name;  // at most MAXPNAMELEN - 1 characters are shown
    MMRESULT capsQuery = MMSYSERR_NOERROR;
    std::vector<DestinationInfo> destinations;
};

// One open mixer device.
class MixerDevice {
public:
    virtual ~MixerDevice() = default;
    virtual const MixerTree& Tree() const = 0;
    virtual MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) = 0;
    virtual MMRESULT Write(DWORD controlId, const std::vector<DWORD>& values) = 0;
};

class MixerBackend {
public:
    virtual ~MixerBackend() = default;
    virtual UINT DeviceCount() = 0;
    // Opens device `device`: MMSYSERR_BADDEVICEID when there is no such
    // device, MMSYSERR_NODRIVER when the backend is unreachable.
    virtual MMRESULT Open(UINT device, std::unique_ptr<MixerDevice>* result) = 0;

    // The mixer that serves wave device `waveDevice` of `direction` (a
    // numbered device, or audio::kDefaultDevice for the wave mapper). A
    // backend with one mixer for everything keeps these defaults (mixer 0).
    // A mixer opened for the mapper may follow the default device: each of
    // its requests then acts on the default of that moment.
    virtual MMRESULT OpenFor(audio::Direction direction, UINT waveDevice, std::unique_ptr<MixerDevice>* result) {
        (void)direction;
        (void)waveDevice;
        return Open(0, result);
    }
    // The id of the mixer that serves wave device `waveDevice` (for the
    // mapper: the mixer of the numbered device that is the default now), or
    // kNoMixer when none does.
    virtual UINT MixerOf(audio::Direction direction, UINT waveDevice) {
        (void)direction;
        (void)waveDevice;
        return DeviceCount() > 0 ? 0 : kNoMixer;
    }
    static constexpr UINT kNoMixer = 0xFFFFFFFFu;
};

// The mixer backend of the virtual device (platform/emulation/virtual/VirtualMixer.h).
std::shared_ptr<MixerBackend> VirtualMixerBackend();

}  // namespace sorn::mixer
