// Placeholder until the PulseAudio backend is built: no sound server.
#include "platform/audio/pulse/PulseBackend.h"

namespace sorn::audio {

std::unique_ptr<Backend> CreatePulseBackend(const char* options, MMRESULT* error) {
    if (error) *error = MMSYSERR_NODRIVER;
    return nullptr;
}

bool PulseServerAnswers(const char* options) { return false; }

}  // namespace sorn::audio
