#include "audio/CWaveOut.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/AudioFormatHelperWav.h"
#include "mixer/MixerManager.h"

namespace SornMedia::SornAudio {

namespace {

// How long Play and the destructor wait for pieces handed back by a reset
// to come through the completion handler.
constexpr std::chrono::seconds kDrainTimeout{5};

// The object whose completion (and so whose user callback) this thread is
// running: a wait there for that object's completions would wait for itself.
thread_local const CWaveOut* t_completing = nullptr;

// The headers of objects deleted from their own callback, until their device
// is closed: pieces that come back meanwhile must not reach the freed object.
struct Retired {
    HWAVEOUT handle;
    std::unique_ptr<WAVEHDR[]> headers;
};
sorn::Mutex g_retiredLock;
std::vector<std::unique_ptr<Retired>>& RetiredList() SORN_REQUIRES(g_retiredLock) {
    static auto* list = new std::vector<std::unique_ptr<Retired>>();  // outlives static destruction
    return *list;
}
std::atomic<int> g_retiredCount{0};

bool IsRetired(const WAVEHDR* header) {
    if (g_retiredCount.load() == 0) return false;
    sorn::MutexLock hold(g_retiredLock);
    for (const auto& retired : RetiredList()) {
        const WAVEHDR* first = retired->headers.get();
        if (header >= first && header < first + CWaveOut::kHeaderCount) return true;
    }
    return false;
}

// Closes a retired device from a thread of its own (its notification thread
// cannot close it) and then frees its headers. A device that will not close
// keeps its headers: the device may still hand them back.
void CloseRetired(Retired* retired) {
    const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    MMRESULT result = waveOutClose(retired->handle);
    while (result != MMSYSERR_NOERROR && result != MMSYSERR_INVALHANDLE &&
           std::chrono::steady_clock::now() < deadline) {
        if (result == WAVERR_STILLPLAYING) waveOutReset(retired->handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        result = waveOutClose(retired->handle);
    }
    if (result != MMSYSERR_NOERROR && result != MMSYSERR_INVALHANDLE) return;
    sorn::MutexLock hold(g_retiredLock);
    auto& list = RetiredList();
    list.erase(std::remove_if(list.begin(), list.end(), [&](auto& r) { return r.get() == retired; }), list.end());
    g_retiredCount.fetch_sub(1);
}

// frames * align bytes, never more than limit (no overflow on the way).
std::uint32_t FrameBytes(unsigned long frames, unsigned align, std::uint32_t limit) {
    if (align == 0) return 0;
    if (frames > limit / align) return limit;
    return static_cast<std::uint32_t>(frames * align);
}

}  // namespace

void OnWaveOutDone(HWAVEOUT device, UINT message, DWORD_PTR /*instance*/, DWORD_PTR param1, DWORD_PTR /*param2*/) {
    if (message != WOM_DONE) return;
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    if (!header || !device || !header->dwUser) return;
    if (IsRetired(header)) return;  // its object is gone; its device closes
    auto* self = reinterpret_cast<CWaveOut*>(header->dwUser);
    const CWaveOut* outer = t_completing;
    t_completing = self;
    self->Done(device, header);
    t_completing = outer;
}

CWaveOut::CWaveOut(MixerManager* manager) : mixerManager(manager), mixerEra(MixerManager::EraOf(manager)) {}

CWaveOut::CWaveOut(IWave* clip, IWaveDevice* selection, MixerManager* manager)
    : wave(clip), device(selection), mixerManager(manager), mixerEra(MixerManager::EraOf(manager)) {}

CWaveOut::CWaveOut(const MixerManager::Lease& mixer) : mixerManager(mixer.manager), mixerEra(mixer.era) {}

CWaveOut::~CWaveOut() {
    closing = true;
    if (t_completing == this && deviceHandle.load()) {
        RetireFromOwnCallback();
        return;
    }
    // Close stops first, so the queued pieces come back (with their
    // callbacks) and the platform's close waits until they have; after it
    // no completion can reach this object. A refused close is retried.
    for (int attempt = 0; attempt < 3 && !Close(); ++attempt) {
    }
    // Still open: at least let nothing queued point at this object.
    if (deviceHandle.load() && t_completing != this) WaitForQueuedPieces();
}

SornStringA* CWaveOut::GetError() const {
    const unsigned code = lastError.load();
    if (code == MMSYSERR_NOERROR) return new SornStringA();
    char text[MAXERRORLENGTH] = {};
    if (waveOutGetErrorTextA(code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR) return new SornStringA();
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
        sorn::MutexLock hold(lock_);
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
    if (IsError(waveOutOpen(&handle, selection->GetOutputDevice(), &format, reinterpret_cast<DWORD_PTR>(&OnWaveOutDone),
                            0, CALLBACK_FUNCTION)))
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
    sorn::MutexLock hold(lock_);
    queued.fill(false);
    queuedCount = 0;
    drained_.NotifyAll();
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
        sorn::MutexLock hold(lock_);
        tailQueued = queuedCount > 0;
    }
    // The end of the last range may still be sounding after playing fell
    // to 0. From the caller's thread it is stopped like a range still
    // playing, and its pieces are back before the ring is filled again. From
    // this object's own end callback the new range goes behind it instead:
    // the ring skips the headers the tail holds, and their completions queue
    // the rest of the new range.
    const bool ownCallback = t_completing == this;
    if (IsPlaying() || (tailQueued && !ownCallback)) {
        if (!Stop()) return 0;
        if (!ownCallback) WaitForQueuedPieces();
    }

    sorn::MutexLock hold(lock_);
    if (!wave) {
        IsError(MMSYSERR_INVALPARAM);
        return 0;
    }
    playing.store(1);
    ++rangeId;  // pieces queued before now belong to an earlier range
    const SornAudioFormat* format = wave->AudioFormat();
    const unsigned align = format ? format->BlockAlign() : 0;
    const auto length = static_cast<std::uint32_t>(
        std::min<unsigned long>(wave->GetBufferLength(), std::numeric_limits<std::uint32_t>::max()));
    // Whole frames only: a trailing part of a frame in the clip is not played.
    const std::uint32_t whole = align ? length - length % align : 0;
    blockAlign = align;
    rangePosition = FrameBytes(from, align, whole);
    rangeEnd = to == 0xFFFFFFFFul ? whole : FrameBytes(to, align, whole);
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
        sorn::MutexLock hold(lock_);
        rangePosition = rangeEnd;
    }
    return IsError(waveOutReset(handle)) ? 0 : 1;
}

void CWaveOut::ModifyWaveOutBufferLength(unsigned long bytes) {
    if (bytes == 0) return;  // a range would never end
    sorn::MutexLock hold(lock_);
    pieceLength = static_cast<std::uint32_t>(std::min<unsigned long>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

void CWaveOut::SetDevice(const IWaveDevice* selection) {
    sorn::MutexLock hold(lock_);
    device = selection;
}

void CWaveOut::SetWave(IWave* clip) {
    sorn::MutexLock hold(lock_);
    wave = clip;
}

void CWaveOut::SetWaveOutCB(SornWaveCallback fn, std::uintptr_t user) {
    sorn::MutexLock hold(lock_);
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
    // A piece that is not a whole number of frames would shift every later
    // sample (or swap the channels): round down, but never to nothing.
    const std::uint32_t unit = std::max(blockAlign, 1u);
    const std::uint32_t piece = std::max(pieceLength - pieceLength % unit, unit);
    return std::min(piece, rangeEnd - rangePosition);
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
    pieceRange[static_cast<std::size_t>(chosen)] = rangeId;
    ++queuedCount;
    rangePosition += static_cast<std::uint32_t>(n);
    return 1;
}

int CWaveOut::IsError(unsigned code) {
    lastError.store(code);
    return code != MMSYSERR_NOERROR ? 1 : 0;
}

int CWaveOut::ResetRequired(CWaveOut* self) { return self->rangePosition >= self->rangeEnd ? 1 : 0; }

void CWaveOut::Done(HWAVEOUT handle, WAVEHDR* header) {
    SornWaveCallback notify = nullptr;
    std::uintptr_t user = 0;
    {
        sorn::MutexLock hold(lock_);
        // A piece of an earlier range (the tail a new range was queued
        // behind, or pieces a reset from the callback handed back) ends
        // nothing: the new range is not over, and that range's end was
        // reported already. It only makes room for the new range.
        bool earlier = false;
        for (int i = 0; i < kHeaderCount; ++i) {
            const auto slot = static_cast<std::size_t>(i);
            if (header == &headers[slot] && queued[slot]) {
                queued[slot] = false;
                --queuedCount;
                earlier = pieceRange[slot] != rangeId;
            }
        }
        bool carryOn = true;
        if (header->dwFlags & WHDR_DONE) {
            header->dwFlags = 0;
            // Only a failure is kept as the last result: the pieces a lost
            // device hands back must not wipe out why the range ended.
            if (const MMRESULT code = waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR));
                code != MMSYSERR_NOERROR) {
                IsError(code);
                carryOn = false;
            } else {
                header->lpData = nullptr;
            }
        }
        if (carryOn) {
            // A failed refill is tried again at the next completion, unless
            // the range cannot go on.
            const bool queuedAll = ResetRequired(this);
            const bool ended = !queuedAll && !AddNewHeader(handle) && EndIfStuck();
            // A piece of an earlier range ends this one only when this one
            // just ended with none of its own pieces left to come back.
            bool ownQueued = false;
            for (int i = 0; i < kHeaderCount; ++i) {
                const auto slot = static_cast<std::size_t>(i);
                ownQueued = ownQueued || (queued[slot] && pieceRange[slot] == rangeId);
            }
            if (earlier ? ended && !ownQueued : queuedAll || ended) {
                playing.store(0);
                notify = callback;
                user = callbackUser;
            }
        }
        if (queuedCount == 0) drained_.NotifyAll();
    }
    // Without the lock: the callback may call back into this object.
    if (notify) notify(user);
}

// The device is gone (its queued pieces came back as from a reset, and
// every later call fails with MMSYSERR_NODRIVER), or a refill failed with
// no piece left queued to try it again: the range can go no further and
// ends here, as after Stop.
bool CWaveOut::EndIfStuck() {
    if (GetBufferLength() == 0 || (lastError.load() != MMSYSERR_NODRIVER && queuedCount > 0)) return false;
    rangePosition = rangeEnd;
    return true;
}

void CWaveOut::RetireFromOwnCallback() {
    {
        sorn::MutexLock hold(lock_);
        callback = nullptr;
    }
    // Hands back what is queued; on this thread the reset does not wait, so
    // those pieces arrive after this callback has returned.
    Stop();
    auto retired = std::make_unique<Retired>();
    retired->handle = deviceHandle.exchange(nullptr);
    {
        sorn::MutexLock hold(lock_);
        retired->headers = std::move(headers);
    }
    Retired* record = retired.get();
    {
        sorn::MutexLock hold(g_retiredLock);
        RetiredList().push_back(std::move(retired));
        g_retiredCount.fetch_add(1);
    }
    try {
        std::thread(CloseRetired, record).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the device stays open and its headers stay
        // retired, so nothing it hands back reaches freed memory.
    }
}

bool CWaveOut::WaitForQueuedPieces() {
    sorn::MutexLock hold(lock_);
    const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    while (queuedCount != 0)
        if (!drained_.WaitUntil(lock_, deadline)) break;
    return queuedCount == 0;
}

}  // namespace SornMedia::SornAudio
