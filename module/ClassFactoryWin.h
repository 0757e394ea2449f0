#pragma once
// ClassFactoryWin: the object through which the core obtains this module's
// engines, wave devices, capture and playback objects. Its lifetime brackets
// the "wav" codec registration and the shared mixer manager.
#include "core_contract/ClassFactory.h"
#include "sorn_win_export.h"

namespace SornFramework {

class SORN_WIN_API ClassFactoryWin : public ASornClassFactory {
public:
    // Registers a new WavCodec under "wav" with the core's codec registry
    // (nothing when the codec cannot be allocated).
    ClassFactoryWin();
    // Unregisters "wav", then releases the shared mixer manager. Capture and
    // playback objects that outlive the factory keep working without a
    // manager (volume 0.0, settings ignored): they never touch the released
    // one (MixerManager::Use).
    ~ClassFactoryWin() override;
    // A copy would unregister the codec and release the manager a second
    // time when it is destroyed.
    ClassFactoryWin(const ClassFactoryWin&) = delete;
    ClassFactoryWin& operator=(const ClassFactoryWin&) = delete;

    // A new CWaveDevice on the platform's default device (WAVE_MAPPER).
    IWaveDevice* CreateWaveDevice() override;
    // A new CWaveOut / CWaveIn with the shared mixer manager (null when no
    // mixer can be set up).
    IWaveOut* CreateWaveOut() override;
    IWaveIn* CreateWaveIn() override;
    // The name is ignored: every call gives a new SphEngine that tracks
    // pitch with ExtractPitch.
    SornEngine::ISornEngine* CreateEngine(const SornStringA& name) override;
};

}  // namespace SornFramework
