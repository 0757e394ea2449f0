#pragma once
// CWaveOut: plays ranges of a clip on a waveform-audio output device.
//
// The clip's bytes are never copied: pieces of at most pieceLength bytes
// (4096 unless changed) are cut straight out of IWave::GetBuffer() and queued
// through a ring of three wave headers. Each completed piece comes back to
// OnWaveOutDone on the device's notification thread, which queues the next
// piece; once the whole range is queued, every further completion clears the
// playing flag and calls the user callback (so the callback runs once per
// piece still in flight at the end of a range: up to three times). A range
// that cannot go on (the device was lost: its queued pieces come back as
// from a reset and every later call fails) ends as after Stop.
//
// Threads. Open, Play, Stop, Pause, Continue, Close and the accessors run on
// the caller's thread; the completion handler and therefore the user callback
// run on the notification thread. The range, the ring and the piece length
// are guarded by one lock that is held only around the quick queue calls
// (prepare, write, unprepare) and never while resetting or closing the device
// or calling the user callback, so the callback may call back into this
// object (Stop, Play, GetPosition...). The playing flag, the device handle
// and the last result code are atomics.
//
// Lifetime. The clip, the device selection and the mixer manager belong to
// the caller; the clip's buffer must stay alive and unchanged while pieces of
// it are queued. Destruction closes the device: the pieces still queued come
// back (with their callbacks) before the destructor returns, and no callback
// runs after it. An object may be deleted from inside its own callback: the
// pieces still queued then come back without a callback, and the device is
// closed on a thread of its own once that callback has returned.
//
// Copying is not offered: a copy would share the open device and the queued
// headers with the object it was copied from.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "core_contract/Devices.h"
#include "core_contract/Wave.h"
#include "mixer/MixerManager.h"
#include "platform/MMSystem.h"
#include "sorn_win_export.h"
#include "threading/Mutex.h"

namespace SornMedia::SornAudio {

class CWaveOut;

// The completion handler handed to waveOutOpen (CALLBACK_FUNCTION). Acts on
// WOM_DONE only; the header's user value is the owning CWaveOut.
void OnWaveOutDone(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

class SORN_WIN_API CWaveOut : public IWaveOut {
public:
    // The largest piece queued in one header unless changed.
    static constexpr std::uint32_t kDefaultPieceLength = 4096;
    static constexpr int kHeaderCount = 3;
    static constexpr unsigned long kNoPosition = 0xFFFFFFFFul;

    // The manager's era is read here (MixerManager::EraOf); a null manager
    // takes no lock.
    explicit CWaveOut(MixerManager* manager);
    CWaveOut(IWave* wave, IWaveDevice* device, MixerManager* manager);
    // The manager and its era as MixerManager::Acquire handed them out.
    explicit CWaveOut(const MixerManager::Lease& mixer);
    ~CWaveOut() override;
    CWaveOut(const CWaveOut&) = delete;
    CWaveOut& operator=(const CWaveOut&) = delete;

    // A new string the caller owns: the platform's text for the last checked
    // result, empty when that result was success or has no text.
    SornStringA* GetError() const override;
    // Sample frames played since the device was opened or last reset (not an
    // offset in the clip); 0xFFFFFFFF without an open device or on failure.
    unsigned long GetPosition() override;
    // 1 from the start of Play until the first completion after the whole
    // range was queued, or until Stop.
    int IsPlaying() override;
    // Opens the output device for the clip's format (always 16-bit PCM). A
    // device still open from an earlier Open is closed first.
    int Open() override;
    // Stop, then close the device; 1 when nothing was open.
    int Close() override;
    int Continue() override;
    // Plays sample frames [from, to) of the clip; to = 0xFFFFFFFF plays to
    // the clip's end. Queues up to three pieces and returns 1 when all three
    // were queued, 0 otherwise (a range of one or two pieces still plays).
    // flag is not used. A range still playing is stopped first; so is the
    // tail of an ended range still queued, except when Play runs in this
    // object's own callback: there the new range is queued behind that tail,
    // whose pieces then end nothing and call no callback.
    int Play(unsigned long from, unsigned long to, int flag) override;
    int Pause() override;
    // Ends the range: nothing more is queued and the device is reset, so the
    // pieces still queued come back, each with a user callback.
    int Stop() override;
    // The length of every piece queued from now on, the range already
    // playing included, rounded down to whole frames of the clip (at least
    // one frame). 0 is ignored.
    void ModifyWaveOutBufferLength(unsigned long bytes) override;
    void SetDevice(const IWaveDevice* device) override;
    void SetWave(IWave* wave) override;
    void SetWaveOutCB(SornWaveCallback callback, std::uintptr_t user) override;
    // The playback volume through the mixer manager, 0.0 to 1.0; 0.0 and no
    // effect without a manager, or once the manager has been released
    // (MixerManager::ReleaseInstance).
    double VolumeLevel() override;
    void VolumeLevel(double level) override;
    // Does nothing and returns false.
    bool Mute(bool mute) override;

private:
    friend void OnWaveOutDone(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    friend struct CWaveOutTestAccess;  // the tests look at the ring

    // Length of the next piece: min(pieceLength in whole frames,
    // rangeEnd - rangePosition).
    unsigned long GetBufferLength() SORN_REQUIRES(lock_);
    // Queues the next piece into the next free header of the ring; 0 when
    // nothing is left, no header is free or a platform call failed.
    int AddNewHeader(HWAVEOUT handle) SORN_REQUIRES(lock_);
    // Stores code as the last result; 1 when it is a failure.
    int IsError(unsigned code);
    // 1 once the whole range has been queued.
    static int ResetRequired(CWaveOut* self) SORN_REQUIRES(self->lock_);

    // After a failed refill: ends the range when it cannot go on (the device
    // is lost, or no piece is left queued to retry the refill); true when it
    // ended it.
    bool EndIfStuck() SORN_REQUIRES(lock_);
    // Handles one completed header (the body of OnWaveOutDone).
    void Done(HWAVEOUT handle, WAVEHDR* header);
    // Deletion from this object's own callback: no more callbacks, the queued
    // pieces are handed back, and the device with the headers goes to a
    // thread of its own that closes it once this delivery has returned.
    void RetireFromOwnCallback();
    // Waits until every queued piece has come back; false on timeout.
    bool WaitForQueuedPieces();

    std::uint32_t rangeEnd SORN_GUARDED_BY(lock_) = 0;
    std::uint32_t rangePosition SORN_GUARDED_BY(lock_) = 0;
    std::uint32_t pieceLength SORN_GUARDED_BY(lock_) = kDefaultPieceLength;
    std::uint32_t blockAlign SORN_GUARDED_BY(lock_) = 0;  // of the clip, taken at Play; pieces are whole frames
    std::atomic<HWAVEOUT> deviceHandle{nullptr};
    std::atomic<std::uint32_t> lastError{MMSYSERR_NOERROR};
    int headerIndex SORN_GUARDED_BY(lock_) = -1;
    // On the heap: an object deleted from its own callback leaves them to
    // the device until it is closed.
    std::unique_ptr<WAVEHDR[]> headers{new WAVEHDR[kHeaderCount]()};
    IWave* wave SORN_GUARDED_BY(lock_) = nullptr;
    const IWaveDevice* device SORN_GUARDED_BY(lock_) = nullptr;
    std::atomic<int> playing{0};
    SornWaveCallback callback SORN_GUARDED_BY(lock_) = nullptr;
    std::uintptr_t callbackUser SORN_GUARDED_BY(lock_) = 0;
    MixerManager* const mixerManager = nullptr;  // set at construction, as mixerEra
    const std::uint64_t mixerEra = 0;  // the manager's era when it was given (MixerManager::Use)

    // Which headers the platform holds (written, completion not yet handled).
    std::array<bool, kHeaderCount> queued SORN_GUARDED_BY(lock_) = {};
    int queuedCount SORN_GUARDED_BY(lock_) = 0;
    // Which range each header's piece belongs to; Play starts a new one.
    std::uint32_t rangeId SORN_GUARDED_BY(lock_) = 0;
    std::array<std::uint32_t, kHeaderCount> pieceRange SORN_GUARDED_BY(lock_) = {};
    std::atomic<bool> closing{false};  // set by the destructor: Play refuses
    mutable sorn::Mutex lock_;
    sorn::CondVar drained_;  // queuedCount fell to 0
};

}  // namespace SornMedia::SornAudio
