// Which backend new devices open on.
//
// The rule: SORN_AUDIO (read on first use) or SelectBackend names the backend
// and its options. "auto", the default, tries the system's backends in the
// table's order (BackendTable.h) and takes the first whose probe says it
// answers; a backend that is there but lets its probe time out makes an
// explicit "auto" fail (MMSYSERR_NODRIVER) rather than hide it behind the
// virtual device. An unusable SORN_AUDIO is reported once on stderr and
// "auto" is used instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/emulation/virtual/VirtualBackend.h"
#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/BackendTable.h"
#include "threading/Mutex.h"

namespace sorn::audio {
namespace {

struct Selected {
    Mutex mutex;
    std::shared_ptr<Backend> backend SORN_GUARDED_BY(mutex);  // null until first use
};

Selected& Current() {
    static Selected* selected = new Selected();  // never destroyed
    return *selected;
}

MMRESULT Open(const BackendRow& row, const std::string& options, bool explicitChoice,
              std::shared_ptr<Backend>* result) {
    MMRESULT error = MMSYSERR_NOERROR;
    std::shared_ptr<Backend> backend = row.open(options, explicitChoice, &error);
    if (!backend) return error ? error : MMSYSERR_NODRIVER;
    *result = std::move(backend);
    return MMSYSERR_NOERROR;
}

// `explicitChoice`: a program's SelectBackend, which starts a virtual device
// afresh; the environment read on first use and "auto" leave the virtual
// device's state (set up by the program beforehand, perhaps) as it is.
MMRESULT Create(const char* selection, bool explicitChoice, std::shared_ptr<Backend>* result) {
    std::string text = selection ? selection : "";
    std::size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    std::string options = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (name.empty() || name == "auto") {
        if (!options.empty()) return MMSYSERR_INVALPARAM;
        for (const BackendRow& row : SystemBackends()) {
            const Presence presence = row.probe ? row.probe() : Presence::Answers;
            if (presence == Presence::Silent) return MMSYSERR_NODRIVER;
            if (presence == Presence::Answers && Open(row, "", false, result) == MMSYSERR_NOERROR) {
                return MMSYSERR_NOERROR;
            }
        }
        return MMSYSERR_NODRIVER;
    }
    const BackendRow* row = FindBackend(name);
    if (!row) return MMSYSERR_INVALPARAM;
    return Open(*row, options, explicitChoice, result);
}

std::shared_ptr<Backend>& EnsureLocked(Selected& selected) SORN_REQUIRES(selected.mutex) {
    if (!selected.backend) {
        const char* environment = std::getenv("SORN_AUDIO");
        if (environment && *environment && Create(environment, false, &selected.backend) != MMSYSERR_NOERROR) {
            std::fprintf(stderr, "sorn: SORN_AUDIO=\"%s\" cannot be used; choosing the backend automatically\n",
                         environment);
            selected.backend = nullptr;
        }
        if (!selected.backend && Create("auto", false, &selected.backend) != MMSYSERR_NOERROR) {
            // Nothing answers, or a server there is silent: the virtual
            // device, so that wave calls still have devices to answer for.
            selected.backend = virtualdev::CreateVirtualBackend("", false, nullptr);
        }
    }
    return selected.backend;
}

}  // namespace

const BackendRow* FindBackend(const std::string& name) {
    for (const BackendRow& row : SystemBackends()) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

const char* BackendUsage(UINT index) {
    const std::span<const BackendRow> rows = SystemBackends();
    return index < rows.size() ? rows[index].usage : nullptr;
}

std::shared_ptr<Backend> CurrentBackend() {
    Selected& selected = Current();
    MutexLock lock(selected.mutex);
    return EnsureLocked(selected);
}

MMRESULT SelectBackend(const char* selection) {
    if (!selection) return MMSYSERR_INVALPARAM;
    Selected& selected = Current();
    MutexLock lock(selected.mutex);
    std::shared_ptr<Backend> backend;
    if (MMRESULT error = Create(selection, true, &backend)) return error;
    selected.backend = std::move(backend);
    return MMSYSERR_NOERROR;
}

const char* SelectedBackendName() {
    Selected& selected = Current();
    MutexLock lock(selected.mutex);
    return EnsureLocked(selected)->Name();
}

MMRESULT BackendAnswers() { return CurrentBackend()->Answers(); }

}  // namespace sorn::audio
