#pragma once
// The ALSA backend's mixers (ALSA's simple mixer); see README.md for the
// tree and the mapping of the faders.
#include <memory>
#include <string>
#include <vector>

#include "platform/emulation/mixer/MixerBackend.h"

namespace sorn::audio::alsa {

// The mixers that go with the PCM device `device` (as the selection names
// it: "default", "hw:1,0", "pulse"): its control device first, then each
// card's ("hw:N") that is not that one; those that alsa-lib cannot open, or
// that have neither a playback nor a capture element, are left out.
std::shared_ptr<mixer::MixerBackend> CreateAlsaMixers(const std::string& device);

// The control device that goes with a PCM device name: "hw:N" for a card's
// PCM ("hw:N,D", "plughw:N,D"), the name before its first colon for a
// plugin ("pulse:..." is "pulse"), else the name itself.
std::string ControlName(const std::string& device);

// Raw fader values (0..65535) and an element's range [minimum, maximum],
// linear in the element's own steps; both directions round to nearest.
long ToElement(unsigned long raw, long minimum, long maximum);
unsigned long ToRaw(long value, long minimum, long maximum);

}  // namespace sorn::audio::alsa
