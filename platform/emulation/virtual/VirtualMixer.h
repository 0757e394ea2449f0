#pragma once
// The virtual device's mixers: trees that tests (or a program) build at will,
// behind the mixer* operations of platform/Mixer.h whenever the virtual wave
// backend is in use. Any number of devices, destinations, sources and
// controls of every class, 1 to 8 channels per line, and faults: a caps,
// line or control query that fails, a read or write that fails, a device
// that refuses to open.
//
// Its default tree mirrors the sound server's mixer
// (platform/backends/pulse/PulseMixer.cpp): one device with a stereo speakers
// destination (volume fader and mute switch, a wave-out source without
// controls) and a wave-in destination whose mono microphone source carries
// the volume fader and mute switch. Volumes start at 65535, switches off.
//
// Control ids are given in tree order, per device, from 1: each destination's
// own controls, then those of its sources in order. Values live in the
// process-wide state and are shared by every open mixer; an open mixer keeps
// the tree it saw at open, and after SetDevices / Reset its reads and writes
// fail with MMSYSERR_NODRIVER (the device it knew is gone).
// All functions are process-wide and safe from any thread.
#include <string>
#include <vector>

#include "platform/Mixer.h"

namespace sorn::mixer {

struct VirtualControl {
    DWORD type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    DWORD flags = 0;  // MIXERCONTROL_CONTROLF_UNIFORM, _MULTIPLE
    DWORD multipleItems = 0;
    std::string name;
    DWORD minimum = 0;
    DWORD maximum = 65535;
    DWORD steps = 0;
    // channels (1 when uniform) x items values, channel-major; empty means
    // all at the minimum.
    std::vector<DWORD> values;
    MMRESULT readFault = MMSYSERR_NOERROR;
    MMRESULT writeFault = MMSYSERR_NOERROR;
};

struct VirtualLine {
    DWORD componentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    DWORD channels = 2;  // 1 to 8
    std::string name;
    DWORD targetType = MIXERLINE_TARGETTYPE_UNDEFINED;
    MMRESULT lineFault = MMSYSERR_NOERROR;  // mixerGetLineInfoA fails with it
    MMRESULT controlsFault = MMSYSERR_NOERROR;  // mixerGetLineControlsA fails with it
    std::vector<VirtualControl> controls;
};

struct VirtualDestination {
    VirtualLine line;
    std::vector<VirtualLine> sources;
};

struct VirtualMixerDevice {
    std::string name = "Sorn virtual mixer";
    MMRESULT openFault = MMSYSERR_NOERROR;  // mixerOpen (and queries by id) fail with it
    MMRESULT capsFault = MMSYSERR_NOERROR;  // mixerGetDevCapsA fails with it
    std::vector<VirtualDestination> destinations;
};

class SORN_WIN_API VirtualMixer {
public:
    // The tree that mirrors the sound server's.
    static std::vector<VirtualMixerDevice> DefaultDevices();
    // Replaces every device. False (and nothing changed) for a line of 0 or
    // more than 8 channels, a multiple-item control without items, or
    // initial values of the wrong count.
    static bool SetDevices(std::vector<VirtualMixerDevice> devices);
    // Back to DefaultDevices(), counters at 0.
    static void Reset();

    // The id of a control (source -1: the destination line's own); 0 when
    // there is no such control.
    static DWORD ControlId(UINT device, UINT destination, int source, UINT control);
    // A control's present values (channel-major); empty for an unknown one.
    static std::vector<DWORD> Values(UINT device, DWORD controlId);
    // Sets them behind the mixer's back (as another program would).
    static bool SetValues(UINT device, DWORD controlId, std::vector<DWORD> values);
    // How many value reads and writes reached a virtual device, and how many
    // virtual mixers are open now (mixerOpen or a query by id under way).
    static unsigned ReadCount();
    static unsigned WriteCount();
    static unsigned OpenCount();
};

}  // namespace sorn::mixer
