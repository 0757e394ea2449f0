#pragma once
// Reading the lines of the module's mixer, as volume and devices do.
#include <vector>

#include "tools/ModuleHost.h"

namespace sorn::tool {

// The controls of a mixer line (none when they cannot be read).
std::vector<MIXERCONTROLA> LineControls(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line);

// Destination `d` of mixer `id` into `line`, or its source `s`; false when
// the mixer does not answer for it.
bool DestinationLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, DWORD d, MIXERLINEA& line);
bool SourceLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, DWORD d, DWORD s, MIXERLINEA& line);

}  // namespace sorn::tool
