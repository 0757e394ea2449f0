// The backends a Linux build offers, in the order "auto" tries them: the
// sound server when one answers, else the sound cards through ALSA when
// there is one, else the virtual device (a machine without sound still
// runs). A new backend adds its row here.
#include <memory>
#include <string>

#if SORN_WITH_ALSA
#include "platform/backends/alsa/AlsaBackend.h"
#endif
#include "platform/backends/pulse/PulseBackend.h"
#include "platform/emulation/virtual/VirtualBackend.h"
#include "platform/emulation/wave/BackendTable.h"

namespace sorn::audio {
namespace {

Presence ProbePulse() {
    bool silent = false;
    if (PulseServerAnswers(nullptr, &silent)) return Presence::Answers;
    return silent ? Presence::Silent : Presence::Absent;
}

std::shared_ptr<Backend> OpenPulse(const std::string& options, bool, MMRESULT* error) {
    return CreatePulseBackend(options.c_str(), error);
}

std::shared_ptr<Backend> OpenVirtual(const std::string& options, bool explicitChoice, MMRESULT* error) {
    return virtualdev::CreateVirtualBackend(options, explicitChoice, error);
}

constexpr BackendRow kRows[] = {
    {"pulse", "pulse[:server=ADDRESS]", ProbePulse, OpenPulse},
#if SORN_WITH_ALSA
    {"alsa", "alsa[:DEVICE]", alsa::Probe, alsa::Open},
#endif
    {"virtual", "virtual[:OPTIONS]", nullptr, OpenVirtual},
};

}  // namespace

std::span<const BackendRow> SystemBackends() { return kRows; }

}  // namespace sorn::audio
