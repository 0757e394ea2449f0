#include "tools/ModuleHost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"
#include "threading/Mutex.h"

namespace sorn::host {

std::string LoadedModule::DefaultPath() {
    const char* path = std::getenv("SORN_MODULE");
    if (path && *path) return path;
    // Beside the core this program runs with, when it is there: a bare name
    // would be searched from whatever object calls dlopen (a sanitizer's
    // interceptor, say), not from this program.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&SornDataSys::CodecHandler), &info) && info.dli_fname) {
        std::string beside = info.dli_fname;
        const std::size_t slash = beside.rfind('/');
        if (slash != std::string::npos) {
            beside = beside.substr(0, slash + 1) + SORN_MODULE_FILE;
            if (::access(beside.c_str(), R_OK) == 0) return beside;
        }
    }
    return SORN_MODULE_FILE;
}

bool LoadedModule::Load(const std::string& path, std::string& error) {
    if (handle_) return factory_ != nullptr;
    // The start-up's own reports, while it runs.
    struct Reports {
        Mutex mutex;
        std::vector<std::string> texts SORN_GUARDED_BY(mutex);
    };
    auto reports = std::make_shared<Reports>();
    SornDataSys::SetObserver([reports](const SornDataSys::Report& report) {
        if (report.event != SornDataSys::Event::Error && report.event != SornDataSys::Event::Warning) return;
        MutexLock hold(reports->mutex);
        reports->texts.push_back(report.text ? report.text : "(no text)");
    });
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* loaderMessage = handle_ ? nullptr : ::dlerror();
    SornDataSys::SetObserver({});
    if (!handle_) {
        error = "cannot load the module " + path + ": " + (loaderMessage ? loaderMessage : "unknown error");
        return false;
    }
    auto startup = reinterpret_cast<int (*)()>(::dlsym(handle_, "SornModuleStartup"));
    const int started = startup ? startup() : -1;
    factory_ = dynamic_cast<ISornClassFactory*>(SornDataSys::ClassFactory());
    if (started == 1 && factory_) return true;

    std::string why;
    {
        MutexLock hold(reports->mutex);
        for (const std::string& text : reports->texts) why += (why.empty() ? "" : "; ") + text;
    }
    if (why.empty()) why = started < 0 ? "it has no start-up" : "no class factory was installed";
    const std::string wanted = ModuleVersion();
    error = "the module " + path + " refused to start: " + why + " (core " + Versioning::GetVersion() +
            (wanted.empty() ? std::string(")") : ", module built for " + wanted + ")");
    factory_ = nullptr;
    ::dlclose(handle_);
    handle_ = nullptr;
    return false;
}

void* LoadedModule::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

PlatformAudio LoadedModule::Audio() const {
    // Exported with C++ linkage: looked up by their mangled names.
    PlatformAudio audio;
    audio.waveOutGetNumDevs = reinterpret_cast<decltype(audio.waveOutGetNumDevs)>(Symbol("_Z17waveOutGetNumDevsv"));
    audio.waveOutGetDevCapsA =
        reinterpret_cast<decltype(audio.waveOutGetDevCapsA)>(Symbol("_Z18waveOutGetDevCapsAmP12WAVEOUTCAPSAj"));
    audio.waveInGetNumDevs = reinterpret_cast<decltype(audio.waveInGetNumDevs)>(Symbol("_Z16waveInGetNumDevsv"));
    audio.waveInGetDevCapsA =
        reinterpret_cast<decltype(audio.waveInGetDevCapsA)>(Symbol("_Z17waveInGetDevCapsAmP11WAVEINCAPSAj"));
    audio.selectBackend = reinterpret_cast<decltype(audio.selectBackend)>(Symbol("_ZN4sorn5audio13SelectBackendEPKc"));
    audio.selectedBackendName =
        reinterpret_cast<decltype(audio.selectedBackendName)>(Symbol("_ZN4sorn5audio19SelectedBackendNameEv"));
    audio.backendAnswers = reinterpret_cast<decltype(audio.backendAnswers)>(Symbol("_ZN4sorn5audio14BackendAnswersEv"));
    audio.deviceChannels =
        reinterpret_cast<decltype(audio.deviceChannels)>(Symbol("_ZN4sorn5audio14DeviceChannelsEbmPt"));
    audio.backendUsage = reinterpret_cast<decltype(audio.backendUsage)>(Symbol("_ZN4sorn5audio12BackendUsageEj"));
    audio.describeDevice = reinterpret_cast<decltype(audio.describeDevice)>(
        Symbol("_ZN4sorn5audio14DescribeDeviceEbmPNS0_17DeviceDescriptionE"));
    audio.waveOutOpen =
        reinterpret_cast<decltype(audio.waveOutOpen)>(Symbol("_Z11waveOutOpenPP10HWAVEOUT__jPK13tWAVEFORMATEXmmj"));
    audio.waveInOpen =
        reinterpret_cast<decltype(audio.waveInOpen)>(Symbol("_Z10waveInOpenPP9HWAVEIN__jPK13tWAVEFORMATEXmmj"));
    return audio;
}

PlatformMixer LoadedModule::Mixer() const {
    PlatformMixer mixer;
    mixer.mixerGetNumDevs = reinterpret_cast<decltype(mixer.mixerGetNumDevs)>(Symbol("_Z15mixerGetNumDevsv"));
    mixer.mixerGetDevCapsA =
        reinterpret_cast<decltype(mixer.mixerGetDevCapsA)>(Symbol("_Z16mixerGetDevCapsAmP10MIXERCAPSAj"));
    mixer.mixerGetLineInfoA =
        reinterpret_cast<decltype(mixer.mixerGetLineInfoA)>(Symbol("_Z17mixerGetLineInfoAP11HMIXEROBJ__P10MIXERLINEAj"));
    mixer.mixerGetLineControlsA = reinterpret_cast<decltype(mixer.mixerGetLineControlsA)>(
        Symbol("_Z21mixerGetLineControlsAP11HMIXEROBJ__P18MIXERLINECONTROLSAj"));
    mixer.mixerGetControlDetailsA = reinterpret_cast<decltype(mixer.mixerGetControlDetailsA)>(
        Symbol("_Z23mixerGetControlDetailsAP11HMIXEROBJ__P19MIXERCONTROLDETAILSj"));
    mixer.mixerSetControlDetails = reinterpret_cast<decltype(mixer.mixerSetControlDetails)>(
        Symbol("_Z22mixerSetControlDetailsP11HMIXEROBJ__P19MIXERCONTROLDETAILSj"));
    mixer.mixerGetID = reinterpret_cast<decltype(mixer.mixerGetID)>(Symbol("_Z10mixerGetIDP11HMIXEROBJ__Pjj"));
    return mixer;
}

std::string LoadedModule::ModuleVersion() const {
    auto version = reinterpret_cast<const char* (*)()>(Symbol("SornModuleVersion"));
    return version ? version() : "";
}

}  // namespace sorn::host
