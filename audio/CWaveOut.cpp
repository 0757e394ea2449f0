#include "audio/CWaveOut.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "codec/AudioFormatHelperWav.h"
#include "mixer/MixerManager.h"

namespace SornMedia::SornAudio {

namespace {

// How long Play and the destructor wait for pieces handed back by a reset
// to come through the completion handler.
constexpr std::chrono::seconds kDrainTimeout{5};

// Set while this thread runs a completion (and so the user callback): a
// wait for completions there would wait for itself.
thread_local bool t_inCompletion = false;

// frames * align bytes, never more than limit (no overflow on the way).
std::uint32_t FrameBytes(unsigned long frames, unsigned align, std::uint32_t limit) {
    if (align == 0) return 0;
    if (frames > limit / align) return limit;
    return static_cast<std::uint32_t>(frames * align);
}

}  // namespace

void OnWaveOutDone(HWAVEOUT device, UINT message, DWORD_PTR /*instance*/, DWORD_PTR param1,
                   DWORD_PTR /*param2*/) {
    if (message != WOM_DONE) return;
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    if (!header || !device || !header->dwUser) return;
    auto* self = reinterpret_cast<CWaveOut*>(header->dwUser);
    const bool outer = t_inCompletion;
    t_inCompletion = true;
    self->Done(device, header);
    t_inCompletion = outer;
}

CWaveOut::CWaveOut(MixerManager* manager) : mixerManager(manager), mixerEra(MixerManager::Era()) {}

CWaveOut::CWaveOut(IWave* clip, IWaveDevice* selection, MixerManager* manager)
    : wave(clip), device(selection), mixerManager(manager), mixerEra(MixerManager::Era()) {}

CWaveOut::~CWaveOut() {
    closing = true;
    // Close stops first, so the queued pieces come back (with their
    // callbacks) and the platform's close waits until they have; after it
    // no completion can reach this object. A refused close is retried.
    for (int attempt = 0; attempt < 3 && !Close(); ++attempt) {
    }
    // Still open: at least let nothing queued point at this object.
    if (deviceHandle.load() && !t_inCompletion) WaitForQueuedPieces();
}

SornStringA* CWaveOut::GetError() const {
    const unsigned code = lastError.load();
    if (code == MMSYSERR_NOERROR) return new SornStringA();
    char text[MAXERRORLENGTH] = {};
    if (waveOutGetErrorTextA(code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR)
        return new SornStringA();
    text[MAXERRORLENGTH - 1] = '\0';
    return new SornStringA(text);
}

unsigned long CWaveOut::GetPosition() {
    HWAVEOUT handle = deviceHandle.load();
    if (!handle) return kNoPosition;
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (IsError(waveOutGetPosition(handle, &time, sizeof(time)))) return kNoPosition;
    if (time.wType != TIME_SAMPLES) return kNoPosition;
    return time.u.sample;
}

int CWaveOut::IsPlaying() { return playing.load(); }

int CWaveOut::Open() {
    IWave* clip = nullptr;
    const IWaveDevice* selection = nullptr;
    {
        std::lock_guard hold(lock_);
        clip = wave;
        selection = device;
    }
    if (!clip || !selection) {
        IsError(MMSYSERR_INVALPARAM);
        return 0;
    }
    // A second Open would otherwise lose the first device with whatever it
    // still has queued.
    if (deviceHandle.load() && !Close()) return 0;

    WAVEFORMATEX format{};
    {
        AudioFormatHelperWav helper;
        helper.FromAudioFormat(clip->AudioFormat(), &format);
    }
    HWAVEOUT handle = nullptr;
    if (IsError(waveOutOpen(&handle, selection->GetOutputDevice(), &format,
                            reinterpret_cast<DWORD_PTR>(&OnWaveOutDone), 0, CALLBACK_FUNCTION)))
        return 0;
    deviceHandle.store(handle);
    return 1;
}

int CWaveOut::Close() {
    HWAVEOUT handle = deviceHandle.load();
    if (!handle) return 1;
    if (!Stop()) return 0;
    if (IsError(waveOutClose(handle))) return 0;
    deviceHandle.store(nullptr);
    // The device is gone: whatever it still held will never come back.
    std::lock_guard hold(lock_);
    queued.fill(false);
    queuedCount = 0;
    drained_.notify_all();
    return 1;
}

int CWaveOut::Continue() {
    HWAVEOUT handle = deviceHandle.load();
    if (!handle) return 1;
    return IsError(waveOutRestart(handle)) ? 0 : 1;
}

int CWaveOut::Pause() {
    HWAVEOUT handle = deviceHandle.load();
    if (!handle) return 1;
    return IsError(waveOutPause(handle)) ? 0 : 1;
}

int CWaveOut::Play(unsigned long from, unsigned long to, int /*flag*/) {
    if (closing.load()) return 0;
    bool tailQueued = false;
    {
        std::lock_guard hold(lock_);
        tailQueued = queuedCount > 0;
    }
    // The end of the last range may still be sounding after playing fell
    // to 0: it is stopped like a range still playing, and its pieces have to
    // be back before the ring is filled again.
    if (IsPlaying() || tailQueued) {
        if (!Stop()) return 0;
        if (!t_inCompletion) WaitForQueuedPieces();
    }

    std::lock_guard hold(lock_);
    if (!wave) {
        IsError(MMSYSERR_INVALPARAM);
        return 0;
    }
    playing.store(1);
    const SornAudioFormat* format = wave->AudioFormat();
    const unsigned align = format ? format->BlockAlign() : 0;
    const auto length = static_cast<std::uint32_t>(std::min<unsigned long>(
        wave->GetBufferLength(), std::numeric_limits<std::uint32_t>::max()));
    rangePosition = FrameBytes(from, align, length);
    rangeEnd = to == 0xFFFFFFFFul ? length : FrameBytes(to, align, length);
    headerIndex = kHeaderCount - 1;  // the first piece goes into header 0

    HWAVEOUT handle = deviceHandle.load();
    for (int i = 0; i < kHeaderCount; ++i) {
        if (AddNewHeader(handle)) continue;
        // Every header still held by pieces a reset handed back (Play from
        // inside the callback): their completions queue the rest.
        return queuedCount == kHeaderCount && GetBufferLength() > 0 ? 1 : 0;
    }
    return 1;
}

int CWaveOut::Stop() {
    playing.store(0);
    HWAVEOUT handle = deviceHandle.load();
    if (!handle) return 1;
    {
        // The range ends before the reset: every piece the reset hands back
        // is then seen as the end of the range, and nothing is queued again.
        std::lock_guard hold(lock_);
        rangePosition = rangeEnd;
    }
    return IsError(waveOutReset(handle)) ? 0 : 1;
}

void CWaveOut::ModifyWaveOutBufferLength(unsigned long bytes) {
    if (bytes == 0) return;  // a range would never end
    std::lock_guard hold(lock_);
    pieceLength = static_cast<std::uint32_t>(
        std::min<unsigned long>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

void CWaveOut::SetDevice(const IWaveDevice* selection) {
    std::lock_guard hold(lock_);
    device = selection;
}

void CWaveOut::SetWave(IWave* clip) {
    std::lock_guard hold(lock_);
    wave = clip;
}

void CWaveOut::SetWaveOutCB(SornWaveCallback fn, unsigned long user) {
    std::lock_guard hold(lock_);
    callback = fn;
    callbackUser = user;
}

// The manager is reached only while it is still the one this object was
// given: a released one is never touched.
double CWaveOut::VolumeLevel() {
    MixerManager::Use use(mixerManager, mixerEra);
    return use.get() ? use.get()->GetOutputVolume() : 0.0;
}

void CWaveOut::VolumeLevel(double level) {
    MixerManager::Use use(mixerManager, mixerEra);
    if (use.get()) use.get()->SetOutputVolume(level);
}

bool CWaveOut::Mute(bool /*mute*/) { return false; }

unsigned long CWaveOut::GetBufferLength() {
    if (rangePosition >= rangeEnd) return 0;
    return std::min(pieceLength, rangeEnd - rangePosition);
}

int CWaveOut::AddNewHeader(HWAVEOUT handle) {
    const unsigned long n = GetBufferLength();
    if (n == 0) return 0;
    // Completions come back in the order queued, so the next header of the
    // ring is normally the one that came back last. One the platform still
    // holds is never touched: the next free one is taken instead.
    int index = headerIndex;
    int chosen = -1;
    for (int step = 0; step < kHeaderCount; ++step) {
        index = index >= kHeaderCount - 1 ? 0 : index + 1;
        if (!queued[static_cast<std::size_t>(index)]) {
            chosen = index;
            break;
        }
    }
    if (chosen < 0) return 0;  // the next completion queues this piece
    // The clip must not have shrunk under the range.
    auto* data = wave ? static_cast<char*>(wave->GetBuffer()) : nullptr;
    if (!data || wave->GetBufferLength() < static_cast<unsigned long>(rangePosition) + n) {
        IsError(MMSYSERR_INVALPARAM);
        return 0;
    }

    headerIndex = chosen;
    WAVEHDR& header = headers[static_cast<std::size_t>(chosen)];
    header.lpData = data + rangePosition;
    header.dwBufferLength = static_cast<DWORD>(n);
    header.dwFlags = 0;
    header.dwUser = reinterpret_cast<DWORD_PTR>(this);
    if (IsError(waveOutPrepareHeader(handle, &header, sizeof(WAVEHDR)))) return 0;
    if (IsError(waveOutWrite(handle, &header, sizeof(WAVEHDR)))) {
        waveOutUnprepareHeader(handle, &header, sizeof(WAVEHDR));  // the write's code is kept
        header.lpData = nullptr;
        header.dwBufferLength = 0;
        header.dwFlags = 0;
        header.dwUser = 0;
        headerIndex = chosen - 1;
        return 0;
    }
    queued[static_cast<std::size_t>(chosen)] = true;
    ++queuedCount;
    rangePosition += static_cast<std::uint32_t>(n);
    return 1;
}

int CWaveOut::IsError(unsigned code) {
    lastError.store(code);
    return code != MMSYSERR_NOERROR ? 1 : 0;
}

int CWaveOut::ResetRequired(CWaveOut* self) {
    return self->rangePosition >= self->rangeEnd ? 1 : 0;
}

void CWaveOut::Done(HWAVEOUT handle, WAVEHDR* header) {
    SornWaveCallback notify = nullptr;
    unsigned long user = 0;
    {
        std::lock_guard hold(lock_);
        for (int i = 0; i < kHeaderCount; ++i) {
            const auto slot = static_cast<std::size_t>(i);
            if (header == &headers[slot] && queued[slot]) {
                queued[slot] = false;
                --queuedCount;
            }
        }
        bool carryOn = true;
        if (header->dwFlags & WHDR_DONE) {
            header->dwFlags = 0;
            if (IsError(waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR))))
                carryOn = false;
            else
                header->lpData = nullptr;
        }
        if (carryOn) {
            if (ResetRequired(this)) {
                playing.store(0);
                notify = callback;
                user = callbackUser;
            } else {
                AddNewHeader(handle);  // a failed refill is tried again at the next completion
            }
        }
        if (queuedCount == 0) drained_.notify_all();
    }
    // Without the lock: the callback may call back into this object.
    if (notify) notify(user);
}

bool CWaveOut::WaitForQueuedPieces() {
    std::unique_lock hold(lock_);
    return drained_.wait_for(hold, kDrainTimeout, [this] { return queuedCount == 0; });
}

}  // namespace SornMedia::SornAudio
