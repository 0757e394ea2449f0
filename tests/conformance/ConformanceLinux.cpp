// The conformance cases on Linux: the wave and mixer operations of
// platform/linux on the sound-server backend.
#include "conformance/ConformanceSupport.h"

#include <mutex>

#include "platform/audio/Backend.h"

namespace sorn::conformance {

std::string ServerMissing() {
    static std::once_flag once;
    static std::string missing;
    std::call_once(once, [] {
        if (audio::SelectBackend("auto") != MMSYSERR_NOERROR ||
            std::string(audio::SelectedBackendName()) != "pulse" || audio::SelectBackend("pulse") != MMSYSERR_NOERROR)
            missing = "no sound server answers";
    });
    return missing;
}

bool OnWine() { return false; }

}  // namespace sorn::conformance
