// The conformance cases on Linux: the wave and mixer operations of
// platform/emulation on the virtual device, its clock in real time and its input
// recording what its output plays (as the sound server's monitor does).
#include "conformance/ConformanceSupport.h"

#include <mutex>

#include "platform/emulation/wave/Backend.h"

namespace sorn::conformance {

std::string ServerMissing() {
    static std::once_flag once;
    static std::string missing;
    std::call_once(once, [] {
        if (audio::SelectBackend("virtual:clock=realtime,in=loopback") != MMSYSERR_NOERROR)
            missing = "the virtual device cannot be selected";
    });
    return missing;
}

bool OnWine() { return false; }

}  // namespace sorn::conformance
