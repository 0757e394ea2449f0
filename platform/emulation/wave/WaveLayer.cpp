// The waveOut* / waveIn* operations, once for every backend.
//
// Each open device is a WaveStream: its header queue, its position counter
// and a notification thread of its own that calls the client. Locks, in the
// order they may be taken:
//   control  one client operation at a time per device; held while the
//            backend is called, never while waiting for deliveries;
//   data     queues, flags, counters; short; never held while the backend
//            or the client is called.
// The backend calls the stream (StreamSink) from its own threads, taking only
// `data`. Completed headers are collected under `data` and handed to the
// notification thread, which marks each WHDR_DONE and calls the client with
// no lock held, so the client may queue, unprepare or reset from inside its
// callback (like Wine's winmm, which never notifies under the device lock).
// The open and close notices are not completions: open and close deliver them
// themselves, on the caller's thread and with no lock held, before they
// return (open once the handle works, close once the notification thread has
// ended), as the platform does.
//
// Reset, waveInStop and close wait (up to kDeliveryTimeoutMs) until the
// headers they return have been delivered, unless they run on the device's
// own notification thread: so once waveOutReset returns, every header it
// returned has been through the callback, and a close can follow at once.
// They wait after a device loss too, when the backend is no longer called.
// An output reset also takes a paused device out of pause.
#include "platform/emulation/wave/WaveLayer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/emulation/text/CopyName.h"
#include "platform/emulation/wave/Backend.h"
#include "threading/Mutex.h"

namespace sorn::audio::detail {
namespace {

using Clock = std::chrono::steady_clock;

// A header with the device. Output: bytes [start, end) of the stream since
// the last reset. Input: filled through dwBytesRecorded.
struct Entry {
    WAVEHDR* header;
    std::uint64_t start;
    std::uint64_t end;
};

// A completion for the client: WOM_DONE / WIM_DATA with its header.
struct Note {
    UINT message;
    WAVEHDR* header;
};

// Every header some open device holds, whichever device: queued, or given
// back and not yet marked done. Queue membership is judged by this record
// alone, never by the header's flags, which the application may have
// written; and a header one device holds cannot be queued on another. Its
// lock is taken inside a stream's `data`, never the other way round.
class HeldHeaders {
public:
    static bool Contains(const WAVEHDR* header) {
        HeldHeaders& held = Instance();
        MutexLock lock(held.mutex_);
        return held.headers_.count(header) != 0;
    }
    // False when some device holds it already.
    static bool Add(const WAVEHDR* header) {
        HeldHeaders& held = Instance();
        MutexLock lock(held.mutex_);
        return held.headers_.insert(header).second;
    }
    static void Remove(const WAVEHDR* header) {
        HeldHeaders& held = Instance();
        MutexLock lock(held.mutex_);
        held.headers_.erase(header);
    }

private:
    static HeldHeaders& Instance() {
        static HeldHeaders* held = new HeldHeaders();  // notification threads may outlive statics
        return *held;
    }
    Mutex mutex_;
    std::unordered_set<const WAVEHDR*> headers_ SORN_GUARDED_BY(mutex_);
};

class WaveStream : public StreamSink {
public:
    WaveStream(Direction streamDirection, std::shared_ptr<Backend> streamBackend, const StreamFormat& streamFormat,
               DWORD_PTR streamCallback, DWORD_PTR streamInstance)
        : direction(streamDirection), backend(std::move(streamBackend)), format(streamFormat), callback(streamCallback),
          instance(streamInstance), blockAlign(streamFormat.BlockAlign()) {}

    const Direction direction;
    const std::shared_ptr<Backend> backend;
    const StreamFormat format;
    const DWORD_PTR callback;  // a WAVEOUTPROC / WAVEINPROC, or 0
    const DWORD_PTR instance;
    const std::size_t blockAlign;
    std::uintptr_t handle = 0;  // set before the stream is published
    UINT deviceId = kDefaultDevice;  // the backend's device, set before publishing
    std::atomic<std::thread::id> notifierId{};
    // The thread delivering the open notice, while it does.
    std::atomic<std::thread::id> openNoticeId{};

    Mutex control;
    std::unique_ptr<Stream> stream SORN_GUARDED_BY(control);  // null once closed

    Mutex data SORN_ACQUIRED_AFTER(control);
    CondVar wake;  // the notification thread
    CondVar progressed;  // deliveries done, thread ended
    bool closing SORN_GUARDED_BY(data) = false;
    MMRESULT lost SORN_GUARDED_BY(data) = MMSYSERR_NOERROR;  // the device is gone: the code later calls give
    bool paused SORN_GUARDED_BY(data) = false;  // output
    bool started SORN_GUARDED_BY(data) = false;  // input
    std::deque<Entry> queue SORN_GUARDED_BY(data);
    std::uint64_t queuedBytes SORN_GUARDED_BY(data) = 0;  // output: end of the last queued header
    std::uint64_t pulledBytes SORN_GUARDED_BY(data) = 0;  // output
    std::uint64_t playedBytes SORN_GUARDED_BY(data) = 0;  // output
    std::uint64_t positionFrames SORN_GUARDED_BY(data) = 0;  // played / captured since open or reset
    // Output: the position when the device was paused. The sound server
    // plays on for a moment after a pause (its latency); the position a
    // paused device shows stays where the pause found it.
    std::uint64_t pausedFrames SORN_GUARDED_BY(data) = 0;
    // Input: captured bytes no queued header could take, from backlogStart,
    // whole frames; they fill the next headers queued before newer input.
    std::vector<char> backlog SORN_GUARDED_BY(data);
    std::size_t backlogStart SORN_GUARDED_BY(data) = 0;
    std::deque<Note> outgoing SORN_GUARDED_BY(data);
    std::uint64_t notesQueued SORN_GUARDED_BY(data) = 0;
    std::uint64_t notesDelivered SORN_GUARDED_BY(data) = 0;
    bool stopNotifier SORN_GUARDED_BY(data) = false;
    bool notifierEnded SORN_GUARDED_BY(data) = false;

    // ---- StreamSink, called by the backend ----
    std::size_t Pull(void* out, std::size_t bytes) override;
    void Played(std::uint64_t frames) override;
    std::uint64_t FramesToCompletion() override;
    std::size_t Push(const void* source, std::size_t bytes) override;
    void Failed(MMRESULT code) override;
    bool WaitDelivered(std::uint32_t timeoutMs) override;

    // Calls the client's callback, if any. No lock may be held.
    void Deliver(UINT message, WAVEHDR* header) const SORN_EXCLUDES(control, data) {
        if (!callback) return;
        if (direction == Direction::Output) {
            reinterpret_cast<WAVEOUTPROC>(callback)(reinterpret_cast<HWAVEOUT>(handle), message, instance,
                                                    reinterpret_cast<DWORD_PTR>(header), 0);
        } else {
            reinterpret_cast<WAVEINPROC>(callback)(reinterpret_cast<HWAVEIN>(handle), message, instance,
                                                   reinterpret_cast<DWORD_PTR>(header), 0);
        }
    }

    // ---- helpers, `data` held ----
    UINT DoneMessage() const { return direction == Direction::Output ? WOM_DONE : WIM_DATA; }
    void Notify(UINT message, WAVEHDR* header) SORN_REQUIRES(data) {
        outgoing.push_back({message, header});
        ++notesQueued;
        wake.NotifyOne();
    }
    void ReturnFront() SORN_REQUIRES(data) {
        Notify(DoneMessage(), queue.front().header);
        queue.pop_front();
    }
    void ReturnAll() SORN_REQUIRES(data) {
        while (!queue.empty()) ReturnFront();
    }
    void CompletePlayed() SORN_REQUIRES(data) {
        while (!queue.empty() && queue.front().end <= playedBytes) ReturnFront();
    }
    // Input: copies captured bytes into the queued headers, in order;
    // returns how many they took.
    std::size_t FillHeaders(const char* source, std::size_t bytes) SORN_REQUIRES(data) {
        std::size_t taken = 0;
        while (!queue.empty() && taken < bytes) {
            WAVEHDR* header = queue.front().header;
            std::size_t capacity = header->dwBufferLength - header->dwBufferLength % blockAlign;
            std::size_t n = std::min<std::size_t>(capacity - header->dwBytesRecorded, bytes - taken);
            std::memcpy(header->lpData + header->dwBytesRecorded, source + taken, n);
            header->dwBytesRecorded += static_cast<DWORD>(n);
            taken += n;
            if (header->dwBytesRecorded + blockAlign > capacity) ReturnFront();
        }
        positionFrames += taken / blockAlign;
        return taken;
    }
    std::size_t BacklogSize() const SORN_REQUIRES(data) { return backlog.size() - backlogStart; }
    // The most input kept while no header is queued: one second.
    std::size_t BacklogLimit() const { return std::size_t{format.sampleRate} * blockAlign; }
    // Input: as much of the backlog as the queued headers take.
    void SendBacklog() SORN_REQUIRES(data) {
        if (BacklogSize() == 0) return;
        backlogStart += FillHeaders(backlog.data() + backlogStart, BacklogSize());
        if (backlogStart == backlog.size()) {
            DropBacklog();
        } else if (backlogStart >= BacklogLimit()) {
            backlog.erase(backlog.begin(), backlog.begin() + static_cast<std::ptrdiff_t>(backlogStart));
            backlogStart = 0;
        }
    }
    void DropBacklog() SORN_REQUIRES(data) {
        backlog.clear();
        backlogStart = 0;
    }
    bool HoldsHeaders() const SORN_REQUIRES(data) {
        if (!queue.empty()) return true;
        for (const Note& note : outgoing)
            if (note.header) return true;
        return false;
    }

    void RunNotifier() SORN_EXCLUDES(data);
    bool OnNotifier() const { return std::this_thread::get_id() == notifierId.load(); }
    // Inside one of this device's callbacks, on the calling thread.
    bool InCallback() const { return OnNotifier() || std::this_thread::get_id() == openNoticeId.load(); }
    // Waits until the notes queued up to `target` are delivered.
    void WaitFor(std::uint64_t target, std::uint32_t timeoutMs) SORN_EXCLUDES(data) {
        if (OnNotifier()) return;
        MutexLock lock(data);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (notesDelivered < target && !notifierEnded)
            if (!progressed.WaitUntil(data, deadline)) break;
    }
};

std::size_t WaveStream::Pull(void* out, std::size_t bytes) {
    MutexLock lock(data);
    if (closing || lost || paused || direction != Direction::Output) return 0;
    std::size_t want = std::min<std::uint64_t>(bytes, queuedBytes - pulledBytes);
    want -= want % blockAlign;
    std::size_t copied = 0;
    for (const Entry& entry : queue) {
        if (copied == want) break;
        if (entry.end <= pulledBytes) continue;
        std::size_t offset = static_cast<std::size_t>(pulledBytes - entry.start);
        std::size_t n = std::min<std::size_t>(want - copied, static_cast<std::size_t>(entry.end - pulledBytes));
        std::memcpy(static_cast<char*>(out) + copied, entry.header->lpData + offset, n);
        copied += n;
        pulledBytes += n;
    }
    return copied;
}

void WaveStream::Played(std::uint64_t frames) {
    MutexLock lock(data);
    if (closing || lost || direction != Direction::Output) return;
    std::uint64_t before = playedBytes;
    playedBytes = std::min(pulledBytes, playedBytes + frames * blockAlign);
    positionFrames += (playedBytes - before) / blockAlign;
    CompletePlayed();
}

std::uint64_t WaveStream::FramesToCompletion() {
    MutexLock lock(data);
    if (closing || lost || queue.empty() || direction != Direction::Output) return 0;
    const std::uint64_t end = queue.front().end;
    return (end - std::min(end, playedBytes) + blockAlign - 1) / blockAlign;
}

std::size_t WaveStream::Push(const void* source, std::size_t bytes) {
    MutexLock lock(data);
    if (closing || lost || !started || direction != Direction::Input) return 0;
    bytes -= bytes % blockAlign;
    const char* captured = static_cast<const char*>(source);
    // Older input first: what waits in the backlog goes before this.
    SendBacklog();
    std::size_t taken = BacklogSize() == 0 ? FillHeaders(captured, bytes) : 0;
    // What no header took waits for the next; beyond the limit the input is
    // lost (an overrun).
    std::size_t kept = std::min(bytes - taken, BacklogLimit() - std::min(BacklogLimit(), BacklogSize()));
    kept -= kept % blockAlign;
    backlog.insert(backlog.end(), captured + taken, captured + taken + kept);
    return taken + kept;
}

void WaveStream::Failed(MMRESULT code) {
    MutexLock lock(data);
    if (closing || lost) return;
    lost = code ? code : MMSYSERR_NODRIVER;
    started = false;
    DropBacklog();
    ReturnAll();
}

bool WaveStream::WaitDelivered(std::uint32_t timeoutMs) {
    if (OnNotifier()) return true;
    MutexLock lock(data);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (notesDelivered != notesQueued && !notifierEnded)
        if (!progressed.WaitUntil(data, deadline)) break;
    return notesDelivered == notesQueued || notifierEnded;
}

void WaveStream::RunNotifier() {
    MutexLock lock(data);
    for (;;) {
        while (outgoing.empty() && !stopNotifier) wake.Wait(data);
        if (outgoing.empty()) break;
        Note note = outgoing.front();
        outgoing.pop_front();
        if (note.header) {
            note.header->dwFlags = (note.header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            HeldHeaders::Remove(note.header);  // the callback may queue it again
        }
        lock.Unlock();
        Deliver(note.message, note.header);
        lock.Lock();
        ++notesDelivered;
        progressed.NotifyAll();
    }
    notifierEnded = true;
    progressed.NotifyAll();
}

// ---- the handle table ----

struct HandleTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<WaveStream>> streams SORN_GUARDED_BY(mutex);
    std::uintptr_t next SORN_GUARDED_BY(mutex) = 0x5A0000;
};

// Never destroyed: notification threads may outlive static destruction.
HandleTable& Handles() {
    static HandleTable* table = new HandleTable();
    return *table;
}

std::shared_ptr<WaveStream> Find(const void* handle, Direction direction) {
    HandleTable& table = Handles();
    MutexLock lock(table.mutex);
    auto it = table.streams.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table.streams.end() || it->second->direction != direction) return nullptr;
    return it->second;
}

const char* OperationName(Direction direction, const char* outName, const char* inName) {
    return direction == Direction::Output ? outName : inName;
}

// ---- operations shared by both directions ----

MMRESULT CheckFormat(const WAVEFORMATEX* format, StreamFormat* result) {
    if (!format) return MMSYSERR_INVALPARAM;
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16 || format->nChannels < 1 ||
        format->nChannels > kMostChannels || format->nSamplesPerSec < kLowestRate ||
        format->nSamplesPerSec > kHighestRate || format->nBlockAlign != format->nChannels * 2 ||
        format->nAvgBytesPerSec != format->nSamplesPerSec * format->nBlockAlign)
        return WAVERR_BADFORMAT;
    result->sampleRate = format->nSamplesPerSec;
    result->channels = format->nChannels;
    return MMSYSERR_NOERROR;
}

template <typename Handle>
MMRESULT Open(Direction direction, Handle* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
              DWORD_PTR instance, DWORD flags) {
    const bool query = flags & WAVE_FORMAT_QUERY;
    if (flags & ~(CALLBACK_TYPEMASK | WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | WAVE_MAPPED)) return MMSYSERR_INVALFLAG;
    DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION) {
        return callbackType == CALLBACK_WINDOW || callbackType == CALLBACK_THREAD || callbackType == CALLBACK_EVENT
                   ? MMSYSERR_NOTSUPPORTED
                   : MMSYSERR_INVALFLAG;
    }
    if (!query && !device) return MMSYSERR_INVALPARAM;
    StreamFormat streamFormat;
    if (MMRESULT error = CheckFormat(format, &streamFormat)) return error;

    std::shared_ptr<Backend> backend = CurrentBackend();
    if (MMRESULT fault = backend->InjectedFault(OperationName(direction, "waveOutOpen", "waveInOpen"))) return fault;
    UINT count = backend->DeviceCount(direction);
    if (deviceId != WAVE_MAPPER && deviceId >= count) return MMSYSERR_BADDEVICEID;
    if (count == 0) return MMSYSERR_NODRIVER;
    UINT backendId = deviceId == WAVE_MAPPER ? kDefaultDevice : deviceId;
    if (query) return backend->QueryFormat(direction, backendId, streamFormat);

    auto wave = std::make_shared<WaveStream>(direction, backend, streamFormat,
                                             callbackType == CALLBACK_FUNCTION ? callback : 0, instance);
    wave->deviceId = backendId;
    std::unique_ptr<Stream> stream;
    if (MMRESULT error = backend->Open(direction, backendId, streamFormat, wave, &stream)) return error;
    if (!stream) return MMSYSERR_ERROR;
    if (direction == Direction::Output) {  // the output clock runs from open on
        if (MMRESULT error = stream->Start()) {
            stream->Close();
            return error;
        }
    }
    {
        MutexLock control(wave->control);  // not yet published: no one else takes it
        wave->stream = std::move(stream);
    }
    HandleTable& table = Handles();
    {
        MutexLock lock(table.mutex);
        wave->handle = table.next;
        table.next += 16;
    }
    try {
        std::thread notifier([wave] { wave->RunNotifier(); });
        wave->notifierId = notifier.get_id();
        notifier.detach();  // close waits for notifierEnded instead of joining
    } catch (const std::system_error&) {
        MutexLock control(wave->control);
        wave->stream->Close();
        wave->stream.reset();
        return MMSYSERR_NOMEM;
    }
    {
        MutexLock lock(table.mutex);
        table.streams.emplace(wave->handle, wave);
    }
    // The open notice, here and now: the handle already works, so the client
    // may use it from inside the callback (close excepted).
    wave->openNoticeId = std::this_thread::get_id();
    wave->Deliver(direction == Direction::Output ? WOM_OPEN : WIM_OPEN, nullptr);
    wave->openNoticeId = std::thread::id();
    *device = reinterpret_cast<Handle>(wave->handle);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(Direction direction, const void* handle) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (wave->InCallback()) return MMSYSERR_HANDLEBUSY;
    if (MMRESULT fault = wave->backend->InjectedFault(OperationName(direction, "waveOutClose", "waveInClose")))
        return fault;
    // Headers the device has already given back may still be on their way
    // to the client: let them arrive first.
    std::uint64_t target;
    {
        MutexLock lock(wave->data);
        if (wave->closing) return MMSYSERR_INVALHANDLE;
        if (!wave->queue.empty()) return WAVERR_STILLPLAYING;
        target = wave->notesQueued;
    }
    wave->WaitFor(target, kDeliveryTimeoutMs);
    std::unique_ptr<Stream> stream;
    {
        MutexLock control(wave->control);
        {
            MutexLock lock(wave->data);
            if (wave->closing) return MMSYSERR_INVALHANDLE;
            if (wave->HoldsHeaders()) return WAVERR_STILLPLAYING;
            wave->closing = true;
        }
        stream = std::move(wave->stream);
    }
    // No header is with the device and none can be queued now.
    if (stream) stream->Close();
    stream.reset();
    {
        HandleTable& table = Handles();
        MutexLock lock(table.mutex);
        table.streams.erase(wave->handle);
    }
    {
        MutexLock lock(wave->data);
        wave->stopNotifier = true;
        wave->wake.NotifyOne();
        // The notification thread delivers what is left and ends; it holds
        // its own reference to the stream, so giving up after the timeout is
        // safe.
        const auto deadline = Clock::now() + std::chrono::milliseconds(2 * kDeliveryTimeoutMs);
        while (!wave->notifierEnded)
            if (!wave->progressed.WaitUntil(wave->data, deadline)) break;
    }
    // The close notice comes last, on this thread, before close returns.
    wave->Deliver(direction == Direction::Output ? WOM_CLOSE : WIM_CLOSE, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT CheckHeader(const WAVEHDR* header, UINT size) {
    if (!header || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (!header->lpData && header->dwBufferLength) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT Prepare(Direction direction, const void* handle, WAVEHDR* header, UINT size) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (MMRESULT error = CheckHeader(header, size)) return error;
    if (MMRESULT fault =
            wave->backend->InjectedFault(OperationName(direction, "waveOutPrepareHeader", "waveInPrepareHeader")))
        return fault;
    MutexLock lock(wave->data);
    if (wave->closing) return MMSYSERR_INVALHANDLE;
    if (wave->lost) return wave->lost;
    // A header some device holds was prepared before it was queued (and its
    // flags are that device's to write); one marked prepared is taken at its
    // word. Preparing again has no effect.
    if (HeldHeaders::Contains(header) || (header->dwFlags & WHDR_PREPARED)) return MMSYSERR_NOERROR;
    header->dwFlags = WHDR_PREPARED;  // whatever else the application left there
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(Direction direction, const void* handle, WAVEHDR* header, UINT size) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (MMRESULT error = CheckHeader(header, size)) return error;
    if (MMRESULT fault =
            wave->backend->InjectedFault(OperationName(direction, "waveOutUnprepareHeader", "waveInUnprepareHeader")))
        return fault;
    MutexLock lock(wave->data);
    if (wave->closing) return MMSYSERR_INVALHANDLE;
    if (HeldHeaders::Contains(header)) return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Queue(Direction direction, const void* handle, WAVEHDR* header, UINT size) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (MMRESULT error = CheckHeader(header, size)) return error;
    if (MMRESULT fault = wave->backend->InjectedFault(OperationName(direction, "waveOutWrite", "waveInAddBuffer")))
        return fault;
    MutexLock control(wave->control);
    {
        MutexLock lock(wave->data);
        if (wave->closing) return MMSYSERR_INVALHANDLE;
        // Held first: the flags of a header another device holds are that
        // device's to write.
        if (!HeldHeaders::Add(header)) return WAVERR_STILLPLAYING;
        if (MMRESULT refused = !(header->dwFlags & WHDR_PREPARED) ? WAVERR_UNPREPARED : wave->lost) {
            HeldHeaders::Remove(header);
            return refused;
        }
        header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        if (direction == Direction::Output) {
            // A trailing part of a frame is not played.
            std::uint64_t length = header->dwBufferLength - header->dwBufferLength % wave->blockAlign;
            wave->queue.push_back({header, wave->queuedBytes, wave->queuedBytes + length});
            wave->queuedBytes += length;
            wave->CompletePlayed();  // an empty header completes in its turn
        } else {
            header->dwBytesRecorded = 0;
            wave->queue.push_back({header, 0, 0});
            if (wave->started) wave->SendBacklog();
        }
    }
    if (wave->stream) wave->stream->DataQueued();
    return MMSYSERR_NOERROR;
}

// Output pause (running false) and restart, input start: the stream's clock
// is held or let run; no header moves.
MMRESULT SetRunning(Direction direction, const void* handle, const char* operation, bool run) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (MMRESULT fault = wave->backend->InjectedFault(operation)) return fault;
    MutexLock control(wave->control);
    {
        MutexLock lock(wave->data);
        if (wave->closing) return MMSYSERR_INVALHANDLE;
        if (wave->lost) return wave->lost;
        if (direction == Direction::Output) {
            if (wave->paused == !run) return MMSYSERR_NOERROR;
            wave->paused = !run;
            wave->pausedFrames = wave->positionFrames;
        } else {
            if (wave->started == run) return MMSYSERR_NOERROR;
            wave->started = run;
        }
    }
    return run ? wave->stream->Start() : wave->stream->Stop();
}

// Output reset, input reset (`reset`) and input stop: the stream stops and
// headers go back through the callback. A reset returns every queued header
// and sets the position to 0; an input stop returns only the partly filled
// one.
MMRESULT StopAndReturnHeaders(Direction direction, const void* handle, const char* operation, bool reset) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (MMRESULT fault = wave->backend->InjectedFault(operation)) return fault;
    std::uint64_t target;
    MMRESULT restarted = MMSYSERR_NOERROR;
    {
        MutexLock control(wave->control);
        bool wasStarted;
        bool wasPaused;
        bool lost;
        {
            MutexLock lock(wave->data);
            if (wave->closing) return MMSYSERR_INVALHANDLE;
            wasStarted = wave->started;
            wave->started = false;
            // What no header took ends with the take: a restart begins with
            // what is captured from then on.
            wave->DropBacklog();
            // An output reset also leaves the paused state.
            wasPaused = wave->paused && reset;
            if (reset) {
                wave->paused = false;
                wave->ReturnAll();
                wave->queuedBytes = wave->pulledBytes = wave->playedBytes = 0;
                wave->positionFrames = 0;
            } else if (!wave->queue.empty() && wave->queue.front().header->dwBytesRecorded > 0) {
                wave->ReturnFront();  // stop: the partly filled header
            }
            target = wave->notesQueued;
            lost = wave->lost != MMSYSERR_NOERROR;
        }
        // A lost device has nothing left to stop, but the headers it gave
        // back may still be on their way to the client: wait for them too.
        if (!lost) {
            if (direction == Direction::Input && wasStarted) wave->stream->Stop();
            if (reset) wave->stream->Flush();
            if (direction == Direction::Output && wasPaused) restarted = wave->stream->Start();
        }
    }
    wave->WaitFor(target, kDeliveryTimeoutMs);
    return restarted;
}

MMRESULT Position(Direction direction, const void* handle, MMTIME* time, UINT size) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return MMSYSERR_INVALHANDLE;
    if (!time) return MMSYSERR_INVALPARAM;
    if (size < sizeof(MMTIME)) return MMSYSERR_ERROR;  // as the platform answers a short record
    if (MMRESULT fault =
            wave->backend->InjectedFault(OperationName(direction, "waveOutGetPosition", "waveInGetPosition")))
        return fault;
    std::uint64_t frames;
    {
        MutexLock lock(wave->data);
        if (wave->closing) return MMSYSERR_INVALHANDLE;
        if (wave->lost) return wave->lost;
        frames = direction == Direction::Output && wave->paused ? wave->pausedFrames : wave->positionFrames;
    }
    switch (time->wType) {
        case TIME_BYTES:
            time->u.cb = static_cast<DWORD>(frames * wave->blockAlign);
            break;
        case TIME_MS:
            time->u.ms = static_cast<DWORD>(frames * 1000 / wave->format.sampleRate);
            break;
        default:  // samples, and the answer for formats not kept
            time->wType = TIME_SAMPLES;
            time->u.sample = static_cast<DWORD>(frames);
            break;
    }
    return MMSYSERR_NOERROR;
}

// What the backend says of a device. The device id may also be an open
// handle of that direction: it stands for the device it was opened on.
MMRESULT LookUpCaps(Direction direction, UINT_PTR deviceId, DeviceCaps* found) {
    std::shared_ptr<Backend> backend = CurrentBackend();
    if (MMRESULT fault = backend->InjectedFault(OperationName(direction, "waveOutGetDevCapsA", "waveInGetDevCapsA")))
        return fault;
    UINT count = backend->DeviceCount(direction);
    bool mapper = deviceId == WAVE_MAPPER || deviceId == static_cast<UINT_PTR>(-1);
    UINT backendId = mapper ? kDefaultDevice : static_cast<UINT>(deviceId);
    if (!mapper && deviceId >= count) {
        std::shared_ptr<WaveStream> open = Find(reinterpret_cast<const void*>(deviceId), direction);
        if (!open) return MMSYSERR_BADDEVICEID;
        backend = open->backend;
        backendId = open->deviceId;
        count = backend->DeviceCount(direction);
    }
    if (count == 0) return MMSYSERR_NODRIVER;
    return backend->GetCaps(direction, backendId, found);
}

// A size of 0 copies nothing. wChannels is 1 or 2, the values the platform
// documents: 1 for a mono device, 2 for any other (a stream may still open
// with 1 to 8 channels; the backend converts).
template <typename Caps>
MMRESULT GetCaps(Direction direction, UINT_PTR deviceId, Caps* caps, UINT size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    DeviceCaps found;
    if (MMRESULT error = LookUpCaps(direction, deviceId, &found)) return error;
    if (size == 0) return MMSYSERR_NOERROR;
    Caps result{};
    result.wMid = 0xFFFF;  // no registered manufacturer
    result.wPid = 1;
    result.vDriverVersion = 0x0100;
    text::CopyName(result.szPname, sizeof result.szPname, found.name);
    result.dwFormats = found.formats;
    result.wChannels = found.deviceChannels <= 1 ? 1 : 2;
    std::memcpy(caps, &result, std::min<std::size_t>(size, sizeof result));
    return MMSYSERR_NOERROR;
}

MMRESULT DeviceId(Direction direction, const void* handle, UINT* id) {
    if (!id) return MMSYSERR_INVALPARAM;
    std::shared_ptr<WaveStream> open = Find(handle, direction);
    if (!open) return MMSYSERR_INVALHANDLE;
    *id = open->deviceId;
    return MMSYSERR_NOERROR;
}

MMRESULT ErrorText(MMRESULT error, char* text, UINT size) {
    static const char* const texts[] = {
        "The operation completed successfully.",  // 0
        "An unspecified error occurred.",  // 1
        "The device identifier is out of range.",  // 2
        "The driver failed to enable.",  // 3
        "The device is already allocated.",  // 4
        "The device handle is invalid.",  // 5
        "No device driver is present.",  // 6
        "Not enough memory to complete the operation.",  // 7
        "The function is not supported.",  // 8
        "The error number is out of range.",  // 9
        "An invalid flag was passed.",  // 10
        "An invalid parameter was passed.",  // 11
        "The handle is being used by another thread or a callback.",  // 12
        "The specified alias was not found.",  // 13
        "Bad registry database.",  // 14
        "The registry key was not found.",  // 15
        "Registry read error.",  // 16
        "Registry write error.",  // 17
        "Registry delete error.",  // 18
        "The registry value was not found.",  // 19
        "The driver does not call its callback function.",  // 20
        "More data is available.",  // 21
    };
    static const char* const waveTexts[] = {
        "The wave format is not supported (only 16-bit PCM is).",  // 32
        "Headers are still queued on the device.",  // 33
        "The wave header is not prepared.",  // 34
        "The device is synchronous and cannot be opened without WAVE_ALLOWSYNC.",  // 35
    };
    const char* message = nullptr;
    if (error <= MMSYSERR_LASTERROR) {
        message = texts[error];
    } else if (error >= WAVERR_BADFORMAT && error <= WAVERR_LASTERROR) {
        message = waveTexts[error - WAVERR_BADFORMAT];
    }
    if (!message) return MMSYSERR_BADERRNUM;
    if (!text || size == 0) return MMSYSERR_INVALPARAM;
    std::snprintf(text, size, "%s", message);
    return MMSYSERR_NOERROR;
}

}  // namespace

std::size_t OpenDeviceCount() {
    HandleTable& table = Handles();
    MutexLock lock(table.mutex);
    return table.streams.size();
}

std::shared_ptr<Backend> BackendOf(Direction direction, const void* handle) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    return wave ? wave->backend : nullptr;
}

std::shared_ptr<Backend> BackendOf(Direction direction, const void* handle, UINT* deviceId) {
    std::shared_ptr<WaveStream> wave = Find(handle, direction);
    if (!wave) return nullptr;
    *deviceId = wave->deviceId;
    return wave->backend;
}

}  // namespace sorn::audio::detail

namespace sorn::audio {

MMRESULT DeviceChannels(bool output, UINT_PTR deviceId, WORD* channels) {
    if (!channels) return MMSYSERR_INVALPARAM;
    DeviceCaps found;
    if (MMRESULT error = detail::LookUpCaps(output ? Direction::Output : Direction::Input, deviceId, &found))
        return error;
    *channels = found.deviceChannels;
    return MMSYSERR_NOERROR;
}

MMRESULT DescribeDevice(bool output, UINT_PTR deviceId, DeviceDescription* description) {
    if (!description) return MMSYSERR_INVALPARAM;
    const Direction direction = output ? Direction::Output : Direction::Input;
    DeviceCaps found;
    if (MMRESULT error = detail::LookUpCaps(direction, deviceId, &found)) return error;
    DeviceDescription result{};
    text::CopyName(result.name, sizeof result.name, found.name);
    text::CopyName(result.key, sizeof result.key, found.key);
    result.channels = found.deviceChannels;
    result.rate = found.rate;
    result.monitor = found.monitor ? TRUE : FALSE;
    const bool mapper = deviceId == WAVE_MAPPER || deviceId == static_cast<UINT_PTR>(-1);
    if (mapper) {
        result.isDefault = TRUE;
    } else if (deviceId < CurrentBackend()->DeviceCount(direction)) {
        result.isDefault = CurrentBackend()->DefaultDevice(direction) == deviceId ? TRUE : FALSE;
    }
    *description = result;
    return MMSYSERR_NOERROR;
}

}  // namespace sorn::audio

using sorn::audio::Direction;
namespace layer = sorn::audio::detail;

UINT waveOutGetNumDevs() { return sorn::audio::CurrentBackend()->DeviceCount(Direction::Output); }
MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, WAVEOUTCAPSA* caps, UINT size) {
    return layer::GetCaps(Direction::Output, deviceId, caps, size);
}
MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    return layer::Open(Direction::Output, device, deviceId, format, callback, instance, flags);
}
MMRESULT waveOutClose(HWAVEOUT device) { return layer::Close(Direction::Output, device); }
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size) {
    return layer::Prepare(Direction::Output, device, header, size);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size) {
    return layer::Unprepare(Direction::Output, device, header, size);
}
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT size) {
    return layer::Queue(Direction::Output, device, header, size);
}
MMRESULT waveOutPause(HWAVEOUT device) { return layer::SetRunning(Direction::Output, device, "waveOutPause", false); }
MMRESULT waveOutRestart(HWAVEOUT device) {
    return layer::SetRunning(Direction::Output, device, "waveOutRestart", true);
}
MMRESULT waveOutReset(HWAVEOUT device) {
    return layer::StopAndReturnHeaders(Direction::Output, device, "waveOutReset", true);
}
MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT size) {
    return layer::Position(Direction::Output, device, time, size);
}
MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, UINT size) { return layer::ErrorText(error, text, size); }

UINT waveInGetNumDevs() { return sorn::audio::CurrentBackend()->DeviceCount(Direction::Input); }
MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, WAVEINCAPSA* caps, UINT size) {
    return layer::GetCaps(Direction::Input, deviceId, caps, size);
}
MMRESULT waveInOpen(HWAVEIN* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags) {
    return layer::Open(Direction::Input, device, deviceId, format, callback, instance, flags);
}
MMRESULT waveInClose(HWAVEIN device) { return layer::Close(Direction::Input, device); }
MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header, UINT size) {
    return layer::Prepare(Direction::Input, device, header, size);
}
MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header, UINT size) {
    return layer::Unprepare(Direction::Input, device, header, size);
}
MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header, UINT size) {
    return layer::Queue(Direction::Input, device, header, size);
}
MMRESULT waveInStart(HWAVEIN device) { return layer::SetRunning(Direction::Input, device, "waveInStart", true); }
MMRESULT waveInStop(HWAVEIN device) {
    return layer::StopAndReturnHeaders(Direction::Input, device, "waveInStop", false);
}
MMRESULT waveInReset(HWAVEIN device) {
    return layer::StopAndReturnHeaders(Direction::Input, device, "waveInReset", true);
}
MMRESULT waveInGetPosition(HWAVEIN device, MMTIME* time, UINT size) {
    return layer::Position(Direction::Input, device, time, size);
}
MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size) { return layer::ErrorText(error, text, size); }

MMRESULT waveOutGetID(HWAVEOUT device, UINT* id) { return layer::DeviceId(Direction::Output, device, id); }
MMRESULT waveInGetID(HWAVEIN device, UINT* id) { return layer::DeviceId(Direction::Input, device, id); }
