#include "platform/backends/pulse/PulseConnection.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <map>

#include "threading/Mutex.h"

namespace sorn::audio::pulse {

namespace {

void OnContextState(pa_context*, void* userdata) { static_cast<Connection*>(userdata)->Signal(); }

// Fires once when a bounded wait runs out.
struct WaitTimer {
    Connection* connection;
    bool expired = false;
};

void OnWaitTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* timer = static_cast<WaitTimer*>(userdata);
    timer->expired = true;
    timer->connection->Signal();
}

// Collects the answers of one device-list operation.
struct DeviceList {
    Connection* connection;
    std::vector<DeviceInfo>* devices;
    bool finished = false;
};

void MarkMonitor(const pa_sink_info*, DeviceInfo*) {}
void MarkMonitor(const pa_source_info* info, DeviceInfo* device) {
    device->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
}

template <typename Info>
void AddDevice(const Info* info, int eol, DeviceList* list) {
    if (eol != 0 || info == nullptr) {
        list->finished = true;
        list->connection->Signal();
        return;
    }
    DeviceInfo device;
    device.index = info->index;
    device.name = info->name ? info->name : "";
    device.description = info->description ? info->description : device.name;
    device.channels = info->sample_spec.channels;
    device.rate = info->sample_spec.rate;
    MarkMonitor(info, &device);
    list->devices->push_back(std::move(device));
}

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    AddDevice(info, eol, static_cast<DeviceList*>(userdata));
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    AddDevice(info, eol, static_cast<DeviceList*>(userdata));
}

struct ServerAnswer {
    Connection* connection;
    Direction direction;
    std::string* name;
    bool finished = false;
    bool known = false;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* answer = static_cast<ServerAnswer*>(userdata);
    if (info != nullptr) {
        const char* name = answer->direction == Direction::Output ? info->default_sink_name : info->default_source_name;
        if (name != nullptr) {
            *answer->name = name;
            answer->known = true;
        }
    }
    answer->finished = true;
    answer->connection->Signal();
}

}  // namespace

std::unique_ptr<Connection> Connection::Open(const std::string& server, unsigned timeoutMs, MMRESULT* error,
                                             std::string* reason) {
    auto fail = [&](MMRESULT code, const char* text) -> std::unique_ptr<Connection> {
        if (error) *error = code;
        if (reason) *reason = text ? text : "";
        return nullptr;
    };
    std::unique_ptr<Connection> connection(new Connection());
    connection->loop_ = pa_threaded_mainloop_new();
    if (connection->loop_ == nullptr) return fail(MMSYSERR_NOMEM, "out of memory");
    pa_threaded_mainloop_set_name(connection->loop_, "sorn-pulse");
    connection->context_ = pa_context_new(pa_threaded_mainloop_get_api(connection->loop_), "Sorn");
    if (connection->context_ == nullptr) return fail(MMSYSERR_NOMEM, "out of memory");
    pa_context_set_state_callback(connection->context_, OnContextState, connection.get());
    // Never spawn a server: with none running the connection fails at once.
    if (pa_context_connect(connection->context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        return fail(MMSYSERR_NODRIVER, pa_strerror(pa_context_errno(connection->context_)));
    }
    if (pa_threaded_mainloop_start(connection->loop_) < 0) {
        return fail(MMSYSERR_NOMEM, "cannot start the sound server thread");
    }
    connection->started_ = true;
    Lock lock(*connection);
    pa_context* context = connection->context_;
    connection->Wait(
        [context] {
            const pa_context_state_t state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeoutMs);
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        const int code = pa_context_errno(context);
        return fail(MMSYSERR_NODRIVER, code != 0 ? pa_strerror(code) : "the sound server did not answer in time");
    }
    if (error) *error = MMSYSERR_NOERROR;
    return connection;
}

Connection::~Connection() {
    if (loop_ == nullptr) return;
    if (context_ != nullptr) {
        if (started_) pa_threaded_mainloop_lock(loop_);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        if (started_) pa_threaded_mainloop_unlock(loop_);
    }
    // Joins the loop thread: no callback runs after this.
    if (started_) pa_threaded_mainloop_stop(loop_);
    if (context_ != nullptr) pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
}

bool Connection::Ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

bool Connection::Dead() const { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }

bool Connection::Wait(const std::function<bool()>& done, unsigned timeoutMs) {
    if (done()) return true;
    WaitTimer timer{this};
    pa_time_event* event = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC, OnWaitTimer, &timer);
    if (event == nullptr) return done();
    while (!done() && !timer.expired && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_threaded_mainloop_wait(loop_);
    }
    pa_threaded_mainloop_get_api(loop_)->time_free(event);
    return done();
}

bool Connection::Complete(pa_operation* operation, const bool& finished, unsigned timeoutMs) {
    lastReplyTimedOut_ = false;
    if (operation == nullptr) return false;
    if (std::chrono::steady_clock::now() < quietUntil_) {
        // The last request went unanswered a moment ago.
        lastReplyTimedOut_ = true;
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return false;
    }
    Wait([&finished] { return finished; }, timeoutMs);
    lastReplyTimedOut_ = !finished && Ready();
    if (lastReplyTimedOut_) {
        quietUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietMs);
    }
    if (!finished) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return finished;
}

bool Connection::ListDevices(Direction direction, std::vector<DeviceInfo>* devices, unsigned timeoutMs) {
    devices->clear();
    if (!Ready()) return false;
    DeviceList list{this, devices};
    pa_operation* operation = direction == Direction::Output
                                  ? pa_context_get_sink_info_list(context_, OnSinkInfo, &list)
                                  : pa_context_get_source_info_list(context_, OnSourceInfo, &list);
    if (!Complete(operation, list.finished, timeoutMs)) {
        devices->clear();
        return false;
    }
    std::sort(devices->begin(), devices->end(),
              [](const DeviceInfo& a, const DeviceInfo& b) { return a.index < b.index; });
    return true;
}

bool Connection::DefaultDeviceName(Direction direction, std::string* name, unsigned timeoutMs) {
    if (!Ready()) return false;
    ServerAnswer answer{this, direction, name};
    pa_operation* operation = pa_context_get_server_info(context_, OnServerInfo, &answer);
    return Complete(operation, answer.finished, timeoutMs) && answer.known;
}

namespace {

// The kept connections, one per server string. Never destroyed: a
// connection's thread may still be wanted while the process exits.
struct Registry {
    Mutex mutex;
    std::map<std::string, std::shared_ptr<Connection>> kept SORN_GUARDED_BY(mutex);
    // Held while one caller connects, so that callers arriving meanwhile
    // wait for its connection instead of making their own.
    Mutex connecting SORN_ACQUIRED_BEFORE(mutex);
};

Registry& Connections() {
    static Registry* registry = new Registry();
    return *registry;
}

std::shared_ptr<Connection> Usable(Registry& registry, const std::string& server) SORN_EXCLUDES(registry.mutex) {
    std::shared_ptr<Connection> kept;
    {
        MutexLock lock(registry.mutex);
        auto found = registry.kept.find(server);
        if (found == registry.kept.end()) return nullptr;
        kept = found->second;
    }
    Connection::Lock lock(*kept);
    return kept->Dead() ? nullptr : kept;
}

}  // namespace

std::shared_ptr<Connection> Shared(const std::string& server, unsigned timeoutMs, MMRESULT* error,
                                   std::string* reason) {
    Registry& registry = Connections();
    if (std::shared_ptr<Connection> kept = Usable(registry, server)) {
        if (error) *error = MMSYSERR_NOERROR;
        return kept;
    }
    MutexLock connecting(registry.connecting);
    if (std::shared_ptr<Connection> kept = Usable(registry, server)) {
        if (error) *error = MMSYSERR_NOERROR;
        return kept;
    }
    std::shared_ptr<Connection> fresh = Connection::Open(server, timeoutMs, error, reason);
    if (!fresh) return nullptr;
    std::shared_ptr<Connection> replaced;  // released outside the registry's lock
    MutexLock lock(registry.mutex);
    std::shared_ptr<Connection>& slot = registry.kept[server];
    replaced = std::move(slot);
    slot = fresh;
    return fresh;
}

bool NumberedDevices(Connection& connection, Direction direction, std::vector<DeviceInfo>* devices,
                     std::string* defaultName, unsigned timeoutMs) {
    if (!connection.ListDevices(direction, devices, timeoutMs)) return false;
    // Index order, monitors last (a stable partition keeps the order within each).
    std::stable_partition(devices->begin(), devices->end(), [](const DeviceInfo& info) { return !info.monitor; });
    if (defaultName != nullptr) {
        defaultName->clear();
        // A server without a default answers with none.
        if (!connection.DefaultDeviceName(direction, defaultName, timeoutMs) && connection.LastReplyTimedOut())
            return false;
    }
    return true;
}

}  // namespace sorn::audio::pulse
