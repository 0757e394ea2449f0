#pragma once
// The PulseAudio backend (libpulse).
#include <memory>

#include "platform/audio/Backend.h"

namespace sorn::audio {

// Creates the backend; `options` is the text after "pulse:" (may be null or
// empty), e.g. "server=unix:/path". On failure returns null and sets *error.
std::unique_ptr<Backend> CreatePulseBackend(const char* options, MMRESULT* error);

// True when a sound server answers within a short time (no autospawn). Never
// hangs.
bool PulseServerAnswers(const char* options);

}  // namespace sorn::audio
