#include "platform/backends/pulse/PulseStream.h"

#include <string>
#include <vector>

#include "platform/backends/pulse/InputStream.h"
#include "platform/backends/pulse/OutputStream.h"

namespace sorn::audio::pulse {

namespace {

// A sink whose rendered data reaches this far ahead while it is idle is
// woken for a new stream (WakeStalledSink).
constexpr pa_usec_t kStalledSinkUs = 250 * PA_USEC_PER_MSEC;

MMRESULT CodeOf(int paError) {
    switch (paError) {
        case PA_ERR_NOENTITY:
            return MMSYSERR_BADDEVICEID;
        case PA_ERR_INVALID:
        case PA_ERR_NOTSUPPORTED:
            return WAVERR_BADFORMAT;
        default:
            return kLost;
    }
}

}  // namespace

void PulseStream::Close() {
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
    // Every callback runs with the loop lock held, and those of this stream
    // were cleared or cancelled under it: none runs after this.
    connection_.reset();
    sink_.reset();
}

bool PulseStream::Cork(bool cork) {
    pa_operation* operation = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr);
    if (operation == nullptr) return false;
    pa_operation_unref(operation);
    return true;
}

void PulseStream::OnState(pa_stream* stream, void* userdata) {
    static_cast<PulseStream*>(userdata)->StateChanged(pa_stream_get_state(stream));
}

void PulseStream::StateChanged(pa_stream_state_t state) {
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && open_ && !failed_ && !closed_) {
        failed_ = true;
        sink_->Failed(kLost);
    }
    connection_->Signal();
}

void PulseStream::Track(pa_operation* operation) {
    std::erase_if(pending_, [](pa_operation* kept) {
        if (pa_operation_get_state(kept) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(kept);
        return true;
    });
    pending_.push_back(operation);
}

void PulseStream::ReleaseStream() {
    for (pa_operation* operation : pending_) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    pending_.clear();
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

MMRESULT PulseStream::Connect(UINT device, const StreamFormat& format) {
    Connection::Lock lock(*connection_);
    if (connection_->Dead()) return kLost;
    std::string deviceName;
    if (device != kDefaultDevice) {
        std::vector<DeviceInfo> devices;
        if (!NumberedDevices(*connection_, direction_, &devices, nullptr)) return kLost;
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
    stream_ = pa_stream_new(connection_->Context(), direction_ == Direction::Output ? "Sorn playback" : "Sorn capture",
                            &spec_, &map);
    if (stream_ == nullptr) return CodeOf(pa_context_errno(connection_->Context()));
    pa_stream_set_state_callback(stream_, OnState, this);
    SetUpCallbacks();
    if (ConnectStream(deviceName.empty() ? nullptr : deviceName.c_str(), !deviceName.empty()) < 0) {
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
bool Await(Connection& connection, pa_operation* operation, SinkState& state) SORN_REQUIRES(connection) {
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
        if (!Await(*connection_, pa_context_get_source_info_by_index(context, device, OnSourceState, &state), state) ||
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

MMRESULT OpenStream(const std::string& server, Direction direction, UINT device, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* stream) {
    if (stream == nullptr || !sink) return MMSYSERR_INVALPARAM;
    MMRESULT error = MMSYSERR_NOERROR;
    std::shared_ptr<Connection> connection = Shared(server, kConnectTimeoutMs, &error);
    if (!connection) return error;
    std::unique_ptr<PulseStream> opened;
    if (direction == Direction::Output) {
        opened = std::make_unique<OutputStream>(std::move(connection), std::move(sink), direction);
    } else {
        // A record stream has a connection of its own. PipeWire's pulse
        // service delivers the record streams of one client late and in
        // bursts when that client carries other streams too: three recorders
        // on one connection got their data in bursts (one kept 0 % of real
        // time over 1.5 s), and a recorder beside a player lost frames now
        // and then.
        connection.reset();
        std::shared_ptr<Connection> own = Connection::Open(server, kConnectTimeoutMs, &error);
        if (!own) return error;
        opened = std::make_unique<InputStream>(std::move(own), std::move(sink), direction);
    }
    error = opened->Connect(device, format);
    if (error != MMSYSERR_NOERROR) return error;  // the destructor closes what was opened
    *stream = std::move(opened);
    return MMSYSERR_NOERROR;
}

}  // namespace sorn::audio::pulse
