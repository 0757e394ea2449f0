#include "tools/sorn/MixerLines.h"

namespace sorn::tool {

std::vector<MIXERCONTROLA> LineControls(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line) {
    std::vector<MIXERCONTROLA> controls(line.cControls);
    MIXERLINECONTROLSA request{};
    request.cbStruct = sizeof request;
    request.dwLineID = line.dwLineID;
    request.cControls = line.cControls;
    request.cbmxctrl = sizeof(MIXERCONTROLA);
    request.pamxctrl = controls.data();
    if (line.cControls == 0 ||
        mixer.mixerGetLineControlsA(id, &request, MIXER_OBJECTF_MIXER | MIXER_GETLINECONTROLSF_ALL) != MMSYSERR_NOERROR)
        controls.clear();
    return controls;
}

bool DestinationLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, DWORD d, MIXERLINEA& line) {
    line = MIXERLINEA{};
    line.cbStruct = sizeof line;
    line.dwDestination = d;
    return mixer.mixerGetLineInfoA(id, &line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_DESTINATION) == MMSYSERR_NOERROR;
}

bool SourceLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, DWORD d, DWORD s, MIXERLINEA& line) {
    line = MIXERLINEA{};
    line.cbStruct = sizeof line;
    line.dwDestination = d;
    line.dwSource = s;
    return mixer.mixerGetLineInfoA(id, &line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_SOURCE) == MMSYSERR_NOERROR;
}

}  // namespace sorn::tool
