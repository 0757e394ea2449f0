// Until the mixer backends exist there is no usable mixer: GetInstance
// answers none, which every caller already handles.
#include "mixer/MixerManager.h"

namespace SornMedia::SornAudio {

MixerManager* MixerManager::GetInstance() { return nullptr; }
void MixerManager::ReleaseInstance() {}
double MixerManager::GetInputVolume() { return 0.0; }
void MixerManager::SetInputVolume(double) {}
double MixerManager::GetOutputVolume() { return 0.0; }
void MixerManager::SetOutputVolume(double) {}

}  // namespace SornMedia::SornAudio
