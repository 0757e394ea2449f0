#include "platform/backends/pulse/OutputStream.h"

#include <pulse/rtclock.h>

#include <algorithm>

namespace sorn::audio::pulse {

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
MMRESULT OutputStream::Start() {
    Connection::Lock lock(*connection_);
    if (!Usable()) return kLost;
    started_ = true;
    Fill();
    if (!Usable()) return kLost;
    if (!running_ && Unplayed() && !Run(true)) return kLost;
    ScheduleCheck();
    return MMSYSERR_NOERROR;
}

MMRESULT OutputStream::Stop() {
    Connection::Lock lock(*connection_);
    if (!Usable()) return kLost;
    if (started_) {
        ReportPlayed();
        if (running_ && !Run(false)) return kLost;
        started_ = false;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT OutputStream::Flush() {
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

void OutputStream::DataQueued() {
    Connection::Lock lock(*connection_);
    if (!Usable() || !started_) return;
    Fill();
    ScheduleCheck();
}

void OutputStream::SetUpCallbacks() {
    pa_stream_set_write_callback(stream_, OnWrite, this);
    pa_stream_set_latency_update_callback(stream_, OnTiming, this);
    pa_stream_set_underflow_callback(stream_, OnUnderflow, this);
}

int OutputStream::ConnectStream(const char* device, bool pinned) {
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackBufferMs * PA_USEC_PER_MSEC, &spec_));
    // Start as soon as anything is written, and on an underrun stop
    // rather than run ahead of the data: the read index never passes
    // the write index, so played frames are frames of ours.
    attributes.prebuf = static_cast<std::uint32_t>(frameBytes_);
    // Early requests: the sink runs at the latency of one request rather
    // than of the whole buffer (PulseAudio would ask for a sink latency
    // of the buffer's length, or half of it, and PipeWire for a quantum
    // of 8192 frames), and Stop, Pause and Reset (cork, flush) stay
    // immediate.
    attributes.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackRequestMs * PA_USEC_PER_MSEC, &spec_));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_EARLY_REQUESTS | PA_STREAM_START_CORKED |
                                                      (pinned ? PA_STREAM_DONT_MOVE : 0));
    return pa_stream_connect_playback(stream_, device, &attributes, flags, nullptr, nullptr);
}

void OutputStream::OnWrite(pa_stream*, std::size_t, void* userdata) {
    auto* self = static_cast<OutputStream*>(userdata);
    if (!self->Usable()) return;
    self->ReportPlayed();
    self->Fill();
    self->ScheduleCheck();
}

void OutputStream::OnTiming(pa_stream*, void* userdata) {
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
void OutputStream::PlayOutWrittenEnd() {
    if (!started_ || !dry_ || drainPending_ || !Unplayed()) return;
    pa_operation* operation = pa_stream_drain(stream_, OnDrained, this);
    if (operation == nullptr) return;
    Track(operation);
    drainPending_ = true;
}

void OutputStream::OnDrained(pa_stream*, int success, void* userdata) {
    // Closing cancels the drain, so the object is still there.
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
pa_seek_mode_t OutputStream::NextSeek() {
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
void OutputStream::OnUnderflow(pa_stream* stream, void* userdata) {
    auto* self = static_cast<OutputStream*>(userdata);
    if (!self->Usable()) return;
    pa_operation* operation = pa_stream_update_timing_info(stream, nullptr, nullptr);
    if (operation != nullptr) pa_operation_unref(operation);
}

void OutputStream::OnCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* self = static_cast<OutputStream*>(userdata);
    self->checkArmed_ = false;
    if (!self->Usable()) return;
    self->ReportPlayed();
    self->ScheduleCheck();
}

bool OutputStream::Run(bool run) {
    if (!Cork(!run)) return false;
    running_ = run;
    return true;
}

void OutputStream::Fill() {
    if (!started_) return;
    Write();
    if (!running_ && Unplayed()) Run(true);
}

void OutputStream::Write() {
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
void OutputStream::RefreshTiming() {
    if (timingPending_) return;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    if (timing == nullptr) return;
    timeval now;
    pa_gettimeofday(&now);
    if (pa_timeval_cmp(&now, &timing->timestamp) > 0 && pa_timeval_diff(&now, &timing->timestamp) < kTimingRefreshUs) {
        return;
    }
    pa_operation* operation = pa_stream_update_timing_info(stream_, OnTimingReply, this);
    if (operation == nullptr) return;
    Track(operation);
    timingPending_ = true;
}

void OutputStream::OnTimingReply(pa_stream*, int, void* userdata) {
    static_cast<OutputStream*>(userdata)->timingPending_ = false;
}

void OutputStream::ReportPlayed() {
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
    if (timing != nullptr && !timing->playing && !timing->read_index_corrupt && !timing->write_index_corrupt &&
        timing->read_index >= timing->write_index) {
        timeval now;
        pa_gettimeofday(&now);
        pa_usec_t gone =
            pa_bytes_to_usec(static_cast<std::uint64_t>(std::max<std::int64_t>(timing->since_underrun, 0)), &spec_);
        if (pa_timeval_cmp(&now, &timing->timestamp) > 0) {
            gone += pa_timeval_diff(&now, &timing->timestamp);
        }
        const pa_usec_t left = timing->sink_usec > gone ? timing->sink_usec - gone : 0;
        index = std::max(index, timing->read_index - static_cast<std::int64_t>(pa_usec_to_bytes(left, &spec_)));
    }
    const std::int64_t played = std::clamp<std::int64_t>(index - base_, 0, static_cast<std::int64_t>(pulled_));
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
void OutputStream::ScheduleCheck() {
    if (!started_) return;
    if (baseKnown_ && reported_ * frameBytes_ >= pulled_) return;  // all played
    pa_usec_t delay = kPlayedCheckMs * PA_USEC_PER_MSEC;
    const std::uint64_t frames = baseKnown_ ? sink_->FramesToCompletion() : StreamSink::kUnknownFrames;
    if (frames == 0) return;  // no header waits
    if (frames != StreamSink::kUnknownFrames) {
        delay = std::min(pa_bytes_to_usec(frames * frameBytes_, &spec_) + kCheckMarginUs, kPositionRefreshUs);
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

}  // namespace sorn::audio::pulse
