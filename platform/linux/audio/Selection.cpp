// Which backend new devices open on.
//
// The rule: SORN_AUDIO (read on first use) or SelectBackend names the backend
// and its options. "auto", the default, takes the sound server when
// PulseServerAnswers says one answers (a quick probe that never spawns a
// server and has a short timeout), and the virtual device when none is there,
// so a machine without sound still runs; a server that is there but lets the
// probe time out makes an explicit "auto" fail (MMSYSERR_NODRIVER). An unusable SORN_AUDIO is reported once
// on stderr and "auto" is used instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/audio/Backend.h"
#include "platform/audio/pulse/PulseBackend.h"
#include "platform/audio/virtual/VirtualBackend.h"

namespace sorn::audio {
namespace {

struct Selected {
    std::mutex mutex;
    std::shared_ptr<Backend> backend;  // null until first use
};

Selected& Current() {
    static Selected* selected = new Selected();  // never destroyed
    return *selected;
}

// `explicitChoice`: a program's SelectBackend, which starts a virtual device
// afresh; the environment read on first use and "auto" leave the virtual
// device's state (set up by the program beforehand, perhaps) as it is.
MMRESULT Create(const char* selection, bool explicitChoice, std::shared_ptr<Backend>* result) {
    std::string text = selection ? selection : "";
    std::size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    std::string options = colon == std::string::npos ? "" : text.substr(colon + 1);
    MMRESULT error = MMSYSERR_NOERROR;
    if (name.empty() || name == "auto") {
        if (!options.empty()) return MMSYSERR_INVALPARAM;
        bool silent = false;
        if (PulseServerAnswers(nullptr, &silent)) {
            std::unique_ptr<Backend> pulse = CreatePulseBackend(nullptr, &error);
            if (pulse) {
                *result = std::move(pulse);
                return MMSYSERR_NOERROR;
            }
        }
        // A server that is there but does not answer is not a machine
        // without sound: the virtual device would only hide it.
        if (silent) return MMSYSERR_NODRIVER;
        *result = virtualdev::CreateVirtualBackend("", false, &error);
        return error;
    }
    if (name == "pulse") {
        std::unique_ptr<Backend> pulse = CreatePulseBackend(options.c_str(), &error);
        if (!pulse) return error ? error : MMSYSERR_NODRIVER;
        *result = std::move(pulse);
        return MMSYSERR_NOERROR;
    }
    if (name == "virtual") {
        std::shared_ptr<Backend> backend = virtualdev::CreateVirtualBackend(options, explicitChoice, &error);
        if (!backend) return error ? error : MMSYSERR_INVALPARAM;
        *result = std::move(backend);
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALPARAM;
}

// `selected.mutex` held.
std::shared_ptr<Backend>& EnsureLocked(Selected& selected) {
    if (!selected.backend) {
        const char* environment = std::getenv("SORN_AUDIO");
        if (environment && *environment && Create(environment, false, &selected.backend) != MMSYSERR_NOERROR) {
            std::fprintf(stderr, "sorn: SORN_AUDIO=\"%s\" cannot be used; choosing the backend automatically\n",
                         environment);
            selected.backend = nullptr;
        }
        if (!selected.backend && Create("auto", false, &selected.backend) != MMSYSERR_NOERROR) {
            selected.backend = virtualdev::CreateVirtualBackend("", false, nullptr);
        }
    }
    return selected.backend;
}

}  // namespace

std::shared_ptr<Backend> CurrentBackend() {
    Selected& selected = Current();
    std::lock_guard lock(selected.mutex);
    return EnsureLocked(selected);
}

MMRESULT SelectBackend(const char* selection) {
    if (!selection) return MMSYSERR_INVALPARAM;
    Selected& selected = Current();
    std::lock_guard lock(selected.mutex);
    std::shared_ptr<Backend> backend;
    if (MMRESULT error = Create(selection, true, &backend)) return error;
    selected.backend = std::move(backend);
    return MMSYSERR_NOERROR;
}

const char* SelectedBackendName() {
    Selected& selected = Current();
    std::lock_guard lock(selected.mutex);
    return EnsureLocked(selected)->Name();
}

}  // namespace sorn::audio
