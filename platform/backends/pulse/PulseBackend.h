#pragma once
// The PulseAudio backend (libpulse, asynchronous API on a threaded main
// loop). Works with PulseAudio and with PipeWire's pulse service.
//
// Sinks are the output devices and sources the input devices, numbered in
// the server's index order, the monitors of sinks after the other sources;
// WAVE_MAPPER is the server's default sink or source at the moment a stream
// opens, and a stream on it follows the default when the user switches. One
// connection serves the process (pulse::Shared); when the server went away
// and came back, the next open connects again. A server is never spawned;
// with none running, opening fails at once with MMSYSERR_NODRIVER.
#include <memory>
#include <string>

#include "platform/emulation/wave/Backend.h"

namespace sorn::audio {

// Creates the backend; `options` is the text after "pulse:" (may be null or
// empty): "server=ADDRESS" names the server (a libpulse server string such
// as "unix:/run/user/0/pulse/native"); without it libpulse's default applies
// (PULSE_SERVER, then the per-user socket). Creation does not connect: a
// server that is down makes opens fail, not the selection. On failure (an
// unknown option: MMSYSERR_INVALPARAM) returns null and sets *error.
std::unique_ptr<Backend> CreatePulseBackend(const char* options, MMRESULT* error);

// True when a sound server answers within half a second (no autospawn).
// Never hangs. When it does not, *silent (if given) tells a server that let
// the time run out (it is there but does not answer: a stopped process)
// from one that is not there (refused at once).
bool PulseServerAnswers(const char* options, bool* silent = nullptr);

// The sound server's mixers (platform/backends/pulse/PulseMixer.cpp): one per
// sink and per source of `server` (a libpulse server string, empty for the
// default), in the order of the wave devices, and the one a mapper handle
// opens, which follows the default. They use the process's connection.
std::shared_ptr<mixer::MixerBackend> CreatePulseMixers(const std::string& server);

}  // namespace sorn::audio
