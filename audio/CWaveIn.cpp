#include "audio/CWaveIn.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "codec/AudioFormatHelperWav.h"
#include "mixer/MixerManager.h"

namespace SornMedia::SornAudio {

namespace {

// How long Stop waits for the headers a reset returns; the platform hands
// them back within milliseconds, so running out means the device is lost.
constexpr auto kHeaderWait = std::chrono::seconds(5);
// How long destruction waits for a released worker: first until it no longer
// touches the object (its Stop is bounded by kHeaderWait), then until its
// user callback has returned.
constexpr auto kWorkerLeaveWait = std::chrono::seconds(20);
constexpr DWORD kCallbackWaitMs = 10000;
// How often destruction tries to close a device that refuses.
constexpr int kCloseAttempts = 3;
// The room Record reserves for the recording, in blocks.
constexpr std::size_t kReservedBlocks = 64;

}  // namespace

// The headers handed to the device and the way back from them to their
// object: each header's user value is its set. Apart from the object so that
// a device that will not give its headers back cannot write into, or deliver
// to, a freed object.
struct CWaveIn::HeaderSet {
    sorn::Mutex link;  // held by the handler while it works on the owner
    CWaveIn* owner SORN_GUARDED_BY(link) = nullptr;  // null once abandoned
    WAVEHDR headers[2]{};
    std::vector<char> blocks[2];  // what the headers point at
};

CWaveIn::CWaveIn(MixerManager* manager, std::shared_ptr<SpeechDetector> given)
    : CWaveIn(MixerManager::Lease{manager, MixerManager::EraOf(manager)}, std::move(given)) {}

CWaveIn::CWaveIn(const MixerManager::Lease& mixer, std::shared_ptr<SpeechDetector> given)
    : headerSet(std::make_unique<HeaderSet>()), headers(headerSet->headers), wave(std::make_unique<CWave>()),
      detector(given ? std::move(given) : MakeCoreSpeechDetector()), mixerManager(mixer.manager), mixerEra(mixer.era) {
    sorn::MutexLock link(headerSet->link);  // no device is open yet: nothing else takes it
    headerSet->owner = this;
}

CWaveIn::CWaveIn(WAVEFORMATEX format, IWaveDevice* waveDevice, MixerManager* manager,
                 std::shared_ptr<SpeechDetector> given)
    : CWaveIn(manager, std::move(given)) {
    device = waveDevice;
    AudioFormatHelperWav helper;
    SornAudioFormat audioFormat;
    helper.ToAudioFormat(&format, &audioFormat);
    SetWaveFormat(&audioFormat);
}

CWaveIn::~CWaveIn() {
    {
        // From here on no worker acts: one released by the blocks the reset
        // below returns, or released earlier but not yet acting, ends without
        // stopping anything or calling back.
        sorn::MutexLock lock(stateLock);
        destroying = true;
        workerId = 0;
    }
    // Close stops first, so the queued headers come back and the platform's
    // close waits until they have; after it nothing reaches this object. A
    // refused close is tried again.
    bool closed = false;
    for (int attempt = 0; attempt < kCloseAttempts && !closed; ++attempt) closed = Close() != 0;
    HANDLE armed = nullptr;
    std::vector<HANDLE> released;
    bool held;
    {
        sorn::MutexLock lock(stateLock);
        // Still open with headers queued: they stay the device's.
        held = !closed && queuedCount > 0;
        // A worker that is stopping the device is waited for.
        const auto deadline = std::chrono::steady_clock::now() + kWorkerLeaveWait;
        while (workersInside != 0)
            if (!stateChanged.WaitUntil(stateLock, deadline)) break;
        released.swap(releasedWorkers);
        if (autoStopThread && workerReleased) {
            released.push_back(autoStopThread);
        } else {
            armed = autoStopThread;
        }
        autoStopThread = nullptr;
    }
    // A worker never released never runs once its handle is dropped.
    if (armed) CloseHandle(armed);
    // Let every running user callback finish (at once for the one on this
    // thread, when the object is destroyed from its own callback).
    for (HANDLE worker : released) {
        WaitForSingleObject(worker, kCallbackWaitMs);
        CloseHandle(worker);
    }
    if (held) AbandonHeaders();
    // The recording, the headers' set (unless abandoned) and the clip go with
    // the members.
}

void CWaveIn::AbandonHeaders() {
    HeaderSet* current;
    {
        sorn::MutexLock lock(stateLock);
        current = headerSet.get();
    }
    {
        // Waits for a delivery in progress; later ones find no owner.
        sorn::MutexLock link(current->link);
        current->owner = nullptr;
    }
    std::unique_ptr<HeaderSet> set;
    {
        sorn::MutexLock lock(stateLock);
        set = std::move(headerSet);
        headers = nullptr;
    }
    // Kept for the life of the process (never destroyed, so that late
    // deliveries still find them).
    static sorn::Mutex abandonedLock;
    static auto* abandoned = new std::vector<std::unique_ptr<HeaderSet>>();
    sorn::MutexLock lock(abandonedLock);
    abandoned->push_back(std::move(set));
}

SornStringA* CWaveIn::GetError() const {
    const MMRESULT code = lastError.load();
    if (code == MMSYSERR_NOERROR) return new SornStringA();
    char text[MAXERRORLENGTH] = {};
    if (waveInGetErrorTextA(code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR) return new SornStringA();
    text[MAXERRORLENGTH - 1] = '\0';
    return new SornStringA(text);
}

HWAVEIN CWaveIn::Handle() const {
    sorn::MutexLock lock(stateLock);
    return deviceHandle;
}

unsigned long CWaveIn::GetPosition() {
    const HWAVEIN handle = Handle();
    if (!handle) return kNoPosition;
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (IsError(waveInGetPosition(handle, &time, sizeof time))) return kNoPosition;
    return time.u.sample;
}

int CWaveIn::IsRecording() {
    sorn::MutexLock lock(stateLock);
    return headerIndex >= 0 && headerIndex < 2 && headerBusy[headerIndex] ? 1 : 0;
}

int CWaveIn::Close() {
    sorn::MutexLock control(controlLock);
    return CloseLocked();
}

int CWaveIn::CloseLocked() {
    const HWAVEIN handle = Handle();
    if (!handle) return 1;
    if (!StopLocked()) return 0;
    if (IsError(waveInClose(handle))) return 0;
    sorn::MutexLock lock(stateLock);
    deviceHandle = nullptr;
    return 1;
}

int CWaveIn::Open(unsigned int blockBytes) {
    sorn::MutexLock control(controlLock);
    // A second handle would keep delivering into this object with nothing
    // left to stop or close it.
    if (Handle() && !CloseLocked()) return 0;

    WAVEFORMATEX format{};
    UINT deviceId;
    {
        sorn::MutexLock lock(stateLock);
        bufferSize = blockBytes;
        AudioFormatHelperWav helper;
        helper.FromAudioFormat(wave->AudioFormat(), &format);
        if (!device) {
            IsError(MMSYSERR_BADDEVICEID);
            return 0;
        }
        deviceId = device->GetInputDevice();
    }
    HWAVEIN handle = nullptr;
    if (IsError(
            waveInOpen(&handle, deviceId, &format, reinterpret_cast<DWORD_PTR>(&OnWaveInData), 0, CALLBACK_FUNCTION)))
        return 0;
    sorn::MutexLock lock(stateLock);
    deviceHandle = handle;
    return 1;
}

int CWaveIn::Continue() {
    sorn::MutexLock control(controlLock);
    const HWAVEIN handle = Handle();
    if (!handle) return 1;
    return IsError(waveInStart(handle)) ? 0 : 1;
}

int CWaveIn::Pause() {
    sorn::MutexLock control(controlLock);
    const HWAVEIN handle = Handle();
    if (!handle) return 1;
    return IsError(waveInStop(handle)) ? 0 : 1;
}

int CWaveIn::Record() {
    sorn::MutexLock control(controlLock);
    if (IsRecording() && !StopLocked()) return 0;

    HWAVEIN handle;
    {
        sorn::MutexLock lock(stateLock);
        // Headers a failed stop left with the device still own their blocks.
        if (queuedCount > 0) {
            IsError(WAVERR_STILLPLAYING);
            return 0;
        }
        DropWorker();
        if (callback) {
            autoStopThread = CreateThread(nullptr, 0, &AutoStopProc, this, CREATE_SUSPENDED, &workerId);
            if (!autoStopThread) workerId = 0;
        }
        stopRequested = 0;
        ForgetRecording();
        ForgetHeaders();
        handle = deviceHandle;
    }
    SetWaveFormat(wave->AudioFormat());
    {
        sorn::MutexLock lock(stateLock);
        // Room for the detector's mix of a whole block, so that blocks are
        // mixed without allocating.
        const unsigned align = wave->AudioFormat()->BlockAlign();
        if (TrimChannels(align) > 1 && detectorMix.size() < bufferSize / align) detectorMix.resize(bufferSize / align);
        // The headers' blocks, and room for a recording of many blocks, so
        // that deliveries seldom allocate.
        for (std::vector<char>& block : headerSet->blocks) block.resize(bufferSize > 0 ? bufferSize : 1);
        recorded.reserve(std::size_t{bufferSize} * kReservedBlocks);
        headerIndex = 1;
        if (!AddNewHeader(handle) || !AddNewHeader(handle)) return 0;
        // A fresh detector at the clip's rate, so its hang-over lasts as long
        // at 8 kHz or 44.1 kHz as at 16 kHz (a rate of 0 gives the default).
        const unsigned long rate = wave->AudioFormat()->SampleRate();
        detector->Restart(static_cast<unsigned>(std::min<unsigned long>(rate, std::numeric_limits<unsigned>::max())));
    }
    return IsError(waveInStart(handle)) ? 0 : 1;
}

int CWaveIn::Stop() {
    sorn::MutexLock control(controlLock);
    return StopLocked();
}

int CWaveIn::StopLocked() {
    HWAVEIN handle;
    {
        sorn::MutexLock lock(stateLock);
        handle = deviceHandle;
        if (!handle) return 1;
        // Decided under the lock the handler requeues under: from here on no
        // header goes back to the device.
        stopRequested = 1;
    }
    if (IsError(waveInReset(handle))) return 0;
    sorn::MutexLock lock(stateLock);
    WaitForHeaders();
    return 1;
}

void CWaveIn::SetDevice(const IWaveDevice* waveDevice) {
    sorn::MutexLock lock(stateLock);
    device = waveDevice;
}

void CWaveIn::SetWaveFormat(SornAudioFormat* format) {
    sorn::MutexLock lock(stateLock);
    wave->AudioFormat(format);
}

void CWaveIn::SetWaveInCB(SornWaveCallback waveCallback, std::uintptr_t user) {
    sorn::MutexLock lock(stateLock);
    callback = waveCallback;
    callbackUser = user;
}

// The manager is reached only while it is still the one this object was
// given: a released one is never touched.
double CWaveIn::VolumeLevel() {
    MixerManager::Use use(mixerManager, mixerEra);
    return use.get() ? use.get()->GetInputVolume() : 0.0;
}

void CWaveIn::VolumeLevel(double level) {
    MixerManager::Use use(mixerManager, mixerEra);
    if (use.get()) use.get()->SetInputVolume(level);
}

bool CWaveIn::Mute(bool) { return false; }

int CWaveIn::AddNewHeader(HWAVEIN handle) {
    headerIndex = headerIndex == 1 ? 0 : headerIndex + 1;
    if (headerIndex < 0 || headerIndex > 1) return 0;
    WAVEHDR& header = headers[headerIndex];
    // Out of turn (only after failed requeues): the header is still being
    // filled, and its block must not be touched.
    if (headerQueued[headerIndex]) {
        IsError(WAVERR_STILLPLAYING);
        return 0;
    }
    std::vector<char>& block = headerSet->blocks[headerIndex];
    std::fill(block.begin(), block.end(), 0);
    header.lpData = block.data();
    header.dwBufferLength = bufferSize;
    header.dwBytesRecorded = 0;
    header.dwFlags = 0;
    header.dwUser = reinterpret_cast<DWORD_PTR>(headerSet.get());
    if (IsError(waveInPrepareHeader(handle, &header, sizeof(WAVEHDR)))) return 0;
    headerBusy[headerIndex] = true;  // prepared: flags non-zero, not done
    if (IsError(waveInAddBuffer(handle, &header, sizeof(WAVEHDR)))) return 0;
    headerQueued[headerIndex] = true;
    ++queuedCount;
    return 1;
}

int CWaveIn::AddNewBuffer(WAVEHDR* header) {
    const unsigned align = wave->AudioFormat()->BlockAlign();
    const DWORD bytes =
        header->dwBytesRecorded < header->dwBufferLength ? header->dwBytesRecorded : header->dwBufferLength;
    const unsigned long count = align ? bytes / align : 0;
    const auto* data = reinterpret_cast<const unsigned char*>(header->lpData);
    recorded.insert(recorded.end(), data, data + count * align);
    recordedFrames += count;
    if (!callback) return 1;
    // The detector hears one 16-bit sample per frame. Mono blocks are handed
    // over as they are, never with more samples than were recorded (a clip
    // format of one byte per frame would otherwise let it read past the
    // bytes recorded); blocks of more channels as the mean of each frame's
    // channels, so that a voice on any channel is heard.
    short* heard = reinterpret_cast<short*>(header->lpData);
    unsigned long heardCount = std::min<unsigned long>(count, bytes / sizeof(short));
    const int channels = TrimChannels(align);
    if (channels > 1) {
        if (detectorMix.size() < count) detectorMix.resize(count);  // only when the block size changed
        const short* frame = heard;
        for (unsigned long i = 0; i < count; ++i, frame += channels) {
            std::int32_t sum = 0;
            for (int c = 0; c < channels; ++c) sum += frame[c];
            detectorMix[i] = static_cast<short>(sum / channels);
        }
        heard = detectorMix.data();
        heardCount = count;
    }
    const SornVADFlag verdict = detector->Detect(heard, static_cast<unsigned>(heardCount));
    lastVerdict = verdict;
    speechHeard = speechHeard || verdict != SORN_VAD_NO_SPEECH;
    if (verdict == SORN_VAD_SPEECH_END) {
        if (autoStopThread && !workerReleased && !destroying &&
            ResumeThread(autoStopThread) != static_cast<DWORD>(-1)) {
            workerReleased = true;
            ++workersInside;
        }
    }
    return 1;
}

void CWaveIn::ForgetHeaders() {
    for (bool& busy : headerBusy) busy = false;
}

int CWaveIn::IsError(unsigned code) {
    lastError.store(code);
    return code != MMSYSERR_NOERROR ? 1 : 0;
}

void CWaveIn::OnData(HWAVEIN handle, WAVEHDR* header) {
    sorn::MutexLock lock(stateLock);
    int index;
    if (header == &headers[0]) {
        index = 0;
    } else if (header == &headers[1]) {
        index = 1;
    } else {
        return;  // not one of this object's headers
    }
    if (header->dwFlags & WHDR_DONE) {
        header->dwFlags = 0;
        headerBusy[index] = false;
        if (headerQueued[index]) {
            headerQueued[index] = false;
            --queuedCount;
            stateChanged.NotifyAll();
        }
        if (IsError(waveInUnprepareHeader(handle, header, sizeof(WAVEHDR)))) return;
        if (header->dwBytesRecorded > 0) AddNewBuffer(header);
    }
    if (!stopRequested) AddNewHeader(handle);
}

void OnWaveInData(HWAVEIN handle, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != WIM_DATA) return;
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    if (!header || !handle || !header->dwUser) return;
    auto* set = reinterpret_cast<CWaveIn::HeaderSet*>(header->dwUser);
    sorn::MutexLock link(set->link);
    if (set->owner) {
        set->owner->OnData(handle, header);
        return;
    }
    // Its object is gone (the device would not close): a header given back
    // is no longer held. Its block stays with the set.
    if (header->dwFlags & WHDR_DONE) waveInUnprepareHeader(handle, header, sizeof(WAVEHDR));
}

void CWaveIn::DropWorker() {
    workerId = 0;
    // Workers of earlier recordings whose callbacks have returned are done
    // with; a worker waiting for itself is not (WAIT_FAILED), and stays.
    std::erase_if(releasedWorkers, [](HANDLE worker) {
        if (WaitForSingleObject(worker, 0) != WAIT_OBJECT_0) return false;
        CloseHandle(worker);
        return true;
    });
    if (autoStopThread) {
        if (workerReleased) {
            releasedWorkers.push_back(autoStopThread);  // its callback may be running
        } else {
            CloseHandle(autoStopThread);
        }
    }
    autoStopThread = nullptr;
    workerReleased = false;
}

bool CWaveIn::WaitForHeaders() {
    const auto deadline = std::chrono::steady_clock::now() + kHeaderWait;
    while (queuedCount != 0)
        if (!stateChanged.WaitUntil(stateLock, deadline)) break;
    return queuedCount == 0;
}

void CWaveIn::AutoStop() {
    const DWORD self = GetCurrentThreadId();
    bool current;
    {
        // Under the control lock: a Record that supersedes this worker, or a
        // destruction, either comes first (and this worker does nothing) or
        // waits until this Stop is done.
        sorn::MutexLock control(controlLock);
        {
            sorn::MutexLock lock(stateLock);
            current = workerId == self && !destroying;
        }
        if (current) StopLocked();
    }
    SornWaveCallback function = nullptr;
    std::uintptr_t user = 0;
    {
        sorn::MutexLock lock(stateLock);
        // Superseded or destroyed while it stopped: no callback.
        if (current && workerId == self && !destroying) {
            function = callback;
            user = callbackUser;
        }
        --workersInside;
        stateChanged.NotifyAll();
    }
    // From here on the object may be gone (the callback may destroy it).
    if (function) function(user);
}

DWORD AutoStopProc(void* parameter) {
    if (parameter) static_cast<CWaveIn*>(parameter)->AutoStop();
    return 0;
}

}  // namespace SornMedia::SornAudio
