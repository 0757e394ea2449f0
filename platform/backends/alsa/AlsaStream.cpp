#include "platform/backends/alsa/AlsaStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/backends/alsa/AlsaBackend.h"

namespace sorn::audio::alsa {

namespace {

// An alsa-lib parameter record, sized by the library itself.
template <typename T>
class Record {
public:
    explicit Record(std::size_t size) : bytes_(std::max<std::size_t>(size, 1), 0) {}
    T* get() { return reinterpret_cast<T*>(bytes_.data()); }

private:
    std::vector<char> bytes_;
};

}  // namespace

MMRESULT OpenError(int error) {
    switch (error) {
        case -EBUSY:
        case -EAGAIN:  // a device that allows one opener, opened non-blocking
            return MMSYSERR_ALLOCATED;
        case -ENOMEM:
            return MMSYSERR_NOMEM;
        default:
            return MMSYSERR_NODRIVER;
    }
}

MMRESULT Configure(snd_pcm_t* pcm, const StreamFormat& format, snd_pcm_uframes_t* buffer, snd_pcm_uframes_t* period,
                   unsigned bufferMs) {
    Record<snd_pcm_hw_params_t> record(snd_pcm_hw_params_sizeof());
    snd_pcm_hw_params_t* params = record.get();
    if (snd_pcm_hw_params_any(pcm, params) < 0) return MMSYSERR_NODRIVER;
    // Exact rates: a rate the device lacks is converted by alsa-lib (the
    // plug layer), never by us and never by playing at another rate.
    snd_pcm_hw_params_set_rate_resample(pcm, params, 1);
    if (snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, params, format.channels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, params, format.sampleRate, 0) < 0) {
        return WAVERR_BADFORMAT;
    }
    if (buffer == nullptr) return MMSYSERR_NOERROR;  // a format question only
    unsigned bufferUs = bufferMs * 1000;
    unsigned periodUs = kPeriodMs * 1000;
    int dir = 0;
    snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferUs, &dir);
    dir = 0;
    snd_pcm_hw_params_set_period_time_near(pcm, params, &periodUs, &dir);
    if (int error = snd_pcm_hw_params(pcm, params); error < 0) {
        return error == -EINVAL ? WAVERR_BADFORMAT : OpenError(error);
    }
    dir = 0;
    if (snd_pcm_hw_params_get_buffer_size(params, buffer) < 0 ||
        snd_pcm_hw_params_get_period_size(params, period, &dir) < 0 || *buffer == 0 || *period == 0) {
        return MMSYSERR_NODRIVER;
    }
    *period = std::min(*period, *buffer);
    // A start threshold of one period: the stream starts once a period is
    // written (the thread starts it itself after its first write anyway),
    // and a device that refills before it plays again after running dry (a
    // sound server's prebuffer, which the pulse plugin takes from this
    // threshold) plays again once the silence after the last frames is
    // there, instead of waiting for a whole buffer that never comes.
    Record<snd_pcm_sw_params_t> software(snd_pcm_sw_params_sizeof());
    snd_pcm_sw_params_t* sw = software.get();
    if (snd_pcm_sw_params_current(pcm, sw) < 0 || snd_pcm_sw_params_set_avail_min(pcm, sw, *period) < 0 ||
        snd_pcm_sw_params_set_start_threshold(pcm, sw, *period) < 0 || snd_pcm_sw_params(pcm, sw) < 0) {
        return MMSYSERR_NODRIVER;
    }
    return MMSYSERR_NOERROR;
}

namespace {

// What the layer holds; closing it (or dropping it) closes the stream.
class StreamHandle final : public Stream {
public:
    explicit StreamHandle(std::shared_ptr<AlsaStream> stream) : stream_(std::move(stream)) {}
    ~StreamHandle() override { stream_->Close(); }
    MMRESULT Start() override { return stream_->Start(); }
    MMRESULT Stop() override { return stream_->Stop(); }
    MMRESULT Flush() override { return stream_->Flush(); }
    void DataQueued() override { stream_->DataQueued(); }
    void Close() override { stream_->Close(); }

private:
    const std::shared_ptr<AlsaStream> stream_;
};

}  // namespace

MMRESULT OpenStream(const std::string& pcmName, Direction direction, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* stream) {
    snd_pcm_t* pcm = nullptr;
    // Non-blocking: a device another program holds answers -EBUSY at once
    // instead of making the open wait for it.
    const int error = snd_pcm_open(&pcm, pcmName.c_str(),
                                   direction == Direction::Output ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
                                   SND_PCM_NONBLOCK);
    if (error < 0 || pcm == nullptr) return OpenError(error);
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    if (MMRESULT result =
            Configure(pcm, format, &buffer, &period, direction == Direction::Input ? kCaptureBufferMs : kBufferMs)) {
        snd_pcm_close(pcm);
        return result;
    }
    auto opened = std::make_shared<AlsaStream>(pcm, direction, format, buffer, period, std::move(sink));
    if (!opened->Begin()) return MMSYSERR_NOMEM;
    *stream = std::make_unique<StreamHandle>(std::move(opened));
    return MMSYSERR_NOERROR;
}

AlsaStream::AlsaStream(snd_pcm_t* pcm, Direction direction, const StreamFormat& format, snd_pcm_uframes_t buffer,
                       snd_pcm_uframes_t period, std::shared_ptr<StreamSink> sink)
    : pcm_(pcm), direction_(direction), format_(format), frameBytes_(format.BlockAlign()), buffer_(buffer),
      period_(period), sink_(std::move(sink)) {}

AlsaStream::~AlsaStream() { Release(); }

bool AlsaStream::Begin() {
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) return false;
    scratch_.assign(buffer_ * frameBytes_, 0);
    silence_.assign(buffer_ * frameBytes_, 0);
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
    return true;
}

void AlsaStream::Wake() {
    const std::uint64_t one = 1;
    if (wake_ >= 0) [[maybe_unused]]
        ssize_t written = ::write(wake_, &one, sizeof one);
}

MMRESULT AlsaStream::Ask(Request request) {
    MutexLock lock(mutex_);
    if (failed_ || quit_) return MMSYSERR_NODRIVER;
    request_ = request;
    const std::uint64_t seq = ++asked_;
    Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestMs);
    while (done_ < seq && !failed_) {
        if (!answered_.WaitUntil(mutex_, deadline) && done_ < seq && !failed_) return MMSYSERR_NODRIVER;
    }
    return failed_ ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

MMRESULT AlsaStream::Start() { return Ask(Request::Start); }
MMRESULT AlsaStream::Stop() { return Ask(Request::Stop); }
MMRESULT AlsaStream::Flush() { return Ask(Request::Flush); }
void AlsaStream::DataQueued() { Wake(); }

void AlsaStream::Close() {
    bool exited = true;
    {
        MutexLock lock(mutex_);
        quit_ = true;
        Wake();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestMs);
        while (thread_.joinable() && !exited_) {
            if (!answered_.WaitUntil(mutex_, deadline) && !exited_) break;
        }
        exited = exited_ || !thread_.joinable();
    }
    if (!thread_.joinable()) return;  // closed before
    if (!exited) {
        // Stuck in alsa-lib: the thread keeps the stream (and the PCM) until
        // it comes back and sees quit_.
        thread_.detach();
        return;
    }
    thread_.join();
    Release();
    sink_.reset();
}

void AlsaStream::Release() {
    if (closed_) return;
    closed_ = true;
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
}

void AlsaStream::Run() {
    for (;;) {
        Request request = Request::None;
        std::uint64_t seq = 0;
        bool failed = false;
        {
            MutexLock lock(mutex_);
            if (quit_) break;
            request = std::exchange(request_, Request::None);
            seq = asked_;
            failed = failed_;
        }
        if (request != Request::None) {
            if (!failed) Carry(request);
            MutexLock lock(mutex_);
            done_ = seq;
            answered_.NotifyAll();
        }
        {
            MutexLock lock(mutex_);
            failed = failed_;
        }
        if (!failed && running_) {
            if (direction_ == Direction::Output) {
                Account();
                Fill();
            } else {
                Capture();
            }
        }
        Wait(failed ? 1000 : NextLookMs());
    }
    if (!Failed()) snd_pcm_drop(pcm_);
    MutexLock lock(mutex_);
    exited_ = true;
    answered_.NotifyAll();
}

bool AlsaStream::Failed() {
    MutexLock lock(mutex_);
    return failed_;
}

void AlsaStream::Carry(Request request) {
    if (direction_ == Direction::Output) {
        switch (request) {
            case Request::Start:
                running_ = true;  // the loop fills and starts the device
                break;
            case Request::Stop:
                if (running_) {
                    Account();
                    Drop(true);
                }
                running_ = false;
                break;
            case Request::Flush:
                Drop(false);
                carry_.clear();
                break;
            case Request::None:
                break;
        }
        return;
    }
    switch (request) {
        case Request::Start:
            if (!running_) {
                const int error = PrepareAndStart();
                if (error < 0 && !Recover(error)) return;
                running_ = true;
            }
            break;
        case Request::Stop:
            // What the device captured up to the stop is the take's end:
            // it goes to the layer before the rest is dropped.
            if (running_) {
                Capture();
                snd_pcm_drop(pcm_);
            }
            running_ = false;
            break;
        case Request::Flush:
            if (running_) {
                snd_pcm_drop(pcm_);
                if (const int error = PrepareAndStart(); error < 0) Recover(error);
            }
            break;
        case Request::None:
            break;
    }
}

int AlsaStream::PrepareAndStart() {
    if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) {
        if (const int error = snd_pcm_prepare(pcm_); error < 0) return error;
    }
    return snd_pcm_start(pcm_);
}

int AlsaStream::NextLookMs() {
    if (!running_) return 1000;
    if (direction_ == Direction::Input) return static_cast<int>(kPeriodMs * 2);
    // Output: with nothing in the device the layer's DataQueued wakes us.
    if (!live_) return 1000;
    int ms = static_cast<int>(period_ * 1000 / format_.sampleRate) + 1;
    if (realPending_ > 0) {
        const std::uint64_t frames = sink_->FramesToCompletion();
        if (frames != StreamSink::kUnknownFrames && frames > 0) {
            const std::uint64_t due = (frames * 1000 + format_.sampleRate - 1) / format_.sampleRate;
            ms = static_cast<int>(std::clamp<std::uint64_t>(due, 1, static_cast<std::uint64_t>(ms)));
        }
    }
    return ms;
}

void AlsaStream::Wait(int timeoutMs) {
    pollfd fds[16];
    fds[0] = {wake_, POLLIN, 0};
    unsigned count = 0;
    // The PCM's descriptors while it can wake us: a capture that runs, a
    // playback that has room and frames to fill it with (one whose queue ran
    // dry would be ready at once, and is woken by DataQueued instead).
    const bool watch = running_ && !Failed() && (direction_ == Direction::Input || (live_ && !dry_));
    if (watch) {
        const int wanted = snd_pcm_poll_descriptors_count(pcm_);
        if (wanted > 0 && wanted < 16) {
            const int got = snd_pcm_poll_descriptors(pcm_, fds + 1, static_cast<unsigned>(wanted));
            count = got > 0 ? static_cast<unsigned>(got) : 0;
        }
    }
    const int ready = ::poll(fds, count + 1, timeoutMs);
    if (ready <= 0) return;
    if (fds[0].revents != 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] ssize_t read = ::read(wake_, &value, sizeof value);
    }
    if (count > 0) {
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(pcm_, fds + 1, count, &revents) < 0 ||
            (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            // An xrun also shows as POLLERR; it is recovered on the next
            // look. A device that is gone is lost now.
            const snd_pcm_state_t state = snd_pcm_state(pcm_);
            if (state == SND_PCM_STATE_DISCONNECTED) {
                Lose();
            } else if (state != SND_PCM_STATE_XRUN) {
                // Not readable, not an xrun: look again a little later
                // rather than spin on a descriptor that stays in error.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
}

void AlsaStream::Consume(std::uint64_t frames) {
    std::uint64_t played = 0;
    consumed_ += frames;
    while (frames > 0 && !segments_.empty()) {
        Segment& front = segments_.front();
        const std::uint64_t take = std::min<std::uint64_t>(front.frames, frames);
        if (front.real) {
            played += take;
            realPending_ -= take;
            shadow_.erase(shadow_.begin(), shadow_.begin() + static_cast<std::ptrdiff_t>(take * frameBytes_));
        }
        front.frames -= take;
        frames -= take;
        if (front.frames == 0) segments_.erase(segments_.begin());
    }
    if (played > 0) {
        lastPlayed_ = std::chrono::steady_clock::now();
        sink_->Played(played);
    }
}

void AlsaStream::Account() {
    if (!live_) return;
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_XRUN) {
        Recover(-EPIPE);
        return;
    }
    if (state == SND_PCM_STATE_DISCONNECTED) {
        Lose();
        return;
    }
    if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_DRAINING) return;
    snd_pcm_sframes_t delay = 0;
    if (const int error = snd_pcm_delay(pcm_, &delay); error < 0) {
        Recover(error);
        return;
    }
    const std::uint64_t inDevice = written_ - consumed_;
    const std::uint64_t left =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0)), inDevice);
    if (inDevice > left) Consume(inDevice - left);
}

snd_pcm_sframes_t AlsaStream::Write(const char* data, snd_pcm_uframes_t frames, bool real) {
    snd_pcm_sframes_t total = 0;
    while (frames > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, frames);
        if (written == -EAGAIN || written == 0) break;
        if (written < 0) return total > 0 ? total : written;
        const auto count = static_cast<snd_pcm_uframes_t>(written);
        if (!segments_.empty() && segments_.back().real == real) {
            segments_.back().frames += count;
        } else {
            segments_.push_back({count, real});
        }
        if (real) {
            shadow_.insert(shadow_.end(), data, data + count * frameBytes_);
            realPending_ += count;
        }
        written_ += count;
        total += written;
        data += count * frameBytes_;
        frames -= count;
    }
    return total;
}

bool AlsaStream::Prepare() {
    if (const int error = snd_pcm_prepare(pcm_); error < 0) {
        Lose();
        return false;
    }
    live_ = true;
    written_ = consumed_ = 0;
    return true;
}

void AlsaStream::Fill() {
    dry_ = false;
    if (!live_) {
        if (carry_.empty()) {
            const std::size_t got = sink_->Pull(scratch_.data(), buffer_ * frameBytes_) / frameBytes_;
            if (got == 0) return;  // nothing to play: the device stays idle
            carry_.assign(scratch_.data(), scratch_.data() + got * frameBytes_);
        }
        if (!Prepare()) return;
    }
    for (int round = 0; round < 3 && live_; ++round) {
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
        if (avail < 0) {
            if (!Recover(static_cast<int>(avail))) return;
            return;  // the device was dropped: the next look starts it afresh
        }
        snd_pcm_uframes_t room = std::min(static_cast<snd_pcm_uframes_t>(avail), buffer_);
        if (room == 0) break;
        if (!carry_.empty()) {
            const snd_pcm_uframes_t frames = std::min<snd_pcm_uframes_t>(room, carry_.size() / frameBytes_);
            const snd_pcm_sframes_t written = Write(carry_.data(), frames, true);
            if (written < 0) {
                Recover(static_cast<int>(written));
                return;
            }
            carry_.erase(carry_.begin(), carry_.begin() + written * static_cast<std::ptrdiff_t>(frameBytes_));
            room -= static_cast<snd_pcm_uframes_t>(written);
            if (!carry_.empty() || room == 0) break;
        }
        const snd_pcm_uframes_t asked = room;
        const std::size_t got = sink_->Pull(scratch_.data(), room * frameBytes_) / frameBytes_;
        if (got > 0) {
            const snd_pcm_sframes_t written = Write(scratch_.data(), got, true);
            const std::size_t kept = written < 0 ? 0 : static_cast<std::size_t>(written);
            // What the device did not take is written first next time.
            carry_.insert(carry_.end(), scratch_.data() + kept * frameBytes_, scratch_.data() + got * frameBytes_);
            if (written < 0) {
                Recover(static_cast<int>(written));
                return;
            }
            room -= std::min<snd_pcm_uframes_t>(room, kept);
        }
        if (got < asked && carry_.empty()) {
            // The queue ran dry.
            dry_ = true;
            if (realPending_ == 0) {
                // Nothing of the client's is left in the device. Let the
                // silence after it play out before the device is dropped (or
                // four periods pass): a delay the device reports a little
                // early (a sound server's, say) must not cut off the last
                // frames. A device that runs dry meanwhile is no underrun.
                if (written_ == consumed_ ||
                    std::chrono::steady_clock::now() - lastPlayed_ > std::chrono::milliseconds(4 * kPeriodMs)) {
                    Drop(false);
                    return;
                }
                break;
            }
            // Silence after the last frames, about two periods ahead, so
            // that they are played out.
            const std::uint64_t inDevice = written_ - consumed_;
            const std::uint64_t target = 2 * period_;
            if (inDevice < target) {
                const snd_pcm_uframes_t frames =
                    std::min<snd_pcm_uframes_t>(room, static_cast<snd_pcm_uframes_t>(target - inDevice));
                const snd_pcm_sframes_t written = Write(silence_.data(), frames, false);
                if (written < 0) {
                    Recover(static_cast<int>(written));
                    return;
                }
            }
            break;
        }
    }
    if (live_ && written_ > 0 && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
        if (const int error = snd_pcm_start(pcm_); error < 0) Recover(error);
    }
}

void AlsaStream::Drop(bool keep) {
    if (live_) snd_pcm_drop(pcm_);
    if (keep) {
        shadow_.insert(shadow_.end(), carry_.begin(), carry_.end());
        carry_ = std::move(shadow_);
    }
    shadow_.clear();
    segments_.clear();
    realPending_ = 0;
    written_ = consumed_ = 0;
    live_ = false;
}

void AlsaStream::Capture() {
    for (int round = 0; round < 4; ++round) {
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
        if (avail < 0) {
            Recover(static_cast<int>(avail));
            return;
        }
        if (avail == 0) return;
        const snd_pcm_uframes_t frames = std::min(static_cast<snd_pcm_uframes_t>(avail), buffer_);
        const snd_pcm_sframes_t read = snd_pcm_readi(pcm_, scratch_.data(), frames);
        if (read == -EAGAIN || read == 0) return;
        if (read < 0) {
            Recover(static_cast<int>(read));
            return;
        }
        sink_->Push(scratch_.data(), static_cast<std::size_t>(read) * frameBytes_);
    }
}

bool AlsaStream::Recover(int error) {
    if (error == -EAGAIN || error == -EINTR) return true;
    if (error == -EPIPE || error == -ESTRPIPE) {
        if (direction_ == Direction::Output) {
            // Running out after the client's last frame has been played
            // is the end of the sound, not an underrun.
            if (realPending_ > 0) XrunCounters().underruns.fetch_add(1, std::memory_order_relaxed);
            // Everything written has been played (or lost in a suspend).
            Consume(written_ - consumed_);
            Drop(false);
            if (error == -ESTRPIPE && snd_pcm_recover(pcm_, error, 1) < 0) {
                Lose();
                return false;
            }
            return true;  // the next look prepares the device afresh
        }
        XrunCounters().overruns.fetch_add(1, std::memory_order_relaxed);
        if (snd_pcm_recover(pcm_, error, 1) < 0 || snd_pcm_start(pcm_) < 0) {
            Lose();
            return false;
        }
        return true;
    }
    Lose();
    return false;
}

void AlsaStream::Lose() {
    {
        MutexLock lock(mutex_);
        if (failed_) return;
        failed_ = true;
        answered_.NotifyAll();
    }
    running_ = false;
    live_ = false;
    sink_->Failed(MMSYSERR_NODRIVER);
}

}  // namespace sorn::audio::alsa
