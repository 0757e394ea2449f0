// The volume manager (mixer/MixerManager.h) over the mixer access layer
// (mixer/CMixer.h).
#include "mixer/MixerManager.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "codec/AudioFormatHelperWav.h"
#include "core_contract/SornAudioFormat.h"
#include "mixer/CMixer.h"

namespace SornMedia::SornAudio {

namespace {

constexpr double kScale = 65535.0;

thread_local bool t_settingUp = false;  // this thread runs Initialize

}  // namespace

sorn::Mutex& MixerManager::InstanceLock() {
    static auto* lock = new sorn::Mutex();  // never destroyed
    return *lock;
}

MixerManager* MixerManager::shared_ = nullptr;
std::uint64_t MixerManager::era_ = 1;

MixerManager* MixerManager::GetInstance() { return Acquire().manager; }

MixerManager::Lease MixerManager::Acquire() {
    {
        sorn::MutexLock lock(InstanceLock());
        if (shared_ != nullptr) return {shared_, era_};
    }
    if (t_settingUp) return {};
    // No lock while the mixers are opened: that may wait for the sound
    // server or for the user to answer a message box.
    auto* fresh = new MixerManager();
    t_settingUp = true;
    bool ready;
    {
        sorn::MutexLock lock(fresh->levels);  // not yet shared: no one else takes it
        ready = fresh->Initialize();
    }
    t_settingUp = false;
    if (!ready) {
        delete fresh;
        return {};
    }
    Lease lease;
    {
        sorn::MutexLock lock(InstanceLock());
        if (shared_ == nullptr) {
            shared_ = fresh;
            fresh = nullptr;
        }
        lease = {shared_, era_};
    }
    delete fresh;  // another thread's set-up was done first
    return lease;
}

void MixerManager::ReleaseInstance() {
    MixerManager* released = nullptr;
    {
        sorn::MutexLock lock(InstanceLock());
        ++era_;
        std::swap(released, shared_);
        if (released != nullptr && released->users > 0) {
            released->retired = true;  // the last Use destroys it
            released = nullptr;
        }
    }
    delete released;
}

MixerManager::~MixerManager() {
    delete inputMixer;
    if (outputMixer != inputMixer) delete outputMixer;
}

bool MixerManager::Initialize() {
    const UINT devices = mixerGetNumDevs();
    if (devices == 1) {
        inputMixer = outputMixer = new CMixer();
        if (inputMixer->Open(0, nullptr) < 0) {
            delete inputMixer;
            inputMixer = outputMixer = nullptr;
        }
    } else {
        WAVEFORMATEX format{};
        {
            AudioFormatHelperWav helper;
            SornAudioFormat defaults;
            helper.FromAudioFormat(&defaults, &format);
        }
        inputMixer = new CMixer();
        if (inputMixer->OpenForWave(MIXER_OBJECTF_WAVEIN, format, nullptr) < 0) {
            delete inputMixer;
            inputMixer = nullptr;
        }
        outputMixer = new CMixer();
        if (outputMixer->OpenForWave(MIXER_OBJECTF_WAVEOUT, format, nullptr) < 0) {
            delete outputMixer;
            outputMixer = nullptr;
        }
    }
    const bool shares = devices == 1;
    if (inputMixer != nullptr &&
        !FindControls(inputMixer, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                      MIXERCONTROL_CONTROLTYPE_VOLUME, inputControls)) {
        delete inputMixer;
        if (shares) outputMixer = nullptr;
        inputMixer = nullptr;
    }
    if (outputMixer != nullptr &&
        !FindControls(outputMixer, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT,
                      MIXERCONTROL_CONTROLTYPE_VOLUME, outputControls)) {
        delete outputMixer;
        if (shares) inputMixer = nullptr;
        outputMixer = nullptr;
    }
    return inputMixer != nullptr && outputMixer != nullptr;
}

bool MixerManager::FindControls(CMixer* mixer, DWORD destinationType, DWORD sourceType, DWORD controlType,
                                std::vector<MixerControlLocation>& list) {
    bool found = false;
    for (int d = 0; d < mixer->GetNumDestinations(); ++d) {
        MIXERLINEA line{};
        if (mixer->GetDestinationLine(d, &line) < 0 || line.dwComponentType != destinationType) continue;
        for (int c = 0; c < mixer->GetNumDestinationControls(d); ++c) {
            MIXERCONTROLA control{};
            if (mixer->GetDestinationControl(d, c, &control) < 0 || control.dwControlType != controlType) continue;
            DWORD buffer[2] = {0, 0};
            DWORD size = sizeof buffer;
            if (mixer->GetDestinationControlValue(d, c, buffer, &size) >= 0) {
                list.push_back({d, -1, c});
                found = true;
            }
        }
        for (int s = 0; s < mixer->GetNumSources(d); ++s) {
            MIXERLINEA source{};
            if (mixer->GetSourceLine(d, s, &source) < 0 || source.dwComponentType != sourceType) continue;
            for (int c = 0; c < mixer->GetNumSourceControls(d, s); ++c) {
                MIXERCONTROLA control{};
                if (mixer->GetSourceControl(d, s, c, &control) < 0 || control.dwControlType != controlType) continue;
                DWORD buffer[2] = {0, 0};
                DWORD size = sizeof buffer;
                if (mixer->GetSourceControlValue(d, s, c, buffer, &size) >= 0) {
                    list.push_back({d, s, c});
                    found = true;
                }
            }
        }
    }
    return found;
}

double MixerManager::GetVolume(CMixer* mixer, const std::vector<MixerControlLocation>& list) {
    if (mixer == nullptr || list.empty()) return 0.0;
    const MixerControlLocation& at = list.front();
    DWORD buffer[2] = {0, 0};
    DWORD size = sizeof buffer;
    if (at.sourceIndex < 0) {
        mixer->GetDestinationControlValue(at.destinationIndex, at.controlIndex, buffer, &size);
    } else {
        mixer->GetSourceControlValue(at.destinationIndex, at.sourceIndex, at.controlIndex, buffer, &size);
    }
    return std::max(buffer[0], buffer[1]) / kScale;
}

void MixerManager::SetVolume(CMixer* mixer, const std::vector<MixerControlLocation>& list, double level) {
    if (mixer == nullptr || list.empty()) return;
    // Truncated toward zero, then the low 32 bits: no clamping. A level out
    // of 0..1 gives a value the platform refuses (or wraps, below 0).
    const double scaled = level * kScale;
    std::int64_t truncated = 0;
    if (scaled >= -9.2e18 && scaled <= 9.2e18) truncated = static_cast<std::int64_t>(scaled);  // NaN gives 0
    const DWORD raw = static_cast<DWORD>(static_cast<std::uint64_t>(truncated));
    DWORD buffer[2] = {raw, raw};
    DWORD size = sizeof buffer;
    const MixerControlLocation& at = list.front();
    if (at.sourceIndex < 0) {
        mixer->SetDestinationControlValue(at.destinationIndex, at.controlIndex, buffer, &size);
    } else {
        mixer->SetSourceControlValue(at.destinationIndex, at.sourceIndex, at.controlIndex, buffer, &size);
    }
}

double MixerManager::GetInputVolume() {
    sorn::MutexLock lock(levels);
    return GetVolume(inputMixer, inputControls);
}

void MixerManager::SetInputVolume(double level) {
    sorn::MutexLock lock(levels);
    SetVolume(inputMixer, inputControls, level);
}

double MixerManager::GetOutputVolume() {
    sorn::MutexLock lock(levels);
    return GetVolume(outputMixer, outputControls);
}

void MixerManager::SetOutputVolume(double level) {
    sorn::MutexLock lock(levels);
    SetVolume(outputMixer, outputControls, level);
}

std::uint64_t MixerManager::Era() {
    sorn::MutexLock hold(InstanceLock());
    return era_;
}

std::uint64_t MixerManager::EraOf(const MixerManager* manager) {
    if (manager == nullptr) return 0;
    sorn::MutexLock hold(InstanceLock());
    return manager == shared_ ? era_ : 0;
}

MixerManager::Use::Use(MixerManager* manager, std::uint64_t managerEra) : manager_(manager) {
    if (manager_ == nullptr) return;
    sorn::MutexLock hold(InstanceLock());
    if (managerEra != era_ || manager_ != shared_) {
        manager_ = nullptr;
        return;
    }
    ++manager_->users;
}

MixerManager::Use::~Use() {
    if (manager_ == nullptr) return;
    bool last = false;
    {
        sorn::MutexLock hold(InstanceLock());
        last = --manager_->users == 0 && manager_->retired;
    }
    if (last) delete manager_;
}

}  // namespace SornMedia::SornAudio
