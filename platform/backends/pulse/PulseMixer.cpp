// The sound server's mixer: one mixer device while a server answers, none
// otherwise.
//
// Its tree, fixed when the mixer is opened:
// - destination 0, speakers (DST_SPEAKERS): the volume fader and the mute
//   switch of the default sink of that moment; under it a wave-out source
//   (SRC_WAVEOUT) without controls;
// - destination 1, recording (DST_WAVEIN) without controls of its own; under
//   it a microphone source (SRC_MICROPHONE) with the volume fader and mute
//   switch of the default source of that moment.
// A destination whose device the server does not have is left out.
//
// Beside each fader, a read-only percent control (PERCENT, uniform) gives the
// server's own volume in percent, as pactl shows it (the larger channel),
// also above 100 %.
//
// Faders run from 0 to 65535, mapped linearly onto the server's 0 to 100 %
// (PA_VOLUME_NORM = 65536): raw r is volume round(r * 65536 / 65535), and a
// volume v reads back as round(v * 65535 / 65536), 65535 at most (a boosted
// volume reads as the top). The mapping is exact both ways.
//
// A fader has one channel on a mono device and two otherwise. Left and right
// are the two sides of the device's channel map (pa_channel_position_is_left
// / _is_right): a side reads as the average of its channels (as libpulse's
// own balance does), and a write gives each channel of a side that side's
// value and each channel of neither side (centre, LFE, mono, aux) the larger
// of the two. A device whose map has no left or right channel uses its first
// and second channel.
//
// Every read and write is one request to the server (a write uses the
// channel map of the device), bounded by kWaitMs; a server that is gone
// answers MMSYSERR_NODRIVER at once.
//
// The open mixers share the backend's one connection (Link). When it fails
// (the server died, or restarted) the next request connects again, and a
// mixer then takes its devices' names and channel maps from the new server:
// its tree stays as it was at open. A server that accepts the connection
// and then says nothing (a stopped process) costs one wait of kWaitMs: the
// connection is dropped and no request asks that server again for
// kQuietTime, so a chain of calls (set-up, a burst of object creations) pays
// the wait once.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "platform/backends/pulse/PulseBackend.h"
#include "platform/backends/pulse/PulseConnection.h"
#include "platform/emulation/mixer/MixerBackend.h"
#include "platform/emulation/mixer/MixerTreeParts.h"
#include "threading/Mutex.h"

namespace sorn::audio {
namespace {

using mixer::ControlInfo;

// How long connecting, or one reply, may take: a local server answers in
// milliseconds; a mixer request that also connects stays within 2 s.
constexpr unsigned kWaitMs = 900;
// How long a server that did not answer in time is left alone.
constexpr std::chrono::seconds kQuietTime{3};

using Clock = std::chrono::steady_clock;

// The backend's connection, shared by its open mixers.
class Link {
public:
    explicit Link(std::string server) : server_(std::move(server)) {}

    // The kept connection while it is usable, else a new one; null when no
    // server answers, or when one stayed silent less than kQuietTime ago.
    std::shared_ptr<pulse::Connection> Connect(MMRESULT* error) {
        MutexLock lock(mutex_);
        if (connection_) {
            pulse::Connection::Lock loop(*connection_);
            if (connection_->Ready()) return connection_;
        }
        connection_.reset();
        if (Clock::now() < quietUntil_) {
            if (error) *error = MMSYSERR_NODRIVER;
            return nullptr;
        }
        MMRESULT code = MMSYSERR_NOERROR;
        const Clock::time_point start = Clock::now();
        connection_ = pulse::Shared(server_, kWaitMs, &code);
        // A refusal comes at once; a wait that ran out means a silent server.
        if (!connection_ && Clock::now() - start >= std::chrono::milliseconds(kWaitMs / 2)) {
            quietUntil_ = Clock::now() + kQuietTime;
        }
        if (error) *error = connection_ ? MMSYSERR_NOERROR : (code ? code : MMSYSERR_NODRIVER);
        return connection_;
    }

    // A request on `connection` found no answer in time: it is dropped and
    // the server left alone for kQuietTime.
    void Silent(const std::shared_ptr<pulse::Connection>& connection) {
        std::shared_ptr<pulse::Connection> dropped;
        MutexLock lock(mutex_);
        if (connection_ == connection) dropped = std::move(connection_);
        quietUntil_ = Clock::now() + kQuietTime;
    }

private:
    const std::string server_;
    Mutex mutex_;
    std::shared_ptr<pulse::Connection> connection_ SORN_GUARDED_BY(mutex_);
    Clock::time_point quietUntil_ SORN_GUARDED_BY(mutex_) = {};
};

constexpr DWORD kSpeakersVolume = 1;
constexpr DWORD kSpeakersMute = 2;
constexpr DWORD kMicrophoneVolume = 3;
constexpr DWORD kMicrophoneMute = 4;
constexpr DWORD kSpeakersPercent = 5;
constexpr DWORD kMicrophonePercent = 6;

DWORD ToRaw(pa_volume_t volume) {
    const std::uint64_t raw = (static_cast<std::uint64_t>(volume) * 65535u + 32768u) / 65536u;
    return static_cast<DWORD>(std::min<std::uint64_t>(raw, 65535u));
}

pa_volume_t FromRaw(DWORD raw) {
    return static_cast<pa_volume_t>((static_cast<std::uint64_t>(raw) * 65536u + 32767u) / 65535u);
}

enum class Side { Left, Right, Both };

// The positions libpulse's balance counts as left and as right.
bool IsLeft(pa_channel_position_t position) {
    return position == PA_CHANNEL_POSITION_FRONT_LEFT || position == PA_CHANNEL_POSITION_REAR_LEFT ||
           position == PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER || position == PA_CHANNEL_POSITION_SIDE_LEFT ||
           position == PA_CHANNEL_POSITION_TOP_FRONT_LEFT || position == PA_CHANNEL_POSITION_TOP_REAR_LEFT;
}

bool IsRight(pa_channel_position_t position) {
    return position == PA_CHANNEL_POSITION_FRONT_RIGHT || position == PA_CHANNEL_POSITION_REAR_RIGHT ||
           position == PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER || position == PA_CHANNEL_POSITION_SIDE_RIGHT ||
           position == PA_CHANNEL_POSITION_TOP_FRONT_RIGHT || position == PA_CHANNEL_POSITION_TOP_REAR_RIGHT;
}

Side SideOf(const pa_channel_map& map, unsigned channel) {
    bool anyLeft = false, anyRight = false;
    for (unsigned c = 0; c < map.channels; ++c) {
        anyLeft = anyLeft || IsLeft(map.map[c]);
        anyRight = anyRight || IsRight(map.map[c]);
    }
    if (!anyLeft || !anyRight) return channel == 0 ? Side::Left : channel == 1 ? Side::Right : Side::Both;
    if (IsLeft(map.map[channel])) return Side::Left;
    if (IsRight(map.map[channel])) return Side::Right;
    return Side::Both;
}

// The server's own volume in percent, read-only beside a fader.
ControlInfo Percent(DWORD id) {
    return mixer::MakeControl(id, MIXERCONTROL_CONTROLTYPE_PERCENT, MIXERCONTROL_CONTROLF_UNIFORM, "Volume %",
                              "Server volume %", 65535);
}

class PulseMixer final : public mixer::MixerDevice {
public:
    static MMRESULT Open(std::shared_ptr<Link> link, std::unique_ptr<mixer::MixerDevice>* result) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = link->Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        std::unique_ptr<PulseMixer> mixer(new PulseMixer(std::move(link), connection));
        bool silent = false;
        {
            pulse::Connection::Lock lock(*connection);
            silent = !mixer->Build();
            if (!silent && !connection->Ready()) return MMSYSERR_NODRIVER;
        }
        if (silent) {
            mixer->link_->Silent(connection);
            return MMSYSERR_NODRIVER;
        }
        *result = std::move(mixer);
        return MMSYSERR_NOERROR;
    }

    ~PulseMixer() override = default;

    const mixer::MixerTree& Tree() const override { return tree_; }

    MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) override {
        const Direction direction = DirectionOf(controlId);
        std::shared_ptr<pulse::Connection> connection;
        if (MMRESULT error = Bind(&connection)) return error;
        pulse::Connection::Volume volume;
        if (!Ask(connection, [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                return connection->GetVolume(direction, Name(direction), &volume, kWaitMs);
            })) {
            return MMSYSERR_NODRIVER;
        }
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            values->assign(1, volume.mute ? 1 : 0);
            return MMSYSERR_NOERROR;
        }
        if (controlId == kSpeakersPercent || controlId == kMicrophonePercent) {
            std::uint64_t top = 0;
            for (unsigned c = 0; c < volume.volume.channels; ++c)
                top = std::max<std::uint64_t>(top, volume.volume.values[c]);
            values->assign(1, static_cast<DWORD>(
                                  std::min<std::uint64_t>((top * 100 + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM, 65535)));
            return MMSYSERR_NOERROR;
        }
        if (volume.volume.channels == 1) {
            values->assign(1, ToRaw(volume.volume.values[0]));
            return MMSYSERR_NOERROR;
        }
        std::uint64_t sum[2] = {0, 0};
        unsigned count[2] = {0, 0};
        for (unsigned c = 0; c < volume.volume.channels && c < volume.map.channels; ++c) {
            const Side side = SideOf(volume.map, c);
            if (side == Side::Both) continue;
            const int k = side == Side::Left ? 0 : 1;
            sum[k] += volume.volume.values[c];
            ++count[k];
        }
        values->resize(2);
        for (int k = 0; k < 2; ++k) {
            (*values)[k] = count[k] ? ToRaw(static_cast<pa_volume_t>(sum[k] / count[k])) : 0;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(DWORD controlId, const std::vector<DWORD>& values) override {
        const Direction direction = DirectionOf(controlId);
        if (values.empty()) return MMSYSERR_INVALPARAM;
        if (controlId == kSpeakersPercent || controlId == kMicrophonePercent) return MMSYSERR_NOTSUPPORTED;
        std::shared_ptr<pulse::Connection> connection;
        if (MMRESULT error = Bind(&connection)) return error;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            return Ask(connection,
                       [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                           return connection->SetMute(direction, Name(direction), values[0] != 0, kWaitMs);
                       })
                       ? MMSYSERR_NOERROR
                       : MMSYSERR_NODRIVER;
        }
        // The device's channel map (seen at open) decides which channel
        // takes which side.
        const pa_channel_map& map = direction == Direction::Output ? sinkMap_ : sourceMap_;
        pa_cvolume volume;
        pa_cvolume_init(&volume);
        volume.channels = map.channels;
        const DWORD left = values[0];
        const DWORD right = values.size() > 1 ? values[1] : values[0];
        for (unsigned c = 0; c < volume.channels; ++c) {
            const Side side = volume.channels == 1 ? Side::Left : SideOf(map, c);
            const DWORD raw = side == Side::Left ? left : side == Side::Right ? right : std::max(left, right);
            volume.values[c] = FromRaw(raw);
        }
        return Ask(connection,
                   [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                       return connection->SetVolume(direction, Name(direction), volume, kWaitMs);
                   })
                   ? MMSYSERR_NOERROR
                   : MMSYSERR_NODRIVER;
    }

private:
    PulseMixer(std::shared_ptr<Link> link, std::shared_ptr<pulse::Connection> connection)
        : link_(std::move(link)), connection_(std::move(connection)) {}

    // The connection for a request: the link's present one. A new one (the
    // server restarted) first gives the devices' names and channel maps.
    MMRESULT Bind(std::shared_ptr<pulse::Connection>* result) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = link_->Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        if (connection != connection_) {
            DWORD channels = 0;
            std::string description;
            bool silent = false;
            {
                pulse::Connection::Lock lock(*connection);
                for (Direction direction : {Direction::Output, Direction::Input}) {
                    if (!silent && !TakeDefault(*connection, direction, &channels, &description)) {
                        silent = connection->LastReplyTimedOut();
                    }
                }
            }
            if (silent) {
                link_->Silent(connection);
                return MMSYSERR_NODRIVER;
            }
            connection_ = connection;
        }
        *result = std::move(connection);
        return MMSYSERR_NOERROR;
    }

    // Runs one request with the connection's lock held; one that found no
    // answer in time makes the link leave the server alone for a while. (The
    // analysis does not see into a request, so each is written unchecked.)
    template <typename Request>
    bool Ask(const std::shared_ptr<pulse::Connection>& connection, Request request) {
        bool done = false, silent = false;
        {
            pulse::Connection::Lock lock(*connection);
            done = request();
            silent = !done && connection->LastReplyTimedOut();
        }
        if (silent) link_->Silent(connection);
        return done;
    }

    static Direction DirectionOf(DWORD controlId) {
        return controlId == kSpeakersVolume || controlId == kSpeakersMute || controlId == kSpeakersPercent
                   ? Direction::Output
                   : Direction::Input;
    }
    const std::string& Name(Direction direction) const { return direction == Direction::Output ? sink_ : source_; }

    // With `connection`'s lock held: takes the default device of `direction`
    // as it is now, keeping its name and channel map for the volume calls;
    // gives its channels (1 or 2) and description. False when the server has
    // none or does not answer in time.
    bool TakeDefault(pulse::Connection& connection, Direction direction, DWORD* channels, std::string* description)
        SORN_REQUIRES(connection) {
        std::string& name = direction == Direction::Output ? sink_ : source_;
        pulse::Connection::Volume volume;
        if (!connection.DefaultDeviceName(direction, &name, kWaitMs) ||
            !connection.GetVolume(direction, name, &volume, kWaitMs)) {
            return false;
        }
        (direction == Direction::Output ? sinkMap_ : sourceMap_) = volume.map;
        *channels = volume.volume.channels == 1 ? 1 : 2;
        *description = volume.description;
        return true;
    }

    // With the lock held: the defaults of this moment make the tree. False
    // when the server stopped answering. (Open holds the lock under the
    // name of its own pointer to the connection, which the analysis cannot
    // match with connection_.)
    bool Build() SORN_NO_THREAD_SAFETY_ANALYSIS {
        tree_.name = "PulseAudio";
        DWORD channels = 0;
        std::string description;
        if (TakeDefault(*connection_, Direction::Output, &channels, &description)) {
            tree_.destinations.push_back(
                mixer::SpeakersDestination(channels, description,
                                           {mixer::VolumeFader(kSpeakersVolume, 65536),
                                            mixer::MuteSwitch(kSpeakersMute), Percent(kSpeakersPercent)}));
        } else if (connection_->LastReplyTimedOut()) {
            return false;
        }
        if (TakeDefault(*connection_, Direction::Input, &channels, &description)) {
            tree_.destinations.push_back(
                mixer::RecordingDestination(channels, description,
                                            {mixer::VolumeFader(kMicrophoneVolume, 65536),
                                             mixer::MuteSwitch(kMicrophoneMute), Percent(kMicrophonePercent)}));
        } else if (connection_->LastReplyTimedOut()) {
            return false;
        }
        return true;
    }

    const std::shared_ptr<Link> link_;
    std::shared_ptr<pulse::Connection> connection_;  // the one the names and maps were taken on
    std::string sink_;
    std::string source_;
    pa_channel_map sinkMap_{};
    pa_channel_map sourceMap_{};
    mixer::MixerTree tree_;
};

class PulseMixers final : public mixer::MixerBackend {
public:
    explicit PulseMixers(std::string server) : link_(std::make_shared<Link>(std::move(server))) {}

    UINT DeviceCount() override { return link_->Connect(nullptr) ? 1 : 0; }

    MMRESULT Open(UINT device, std::unique_ptr<mixer::MixerDevice>* result) override {
        if (device != 0) return MMSYSERR_BADDEVICEID;
        return PulseMixer::Open(link_, result);
    }

private:
    const std::shared_ptr<Link> link_;
};

}  // namespace

std::shared_ptr<mixer::MixerBackend> CreatePulseMixers(const std::string& server) {
    return std::make_shared<PulseMixers>(server);
}

}  // namespace sorn::audio
