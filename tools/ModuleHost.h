#pragma once
// What a host does to use the module: it links the core, loads the module
// beside it and takes the module's services from the core's registry.
//
// Loading maps the module with the dynamic loader; the module starts itself
// as it is mapped (checks the core's version, installs its error, plug-in and
// resource handlers and its class factory). A refused start-up leaves no
// service installed and reports through SornDataSys::Error; Load captures
// that report and turns it into one line. The module is never unloaded: its
// services stay installed for the life of the process.
#include <string>

#include "platform/MMSystem.h"
#include "platform/Mixer.h"

class ISornClassFactory;

namespace sorn::host {

// The platform operations the module exports that a host may want besides
// the factory (what a Windows host would take from the system): device
// enumeration and the audio backend. Each is null when absent.
struct PlatformAudio {
    UINT (*waveOutGetNumDevs)() = nullptr;
    MMRESULT (*waveOutGetDevCapsA)(UINT_PTR, WAVEOUTCAPSA*, UINT) = nullptr;
    UINT (*waveInGetNumDevs)() = nullptr;
    MMRESULT (*waveInGetDevCapsA)(UINT_PTR, WAVEINCAPSA*, UINT) = nullptr;
    MMRESULT (*selectBackend)(const char*) = nullptr;
    const char* (*selectedBackendName)() = nullptr;
    // Whether the selected backend's devices can be reached (sorn::audio::BackendAnswers).
    MMRESULT (*backendAnswers)() = nullptr;
    // The device's own channel count (sorn::audio::DeviceChannels).
    MMRESULT (*deviceChannels)(bool output, UINT_PTR deviceId, WORD* channels) = nullptr;
    // The device's whole name, channels, rate and whether it is the default
    // (sorn::audio::DescribeDevice).
    MMRESULT (*describeDevice)(bool output, UINT_PTR deviceId, sorn::audio::DeviceDescription* description) = nullptr;
    // Opening, for a format question (WAVE_FORMAT_QUERY) on a chosen device.
    MMRESULT (*waveOutOpen)(HWAVEOUT*, UINT, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD) = nullptr;
    MMRESULT (*waveInOpen)(HWAVEIN*, UINT, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD) = nullptr;
    // The backends the module offers, as a selection of each is written
    // ("pulse[:server=ADDRESS]"); null past the last (sorn::audio::BackendUsage).
    const char* (*backendUsage)(UINT index) = nullptr;
};

// The module's mixer operations (the mixer tree of the backend in use).
// Each is null when absent.
struct PlatformMixer {
    UINT (*mixerGetNumDevs)() = nullptr;
    MMRESULT (*mixerGetDevCapsA)(UINT_PTR, MIXERCAPSA*, UINT) = nullptr;
    MMRESULT (*mixerGetLineInfoA)(HMIXEROBJ, MIXERLINEA*, DWORD) = nullptr;
    MMRESULT (*mixerGetLineControlsA)(HMIXEROBJ, MIXERLINECONTROLSA*, DWORD) = nullptr;
    MMRESULT (*mixerGetControlDetailsA)(HMIXEROBJ, MIXERCONTROLDETAILS*, DWORD) = nullptr;
    MMRESULT (*mixerSetControlDetails)(HMIXEROBJ, MIXERCONTROLDETAILS*, DWORD) = nullptr;
    // The mixer that serves a wave device (MIXER_OBJECTF_WAVEOUT or
    // MIXER_OBJECTF_WAVEIN with its number or WAVE_MAPPER). Optional: a
    // module without it has the one mixer 0 for everything.
    MMRESULT (*mixerGetID)(HMIXEROBJ, UINT*, DWORD) = nullptr;

    // What listing and reading the mixers needs (setting and mixerGetID
    // are asked for where they are used).
    bool Complete() const {
        return mixerGetNumDevs && mixerGetDevCapsA && mixerGetLineInfoA && mixerGetLineControlsA &&
               mixerGetControlDetailsA;
    }
};

class LoadedModule {
public:
    // The module's file: SORN_MODULE when set, else the library's file name
    // in the folder of the core this program runs with, else that name as
    // the dynamic loader finds it.
    static std::string DefaultPath();

    // Loads and starts the module. On failure: false, and `error` holds one
    // line saying why (the loader's message, or the refused start-up with the
    // versions involved). The core's observer is used while the module starts
    // and is empty afterwards.
    bool Load(const std::string& path, std::string& error);

    // The class factory the module installed (null before a successful Load).
    ISornClassFactory* Factory() const { return factory_; }

    // An exported symbol of the module (null when absent or not loaded).
    void* Symbol(const char* name) const;

    // The module's platform audio operations.
    PlatformAudio Audio() const;

    // The module's mixer operations.
    PlatformMixer Mixer() const;

    // The core version the module is built for ("" when unknown).
    std::string ModuleVersion() const;

private:
    void* handle_ = nullptr;
    ISornClassFactory* factory_ = nullptr;
};

}  // namespace sorn::host
