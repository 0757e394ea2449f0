#include "module/ClassFactoryWin.h"

#include <new>

#include "audio/CWaveDevice.h"
#include "audio/CWaveIn.h"
#include "audio/CWaveOut.h"
#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"
#include "mixer/MixerManager.h"
#include "pitch/ExtractPitch.h"

namespace SornFramework {

using SornMedia::SornAudio::MixerManager;

namespace {
constexpr unsigned int kWaveMapper = 0xFFFFFFFFu;
}

ClassFactoryWin::ClassFactoryWin() {
    // Without memory for the codec nothing is registered (the core then
    // reads no WAV files); the factory itself still works.
    if (auto* codec = new (std::nothrow) SornMedia::SornAudio::WavCodec())
        SornDataSys::CodecHandler()->RegisterCodec(SornStringA("wav"), codec);
}

ClassFactoryWin::~ClassFactoryWin() {
    SornDataSys::CodecHandler()->UnregisterCodec(SornStringA("wav"));
    MixerManager::ReleaseInstance();
}

IWaveDevice* ClassFactoryWin::CreateWaveDevice() { return new SornMedia::SornAudio::CWaveDevice(kWaveMapper); }

// The manager and its era come from one call: a manager released in between
// by another factory on another thread is never handed out as live.
IWaveOut* ClassFactoryWin::CreateWaveOut() { return new SornMedia::SornAudio::CWaveOut(MixerManager::Acquire()); }

IWaveIn* ClassFactoryWin::CreateWaveIn() { return new SornMedia::SornAudio::CWaveIn(MixerManager::Acquire()); }

SornEngine::ISornEngine* ClassFactoryWin::CreateEngine(const SornStringA&) {
    return new SornEngine::SphEngine(&ExtractPitch);
}

}  // namespace SornFramework
