#pragma once
// The process-wide volume manager shared by capture and playback.
#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

// Levels are doubles on the control scale 0..65535 mapped to 0.0..1.0.
// GetInstance may return null (no usable mixer); callers then read 0.0 and
// ignore settings.
class SORN_WIN_API MixerManager {
public:
    static MixerManager* GetInstance();
    static void ReleaseInstance();

    double GetInputVolume();
    void SetInputVolume(double level);
    double GetOutputVolume();
    void SetOutputVolume(double level);

private:
    MixerManager() = default;
    ~MixerManager() = default;
};

}  // namespace SornMedia::SornAudio
