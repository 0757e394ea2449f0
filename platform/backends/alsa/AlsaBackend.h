#pragma once
// The ALSA backend (alsa-lib, opened on first use): the wave devices and the
// mixer of the sound cards, for machines where no sound server runs.
//
// Devices, in each direction: device 0 is the PCM a selection names
// ("alsa:DEVICE"; "default" without one), which is also the one WAVE_MAPPER
// opens; then every PCM device of every card that has that direction, in
// card and device order, opened through the plug layer ("plughw:CARD,DEV"),
// so that formats the hardware lacks are converted by alsa-lib. A named PCM
// other than "default" is opened through the plug layer as well
// ("plug:'DEVICE'"), unless it is a plug PCM already.
//
// The mixer: ALSA's simple mixer on the control device that goes with device
// 0 ("default", "hw:N" for a card's PCM, the name itself for a plugin such as
// "pulse"), then each card's ("hw:N") that is not that one; see README.md.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/BackendTable.h"

namespace sorn::audio::alsa {

// The row's probe: Answers when alsa-lib loads and a sound card exists
// (snd_card_next); Absent otherwise. Opens no device.
Presence Probe();

// The row's open: `options` is the PCM device name after "alsa:" (empty for
// "default"). Opens nothing yet.
std::shared_ptr<Backend> Open(const std::string& options, bool explicitChoice, MMRESULT* error);

// The PCM name a device name is opened as (the plug layer in front of it).
std::string PluggedName(const std::string& device);

// Underruns (playback) and overruns (capture) recovered since the program
// started, over every stream of the backend.
struct Xruns {
    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> overruns{0};
};
Xruns& XrunCounters();

}  // namespace sorn::audio::alsa
