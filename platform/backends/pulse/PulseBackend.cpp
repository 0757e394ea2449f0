// The PulseAudio backend: sinks are the output devices, sources the input
// devices, numbered in the server's index order with the monitors of sinks
// after the other sources; kDefaultDevice is the server's default sink or
// source. The server
// converts any rate and channel count, so a format question only needs the
// server and the device to be there.
#include "platform/backends/pulse/PulseBackend.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/backends/pulse/PulseConnection.h"
#include "platform/backends/pulse/PulseStream.h"

namespace sorn::audio {

namespace {

// How long "auto" waits for a server before it settles for the virtual device.
constexpr unsigned kAnswerTimeoutMs = 500;

// Reads "server=ADDRESS" (the only option); empty text means libpulse's
// default server (PULSE_SERVER, then the per-user socket).
bool ParseOptions(const char* options, std::string* server) {
    server->clear();
    if (options == nullptr || *options == '\0') return true;
    constexpr const char kServer[] = "server=";
    if (std::strncmp(options, kServer, sizeof kServer - 1) != 0) return false;
    *server = options + sizeof kServer - 1;
    return !server->empty();
}

bool FormatSupported(const StreamFormat& format) {
    pa_sample_spec sampleSpec;
    sampleSpec.format = PA_SAMPLE_S16LE;
    sampleSpec.rate = format.sampleRate;
    sampleSpec.channels = static_cast<std::uint8_t>(format.channels);
    pa_channel_map map;
    return format.channels <= PA_CHANNELS_MAX && pa_sample_spec_valid(&sampleSpec) &&
           pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_WAVEEX) != nullptr;
}

class PulseBackend final : public Backend {
public:
    explicit PulseBackend(std::string server) : server_(std::move(server)) {}

    const char* Name() const override { return "pulse"; }

    UINT DeviceCount(Direction direction) override {
        std::vector<pulse::DeviceInfo> devices;
        if (!List(direction, &devices, nullptr)) return 0;
        return static_cast<UINT>(devices.size());
    }

    MMRESULT Answers() override {
        MMRESULT error = MMSYSERR_NOERROR;
        if (pulse::Shared(server_, pulse::kConnectTimeoutMs, &error)) return MMSYSERR_NOERROR;
        return error ? error : MMSYSERR_NODRIVER;
    }

    UINT DefaultDevice(Direction direction) override {
        std::vector<pulse::DeviceInfo> devices;
        std::string defaultName;
        if (!List(direction, &devices, &defaultName)) return kDefaultDevice;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].name == defaultName) return static_cast<UINT>(i);
        }
        return devices.empty() ? kDefaultDevice : 0;
    }

    MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) override {
        if (caps == nullptr) return MMSYSERR_INVALPARAM;
        std::vector<pulse::DeviceInfo> devices;
        std::string defaultName;
        if (!List(direction, &devices, device == kDefaultDevice ? &defaultName : nullptr)) return MMSYSERR_NODRIVER;
        const pulse::DeviceInfo* info = Find(devices, device, defaultName);
        if (info == nullptr) return MMSYSERR_BADDEVICEID;
        caps->name = info->description;
        // A monitor says so, whatever the server calls it.
        if (info->monitor && info->description.rfind("Monitor of ", 0) != 0) caps->name = "Monitor of " + caps->name;
        // The server converts any channel count it knows to the device's.
        caps->channels = PA_CHANNELS_MAX;
        caps->deviceChannels = info->channels;
        caps->rate = info->rate;
        caps->monitor = info->monitor;
        caps->key = info->name;
        caps->formats = kSixteenBitFormats;
        return MMSYSERR_NOERROR;
    }

    MMRESULT QueryFormat(Direction direction, UINT device, const StreamFormat& format) override {
        std::vector<pulse::DeviceInfo> devices;
        std::string defaultName;
        if (!List(direction, &devices, device == kDefaultDevice ? &defaultName : nullptr)) return MMSYSERR_NODRIVER;
        if (Find(devices, device, defaultName) == nullptr) return MMSYSERR_BADDEVICEID;
        return FormatSupported(format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    }

    MMRESULT Open(Direction direction, UINT device, const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* stream) override {
        if (!FormatSupported(format)) return WAVERR_BADFORMAT;
        return pulse::OpenStream(server_, direction, device, format, std::move(sink), stream);
    }

    std::shared_ptr<mixer::MixerBackend> Mixers() override { return mixers_; }

private:
    // The devices of a direction in the wave layer's order, on the process's
    // connection. False when no server answers.
    bool List(Direction direction, std::vector<pulse::DeviceInfo>* devices, std::string* defaultName) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = pulse::Shared(server_, pulse::kConnectTimeoutMs, &error);
        if (!connection) return false;
        pulse::Connection::Lock lock(*connection);
        return pulse::NumberedDevices(*connection, direction, devices, defaultName);
    }

    // The device behind an id: the id-th in index order, or the default one
    // (the first one when the server names none).
    static const pulse::DeviceInfo* Find(const std::vector<pulse::DeviceInfo>& devices, UINT device,
                                         const std::string& defaultName) {
        if (device != kDefaultDevice) return device < devices.size() ? &devices[device] : nullptr;
        for (const pulse::DeviceInfo& info : devices) {
            if (info.name == defaultName) return &info;
        }
        return devices.empty() ? nullptr : &devices.front();
    }

    const std::string server_;
    const std::shared_ptr<mixer::MixerBackend> mixers_ = CreatePulseMixers(server_);
};

}  // namespace

std::unique_ptr<Backend> CreatePulseBackend(const char* options, MMRESULT* error) {
    std::string server;
    if (!ParseOptions(options, &server)) {
        if (error) *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    if (error) *error = MMSYSERR_NOERROR;
    return std::make_unique<PulseBackend>(std::move(server));
}

namespace {

// The unix socket a server string names ("unix:PATH" or a bare path), or
// libpulse's default one (PULSE_SERVER, then the per-user socket); empty for
// anything else (TCP, a list).
std::string SocketPath(std::string server) {
    if (server.empty()) {
        if (const char* named = std::getenv("PULSE_SERVER"); named && *named) {
            server = named;
        } else if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime) {
            return std::string(runtime) + "/native";
        } else if (const char* user = std::getenv("XDG_RUNTIME_DIR"); user && *user) {
            return std::string(user) + "/pulse/native";
        } else {
            return "/run/user/" + std::to_string(getuid()) + "/pulse/native";
        }
    }
    if (server.rfind("unix:", 0) == 0) server.erase(0, 5);
    return !server.empty() && server[0] == '/' && server.find(' ') == std::string::npos ? server : std::string();
}

// A server whose queue of waiting connections is full (it stopped taking
// them) refuses libpulse at once, like a socket nobody listens on. A
// connection that is not kept waiting tells them apart: EAGAIN for a full
// queue, ECONNREFUSED for nobody.
bool QueueFull(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0) return false;
    const bool full =
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 && errno == EAGAIN;
    ::close(socket);
    return full;
}

}  // namespace

bool PulseServerAnswers(const char* options, bool* silent) {
    if (silent) *silent = false;
    std::string server;
    if (!ParseOptions(options, &server)) return false;
    MMRESULT error = MMSYSERR_NOERROR;
    const auto start = std::chrono::steady_clock::now();
    // The connection is kept: the opens that follow use it.
    if (pulse::Shared(server, kAnswerTimeoutMs, &error) != nullptr) return true;
    // A refusal comes at once; a wait that ran out, or a full queue, means a
    // silent server.
    if (silent) {
        *silent = std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kAnswerTimeoutMs / 2) ||
                  QueueFull(SocketPath(server));
    }
    return false;
}

}  // namespace sorn::audio
