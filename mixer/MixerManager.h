#pragma once
// The process-wide volume manager shared by capture and playback.
#include <cstdint>
#include <vector>

#include "platform/WinTypes.h"
#include "sorn_win_export.h"
#include "threading/Mutex.h"

class CMixer;

namespace SornMedia::SornAudio {

// Where one control sits in a CMixer tree: destination, source (-1 for the
// destination line's own control) and control index.
struct MixerControlLocation {
    int destinationIndex = -1;
    int sourceIndex = -1;
    int controlIndex = -1;
};

// Levels are doubles on the control scale 0..65535 mapped to 0.0..1.0.
// GetInstance may return null (no usable mixer); callers then read 0.0 and
// ignore settings.
//
// At creation the manager picks a mixer for each role (the one mixer device,
// or the mixers behind the default wave-in and wave-out devices), and
// records every readable volume control on the wave-in destination and its
// microphone sources (capture) and on the speakers destination and its
// wave-out sources (playback). Each level request then reads or writes the
// first control found for the role: one platform request, nothing cached.
// Writes are not clamped (a level of 1.5 writes 98302, which the platform
// refuses); reads give the larger of the two channels.
//
// GetInstance, Acquire and ReleaseInstance are safe from any thread; the
// level operations may run on any thread while the instance lives (they take
// the manager's lock), but not after ReleaseInstance.
//
// Set-up runs with no shared lock held (only the level lock of the manager
// being set up, which no other thread can reach yet): the mixer may show a
// message box and the sound server may take its time to answer. Threads that ask meanwhile set
// up their own, and the first one done becomes the shared instance. A call
// made from inside a set-up on the same thread (a message-box hook that
// creates a playback object, say) gets no manager.
class SORN_WIN_API MixerManager {
public:
    static MixerManager* GetInstance();
    // The shared instance (set up on first use) and its era, read together:
    // what a holder that may outlive the instance is given (see Use).
    struct Lease {
        MixerManager* manager = nullptr;
        std::uint64_t era = 0;
    };
    static Lease Acquire();
    // Forgets the shared instance (if any) and starts a new era. It is
    // destroyed now, or when the last Use of it ends.
    static void ReleaseInstance();

    double GetInputVolume();
    void SetInputVolume(double level);
    double GetOutputVolume();
    void SetOutputVolume(double level);

    // Holders that do not own the shared instance (capture and playback
    // objects) may outlive it. They keep the era they were given it in
    // (Acquire, or EraOf) and reach it only through a Use: while a Use lasts
    // the instance stays alive; once the instance of that era is released,
    // a Use names no manager, even if a new instance took the old address.
    // A Use of no manager takes no lock. No lock is held while the Use
    // lasts.
    static std::uint64_t Era();
    // The present era when `manager` is the shared instance, else 0 (an era
    // no Use accepts). Null takes no lock.
    static std::uint64_t EraOf(const MixerManager* manager);
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
    ~MixerManager();
    MixerManager(const MixerManager&) = delete;
    MixerManager& operator=(const MixerManager&) = delete;

    bool Initialize() SORN_REQUIRES(levels);
    static bool FindControls(CMixer* mixer, DWORD destinationType, DWORD sourceType, DWORD controlType,
                             std::vector<MixerControlLocation>& list);
    static double GetVolume(CMixer* mixer, const std::vector<MixerControlLocation>& list);
    static void SetVolume(CMixer* mixer, const std::vector<MixerControlLocation>& list, double level);

    // The shared instance and its era are guarded by a lock of their own, so
    // that any thread may obtain or release it; so are the counts of its Uses.
    static sorn::Mutex& InstanceLock();
    static MixerManager* shared_ SORN_GUARDED_BY(InstanceLock());
    static std::uint64_t era_ SORN_GUARDED_BY(InstanceLock());  // a release starts the next

    // One level request at a time: the mixers' records are shared.
    sorn::Mutex levels;
    CMixer* inputMixer SORN_GUARDED_BY(levels) = nullptr;
    CMixer* outputMixer SORN_GUARDED_BY(levels) = nullptr;
    std::vector<MixerControlLocation> inputControls SORN_GUARDED_BY(levels);
    std::vector<MixerControlLocation> outputControls SORN_GUARDED_BY(levels);
    int users SORN_GUARDED_BY(InstanceLock()) = 0;  // Uses under way
    bool retired SORN_GUARDED_BY(InstanceLock()) = false;  // released while in use: the last Use destroys it
};

}  // namespace SornMedia::SornAudio
