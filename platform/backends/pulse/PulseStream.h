#pragma once
// Streams on the PulseAudio sound server. OpenStream opens a playback
// stream (OutputStream) or a record stream (InputStream); PulseStream is
// what the two share: the connection (the process's for playback, one of
// its own for a record stream), the libpulse stream, connecting it to a
// device, the failure path and closing.
//
// A stream on a numbered device stays on it (the server may not move it)
// and fails when that device goes away. A stream on kDefaultDevice goes
// where the server puts it: to the new default when the user switches,
// to the fallback when its device goes away.
//
// Either direction: when the stream fails (the server died, the device went
// away) the layer hears Failed once and every later call answers
// MMSYSERR_NODRIVER. Nothing waits without a timeout.
#include <pulse/pulseaudio.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/backends/pulse/PulseConnection.h"
#include "platform/emulation/wave/Backend.h"

namespace sorn::audio::pulse {

// The code every call answers once the server or the device is gone.
constexpr MMRESULT kLost = MMSYSERR_NODRIVER;

// Opens a stream on `device` (kDefaultDevice: the server's default sink or
// source) of the server `server` (empty: libpulse's default).
MMRESULT OpenStream(const std::string& server, Direction direction, UINT device, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* stream);

// What the playback and record streams share: the connection, the libpulse
// stream, the failure path and closing. Every field below is guarded by the
// connection's loop lock.
class PulseStream : public Stream {
public:
    PulseStream(std::shared_ptr<Connection> connection, std::shared_ptr<StreamSink> sink, Direction direction)
        : connection_(std::move(connection)), sink_(std::move(sink)), direction_(direction) {}
    ~PulseStream() override { PulseStream::Close(); }

    // Creates the libpulse stream and connects it to `device`, waiting (up
    // to the reply timeout) until the server has it ready.
    MMRESULT Connect(UINT device, const StreamFormat& format);

    void Close() override;

protected:
    // Corks or uncorks; false when the stream can no longer be used.
    bool Cork(bool cork);
    bool Usable() const { return stream_ != nullptr && !failed_ && !closed_; }

    virtual void SetUpCallbacks() = 0;
    void WakeStalledSink() SORN_REQUIRES(*connection_);
    // `device` is null for the server's default; `pinned` keeps the stream
    // on the device it names.
    virtual int ConnectStream(const char* device, bool pinned) = 0;
    // With the lock held: keeps a running operation whose callback points at
    // this stream, so that closing cancels it (takes the reference). Not
    // marked as requiring the lock: the loop thread's callbacks call it,
    // which hold the lock where the analysis cannot see.
    void Track(pa_operation* operation);

    std::shared_ptr<Connection> connection_;
    std::shared_ptr<StreamSink> sink_;
    const Direction direction_;
    pa_stream* stream_ = nullptr;
    pa_sample_spec spec_{};
    std::size_t frameBytes_ = 2;
    bool open_ = false;  // Connect succeeded: failures go to the layer
    bool failed_ = false;
    bool closed_ = false;
    bool started_ = false;
    pa_time_event* check_ = nullptr;  // playback's played-frames timer
    std::vector<pa_operation*> pending_;  // see Track

private:
    static void OnState(pa_stream* stream, void* userdata);
    void StateChanged(pa_stream_state_t state);
    void ReleaseStream();
};

}  // namespace sorn::audio::pulse
