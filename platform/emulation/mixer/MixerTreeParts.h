#pragma once
// The parts of a mixer tree the device backends describe alike: a speakers
// destination with a wave-out source under it, a recording destination with
// a microphone source under it, and the volume fader and mute switch those
// carry. A backend adds its own controls beside them.
#include <string>
#include <utility>
#include <vector>

#include "platform/emulation/mixer/MixerBackend.h"

namespace sorn::mixer {

// A volume fader from 0 to 65535 in `steps` steps (at most 65536).
inline ControlInfo VolumeFader(DWORD id, DWORD steps) {
    ControlInfo control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control.shortName = "Volume";
    control.name = "Volume";
    control.minimum = 0;
    control.maximum = 65535;
    control.steps = steps;
    return control;
}

// A mute switch, one value for every channel (1 muted).
inline ControlInfo MuteSwitch(DWORD id) {
    ControlInfo control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    control.shortName = "Mute";
    control.name = "Mute";
    control.maximum = 1;
    return control;
}

// A line of `channels` channels named `name` (its short name cut to fit),
// aimed at the wave device `device` of type `target`.
inline LineInfo TreeLine(DWORD type, DWORD channels, const std::string& name, DWORD target, const std::string& device) {
    LineInfo line;
    line.componentType = type;
    line.channels = channels;
    line.name = name;
    line.shortName = name.substr(0, MIXER_SHORT_NAME_CHARS - 1);
    line.targetType = target;
    line.targetName = device;
    return line;
}

// The speakers destination with `controls` of its own, and under it a
// wave-out source without controls.
inline DestinationInfo SpeakersDestination(DWORD channels, const std::string& device,
                                           std::vector<ControlInfo> controls) {
    DestinationInfo speakers;
    speakers.line =
        TreeLine(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, channels, "Speakers", MIXERLINE_TARGETTYPE_WAVEOUT, device);
    speakers.line.controls = std::move(controls);
    speakers.sources.push_back(
        TreeLine(MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, channels, "Wave", MIXERLINE_TARGETTYPE_WAVEOUT, device));
    return speakers;
}

// The recording destination without controls of its own, and under it a
// microphone source with `controls`.
inline DestinationInfo RecordingDestination(DWORD channels, const std::string& device,
                                            std::vector<ControlInfo> controls) {
    DestinationInfo recording;
    recording.line =
        TreeLine(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, channels, "Recording", MIXERLINE_TARGETTYPE_WAVEIN, device);
    LineInfo microphone =
        TreeLine(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, channels, "Microphone", MIXERLINE_TARGETTYPE_WAVEIN, device);
    microphone.controls = std::move(controls);
    recording.sources.push_back(std::move(microphone));
    return recording;
}

}  // namespace sorn::mixer
