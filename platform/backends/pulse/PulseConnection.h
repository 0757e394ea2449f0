#pragma once
// One connection to the PulseAudio sound server: a libpulse threaded main
// loop and its context. A process keeps one per server (Shared): device
// questions, mixers and playback streams use it, so a host costs the server
// one client and one thread (a record stream opens one of its own: see
// OpenStream). When the server dies the connection fails with
// everything on it, and the next Shared connects again.
//
// Locking: libpulse runs every callback on the loop thread with the loop lock
// held. Other threads take the lock (Lock) before they touch the context or
// a stream of it. Waits release the lock while they sleep and are bounded by
// a timeout; a failed context ends them early. Never call Wait or the
// destructor on the loop thread itself. The connection is the lock as the
// thread-safety analysis sees it: Lock takes it, and the calls below that
// need it held say so.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/emulation/wave/Backend.h"
#include "threading/ThreadSafety.h"

namespace sorn::audio::pulse {

// How long a connection may take before the server counts as absent. A
// local server refuses or answers within a few milliseconds; the bound only
// matters for a server that accepts the socket and then says nothing.
constexpr unsigned kConnectTimeoutMs = 2000;
// How long a reply (device list, stream creation) may take.
constexpr unsigned kReplyTimeoutMs = 2000;
// After a request found no answer in time (a stopped server keeps the
// connection open and says nothing), how long the requests that follow fail
// at once instead of waiting again: a host's burst of device questions pays
// one wait, not one each.
constexpr unsigned kQuietMs = 3000;

// A sink or a source as the server lists it.
struct DeviceInfo {
    std::uint32_t index = 0;
    std::string name;  // the server's name, e.g. "sorn_null"
    std::string description;  // the human-readable one
    std::uint16_t channels = 2;
    std::uint32_t rate = 0;
    bool monitor = false;  // a source that records what a sink plays
};

class SORN_CAPABILITY("loop lock") Connection {
public:
    // Connects to `server` (a libpulse server string; empty for the default,
    // which honours PULSE_SERVER) without ever starting a server. On failure
    // returns null and sets *error (MMSYSERR_NODRIVER when no server answers,
    // MMSYSERR_NOMEM) and *reason (libpulse's text).
    static std::unique_ptr<Connection> Open(const std::string& server, unsigned timeoutMs, MMRESULT* error,
                                            std::string* reason = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_threaded_mainloop* Loop() const { return loop_; }
    pa_context* Context() const { return context_; }

    // Holds the loop lock for its scope.
    class SORN_SCOPED_CAPABILITY Lock {
    public:
        explicit Lock(const Connection& connection) SORN_ACQUIRE(connection) : loop_(connection.loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
        ~Lock() SORN_RELEASE() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    // With the lock held: the context has failed (the server died or closed
    // the connection); nothing on it will ever work again.
    bool Dead() const SORN_REQUIRES(this);

    // With the lock held: sleeps until `done` is true, the context has
    // failed, or `timeoutMs` passed. Returns `done()`. Callbacks that change
    // what `done` looks at must call Signal.
    bool Wait(const std::function<bool()>& done, unsigned timeoutMs) SORN_REQUIRES(this);
    // With the lock held (on the loop thread, say): wakes the waiters. Not
    // marked as requiring the lock: libpulse's callbacks hold it where the
    // analysis cannot see.
    void Signal() const { pa_threaded_mainloop_signal(loop_, 0); }
    // With the lock held: the context is connected and usable.
    bool Ready() const SORN_REQUIRES(this);
    // With the lock held: whether the last request found no answer in time
    // (a server that stalls keeps the context "ready"). Each request below
    // waits at most `timeoutMs` for its reply.
    bool LastReplyTimedOut() const SORN_REQUIRES(this) { return lastReplyTimedOut_; }

    // With the lock held: the sinks (Output) or sources (Input) ordered by
    // their server index, which gives the device ids. False when the server
    // did not answer in time.
    bool ListDevices(Direction direction, std::vector<DeviceInfo>* devices, unsigned timeoutMs = kReplyTimeoutMs)
        SORN_REQUIRES(this);
    // With the lock held: the name of the server's default sink or source.
    bool DefaultDeviceName(Direction direction, std::string* name, unsigned timeoutMs = kReplyTimeoutMs)
        SORN_REQUIRES(this);

    // With the lock held: the volume, channel map, mute state and
    // description of the sink (Output) or source (Input) named `name`, read
    // from the server now. False when it does not answer in time or has no
    // such device.
    struct Volume {
        pa_cvolume volume{};
        pa_channel_map map{};
        bool mute = false;
        std::string description;
    };
    bool GetVolume(Direction direction, const std::string& name, Volume* volume, unsigned timeoutMs = kReplyTimeoutMs)
        SORN_REQUIRES(this);
    // With the lock held: sets the volume (its channel count must be the
    // device's) or the mute state, and waits for the server's answer. False
    // when the server refuses or does not answer in time.
    bool SetVolume(Direction direction, const std::string& name, const pa_cvolume& volume,
                   unsigned timeoutMs = kReplyTimeoutMs) SORN_REQUIRES(this);
    bool SetMute(Direction direction, const std::string& name, bool mute, unsigned timeoutMs = kReplyTimeoutMs)
        SORN_REQUIRES(this);

private:
    Connection() = default;
    // Runs an introspection operation to its end or its timeout; cancels it
    // on timeout so its callback never runs on freed data.
    bool Complete(pa_operation* operation, const bool& finished, unsigned timeoutMs) SORN_REQUIRES(this);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    bool lastReplyTimedOut_ SORN_GUARDED_BY(this) = false;
    std::chrono::steady_clock::time_point quietUntil_ SORN_GUARDED_BY(this) = {};
};

// The process's connection to `server` (a libpulse server string; empty for
// the default): the one kept from before while it has not failed, else a new
// one, connected within `timeoutMs` and kept from then on. On failure returns
// null and sets *error and *reason as Connection::Open does. Thread-safe;
// callers connecting at once share one attempt.
std::shared_ptr<Connection> Shared(const std::string& server, unsigned timeoutMs, MMRESULT* error,
                                   std::string* reason = nullptr);

// The devices of one direction as the wave layer numbers them: sinks in the
// server's index order; sources in index order, the monitors of sinks after
// the others; *defaultName (when asked for) the default's name, empty when
// the server names none. With the lock held; false when the server did not
// answer in time (LastReplyTimedOut then says whether it is silent).
bool NumberedDevices(Connection& connection, Direction direction, std::vector<DeviceInfo>* devices,
                     std::string* defaultName, unsigned timeoutMs = kReplyTimeoutMs) SORN_REQUIRES(connection);

}  // namespace sorn::audio::pulse
