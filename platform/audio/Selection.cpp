// Placeholder for the backend selection.
#include "platform/audio/Backend.h"

namespace sorn::audio {

std::shared_ptr<Backend> CurrentBackend() { return nullptr; }
MMRESULT SelectBackend(const char* selection) { return MMSYSERR_NOERROR; }
const char* SelectedBackendName() { return "virtual"; }

}  // namespace sorn::audio
