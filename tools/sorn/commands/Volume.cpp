#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/sorn/Commands.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/MixerLines.h"

namespace sorn::tool {

namespace {

// What the mixer says of the line whose volume a role uses: whether it has a
// volume control, its mute switch and the server's own percentage (when the
// backend gives them).
struct RoleLine {
    bool volume = false;
    bool muted = false;
    long percent = -1;
};

bool ReadUniform(const sorn::host::PlatformMixer& mixer, const MIXERCONTROLA& control, DWORD& value) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    return mixer.mixerGetControlDetailsA(nullptr, &details, MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE) ==
           MMSYSERR_NOERROR;
}

// Mixer 0's line for playback (the speakers destination) or capture (the
// wave-in destination or its microphone source), as the volume manager
// finds it. False when the mixer cannot be read.
bool ReadRoleLine(const sorn::host::PlatformMixer& mixer, bool input, RoleLine& role) {
    role = RoleLine{};
    MIXERCAPSA caps{};
    if (mixer.mixerGetDevCapsA(0, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    const DWORD destinationType = input ? MIXERLINE_COMPONENTTYPE_DST_WAVEIN : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    const DWORD sourceType = input ? MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE : MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT;
    const auto take = [&](const MIXERLINEA& line) {
        for (const MIXERCONTROLA& control : LineControls(mixer, nullptr, line)) {
            DWORD value = 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME) role.volume = true;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE && ReadUniform(mixer, control, value))
                role.muted = role.muted || value != 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_PERCENT && ReadUniform(mixer, control, value))
                role.percent = std::max<long>(role.percent, static_cast<long>(value));
        }
    };
    for (DWORD d = 0; d < caps.cDestinations; ++d) {
        MIXERLINEA line;
        if (!DestinationLine(mixer, nullptr, d, line) || line.dwComponentType != destinationType) continue;
        take(line);
        for (DWORD s = 0; s < line.cConnections; ++s) {
            MIXERLINEA source;
            if (SourceLine(mixer, nullptr, d, s, source) && source.dwComponentType == sourceType) take(source);
        }
    }
    return true;
}

}  // namespace

int Volume(const std::string& which, const std::string& levelText, const std::string& backend) {
    const std::string command = "volume";
    const BackendChoice choice = ChooseBackend(backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    const bool input = which == "input" || which == "in";
    const bool output = which == "output" || which == "out";
    if (!which.empty() && !input && !output)
        return UsageError(command, "\"" + which + "\" is neither input nor output");
    double level = -1;
    if (!levelText.empty()) {
        if (which.empty()) return UsageError(command, "say input or output before the level");
        char* end = nullptr;
        level = std::strtod(levelText.c_str(), &end);
        if (*end || !(level >= 0.0 && level <= 1.0))
            return UsageError(command, "the level " + levelText + " is not a number from 0.0 to 1.0");
    }
    if (!StartBackend(command, choice, status)) return status;
    // The volumes exist only with both lines: the module sets up its volume
    // manager for both or for none, and without one a level reads 0.0 and a
    // setting does nothing.
    const sorn::host::PlatformMixer mixer = Module().Mixer();
    const bool pulse = std::string(Module().Audio().selectedBackendName()) == "pulse";
    RoleLine lines[2];
    if (!mixer.Complete() || mixer.mixerGetNumDevs() == 0 || !ReadRoleLine(mixer, false, lines[0]) ||
        !ReadRoleLine(mixer, true, lines[1]))
        return Fail(command, pulse ? NoServer(choice) : "the audio backend has no mixer");
    if (!lines[0].volume || !lines[1].volume)
        return Fail(command, std::string("no volume to read or set: the ") + (pulse ? "sound server" : "mixer") +
                                 " has no " + (lines[0].volume ? "recording" : "playback") + " device");
    IWaveIn* recorder = Factory()->CreateWaveIn();
    IWaveOut* player = Factory()->CreateWaveOut();
    if (level >= 0) input ? recorder->VolumeLevel(level) : player->VolumeLevel(level);
    const double levels[2] = {player->VolumeLevel(), recorder->VolumeLevel()};
    Release(player);
    Release(recorder);
    // Read again after the levels: a server that went away meanwhile
    // answered nothing, whatever the levels say.
    if (!ReadRoleLine(mixer, false, lines[0]) || !ReadRoleLine(mixer, true, lines[1]) || !lines[0].volume ||
        !lines[1].volume)
        return Fail(command, pulse ? NoServer(choice) : "the mixer stopped answering");
    const auto show = [&](const char* what, int k) {
        std::string notes;
        if (lines[k].percent > 100) notes = std::to_string(lines[k].percent) + " %";
        if (lines[k].muted) notes += std::string(notes.empty() ? "" : ", ") + "muted";
        std::printf("%s volume: %.3f%s\n", what, levels[k], notes.empty() ? "" : (" (" + notes + ")").c_str());
    };
    if (which.empty() || input) show("recording", 1);
    if (which.empty() || output) show("playback", 0);
    return kOk;
}

}  // namespace sorn::tool
