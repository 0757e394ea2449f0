#pragma once
// The process-wide volume manager shared by capture and playback.
#include <cstdint>

#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

// Levels are doubles on the control scale 0..65535 mapped to 0.0..1.0.
// GetInstance may return null (no usable mixer); callers then read 0.0 and
// ignore settings.
class SORN_WIN_API MixerManager {
public:
    static MixerManager* GetInstance();
    // Destroys the shared instance (if any) and starts a new era.
    static void ReleaseInstance();

    double GetInputVolume();
    void SetInputVolume(double level);
    double GetOutputVolume();
    void SetOutputVolume(double level);

    // Holders that do not own the shared instance (capture and playback
    // objects) may outlive it. They note the era when they are given the
    // instance and reach it only through a Use: while a Use lasts,
    // ReleaseInstance waits; once the instance of that era is released, a
    // Use names no manager, even if a new instance took the old address.
    static std::uint64_t Era();
    class SORN_WIN_API Use {
    public:
        Use(MixerManager* manager, std::uint64_t era);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        MixerManager* get() const { return manager_; }

    private:
        MixerManager* manager_;
    };

private:
    MixerManager() = default;
    ~MixerManager() = default;
};

}  // namespace SornMedia::SornAudio
