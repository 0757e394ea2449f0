// Until the mixer backends exist there is no usable mixer: GetInstance
// answers none, which every caller already handles.
#include "mixer/MixerManager.h"

#include <mutex>

namespace SornMedia::SornAudio {

namespace {

// Guards the shared instance and its era; held by every Use.
std::mutex& InstanceLock() {
    static std::mutex lock;
    return lock;
}
std::uint64_t era = 1;  // under InstanceLock

}  // namespace

MixerManager* MixerManager::GetInstance() { return nullptr; }

void MixerManager::ReleaseInstance() {
    std::lock_guard<std::mutex> hold(InstanceLock());
    ++era;
}

double MixerManager::GetInputVolume() { return 0.0; }
void MixerManager::SetInputVolume(double) {}
double MixerManager::GetOutputVolume() { return 0.0; }
void MixerManager::SetOutputVolume(double) {}

std::uint64_t MixerManager::Era() {
    std::lock_guard<std::mutex> hold(InstanceLock());
    return era;
}

MixerManager::Use::Use(MixerManager* manager, std::uint64_t managerEra) : manager_(manager) {
    InstanceLock().lock();
    if (managerEra != era) manager_ = nullptr;
}

MixerManager::Use::~Use() { InstanceLock().unlock(); }

}  // namespace SornMedia::SornAudio
