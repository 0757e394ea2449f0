#pragma once
// The playback stream on the PulseAudio sound server. Whatever is queued
// is pulled from the layer and written at once (when it is queued, and
// when the server asks for more); the server holds up to
// kPlaybackBufferMs of it. Played frames come from the server's timing (interpolated
// between its reports): every callback, and a timer armed for the moment
// the oldest queued header should end (at most 15 ms ahead while the
// position is wanted), tell the layer how many frames have really been
// played, so a header completes shortly after its last sample has left the
// sink. When the layer's queue runs dry a drain goes out at once, so a
// server that plays in whole cycles (PipeWire) does not hold back the last
// piece. Pause corks the stream, reset flushes it. Played frames are
// counted from the stream index where the data after the last flush (or
// after a drained stream's next write) begins.
#include <pulse/pulseaudio.h>

#include <cstddef>
#include <cstdint>

#include "platform/backends/pulse/PulseStream.h"

namespace sorn::audio::pulse {

// The server's buffer of a playback stream (its target length): whatever
// the queued headers hold is written as soon as it is queued, up to this
// much, so the margin against a player that loses the processor for a
// moment is all that is queued, not a fixed write-ahead.
constexpr unsigned kPlaybackBufferMs = 2000;
// The sink latency the stream asks for, which is also the size of the
// server's requests for more: a large buffer does not make the sink (or the
// stop of a stream on a sink that cannot rewind) slow.
constexpr unsigned kPlaybackRequestMs = 40;
// Played frames are checked this often while output is in flight and the
// end of the oldest header is not known yet.
constexpr unsigned kPlayedCheckMs = 4;

// Playback: pulls from the layer when the server asks, reports what has
// been played.
class OutputStream final : public PulseStream {
public:
    using PulseStream::PulseStream;

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override;
    void DataQueued() override;

private:
    void SetUpCallbacks() override;
    int ConnectStream(const char* device, bool pinned) override;

    static void OnWrite(pa_stream*, std::size_t, void* userdata);
    static void OnTiming(pa_stream*, void* userdata);
    static void OnUnderflow(pa_stream* stream, void* userdata);
    static void OnCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);

    // Asks the server to drain (play out all that has been written) once
    // the layer's queue has run dry while written bytes are unplayed; one
    // drain is outstanding at a time.
    void PlayOutWrittenEnd();
    // The server answered the drain: drained_ when it succeeded.
    static void OnDrained(pa_stream*, int success, void* userdata);
    // Where the next write goes: at the write index, or at the read index
    // after an answered drain once everything written has been played.
    pa_seek_mode_t NextSeek();

    // Corks (false) or uncorks (true) the server's stream.
    bool Run(bool run);
    // Bytes written that the server has not played yet, as far as known.
    bool Unplayed() const { return pulled_ > reported_ * frameBytes_; }
    // Writes as much queued data as the server takes, and uncorks the
    // server's stream once it holds data.
    void Fill();
    // Pulls from the layer and writes until the server takes no more or the
    // layer's queue runs dry.
    void Write();

    // Asks for a timing report when the last one is older than
    // kTimingRefreshUs.
    void RefreshTiming();
    static void OnTimingReply(pa_stream*, int, void* userdata);
    // Tells the layer how many more of the pulled frames the server has
    // played, from its timing report interpolated to now.
    void ReportPlayed();
    // Arms the played-frames timer (check_).
    void ScheduleCheck();

    static constexpr pa_usec_t kCheckMarginUs = 300;
    static constexpr pa_usec_t kMinimumCheckUs = 1000;
    static constexpr pa_usec_t kStalledCheckUs = 20 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t kPositionRefreshUs = 15 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t kTimingRefreshUs = 100 * PA_USEC_PER_MSEC;

    std::uint64_t pulled_ = 0;  // bytes written since open or the last flush
    std::uint64_t reported_ = 0;  // frames reported played since then
    std::int64_t base_ = 0;  // stream index of the first of those bytes
    bool baseKnown_ = true;
    bool running_ = false;  // the server's stream is uncorked
    bool dry_ = false;  // the layer's queue ran out at the last fill
    bool drainPending_ = false;  // a drain went out and is not answered yet
    bool drained_ = false;  // a drain was answered since the last write
    bool checkArmed_ = false;
    bool timingPending_ = false;  // a timing update of ours is on its way
    pa_usec_t checkDue_ = 0;
    std::uint64_t checkedAt_ = ~std::uint64_t{0};  // reported_ at the last scheduling
};

}  // namespace sorn::audio::pulse
