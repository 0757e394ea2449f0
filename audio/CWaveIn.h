#pragma once
// CWaveIn: records from a waveform-audio input device into a list of captured
// blocks, stops by itself when the voice-activity detector hears the end of
// speech, and hands the recording over as a clip (MakeWave).
//
// Recording runs on two wave headers that take turns, each over a block of
// its own that Record sizes once. Each filled header comes back to
// OnWaveInData on the device's notification thread: its bytes are appended
// to the recording, the detector looks at them (only when a user callback is
// set) and the header goes back to the device with its block zeroed. Nothing
// is allocated per block: the recording grows geometrically, from room
// reserved by Record. On the detector's end verdict (2) the
// auto-stop worker, armed suspended by Record, is released: it stops the
// device (the headers still queued come back and their bytes join the list)
// and then calls the user callback, on the worker's own thread.
//
// Threads. The public operations run on the caller's thread (and on the
// worker: its Stop, and whatever the user callback calls). The state shared
// with the notification thread (the block list, the headers and the stop
// flag, the callback, the worker handle, the clip) is guarded by `stateLock`,
// which the notification handler holds while it works; it is never held
// while the device is reset, stopped, started or closed, nor while the user
// callback runs. The control operations (Open, Record, Stop, Pause, Continue,
// Close) are serialised by `controlLock`, which the notification thread
// never takes; so a Stop on the worker and a Stop, Record or Close on the
// caller's thread follow one another cleanly (the operations that build on
// one another share the *Locked bodies). Before `stateLock` the handler
// takes the link lock of the headers' set, which only destruction also
// takes, and only to cut the set off from the object.
//
// Guarantees beyond the bare wave API:
// - Stop returns only after every header the reset returned has been
//   delivered and its bytes appended (the platform may deliver them after
//   its reset returns), so IsRecording is 0 and MakeWave sees the whole
//   recording as soon as Stop returns, also inside the user callback.
// - A header is never requeued once a stop has been asked for: the stop flag
//   and the requeue are decided under one lock, so no header can slip in
//   behind the reset.
// - A worker superseded by a new Record (or by destruction) before it acts
//   ends without stopping anything and without calling the callback; a
//   worker never released never runs. Once destruction has begun no worker
//   is released, so the blocks its own reset returns release none.
// - Destruction closes the device (every queued header comes back first;
//   a refused close is tried again), waits until no worker is inside the
//   object, and waits (a bounded time) for every user callback still
//   running to return, those of earlier recordings' workers included. The
//   object may be destroyed from inside its own user callback. Should the
//   device still refuse to close, the headers it holds and their blocks are
//   left to it, cut off from the object: nothing the device holds is ever
//   freed, and what it still delivers reaches no object.
//
// Copying is not offered: a copy would share the device, the headers, the
// blocks, the clip and the worker with the object it was copied from.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/SpeechDetector.h"
#include "core_contract/Devices.h"
#include "core_contract/Wave.h"
#include "mixer/MixerManager.h"
#include "platform/MMSystem.h"
#include "platform/Threads.h"
#include "sorn_win_export.h"
#include "threading/Mutex.h"

namespace SornMedia::SornAudio {

// The notification handler handed to waveInOpen (CALLBACK_FUNCTION). Acts on
// WIM_DATA only; the header's user value leads to the owning CWaveIn.
void OnWaveInData(HWAVEIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);
// The auto-stop worker's start routine; the parameter is the CWaveIn.
DWORD AutoStopProc(void* parameter);

class SORN_WIN_API CWaveIn : public IWaveIn {
public:
    static constexpr unsigned long kNoPosition = 0xFFFFFFFFul;
    // The step of the leading-silence trim, in sample frames.
    static constexpr int kTrimFrame = 160;

    // `detector` decides when speech has ended; null: the core's SornVad.
    // The manager's era is read here (MixerManager::EraOf); a null manager
    // takes no lock.
    explicit CWaveIn(MixerManager* manager, std::shared_ptr<SpeechDetector> detector = nullptr);
    // The manager and its era as MixerManager::Acquire handed them out.
    explicit CWaveIn(const MixerManager::Lease& mixer, std::shared_ptr<SpeechDetector> detector = nullptr);
    // The clip's format is taken from `format` (through AudioFormatHelperWav).
    CWaveIn(WAVEFORMATEX format, IWaveDevice* device, MixerManager* manager,
            std::shared_ptr<SpeechDetector> detector = nullptr);
    ~CWaveIn() override;
    CWaveIn(const CWaveIn&) = delete;
    CWaveIn& operator=(const CWaveIn&) = delete;

    // A new string the caller owns: the platform's text for the last checked
    // result, empty when that result was success or has no text.
    SornStringA* GetError() const override;
    // Sample frames captured since the device was opened or last reset;
    // 0xFFFFFFFF without an open device or on failure.
    unsigned long GetPosition() override;
    // 1 while the header queued last is still with the device.
    int IsRecording() override;
    // The recording as this object's own clip (which stays its property and
    // is overwritten by the next MakeWave), with the leading steps of 160
    // sample frames (all channels) that do not change from one to the next
    // dropped; null when nothing was recorded (the clip then keeps what it
    // held).
    IWave* MakeWave() override;
    // Stop, then close the device; 1 when nothing was open.
    int Close() override;
    // Opens the input device for the clip's format (always 16-bit PCM) with
    // blocks of `blockBytes` bytes. A device still open from an earlier Open
    // is closed first.
    int Open(unsigned int blockBytes) override;
    int Continue() override;
    int Pause() override;
    // Starts a new recording: stops a running one, drops the previous blocks,
    // arms the auto-stop worker when a callback is set, queues two zeroed
    // headers and starts the device. MakeWave must come before the next
    // Record.
    int Record() override;
    // Stops the recording: nothing more is queued and the device is reset;
    // returns once the queued headers have come back. 1 without an open
    // device.
    int Stop() override;
    void SetDevice(const IWaveDevice* device) override;
    // The clip keeps its own copy.
    void SetWaveFormat(SornAudioFormat* format) override;
    // A set callback arms the auto-stop worker at Record and makes the
    // detector look at every block.
    void SetWaveInCB(SornWaveCallback callback, std::uintptr_t user) override;
    // The capture volume through the mixer manager, 0.0 to 1.0; 0.0 and no
    // effect without a manager, or once the manager has been released
    // (MixerManager::ReleaseInstance). The level is passed on unchanged.
    double VolumeLevel() override;
    void VolumeLevel(double level) override;
    // Does nothing and returns false.
    bool Mute(bool mute) override;

    // Beyond IWaveIn, for hosts that keep the recording as it grows (through
    // SornCaptureRead): copies up to `maxFrames` frames of what MakeWave
    // would give, starting `from` frames into it, into `out`, and returns how
    // many it copied. While `whole` is false the leading trim is applied as
    // far as it is decided (frames come out only once a step differs from the
    // next), so that what was read never changes; with `whole` the rest comes
    // out exactly as MakeWave would give it now. Reads the new frames only:
    // its cost does not grow with the recording.
    unsigned long ReadRecording(unsigned long from, void* out, unsigned long maxFrames, bool whole);
    // The detector's latest verdict on the current recording (SornVADFlag:
    // 0 before speech, 1 during, 2 once it has ended), or -1 when no detector
    // runs (no callback set); `heard` tells whether speech was heard anywhere
    // in it, `frames` how many frames it holds and `trimmedFrames`
    // how many leading ones MakeWave would drop now.
    int SpeechState(bool* heard, unsigned long* frames, unsigned long* trimmedFrames);

private:
    friend void OnWaveInData(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    friend DWORD AutoStopProc(void*);
    friend struct CWaveInTestAccess;  // the factory tests check the manager handed over

    // The bodies of Close and Stop.
    int CloseLocked() SORN_REQUIRES(controlLock);
    int StopLocked() SORN_REQUIRES(controlLock);
    // The open device, or null.
    HWAVEIN Handle() const;

    // Queues the header after the one queued last, its block zeroed.
    int AddNewHeader(HWAVEIN handle) SORN_REQUIRES(stateLock);
    // Appends a filled header's bytes to the recording and runs the detector.
    int AddNewBuffer(WAVEHDR* header) SORN_REQUIRES(stateLock);
    // No header is with this object any more (none may be queued).
    void ForgetHeaders() SORN_REQUIRES(stateLock);
    // Stores code as the last result; 1 when it is a failure.
    int IsError(unsigned code);

    // The recorded data (CWaveInAssembly.cpp).
    unsigned long GetNumSamples() SORN_REQUIRES(stateLock);
    void ForgetRecording() SORN_REQUIRES(stateLock);
    // The leading steps MakeWave drops from `count` recorded frames: decided
    // ones only (-1 while undecided) unless `whole`.
    long TrimmedSteps(unsigned long count, unsigned long align, bool whole) SORN_REQUIRES(stateLock);
    // 1 when step `frame` + 1 equals step `frame`; a step is 160 frames of
    // `channels` 16-bit samples.
    int DiscardSamples(short* data, int frame, int channels);
    // The 16-bit samples per frame the trim and the detector count with: the
    // channels of a block align of whole 16-bit samples, else 1.
    static int TrimChannels(unsigned long align);

    // The body of OnWaveInData for one header.
    void OnData(HWAVEIN handle, WAVEHDR* header);
    // The body of AutoStopProc.
    void AutoStop();
    // Forgets the worker: a worker never released never runs; one released
    // but not yet acting ends without acting. The handle of a released one
    // is kept (its user callback may still run) until it has ended.
    void DropWorker() SORN_REQUIRES(stateLock);
    // Waits until no header is with the device; false on timeout.
    bool WaitForHeaders() SORN_REQUIRES(stateLock);
    // For a device that would not close with headers still queued: cuts the
    // headers off from this object and keeps them, with their blocks, for
    // the rest of the process.
    void AbandonHeaders();

    int stopRequested SORN_GUARDED_BY(stateLock) = 1;
    HWAVEIN deviceHandle SORN_GUARDED_BY(stateLock) = nullptr;
    // The recording: whole frames as captured, each block with the block
    // align of its time (what MakeWave joins), and the frames it holds.
    std::vector<unsigned char> recorded SORN_GUARDED_BY(stateLock);
    unsigned long recordedFrames SORN_GUARDED_BY(stateLock) = 0;
    std::atomic<std::uint32_t> lastError{MMSYSERR_NOERROR};
    std::int32_t headerIndex SORN_GUARDED_BY(stateLock) = 1;
    std::uint32_t bufferSize SORN_GUARDED_BY(stateLock) = 0;
    // The two headers and their blocks live in headerSet, whose address is
    // their user value (CWaveIn.cpp); `headers` points at them. Both are null
    // only once the destructor has left the set to a device that would not
    // close.
    struct HeaderSet;
    std::unique_ptr<HeaderSet> headerSet SORN_GUARDED_BY(stateLock);
    WAVEHDR* headers SORN_GUARDED_BY(stateLock);
    const std::unique_ptr<CWave> wave;
    const IWaveDevice* device SORN_GUARDED_BY(stateLock) = nullptr;
    HANDLE autoStopThread SORN_GUARDED_BY(stateLock) = nullptr;
    SornWaveCallback callback SORN_GUARDED_BY(stateLock) = nullptr;
    std::uintptr_t callbackUser SORN_GUARDED_BY(stateLock) = 0;
    const std::shared_ptr<SpeechDetector> detector;  // never null
    // The detector's mono mix of a multi-channel block; sized by Record.
    std::vector<short> detectorMix SORN_GUARDED_BY(stateLock);
    // The detector's verdicts on the current recording (-1: none ran).
    int lastVerdict SORN_GUARDED_BY(stateLock) = -1;
    bool speechHeard SORN_GUARDED_BY(stateLock) = false;
    // The leading trim as far as it is decided: the steps dropped (-1 while
    // every step so far equals the next), and the steps already compared.
    long trimDropped SORN_GUARDED_BY(stateLock) = -1;
    long trimCompared SORN_GUARDED_BY(stateLock) = 0;
    MixerManager* const mixerManager = nullptr;  // set at construction, as mixerEra
    const std::uint64_t mixerEra = 0;  // the manager's era when it was given (MixerManager::Use)

    // What this object knows of its headers (the platform writes the flags
    // on its own threads): prepared and not yet back, and queued with the
    // device.
    bool headerBusy[2] SORN_GUARDED_BY(stateLock) = {};
    bool headerQueued[2] SORN_GUARDED_BY(stateLock) = {};
    int queuedCount SORN_GUARDED_BY(stateLock) = 0;
    // The armed worker: its thread id, whether it was released, and how many
    // released workers may still touch this object.
    DWORD workerId SORN_GUARDED_BY(stateLock) = 0;
    bool workerReleased SORN_GUARDED_BY(stateLock) = false;
    int workersInside SORN_GUARDED_BY(stateLock) = 0;
    // Released workers of earlier recordings, until they have ended.
    std::vector<HANDLE> releasedWorkers SORN_GUARDED_BY(stateLock);
    // Set first thing by the destructor: no worker is released and none
    // acts from then on.
    bool destroying SORN_GUARDED_BY(stateLock) = false;

    mutable sorn::Mutex stateLock SORN_ACQUIRED_AFTER(controlLock);
    sorn::CondVar stateChanged;  // headers back, a worker left
    sorn::Mutex controlLock;
};

}  // namespace SornMedia::SornAudio
