#include "tools/sorn/Host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core_contract/SornDataSys.h"

namespace sorn::tool {

sorn::host::LoadedModule& Module() {
    static sorn::host::LoadedModule module;
    return module;
}

ISornClassFactory* Factory() { return Module().Factory(); }

int Fail(const std::string& command, const std::string& what) {
    std::fprintf(stderr, "sorn: %s: %s\n", command.c_str(), what.c_str());
    return kFailed;
}
int UsageError(const std::string& command, const std::string& what) {
    std::fprintf(stderr, "sorn: %s: %s (see sorn %s --help)\n", command.c_str(), what.c_str(), command.c_str());
    return kUsage;
}

void SignalEvent(std::uintptr_t user) { reinterpret_cast<Event*>(user)->Signal(); }

std::string ErrorText(const SornStringA* text) {
    std::string result = text && !text->IsEmpty() ? text->ToChars() : "no reason given";
    delete text;
    return result;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

bool Writable(const std::string& path, std::string& why) {
    struct stat info {};
    const bool existed = stat(path.c_str(), &info) == 0;
    if (existed && S_ISDIR(info.st_mode)) {
        why = path + " cannot be written: it is a folder";
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    close(fd);
    if (!existed) unlink(path.c_str());
    return true;
}

IWave* MakeClip(const std::int16_t* samples, std::uint64_t frames, std::uint32_t rate, std::uint16_t channels) {
    IWave* clip = Factory()->CreateWave();
    SornAudioFormat format(rate, channels, static_cast<unsigned short>(2 * channels));
    clip->AudioFormat(&format);
    clip->SetBuffer(const_cast<std::int16_t*>(samples), static_cast<unsigned long>(frames), 0);
    return clip;
}

PitchCallback Tracker() {
    PitchCallback tracker = nullptr;
    if (SornEngine::ISornEngine* engine = Factory()->CreateEngine(SornStringA())) {
        if (auto* sph = dynamic_cast<SornEngine::SphEngine*>(engine)) tracker = sph->GetPitchCallback();
        Release(engine);
    }
    if (!tracker) tracker = reinterpret_cast<PitchCallback>(Module().Symbol("_Z12ExtractPitchPKfisfPsi"));
    return tracker;
}

// --- the audio backend -------------------------------------------------------

namespace {

// What a selection may name: "auto", then each backend of the module's
// table as a selection of it is written ("pulse[:server=ADDRESS]"). Empty
// when the module has no table.
std::vector<std::string> BackendForms() {
    const auto usage = Module().Audio().backendUsage;
    if (!usage) return {};
    std::vector<std::string> forms{"auto"};
    // A bound, should a table ever lack its end.
    for (UINT i = 0; i < 64; ++i) {
        const char* form = usage(i);
        if (!form) break;
        forms.emplace_back(form);
    }
    return forms;
}

// A form's backend name: up to its options ("pulse" of "pulse[:server=...]").
std::string FormName(const std::string& form) { return form.substr(0, form.find_first_of("[:")); }

// Where the sound server is looked for: the selection's server=, else
// libpulse's default (PULSE_SERVER, then the per-user socket).
std::string ServerAddress(const BackendChoice& choice) {
    const std::size_t at = choice.selection.find("server=");
    if (at != std::string::npos) return choice.selection.substr(at + 7);
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server) return server;
    if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime)
        return std::string("unix:") + runtime + "/native";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return std::string("unix:") + (runtime && *runtime ? runtime : "/run/user/" + std::to_string(getuid())) +
           "/pulse/native";
}

}  // namespace

BackendChoice ChooseBackend(const std::string& option) {
    BackendChoice choice;
    if (!option.empty()) {
        choice.selection = option;
        choice.source = "--backend";
    } else if (const char* environment = std::getenv("SORN_AUDIO"); environment && *environment) {
        choice.selection = environment;
        choice.source = "SORN_AUDIO";
    }
    return choice;
}

// Options after ':' are checked by the module when it starts the backend.
bool CheckBackend(const std::string& command, const BackendChoice& choice, int& status) {
    const std::vector<std::string> forms = BackendForms();
    if (forms.empty()) {
        status = Fail(command, "the module does not list its audio backends");
        return false;
    }
    const std::string name = choice.selection.substr(0, choice.selection.find(':'));
    for (const std::string& form : forms) {
        if (FormName(form) == name) return true;
    }
    std::string usage;  // "auto, pulse[:server=ADDRESS] or virtual[:OPTIONS]"
    for (std::size_t i = 0; i < forms.size(); ++i)
        usage += (i == 0 ? "" : i + 1 == forms.size() ? " or " : ", ") + forms[i];
    status = UsageError(
        command, "unknown audio backend \"" + choice.selection + "\" (from " + choice.source + "); use " + usage);
    return false;
}

std::string NoServer(const BackendChoice& choice) { return "no sound server answered at " + ServerAddress(choice); }

bool StartBackend(const std::string& command, const BackendChoice& choice, int& status) {
    if (!SelectBackend(command, choice, status)) return false;
    AnnounceBackend(choice);
    return true;
}

bool SelectBackend(const std::string& command, const BackendChoice& choice, int& status) {
    const sorn::host::PlatformAudio audio = Module().Audio();
    if (!audio.selectBackend || !audio.selectedBackendName) {
        status = Fail(command, "the module does not offer a choice of audio backend");
        return false;
    }
    const MMRESULT result = audio.selectBackend(choice.selection.c_str());
    if (result == MMSYSERR_INVALPARAM) {
        status = UsageError(command, "the audio backend \"" + choice.selection + "\" (from " + choice.source +
                                         ") has an unknown option");
        return false;
    }
    if (result != MMSYSERR_NOERROR) {
        status =
            Fail(command, "the audio backend \"" + choice.selection + "\" (from " + choice.source + ") cannot start: " +
                              (result == MMSYSERR_NODRIVER ? NoServer(choice) : "error " + std::to_string(result)));
        return false;
    }
    const std::string name = audio.selectedBackendName();
    // Without a server, say so here rather than as a device that cannot open.
    if (name == "pulse" && audio.backendAnswers && audio.backendAnswers() != MMSYSERR_NOERROR) {
        status = Fail(command, NoServer(choice));
        return false;
    }
    return true;
}

void AnnounceBackend(const BackendChoice& choice) {
    const std::string name = Module().Audio().selectedBackendName();
    std::string why;
    if (choice.selection == "auto") {
        const std::vector<std::string> forms = BackendForms();
        const bool alsaOffered =
            std::any_of(forms.begin(), forms.end(), [](const std::string& form) { return FormName(form) == "alsa"; });
        if (name == "pulse")
            why = "chosen automatically: a sound server answered";
        else if (name == "alsa")
            why = "chosen automatically: no sound server answered, a sound card is there";
        else
            why = alsaOffered ? "chosen automatically: no sound server answered and there is no sound card"
                              : "chosen automatically: no sound server answered";
    } else
        why = "asked for by " + choice.source + (choice.selection != name ? " (" + choice.selection + ")" : "");
    std::fprintf(stderr, "sorn: audio backend: %s (%s)\n", name.c_str(), why.c_str());
}

}  // namespace sorn::tool
