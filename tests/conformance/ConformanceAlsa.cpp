// The conformance cases on Linux: the wave and mixer operations of
// platform/emulation on the ALSA backend (platform/backends/alsa), with
// alsa-lib's `pulse` PCM and control plugins standing in for a sound card.
// They play into the private sound server's default sink and record its
// monitor, as the sound-server run does, but every call goes through
// alsa-lib.
#include "conformance/ConformanceSupport.h"

#include <mutex>

#include "platform/emulation/wave/Backend.h"

namespace sorn::conformance {

std::string ServerMissing() {
    static std::once_flag once;
    static std::string missing;
    std::call_once(once, [] {
        if (!devicetest::ServerAnswers()) {
            missing = "no sound server answers for alsa-lib's pulse plugin";
        } else if (audio::SelectBackend("alsa:pulse") != MMSYSERR_NOERROR || waveOutGetNumDevs() == 0 ||
                   waveInGetNumDevs() == 0) {
            missing = "the ALSA backend cannot be selected";
        }
    });
    return missing;
}

bool OnWine() { return false; }

}  // namespace sorn::conformance
