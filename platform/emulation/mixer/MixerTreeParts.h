#pragma once
// The parts of a mixer tree the mixer backends describe alike: a speakers
// destination with a wave-out source under it, a recording destination with
// a microphone source under it, and the volume fader and mute switch those
// carry. A backend adds its own controls beside them.
#include <string>
#include <utility>
#include <vector>

#include "platform/emulation/mixer/MixerBackend.h"

namespace sorn::mixer {

// A control of `type` from 0 to `maximum` in `steps` steps (0: not said),
// named `name` (`shortName` in short).
inline ControlInfo MakeControl(DWORD id, DWORD type, DWORD flags, const std::string& shortName, const std::string& name,
                               DWORD maximum, DWORD steps = 0) {
    ControlInfo control;
    control.id = id;
    control.type = type;
    control.flags = flags;
    control.shortName = shortName;
    control.name = name;
    control.minimum = 0;
    control.maximum = maximum;
    control.steps = steps;
    return control;
}

// A volume fader from 0 to 65535 in `steps` steps (at most 65536).
inline ControlInfo VolumeFader(DWORD id, DWORD steps) {
    return MakeControl(id, MIXERCONTROL_CONTROLTYPE_VOLUME, 0, "Volume", "Volume", 65535, steps);
}

// A mute switch, one value for every channel (1 muted).
inline ControlInfo MuteSwitch(DWORD id) {
    return MakeControl(id, MIXERCONTROL_CONTROLTYPE_MUTE, MIXERCONTROL_CONTROLF_UNIFORM, "Mute", "Mute", 1);
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

// A destination `line` with `lineControls`, and under it one `source` with
// `sourceControls`.
inline DestinationInfo Destination(LineInfo line, std::vector<ControlInfo> lineControls, LineInfo source,
                                   std::vector<ControlInfo> sourceControls) {
    DestinationInfo destination;
    destination.line = std::move(line);
    destination.line.controls = std::move(lineControls);
    source.controls = std::move(sourceControls);
    destination.sources.push_back(std::move(source));
    return destination;
}

// The speakers destination with `controls` of its own, and under it a
// wave-out source without controls.
inline DestinationInfo SpeakersDestination(DWORD channels, const std::string& device,
                                           std::vector<ControlInfo> controls) {
    return Destination(
        TreeLine(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, channels, "Speakers", MIXERLINE_TARGETTYPE_WAVEOUT, device),
        std::move(controls),
        TreeLine(MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, channels, "Wave", MIXERLINE_TARGETTYPE_WAVEOUT, device), {});
}

// The recording destination without controls of its own, and under it a
// microphone source with `controls`.
inline DestinationInfo RecordingDestination(DWORD channels, const std::string& device,
                                            std::vector<ControlInfo> controls) {
    return Destination(
        TreeLine(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, channels, "Recording", MIXERLINE_TARGETTYPE_WAVEIN, device), {},
        TreeLine(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, channels, "Microphone", MIXERLINE_TARGETTYPE_WAVEIN, device),
        std::move(controls));
}

}  // namespace sorn::mixer
