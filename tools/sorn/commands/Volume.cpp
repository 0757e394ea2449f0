#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "tools/sorn/Commands.h"
#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/MixerLines.h"

namespace sorn::tool {

namespace {

// The volume manager's scale: a level of 0.0 to 1.0 is a control value of
// 0 to 65535.
constexpr double kScale = 65535.0;

HMIXEROBJ MixerObject(UINT id) { return reinterpret_cast<HMIXEROBJ>(static_cast<UINT_PTR>(id)); }

// What the mixer says of the line whose volume a role uses: its volume
// control (the first readable one, as the volume manager takes it), its
// mute switch and the server's own percentage (when the backend gives them).
struct RoleLine {
    bool volume = false;
    DWORD volumeControl = 0;
    bool muted = false;
    long percent = -1;
};

// One value of a control, all channels at once: the largest when read, every
// channel when written (platform/Mixer.h).
MIXERCONTROLDETAILS UniformDetails(DWORD control, DWORD& value) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    return details;
}

bool ReadUniform(const sorn::host::PlatformMixer& mixer, UINT id, DWORD control, DWORD& value) {
    MIXERCONTROLDETAILS details = UniformDetails(control, value);
    return mixer.mixerGetControlDetailsA(MixerObject(id), &details,
                                         MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR;
}

bool WriteUniform(const sorn::host::PlatformMixer& mixer, UINT id, DWORD control, DWORD value) {
    MIXERCONTROLDETAILS details = UniformDetails(control, value);
    return mixer.mixerSetControlDetails(MixerObject(id), &details,
                                        MIXER_OBJECTF_MIXER | MIXER_SETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR;
}

// Mixer `id`'s line for playback (the speakers destination or its wave-out
// source) or capture (the wave-in destination or its microphone source), as
// the volume manager finds it. False when the mixer cannot be read.
bool ReadRoleLine(const sorn::host::PlatformMixer& mixer, UINT id, bool input, RoleLine& role) {
    role = RoleLine{};
    MIXERCAPSA caps{};
    if (mixer.mixerGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    const DWORD destinationType = input ? MIXERLINE_COMPONENTTYPE_DST_WAVEIN : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    const DWORD sourceType = input ? MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE : MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT;
    const auto take = [&](const MIXERLINEA& line) {
        for (const MIXERCONTROLA& control : LineControls(mixer, MixerObject(id), line)) {
            DWORD value = 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME && !role.volume &&
                ReadUniform(mixer, id, control.dwControlID, value)) {
                role.volume = true;
                role.volumeControl = control.dwControlID;
            }
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE &&
                ReadUniform(mixer, id, control.dwControlID, value))
                role.muted = role.muted || value != 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_PERCENT &&
                ReadUniform(mixer, id, control.dwControlID, value))
                role.percent = std::max<long>(role.percent, static_cast<long>(value));
        }
    };
    for (DWORD d = 0; d < caps.cDestinations; ++d) {
        MIXERLINEA line;
        if (!DestinationLine(mixer, MixerObject(id), d, line) || line.dwComponentType != destinationType) continue;
        take(line);
        for (DWORD s = 0; s < line.cConnections; ++s) {
            MIXERLINEA source;
            if (SourceLine(mixer, MixerObject(id), d, s, source) && source.dwComponentType == sourceType) take(source);
        }
    }
    return true;
}

// The mixer that serves wave device `device` (WAVE_MAPPER: the default) of
// a direction; false when the module cannot tell. A module without
// mixerGetID has the one mixer 0, for the default devices: it serves a
// numbered device only when that is the default or the only one
// (`mapped`).
bool ServingMixer(const sorn::host::PlatformMixer& mixer, bool input, UINT device, bool mapped, UINT& id) {
    id = 0;
    if (!mixer.mixerGetID) return device == WAVE_MAPPER || mapped;
    if (mixer.mixerGetID(MixerObject(device), &id, input ? MIXER_OBJECTF_WAVEIN : MIXER_OBJECTF_WAVEOUT) ==
        MMSYSERR_NOERROR)
        return true;
    id = 0;
    return false;
}

// "0.500", and the percentage past 100 and the mute when there are.
std::string LevelText(double level, const RoleLine& line) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", level);
    std::string notes;
    if (line.percent > 100) notes = std::to_string(line.percent) + " %";
    if (line.muted) notes += std::string(notes.empty() ? "" : ", ") + "muted";
    return text + (notes.empty() ? "" : " (" + notes + ")");
}

// Reads, and sets first when `level` >= 0, the volume of one device through
// its own mixer, with the volume manager's scale: a level is written as
// level * 65535 cut to a whole number, and read as the largest channel's
// value / 65535.
int DeviceVolume(const std::string& command, const WaveDevice& device, double level) {
    const sorn::host::PlatformMixer mixer = Module().Mixer();
    const bool input = !device.output;
    const std::string named =
        std::string(input ? "input " : "output ") + std::to_string(device.id) + " \"" + device.name + "\"";
    UINT id = 0;
    const bool mapped = device.isDefault || ListDevices(device.output).size() == 1;
    if (!ServingMixer(mixer, input, device.id, mapped, id))
        return Fail(command, "no mixer serves " + named +
                                 (mixer.mixerGetID ? std::string() : " (the module's one mixer serves the defaults)"));
    RoleLine line;
    if (!ReadRoleLine(mixer, id, input, line)) return Fail(command, "the mixer of " + named + " does not answer");
    if (!line.volume) return Fail(command, "no volume to read or set: the mixer of " + named + " has none");
    if (level >= 0) {
        if (!mixer.mixerSetControlDetails) return Fail(command, "the module cannot set a mixer's volume");
        if (!WriteUniform(mixer, id, line.volumeControl, static_cast<DWORD>(level * kScale)))
            return Fail(command, "cannot set the volume of " + named);
    }
    DWORD value = 0;
    if (!ReadRoleLine(mixer, id, input, line) || !line.volume || !ReadUniform(mixer, id, line.volumeControl, value))
        return Fail(command, "the mixer of " + named + " stopped answering");
    std::printf("%s volume of %s: %s\n", input ? "recording" : "playback", named.c_str(),
                LevelText(value / kScale, line).c_str());
    return kOk;
}

}  // namespace

int Volume(const std::string& which, const std::string& levelText, const std::string& deviceText,
           const std::string& backend) {
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
    if (!SelectBackend(command, choice, status)) return status;
    const sorn::host::PlatformMixer mixer = Module().Mixer();
    const bool pulse = std::string(Module().Audio().selectedBackendName()) == "pulse";
    if (!mixer.Complete()) return Fail(command, "the module has no mixer");
    // The server answered (SelectBackend made sure): no mixer means no device.
    if (mixer.mixerGetNumDevs() == 0) {
        AnnounceBackend(choice);
        return Fail(command, pulse ? "no volume to read or set: the sound server has no playback device"
                                   : "the audio backend has no mixer");
    }

    if (!deviceText.empty()) {
        // A device of the direction named; without one, a name may be of
        // either direction and a number gives both devices of that number.
        std::vector<WaveDevice> devices;
        if (!input) devices = ListDevices(true);
        if (!output) {
            const std::vector<WaveDevice> inputs = ListDevices(false);
            devices.insert(devices.end(), inputs.begin(), inputs.end());
        }
        std::vector<WaveDevice> chosen;
        std::string why;
        const bool number = deviceText.find_first_not_of("0123456789 \t") == std::string::npos &&
                            deviceText.find_first_of("0123456789") != std::string::npos;
        if (number && which.empty()) {
            for (const bool out : {true, false}) {
                std::vector<WaveDevice> one;
                std::copy_if(devices.begin(), devices.end(), std::back_inserter(one),
                             [&](const WaveDevice& d) { return d.output == out; });
                WaveDevice found;
                std::string ignored;
                if (FindDevice(deviceText, one, out ? "output" : "input", found, ignored)) chosen.push_back(found);
            }
        }
        WaveDevice found;
        if (chosen.empty() && !FindDevice(deviceText, devices,
                                          input    ? "input"
                                          : output ? "output"
                                                   : "wave",
                                          found, why))
            return UsageError(command, why);
        if (chosen.empty()) chosen.push_back(found);
        AnnounceBackend(choice);
        // Recording first, as without --device.
        std::sort(chosen.begin(), chosen.end(),
                  [](const WaveDevice& a, const WaveDevice& b) { return a.output < b.output; });
        for (const WaveDevice& device : chosen) {
            if (const int result = DeviceVolume(command, device, level); result != kOk) return result;
        }
        return kOk;
    }
    AnnounceBackend(choice);

    // The volume manager acts on the mixers that serve the default devices
    // (it finds them through the mapper): their lines are read here.
    UINT mixers[2] = {0, 0};
    ServingMixer(mixer, false, WAVE_MAPPER, true, mixers[0]);
    ServingMixer(mixer, true, WAVE_MAPPER, true, mixers[1]);
    // The volumes exist only with both lines: the module sets up its volume
    // manager for both or for none, and without one a level reads 0.0 and a
    // setting does nothing.
    RoleLine lines[2];
    if (!ReadRoleLine(mixer, mixers[0], false, lines[0]) || !ReadRoleLine(mixer, mixers[1], true, lines[1]))
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
    if (!ReadRoleLine(mixer, mixers[0], false, lines[0]) || !ReadRoleLine(mixer, mixers[1], true, lines[1]) ||
        !lines[0].volume || !lines[1].volume)
        return Fail(command, pulse ? NoServer(choice) : "the mixer stopped answering");
    if (which.empty() || input) std::printf("recording volume: %s\n", LevelText(levels[1], lines[1]).c_str());
    if (which.empty() || output) std::printf("playback volume: %s\n", LevelText(levels[0], lines[0]).c_str());
    return kOk;
}

}  // namespace sorn::tool
