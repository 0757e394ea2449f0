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

}  // namespace

CWaveIn::CWaveIn(MixerManager* manager)
    : wave(new CWave()), mixerManager(manager), mixerEra(MixerManager::Era()) {
    InitListOfHeader();
}

CWaveIn::CWaveIn(WAVEFORMATEX format, IWaveDevice* device, MixerManager* manager) : CWaveIn(manager) {
    this->device = device;
    AudioFormatHelperWav* helper = new AudioFormatHelperWav();
    SornAudioFormat* audioFormat = new SornAudioFormat();
    helper->ToAudioFormat(&format, audioFormat);
    SetWaveFormat(audioFormat);
    delete audioFormat;
    delete helper;
}

CWaveIn::~CWaveIn() {
    Close();
    HANDLE worker = nullptr;
    bool released = false;
    {
        std::unique_lock lock(stateLock);
        // A close that failed (a lost device) may still owe deliveries.
        WaitForHeaders(lock);
        // A released worker that has not acted yet ends without acting; one
        // that is stopping the device is waited for.
        workerId = 0;
        stateChanged.wait_for(lock, kWorkerLeaveWait, [&] { return workersInside == 0; });
        worker = autoStopThread;
        released = workerReleased;
        autoStopThread = nullptr;
    }
    if (worker) {
        // Let a running user callback finish (at once when this is its own
        // thread), then drop the handle: a worker never released never runs.
        if (released) WaitForSingleObject(worker, kCallbackWaitMs);
        CloseHandle(worker);
    }
    std::lock_guard lock(stateLock);
    FreeListOfBuffer();
    FreeListOfHeader();
    delete wave;
    wave = nullptr;
}

SornStringA* CWaveIn::GetError() const {
    const MMRESULT code = lastError.load();
    if (code == MMSYSERR_NOERROR) return new SornStringA();
    char text[MAXERRORLENGTH] = {};
    if (waveInGetErrorTextA(code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR) return new SornStringA();
    text[MAXERRORLENGTH - 1] = '\0';
    return new SornStringA(text);
}

unsigned long CWaveIn::GetPosition() {
    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
        handle = deviceHandle;
    }
    if (!handle) return kNoPosition;
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (IsError(waveInGetPosition(handle, &time, sizeof time))) return kNoPosition;
    return time.u.sample;
}

int CWaveIn::IsRecording() {
    std::lock_guard lock(stateLock);
    return headerIndex >= 0 && headerIndex < 2 && headerBusy[headerIndex] ? 1 : 0;
}

int CWaveIn::Close() {
    std::lock_guard control(controlLock);
    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
        handle = deviceHandle;
    }
    if (!handle) return 1;
    if (!Stop()) return 0;
    if (IsError(waveInClose(handle))) return 0;
    std::lock_guard lock(stateLock);
    deviceHandle = nullptr;
    return 1;
}

int CWaveIn::Open(unsigned int blockBytes) {
    std::lock_guard control(controlLock);
    bool open;
    {
        std::lock_guard lock(stateLock);
        open = deviceHandle != nullptr;
    }
    // A second handle would keep delivering into this object with nothing
    // left to stop or close it.
    if (open && !Close()) return 0;

    WAVEFORMATEX format{};
    UINT deviceId;
    {
        std::lock_guard lock(stateLock);
        bufferSize = blockBytes;
        AudioFormatHelperWav* helper = new AudioFormatHelperWav();
        helper->FromAudioFormat(wave->AudioFormat(), &format);
        delete helper;
        if (!device) {
            IsError(MMSYSERR_BADDEVICEID);
            return 0;
        }
        deviceId = device->GetInputDevice();
    }
    HWAVEIN handle = nullptr;
    if (IsError(waveInOpen(&handle, deviceId, &format, reinterpret_cast<DWORD_PTR>(&OnWaveInData), 0,
                           CALLBACK_FUNCTION)))
        return 0;
    std::lock_guard lock(stateLock);
    deviceHandle = handle;
    return 1;
}

int CWaveIn::Continue() {
    std::lock_guard control(controlLock);
    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
        handle = deviceHandle;
    }
    if (!handle) return 1;
    return IsError(waveInStart(handle)) ? 0 : 1;
}

int CWaveIn::Pause() {
    std::lock_guard control(controlLock);
    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
        handle = deviceHandle;
    }
    if (!handle) return 1;
    return IsError(waveInStop(handle)) ? 0 : 1;
}

int CWaveIn::Record() {
    std::lock_guard control(controlLock);
    if (IsRecording() && !Stop()) return 0;

    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
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
        FreeListOfBuffer();
        FreeListOfHeader();
        handle = deviceHandle;
    }
    SetWaveFormat(wave->AudioFormat());
    {
        std::lock_guard lock(stateLock);
        headerIndex = 1;
        if (!AddNewHeader(handle) || !AddNewHeader(handle)) return 0;
        // A fresh detector at the clip's rate, so its hang-over lasts as long
        // at 8 kHz or 44.1 kHz as at 16 kHz (a rate of 0 gives the default).
        const unsigned long rate = wave->AudioFormat()->SampleRate();
        vad = SornVad(static_cast<unsigned>(std::min<unsigned long>(rate, std::numeric_limits<unsigned>::max())));
    }
    return IsError(waveInStart(handle)) ? 0 : 1;
}

int CWaveIn::Stop() {
    std::lock_guard control(controlLock);
    HWAVEIN handle;
    {
        std::lock_guard lock(stateLock);
        handle = deviceHandle;
        if (!handle) return 1;
        // Decided under the lock the handler requeues under: from here on no
        // header goes back to the device.
        stopRequested = 1;
    }
    if (IsError(waveInReset(handle))) return 0;
    std::unique_lock lock(stateLock);
    WaitForHeaders(lock);
    return 1;
}

void CWaveIn::SetDevice(const IWaveDevice* device) {
    std::lock_guard lock(stateLock);
    this->device = device;
}

void CWaveIn::SetWaveFormat(SornAudioFormat* format) {
    std::lock_guard lock(stateLock);
    wave->AudioFormat(format);
}

void CWaveIn::SetWaveInCB(SornWaveCallback callback, unsigned long user) {
    std::lock_guard lock(stateLock);
    this->callback = callback;
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
    if (!header.lpData) header.lpData = new char[bufferSize > 0 ? bufferSize : 1];
    std::memset(header.lpData, 0, bufferSize);
    header.dwBufferLength = bufferSize;
    header.dwBytesRecorded = 0;
    header.dwFlags = 0;
    header.dwUser = reinterpret_cast<DWORD_PTR>(this);
    if (IsError(waveInPrepareHeader(handle, &header, sizeof(WAVEHDR)))) return 0;
    headerBusy[headerIndex] = true;  // prepared: flags non-zero, not done
    if (IsError(waveInAddBuffer(handle, &header, sizeof(WAVEHDR)))) return 0;
    headerQueued[headerIndex] = true;
    ++queuedCount;
    return 1;
}

int CWaveIn::AddNewBuffer(WAVEHDR* header) {
    WaveBuffer* block = new WaveBuffer();
    buffers.push_back(block);
    const unsigned align = wave->AudioFormat()->BlockAlign();
    const DWORD recorded = header->dwBytesRecorded < header->dwBufferLength ? header->dwBytesRecorded
                                                                             : header->dwBufferLength;
    const unsigned long count = align ? recorded / align : 0;
    block->CopyBuffer(header->lpData, count, static_cast<int>(align));
    // The detector reads count 16-bit samples; never more than were recorded
    // (a clip format of one byte per frame would otherwise let it read past
    // the bytes recorded).
    const unsigned long detectCount = std::min<unsigned long>(count, recorded / sizeof(short));
    if (callback && vad.Detect(reinterpret_cast<short*>(header->lpData), static_cast<unsigned>(detectCount)) ==
                        SORN_VAD_SPEECH_END) {
        if (autoStopThread && !workerReleased && ResumeThread(autoStopThread) != static_cast<DWORD>(-1)) {
            workerReleased = true;
            ++workersInside;
        }
    }
    return 1;
}

void CWaveIn::InitListOfHeader() {
    headers[0].lpData = nullptr;
    headers[1].lpData = nullptr;
}

void CWaveIn::FreeListOfHeader() {
    for (int i = 0; i < 2; ++i) {
        delete[] headers[i].lpData;
        headers[i].lpData = nullptr;
        headerBusy[i] = false;
    }
}

int CWaveIn::IsError(unsigned code) {
    lastError.store(code);
    return code != MMSYSERR_NOERROR ? 1 : 0;
}

int CWaveIn::ResetRequired(CWaveIn* self) { return self->stopRequested; }

void CWaveIn::OnData(HWAVEIN handle, WAVEHDR* header) {
    std::lock_guard lock(stateLock);
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
            stateChanged.notify_all();
        }
        if (IsError(waveInUnprepareHeader(handle, header, sizeof(WAVEHDR)))) return;
        if (header->dwBytesRecorded > 0) AddNewBuffer(header);
        delete[] header->lpData;
        header->lpData = nullptr;
    }
    if (!ResetRequired(this)) AddNewHeader(handle);
}

void OnWaveInData(HWAVEIN handle, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != WIM_DATA) return;
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    if (!header || !handle || !header->dwUser) return;
    reinterpret_cast<CWaveIn*>(header->dwUser)->OnData(handle, header);
}

void CWaveIn::DropWorker() {
    workerId = 0;
    if (autoStopThread) CloseHandle(autoStopThread);
    autoStopThread = nullptr;
    workerReleased = false;
}

bool CWaveIn::WaitForHeaders(std::unique_lock<std::mutex>& lock) {
    return stateChanged.wait_for(lock, kHeaderWait, [&] { return queuedCount == 0; });
}

void CWaveIn::AutoStop() {
    const DWORD self = GetCurrentThreadId();
    bool current;
    {
        // Under the control lock: a Record that supersedes this worker
        // either comes first (and this worker does nothing) or waits until
        // this Stop is done.
        std::lock_guard control(controlLock);
        {
            std::lock_guard lock(stateLock);
            current = workerId == self;
        }
        if (current) Stop();
    }
    SornWaveCallback function = nullptr;
    unsigned long user = 0;
    {
        std::lock_guard lock(stateLock);
        if (current) {
            function = callback;
            user = callbackUser;
        }
        --workersInside;
        stateChanged.notify_all();
    }
    // From here on the object may be gone (the callback may destroy it).
    if (function) function(user);
}

DWORD AutoStopProc(void* parameter) {
    if (parameter) static_cast<CWaveIn*>(parameter)->AutoStop();
    return 0;
}

}  // namespace SornMedia::SornAudio
