#include "platform/audio/pulse/PulseStream.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio/pulse/PulseConnection.h"

namespace sorn::audio::pulse {

namespace {

// The code every call answers once the server or the device is gone.
constexpr MMRESULT kLost = MMSYSERR_NODRIVER;

// A sink whose rendered data reaches this far ahead while it is idle is
// woken for a new stream (WakeStalledSink).
constexpr pa_usec_t kStalledSinkUs = 250 * PA_USEC_PER_MSEC;

MMRESULT CodeOf(int paError) {
    switch (paError) {
    case PA_ERR_NOENTITY: return MMSYSERR_BADDEVICEID;
    case PA_ERR_INVALID:
    case PA_ERR_NOTSUPPORTED: return WAVERR_BADFORMAT;
    default: return kLost;
    }
}

// What the playback and record streams share: the connection, the libpulse
// stream, the failure path and closing. Every field below is guarded by the
// connection's loop lock.
class PulseStream : public Stream {
public:
    PulseStream(std::unique_ptr<Connection> connection, std::shared_ptr<StreamSink> sink,
                Direction direction)
        : connection_(std::move(connection)), sink_(std::move(sink)), direction_(direction) {}
    ~PulseStream() override { PulseStream::Close(); }

    MMRESULT Connect(UINT device, const StreamFormat& format);

    void Close() override {
        if (!connection_) return;
        {
            Connection::Lock lock(*connection_);
            closed_ = true;
            ReleaseStream();
            if (check_ != nullptr) {
                pa_threaded_mainloop_get_api(connection_->Loop())->time_free(check_);
                check_ = nullptr;
            }
        }
        connection_.reset();  // joins the loop thread: no callback after this
        sink_.reset();
    }

protected:
    // Corks or uncorks; false when the stream can no longer be used.
    bool Cork(bool cork) {
        pa_operation* operation = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr);
        if (operation == nullptr) return false;
        pa_operation_unref(operation);
        return true;
    }
    bool Usable() const { return stream_ != nullptr && !failed_ && !closed_; }

    virtual void SetUpCallbacks() = 0;
    void WakeStalledSink();
    virtual int ConnectStream(const char* device) = 0;

    std::unique_ptr<Connection> connection_;
    std::shared_ptr<StreamSink> sink_;
    const Direction direction_;
    pa_stream* stream_ = nullptr;
    pa_sample_spec spec_{};
    std::size_t frameBytes_ = 2;
    bool open_ = false;     // Connect succeeded: failures go to the layer
    bool failed_ = false;
    bool closed_ = false;
    bool started_ = false;
    pa_time_event* check_ = nullptr;  // playback's played-frames timer

private:
    static void OnState(pa_stream* stream, void* userdata) {
        static_cast<PulseStream*>(userdata)->StateChanged(pa_stream_get_state(stream));
    }
    void StateChanged(pa_stream_state_t state) {
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && open_ && !failed_ &&
            !closed_) {
            failed_ = true;
            sink_->Failed(kLost);
        }
        connection_->Signal();
    }
    void ReleaseStream() {
        if (stream_ == nullptr) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        if (pa_stream_get_state(stream_) == PA_STREAM_READY) pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
};

MMRESULT PulseStream::Connect(UINT device, const StreamFormat& format) {
    Connection::Lock lock(*connection_);
    std::string deviceName;
    if (device != kDefaultDevice) {
        std::vector<DeviceInfo> devices;
        if (!connection_->ListDevices(direction_, &devices)) return kLost;
        if (device >= devices.size()) return MMSYSERR_BADDEVICEID;
        deviceName = devices[device].name;
    }
    spec_.format = PA_SAMPLE_S16LE;
    spec_.rate = format.sampleRate;
    spec_.channels = static_cast<std::uint8_t>(format.channels);
    frameBytes_ = format.BlockAlign();
    pa_channel_map map;
    if (!pa_sample_spec_valid(&spec_) ||
        pa_channel_map_init_extend(&map, spec_.channels, PA_CHANNEL_MAP_WAVEEX) == nullptr) {
        return WAVERR_BADFORMAT;
    }
    stream_ = pa_stream_new(connection_->Context(),
                            direction_ == Direction::Output ? "Sorn playback" : "Sorn capture",
                            &spec_, &map);
    if (stream_ == nullptr) return CodeOf(pa_context_errno(connection_->Context()));
    pa_stream_set_state_callback(stream_, OnState, this);
    SetUpCallbacks();
    if (ConnectStream(deviceName.empty() ? nullptr : deviceName.c_str()) < 0) {
        const MMRESULT code = CodeOf(pa_context_errno(connection_->Context()));
        ReleaseStream();
        return code;
    }
    pa_stream* stream = stream_;
    connection_->Wait(
        [stream] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        kReplyTimeoutMs);
    if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
        const int error = pa_context_errno(connection_->Context());
        ReleaseStream();
        return error != 0 ? CodeOf(error) : kLost;
    }
    open_ = true;
    WakeStalledSink();
    return MMSYSERR_NOERROR;
}

namespace {

// What the introspection replies of WakeStalledSink carry back.
struct SinkState {
    Connection* connection;
    bool finished = false;
    bool known = false;
    std::uint32_t index = PA_INVALID_INDEX;  // a source: the sink it monitors
    bool idle = false;
    pa_usec_t latency = 0;
    pa_usec_t configured = 0;
};

void OnSinkState(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* state = static_cast<SinkState*>(userdata);
    if (eol == 0 && info != nullptr) {
        state->known = true;
        state->index = info->index;
        state->idle = info->state == PA_SINK_IDLE;
        state->latency = info->latency;
        state->configured = info->configured_latency;
        return;
    }
    state->finished = true;
    state->connection->Signal();
}

void OnSourceState(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* state = static_cast<SinkState*>(userdata);
    if (eol == 0 && info != nullptr) {
        state->known = true;
        state->index = info->monitor_of_sink;
        return;
    }
    state->finished = true;
    state->connection->Signal();
}

void OnDone(pa_context*, int, void* userdata) {
    auto* state = static_cast<SinkState*>(userdata);
    state->finished = true;
    state->connection->Signal();
}

// Runs one introspection operation to its end or the reply timeout.
bool Await(Connection& connection, pa_operation* operation, SinkState& state) {
    if (operation == nullptr) return false;
    state.finished = false;
    connection.Wait([&state] { return state.finished; }, kReplyTimeoutMs);
    if (!state.finished) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return state.finished;
}

}  // namespace

// A sink with nothing to play renders far ahead: PulseAudio's null sink
// renders two seconds at a time. When a stream asks it for a low latency it
// takes the new latency for its next block but does not rewind the block it
// has rendered, so a new playback stream (or a record stream on the sink's
// monitor) starts only when that block ends, up to two seconds later. A
// sink that goes from suspended to running starts its clock afresh, with the
// latency its streams ask for; so when the sink is idle and lags far behind
// the latency it is now configured for, it is suspended and resumed at once.
// A sink that rewinds on a change of latency (a sound card's), or one that
// is playing something, is left alone.
void PulseStream::WakeStalledSink() {
    const std::uint32_t device = pa_stream_get_device_index(stream_);
    if (device == PA_INVALID_INDEX) return;
    pa_context* context = connection_->Context();
    SinkState state{connection_.get()};
    std::uint32_t sink = device;
    if (direction_ == Direction::Input) {
        if (!Await(*connection_, pa_context_get_source_info_by_index(context, device, OnSourceState, &state),
                   state) ||
            !state.known || state.index == PA_INVALID_INDEX) {
            return;  // not a monitor
        }
        sink = state.index;
        state.known = false;
    }
    if (!Await(*connection_, pa_context_get_sink_info_by_index(context, sink, OnSinkState, &state), state) ||
        !state.known || !state.idle) {
        return;
    }
    if (state.latency < kStalledSinkUs || state.latency < 4 * state.configured) return;
    pa_operation* suspend = pa_context_suspend_sink_by_index(context, sink, 1, nullptr, nullptr);
    if (suspend == nullptr) return;
    pa_operation_unref(suspend);
    Await(*connection_, pa_context_suspend_sink_by_index(context, sink, 0, OnDone, &state), state);
}

// Playback: pulls from the layer when the server asks, reports what has
// been played.
class OutputStream final : public PulseStream {
public:
    using PulseStream::PulseStream;

    // The server's stream stays corked from open until data is in it (and
    // after a pause, until there is something left to play). Uncorked while
    // empty, the sink mixes silence for it a sink latency ahead and, when
    // the data comes, rewinds that whole span to mix it again with the
    // data: the stream starts with an underrun, and a monitor of the sink,
    // which has passed the silence on already, loses the first sink latency
    // (12 ms and more) of the stream.
    //
    // It is not corked again when it runs dry or on a reset: a cork just
    // before the stream was closed was seen to make PulseAudio 16.1 abort
    // (an assertion in memblock_replace_import as the client went away
    // while the cork's rewind still held its memory blocks).
    MMRESULT Start() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        started_ = true;
        Fill();
        if (!Usable()) return kLost;
        if (!running_ && Unplayed() && !Run(true)) return kLost;
        ScheduleCheck();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Stop() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        if (started_) {
            ReportPlayed();
            if (running_ && !Run(false)) return kLost;
            started_ = false;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Flush() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        pa_operation* operation = pa_stream_flush(stream_, nullptr, nullptr);
        if (operation == nullptr) return kLost;
        pa_operation_unref(operation);
        // The write index is unknown until the server's next timing report;
        // the data written from now on starts where the flush left it.
        pulled_ = 0;
        reported_ = 0;
        baseKnown_ = false;
        drained_ = false;
        operation = pa_stream_update_timing_info(stream_, nullptr, nullptr);
        if (operation != nullptr) pa_operation_unref(operation);
        return MMSYSERR_NOERROR;
    }

    void DataQueued() override {
        Connection::Lock lock(*connection_);
        if (!Usable() || !started_) return;
        Fill();
        ScheduleCheck();
    }

private:
    void SetUpCallbacks() override {
        pa_stream_set_write_callback(stream_, OnWrite, this);
        pa_stream_set_latency_update_callback(stream_, OnTiming, this);
        pa_stream_set_underflow_callback(stream_, OnUnderflow, this);
    }
    int ConnectStream(const char* device) override {
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(kPlaybackTargetMs * PA_USEC_PER_MSEC, &spec_));
        // Start as soon as anything is written, and on an underrun stop
        // rather than run ahead of the data: the read index never passes
        // the write index, so played frames are frames of ours.
        attributes.prebuf = static_cast<std::uint32_t>(frameBytes_);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        return pa_stream_connect_playback(stream_, device, &attributes, flags, nullptr, nullptr);
    }

    static void OnWrite(pa_stream*, std::size_t, void* userdata) {
        auto* self = static_cast<OutputStream*>(userdata);
        if (!self->Usable()) return;
        self->ReportPlayed();
        self->Fill();
        self->ScheduleCheck();
    }
    static void OnTiming(pa_stream*, void* userdata) {
        auto* self = static_cast<OutputStream*>(userdata);
        if (!self->Usable()) return;
        self->PlayOutWrittenEnd();
        self->ReportPlayed();
        self->ScheduleCheck();
    }

    // PipeWire's pulse service plays a stream one processing cycle (its
    // quantum, 20 ms on a 16 kHz graph at 320 frames) at a time, and a
    // cycle for which fewer bytes are left than the quantum plays silence
    // and keeps them back until more data comes or a drain is asked for.
    // Asked for only once the server reports the underrun, the drain made
    // the last piece of a range (shorter than a cycle) come out one whole
    // cycle late, after 20 ms of silence. So a drain goes out as soon as the
    // layer has nothing more to give while written bytes are unplayed: a
    // drain pending at the server when that short cycle comes lets it play
    // the piece at once, padded with silence. Data written before then
    // plays on as usual. PulseAudio plays every byte it holds anyway; a
    // drain there only answers once the stream has run empty.
    //
    // One drain is outstanding at a time: the pulse service answers only
    // the latest of several, and a pending one covers whatever is written
    // after it. The timing updates try again should a drain have been
    // refused.
    void PlayOutWrittenEnd() {
        if (!started_ || !dry_ || drainPending_ || !Unplayed()) return;
        pa_operation* operation = pa_stream_drain(stream_, OnDrained, this);
        if (operation == nullptr) return;
        pa_operation_unref(operation);
        drainPending_ = true;
    }
    static void OnDrained(pa_stream*, int success, void* userdata) {
        // The stream (and so this callback) goes before the object does.
        auto* self = static_cast<OutputStream*>(userdata);
        self->drainPending_ = false;
        if (success != 0) self->drained_ = true;
    }

    // The pulse service ends a drain with a whole cycle: its read index
    // then stands up to one quantum past the last byte written, and bytes
    // written later at the write index would lose that much of their
    // start. So once a drain has been answered and everything written has
    // been played, the next data goes at the read index (on PulseAudio the
    // two are the same then), and played frames count afresh from it, as
    // after a flush.
    pa_seek_mode_t NextSeek() {
        if (!drained_ || !baseKnown_ || pulled_ == 0 || reported_ * frameBytes_ < pulled_) {
            return PA_SEEK_RELATIVE;
        }
        drained_ = false;
        pulled_ = 0;
        reported_ = 0;
        baseKnown_ = false;
        return PA_SEEK_RELATIVE_ON_READ;
    }
    // The data ran out: ask for a report now rather than at the next
    // automatic one, so the end is seen without delay.
    static void OnUnderflow(pa_stream* stream, void* userdata) {
        auto* self = static_cast<OutputStream*>(userdata);
        if (!self->Usable()) return;
        pa_operation* operation = pa_stream_update_timing_info(stream, nullptr, nullptr);
        if (operation != nullptr) pa_operation_unref(operation);
    }
    static void OnCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* self = static_cast<OutputStream*>(userdata);
        self->checkArmed_ = false;
        if (!self->Usable()) return;
        self->ReportPlayed();
        self->ScheduleCheck();
    }

    // Corks (false) or uncorks (true) the server's stream.
    bool Run(bool run) {
        if (!Cork(!run)) return false;
        running_ = run;
        return true;
    }
    // Bytes written that the server has not played yet, as far as known.
    bool Unplayed() const { return pulled_ > reported_ * frameBytes_; }

    // Writes as much queued data as the server takes, and uncorks the
    // server's stream once it holds data.
    void Fill() {
        if (!started_) return;
        Write();
        if (!running_ && Unplayed()) Run(true);
    }
    void Write() {
        for (;;) {
            const std::size_t writable = pa_stream_writable_size(stream_);
            if (writable == static_cast<std::size_t>(-1) || writable < frameBytes_) return;
            void* buffer = nullptr;
            std::size_t size = writable;
            if (pa_stream_begin_write(stream_, &buffer, &size) < 0 || buffer == nullptr) return;
            size -= size % frameBytes_;
            std::size_t got = size > 0 ? sink_->Pull(buffer, size) : 0;
            got -= got % frameBytes_;
            if (got == 0) {
                pa_stream_cancel_write(stream_);
                dry_ = true;
                PlayOutWrittenEnd();
                return;
            }
            const pa_seek_mode_t seek = NextSeek();
            if (pa_stream_write(stream_, buffer, got, nullptr, 0, seek) < 0) return;
            pulled_ += got;
            drained_ = false;
            if (seek != PA_SEEK_RELATIVE) {
                // The write index is known again with the next report.
                pa_operation* operation = pa_stream_update_timing_info(stream_, nullptr, nullptr);
                if (operation != nullptr) pa_operation_unref(operation);
            }
            dry_ = got < size;
            if (dry_) {  // the queue ran dry
                PlayOutWrittenEnd();
                return;
            }
        }
    }

    // libpulse's own timing updates come further and further apart, up to
    // a second and a half, and the played time is interpolated between
    // them. With PipeWire's pulse service, whose reports give the read
    // index as of its last processing cycle, the interpolation ran about
    // 1 % slow: the position fell 50 ms behind real time in 5 s. So while
    // data is in flight a report is asked for when the last one is older
    // than kTimingRefreshUs.
    void RefreshTiming() {
        if (timingPending_) return;
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
        if (timing == nullptr) return;
        timeval now;
        pa_gettimeofday(&now);
        if (pa_timeval_cmp(&now, &timing->timestamp) > 0 &&
            pa_timeval_diff(&now, &timing->timestamp) < kTimingRefreshUs) {
            return;
        }
        pa_operation* operation = pa_stream_update_timing_info(stream_, OnTimingReply, this);
        if (operation == nullptr) return;
        pa_operation_unref(operation);
        timingPending_ = true;
    }
    static void OnTimingReply(pa_stream*, int, void* userdata) {
        static_cast<OutputStream*>(userdata)->timingPending_ = false;
    }

    // Tells the layer how many more of the pulled frames the server has
    // played, from its timing report interpolated to now.
    void ReportPlayed() {
        if (!baseKnown_) {
            const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
            if (timing == nullptr || timing->write_index_corrupt) return;
            base_ = timing->write_index - static_cast<std::int64_t>(pulled_);
            baseKnown_ = true;
        }
        RefreshTiming();
        pa_usec_t time = 0;
        if (pa_stream_get_time(stream_, &time) < 0) return;
        auto index = static_cast<std::int64_t>(pa_usec_to_bytes(time, &spec_));
        // After an underrun (the end of the data, say) the server's last
        // report freezes the clock a sink latency short of the end, though
        // the sink goes on to play what it holds: count that out in real
        // time from the report.
        const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
        if (timing != nullptr && !timing->playing && !timing->read_index_corrupt &&
            !timing->write_index_corrupt && timing->read_index >= timing->write_index) {
            timeval now;
            pa_gettimeofday(&now);
            pa_usec_t gone = pa_bytes_to_usec(
                static_cast<std::uint64_t>(std::max<std::int64_t>(timing->since_underrun, 0)), &spec_);
            if (pa_timeval_cmp(&now, &timing->timestamp) > 0) {
                gone += pa_timeval_diff(&now, &timing->timestamp);
            }
            const pa_usec_t left = timing->sink_usec > gone ? timing->sink_usec - gone : 0;
            index = std::max(index, timing->read_index - static_cast<std::int64_t>(
                                                             pa_usec_to_bytes(left, &spec_)));
        }
        const std::int64_t played =
            std::clamp<std::int64_t>(index - base_, 0, static_cast<std::int64_t>(pulled_));
        const std::uint64_t frames = static_cast<std::uint64_t>(played) / frameBytes_;
        if (frames > reported_) {
            sink_->Played(frames - reported_);
            reported_ = frames;
        }
    }

    // Arms the played-frames check for the moment the oldest queued header
    // should end, as far as the layer can tell, else a short while ahead;
    // and no later than kPositionRefreshUs, so the position the layer shows
    // never lags much. Every callback re-arms it, so with the server's
    // write requests coming more often than that, the refresh costs no
    // wake-up of its own.
    void ScheduleCheck() {
        if (!started_) return;
        if (baseKnown_ && reported_ * frameBytes_ >= pulled_) return;  // all played
        pa_usec_t delay = kPlayedCheckMs * PA_USEC_PER_MSEC;
        const std::uint64_t frames = baseKnown_ ? sink_->FramesToCompletion()
                                                : StreamSink::kUnknownFrames;
        if (frames == 0) return;  // no header waits
        if (frames != StreamSink::kUnknownFrames) {
            delay = std::min(pa_bytes_to_usec(frames * frameBytes_, &spec_) + kCheckMarginUs,
                             kPositionRefreshUs);
        }
        // A clock that stands still (a stalled server) is looked at calmly.
        if (reported_ == checkedAt_) delay = std::max<pa_usec_t>(delay, kStalledCheckUs);
        checkedAt_ = reported_;
        delay = std::max<pa_usec_t>(delay, kMinimumCheckUs);
        const pa_usec_t when = pa_rtclock_now() + delay;
        if (checkArmed_ && when >= checkDue_ && when < checkDue_ + kCheckMarginUs) return;
        if (check_ == nullptr) {
            check_ = pa_context_rttime_new(connection_->Context(), when, OnCheck, this);
            if (check_ == nullptr) return;
        } else {
            pa_context_rttime_restart(connection_->Context(), check_, when);
        }
        checkArmed_ = true;
        checkDue_ = when;
    }

    static constexpr pa_usec_t kCheckMarginUs = 300;
    static constexpr pa_usec_t kMinimumCheckUs = 1000;
    static constexpr pa_usec_t kStalledCheckUs = 20 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t kPositionRefreshUs = 15 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t kTimingRefreshUs = 100 * PA_USEC_PER_MSEC;

    std::uint64_t pulled_ = 0;    // bytes written since open or the last flush
    std::uint64_t reported_ = 0;  // frames reported played since then
    std::int64_t base_ = 0;       // stream index of the first of those bytes
    bool baseKnown_ = true;
    bool running_ = false;     // the server's stream is uncorked
    bool dry_ = false;         // the layer's queue ran out at the last fill
    bool drainPending_ = false;  // a drain went out and is not answered yet
    bool drained_ = false;       // a drain was answered since the last write
    bool checkArmed_ = false;
    bool timingPending_ = false;  // a timing update of ours is on its way
    pa_usec_t checkDue_ = 0;
    std::uint64_t checkedAt_ = ~std::uint64_t{0};  // reported_ at the last scheduling
};

// Record: pushes what the server captured while started. What finds no
// queued header (the server's fragments are longer than the client's
// blocks, or the client requeues late) waits in a bounded backlog and goes
// out, in order, as soon as a header is queued; only input that finds the
// backlog full is lost (an overrun).
class InputStream final : public PulseStream {
public:
    using PulseStream::PulseStream;

    MMRESULT Start() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        if (!started_) {
            if (!Cork(false)) return kLost;
            started_ = true;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Stop() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        if (started_) {
            TakeFragments(true);  // what has arrived so far still belongs to this take
            // What no header took ends with the take: a restart begins with
            // what is captured from then on.
            DropBacklog();
            if (!Cork(true)) return kLost;
            started_ = false;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Flush() override {
        Connection::Lock lock(*connection_);
        if (!Usable()) return kLost;
        TakeFragments(false);
        carried_.clear();
        DropBacklog();
        pa_operation* operation = pa_stream_flush(stream_, nullptr, nullptr);
        if (operation == nullptr) return kLost;
        pa_operation_unref(operation);
        return MMSYSERR_NOERROR;
    }

    // A header was queued: the backlog goes out first, then what the server
    // holds.
    void DataQueued() override {
        Connection::Lock lock(*connection_);
        if (!Usable() || !started_) return;
        SendBacklog();
        if (backlogSize() == 0) TakeFragments(true);
    }

private:
    void SetUpCallbacks() override { pa_stream_set_read_callback(stream_, OnRead, this); }
    int ConnectStream(const char* device) override {
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(-1);
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(
            pa_usec_to_bytes(kRecordFragmentMs * PA_USEC_PER_MSEC, &spec_));
        backlogLimit_ = pa_usec_to_bytes(kRecordBacklogMs * PA_USEC_PER_MSEC, &spec_);
        backlogLimit_ -= backlogLimit_ % frameBytes_;
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        return pa_stream_connect_record(stream_, device, &attributes, flags);
    }

    static void OnRead(pa_stream*, std::size_t, void* userdata) {
        auto* self = static_cast<InputStream*>(userdata);
        if (!self->Usable()) return;
        self->TakeFragments(self->started_);
    }

    // Takes every fragment the stream holds; pushes it when `push`.
    void TakeFragments(bool push) {
        while (pa_stream_readable_size(stream_) > 0) {
            const void* data = nullptr;
            std::size_t size = 0;
            if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0) return;
            if (push) Deliver(static_cast<const std::uint8_t*>(data), size);
            pa_stream_drop(stream_);
        }
    }

    // Pushes whole frames; a hole (no data) is pushed as silence.
    void Deliver(const std::uint8_t* data, std::size_t size) {
        static const std::uint8_t kSilence[4096] = {};
        auto advance = [&](std::size_t bytes) {
            if (data != nullptr) data += bytes;
            size -= bytes;
        };
        while (size > 0) {
            const std::uint8_t* source = data != nullptr ? data : kSilence;
            if (!carried_.empty() || size < frameBytes_) {
                // A frame split across fragments: complete it first.
                const std::size_t take = std::min(size, frameBytes_ - carried_.size());
                carried_.insert(carried_.end(), source, source + take);
                advance(take);
                if (carried_.size() == frameBytes_) {
                    Send(carried_.data(), carried_.size());
                    carried_.clear();
                }
                continue;
            }
            std::size_t chunk = size - size % frameBytes_;
            if (data == nullptr) {
                chunk = std::min(chunk, sizeof kSilence - sizeof kSilence % frameBytes_);
            }
            Send(source, chunk);
            advance(chunk);
        }
    }

    // Whole frames, in capture order: to the headers when nothing older
    // waits, the rest to the backlog.
    void Send(const std::uint8_t* data, std::size_t size) {
        if (backlogSize() > 0) SendBacklog();
        std::size_t taken = 0;
        if (backlogSize() == 0) taken = sink_->Push(data, size);
        // Beyond the limit the input is lost: an overrun.
        const std::size_t kept = std::min(size - taken, backlogLimit_ - backlogSize());
        backlog_.insert(backlog_.end(), data + taken, data + taken + kept);
    }

    void SendBacklog() {
        const std::size_t waiting = backlogSize();
        if (waiting == 0) return;
        const std::size_t taken = sink_->Push(backlog_.data() + backlogStart_, waiting);
        backlogStart_ += taken;
        if (backlogStart_ == backlog_.size()) {
            DropBacklog();
        } else if (backlogStart_ >= backlogLimit_) {
            backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(backlogStart_));
            backlogStart_ = 0;
        }
    }
    void DropBacklog() {
        backlog_.clear();
        backlogStart_ = 0;
    }
    std::size_t backlogSize() const { return backlog_.size() - backlogStart_; }

    std::vector<std::uint8_t> carried_;  // the start of a split frame
    std::vector<std::uint8_t> backlog_;  // captured, not yet taken, from backlogStart_
    std::size_t backlogStart_ = 0;
    std::size_t backlogLimit_ = 0;       // bytes, whole frames
};

}  // namespace

MMRESULT OpenStream(const std::string& server, Direction direction, UINT device,
                    const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                    std::unique_ptr<Stream>* stream) {
    if (stream == nullptr || !sink) return MMSYSERR_INVALPARAM;
    MMRESULT error = MMSYSERR_NOERROR;
    std::unique_ptr<Connection> connection = Connection::Open(server, kConnectTimeoutMs, &error);
    if (!connection) return error;
    std::unique_ptr<PulseStream> opened;
    if (direction == Direction::Output) {
        opened = std::make_unique<OutputStream>(std::move(connection), std::move(sink), direction);
    } else {
        opened = std::make_unique<InputStream>(std::move(connection), std::move(sink), direction);
    }
    error = opened->Connect(device, format);
    if (error != MMSYSERR_NOERROR) return error;  // the destructor closes what was opened
    *stream = std::move(opened);
    return MMSYSERR_NOERROR;
}

}  // namespace sorn::audio::pulse
