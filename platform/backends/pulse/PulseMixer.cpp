// The sound server's mixers: one per device, numbered as the wave layer
// numbers the devices (pulse::NumberedDevices): mixer k < sinks is sink k,
// the rest are the sources in their wave-in order (monitors of sinks last).
//
// A sink's mixer has one destination, speakers (DST_SPEAKERS), with the
// sink's volume fader and mute switch, and under it a wave-out source
// (SRC_WAVEOUT) without controls. A source's mixer has one destination,
// recording (DST_WAVEIN), without controls of its own; under it a
// microphone source (SRC_MICROPHONE) with the source's fader and mute switch.
// Such a mixer stays with its device (by the server's name for it); once the
// device is gone it answers MMSYSERR_NODRIVER.
//
// The mixer opened for the wave mapper (a stream the mapper opened, or
// WAVE_MAPPER as a wave device id) follows the server's defaults: its tree,
// fixed at open, has destination 0, speakers, as above, and destination 1,
// recording, as above (a destination whose device the server did not have
// at open is left out), and each of its reads and writes acts on the
// default sink or source of that moment ("@DEFAULT_SINK@" /
// "@DEFAULT_SOURCE@"), a write with that device's own channel map. So a
// volume set after the user switched the default sets the new default.
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
// and second channel. (The mapper's fader keeps the channel count of the
// default it saw at open: a mono default read through a two-channel fader
// reads the same on both, a stereo one through a one-channel fader reads
// its larger side.)
//
// Every read and write is one request to the server (a write to the
// mapper's mixer two: the device's channel map first), bounded by kWaitMs; a
// server that is gone answers MMSYSERR_NODRIVER at once.
//
// The open mixers share the backend's one connection (Link). When it fails
// (the server died, or restarted) the next request connects again, and a
// mixer then takes its device's channel map from the new server: its tree
// stays as it was at open. A server that accepts the connection and then
// says nothing (a stopped process) costs one wait of kWaitMs: the
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

// What one side (speakers or microphone) of a mixer acts on.
struct Target {
    std::string name;  // the server's name, or @DEFAULT_SINK@ / @DEFAULT_SOURCE@; empty: none
    pa_channel_map map{};  // a numbered device's, seen at open (the mapper's is read per write)
    DWORD lineChannels = 0;  // the fader's channels in the tree
};

const char* DefaultName(Direction direction) {
    return direction == Direction::Output ? "@DEFAULT_SINK@" : "@DEFAULT_SOURCE@";
}

class PulseMixer final : public mixer::MixerDevice {
public:
    // Opens the mixer of `device` of `direction`, or, with `device` null, the
    // mapper's mixer that follows the defaults.
    static MMRESULT Open(std::shared_ptr<Link> link, Direction direction, const pulse::DeviceInfo* device,
                         std::unique_ptr<mixer::MixerDevice>* result) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = link->Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        std::unique_ptr<PulseMixer> mixer(new PulseMixer(std::move(link), connection, device == nullptr));
        MMRESULT built = MMSYSERR_NOERROR;
        bool silent = false;
        {
            pulse::Connection::Lock lock(*connection);
            built = device ? mixer->BuildNumbered(*connection, direction, *device) : mixer->BuildMapper(*connection);
            silent = built != MMSYSERR_NOERROR && connection->LastReplyTimedOut();
            if (built == MMSYSERR_NOERROR && !connection->Ready()) built = MMSYSERR_NODRIVER;
        }
        if (silent) mixer->link_->Silent(connection);
        if (built != MMSYSERR_NOERROR) return built;
        *result = std::move(mixer);
        return MMSYSERR_NOERROR;
    }

    ~PulseMixer() override = default;

    const mixer::MixerTree& Tree() const override { return tree_; }

    MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) override {
        const Direction direction = DirectionOf(controlId);
        const Target& target = TargetOf(direction);
        if (target.name.empty()) return MMSYSERR_INVALPARAM;  // the tree has no such control
        std::shared_ptr<pulse::Connection> connection;
        if (MMRESULT error = Bind(&connection)) return error;
        pulse::Connection::Volume volume;
        if (!Ask(connection, [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                return connection->GetVolume(direction, target.name, &volume, kWaitMs);
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
        DWORD sides[2] = {0, 0};
        if (volume.volume.channels == 1) {
            sides[0] = sides[1] = ToRaw(volume.volume.values[0]);
        } else {
            std::uint64_t sum[2] = {0, 0};
            unsigned count[2] = {0, 0};
            for (unsigned c = 0; c < volume.volume.channels && c < volume.map.channels; ++c) {
                const Side side = SideOf(volume.map, c);
                if (side == Side::Both) continue;
                const int k = side == Side::Left ? 0 : 1;
                sum[k] += volume.volume.values[c];
                ++count[k];
            }
            for (int k = 0; k < 2; ++k) sides[k] = count[k] ? ToRaw(static_cast<pa_volume_t>(sum[k] / count[k])) : 0;
        }
        // As many values as the fader has channels (the mapper's default may
        // have changed its count since open).
        if (target.lineChannels == 1) {
            values->assign(1, volume.volume.channels == 1 ? sides[0] : std::max(sides[0], sides[1]));
        } else {
            values->assign(sides, sides + 2);
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(DWORD controlId, const std::vector<DWORD>& values) override {
        const Direction direction = DirectionOf(controlId);
        const Target& target = TargetOf(direction);
        if (values.empty() || target.name.empty()) return MMSYSERR_INVALPARAM;
        if (controlId == kSpeakersPercent || controlId == kMicrophonePercent) return MMSYSERR_NOTSUPPORTED;
        std::shared_ptr<pulse::Connection> connection;
        if (MMRESULT error = Bind(&connection)) return error;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            return Ask(connection,
                       [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                           return connection->SetMute(direction, target.name, values[0] != 0, kWaitMs);
                       })
                       ? MMSYSERR_NOERROR
                       : MMSYSERR_NODRIVER;
        }
        // The device's channel map decides which channel takes which side:
        // a numbered device's as seen at open, the default's as it is now.
        pa_channel_map map = target.map;
        if (follows_) {
            pulse::Connection::Volume now;
            if (!Ask(connection, [&]() SORN_NO_THREAD_SAFETY_ANALYSIS {
                    return connection->GetVolume(direction, target.name, &now, kWaitMs);
                })) {
                return MMSYSERR_NODRIVER;
            }
            map = now.map;
        }
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
                       return connection->SetVolume(direction, target.name, volume, kWaitMs);
                   })
                   ? MMSYSERR_NOERROR
                   : MMSYSERR_NODRIVER;
    }

private:
    PulseMixer(std::shared_ptr<Link> link, std::shared_ptr<pulse::Connection> connection, bool follows)
        : link_(std::move(link)), connection_(std::move(connection)), follows_(follows) {}

    // The connection for a request: the link's present one. On a new one
    // (the server restarted) a numbered device's channel map is taken again.
    MMRESULT Bind(std::shared_ptr<pulse::Connection>* result) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = link_->Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        if (connection != connection_) {
            bool silent = false;
            if (!follows_) {
                pulse::Connection::Lock lock(*connection);
                for (Direction direction : {Direction::Output, Direction::Input}) {
                    Target& target = direction == Direction::Output ? sink_ : source_;
                    if (silent || target.name.empty()) continue;
                    pulse::Connection::Volume volume;
                    if (connection->GetVolume(direction, target.name, &volume, kWaitMs)) {
                        target.map = volume.map;
                    } else {
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
    const Target& TargetOf(Direction direction) const { return direction == Direction::Output ? sink_ : source_; }

    // With `connection`'s lock held: reads device `name` of `direction` and
    // makes it the target of that side; gives its description. False when
    // the server has no such device or does not answer in time.
    bool Take(pulse::Connection& connection, Direction direction, const std::string& name, std::string* description)
        SORN_REQUIRES(connection) {
        pulse::Connection::Volume volume;
        if (!connection.GetVolume(direction, name, &volume, kWaitMs)) return false;
        Target& target = direction == Direction::Output ? sink_ : source_;
        target.name = name;
        target.map = volume.map;
        target.lineChannels = volume.volume.channels == 1 ? 1 : 2;
        *description = volume.description;
        return true;
    }

    void AddDestination(Direction direction, const std::string& description) {
        const DWORD channels = TargetOf(direction).lineChannels;
        if (direction == Direction::Output) {
            tree_.destinations.push_back(
                mixer::SpeakersDestination(channels, description,
                                           {mixer::VolumeFader(kSpeakersVolume, 65536),
                                            mixer::MuteSwitch(kSpeakersMute), Percent(kSpeakersPercent)}));
        } else {
            tree_.destinations.push_back(
                mixer::RecordingDestination(channels, description,
                                            {mixer::VolumeFader(kMicrophoneVolume, 65536),
                                             mixer::MuteSwitch(kMicrophoneMute), Percent(kMicrophonePercent)}));
        }
    }

    // With the lock held: the tree of one numbered device. MMSYSERR_NODRIVER
    // when it is gone or the server stopped answering.
    MMRESULT BuildNumbered(pulse::Connection& connection, Direction direction, const pulse::DeviceInfo& device)
        SORN_REQUIRES(connection) {
        std::string description;
        if (!Take(connection, direction, device.name, &description)) return MMSYSERR_NODRIVER;
        tree_.name = description;
        AddDestination(direction, description);
        return MMSYSERR_NOERROR;
    }

    // With the lock held: the mapper's tree, from the defaults of this
    // moment. MMSYSERR_NODRIVER when the server stopped answering.
    MMRESULT BuildMapper(pulse::Connection& connection) SORN_REQUIRES(connection) {
        tree_.name = "PulseAudio";
        for (Direction direction : {Direction::Output, Direction::Input}) {
            std::string description;
            if (Take(connection, direction, DefaultName(direction), &description)) {
                AddDestination(direction, description);
            } else if (connection.LastReplyTimedOut()) {
                return MMSYSERR_NODRIVER;
            }
        }
        return MMSYSERR_NOERROR;
    }

    const std::shared_ptr<Link> link_;
    std::shared_ptr<pulse::Connection> connection_;  // the one the channel maps were taken on
    const bool follows_;  // the mapper's: acts on the defaults of each moment
    Target sink_;
    Target source_;
    mixer::MixerTree tree_;
};

// The server's devices in the wave layer's order (as pulse::NumberedDevices
// gives them, each list bounded by kWaitMs) and, when asked, the names of
// its defaults.
struct Listing {
    std::vector<pulse::DeviceInfo> sinks;
    std::vector<pulse::DeviceInfo> sources;
    std::string defaultSink;
    std::string defaultSource;

    UINT Count() const { return static_cast<UINT>(sinks.size() + sources.size()); }
};

class PulseMixers final : public mixer::MixerBackend {
public:
    explicit PulseMixers(std::string server) : link_(std::make_shared<Link>(std::move(server))) {}

    UINT DeviceCount() override {
        Listing listing;
        return List(&listing, false) == MMSYSERR_NOERROR ? listing.Count() : 0;
    }

    MMRESULT Open(UINT device, std::unique_ptr<mixer::MixerDevice>* result) override {
        Listing listing;
        if (MMRESULT error = List(&listing, false)) return error;
        if (device < listing.sinks.size()) {
            return PulseMixer::Open(link_, Direction::Output, &listing.sinks[device], result);
        }
        if (device < listing.Count()) {
            return PulseMixer::Open(link_, Direction::Input, &listing.sources[device - listing.sinks.size()], result);
        }
        return MMSYSERR_BADDEVICEID;
    }

    MMRESULT OpenFor(Direction direction, UINT waveDevice, std::unique_ptr<mixer::MixerDevice>* result) override {
        if (waveDevice == kDefaultDevice) return PulseMixer::Open(link_, direction, nullptr, result);
        Listing listing;
        if (MMRESULT error = List(&listing, false)) return error;
        const std::vector<pulse::DeviceInfo>& devices =
            direction == Direction::Output ? listing.sinks : listing.sources;
        if (waveDevice >= devices.size()) return MMSYSERR_BADDEVICEID;
        return PulseMixer::Open(link_, direction, &devices[waveDevice], result);
    }

    UINT MixerOf(Direction direction, UINT waveDevice) override {
        Listing listing;
        if (List(&listing, waveDevice == kDefaultDevice) != MMSYSERR_NOERROR) return kNoMixer;
        const bool output = direction == Direction::Output;
        const std::vector<pulse::DeviceInfo>& devices = output ? listing.sinks : listing.sources;
        const UINT first = output ? 0 : static_cast<UINT>(listing.sinks.size());
        if (waveDevice == kDefaultDevice) {
            const std::string& name = output ? listing.defaultSink : listing.defaultSource;
            for (std::size_t k = 0; k < devices.size(); ++k) {
                if (devices[k].name == name) return first + static_cast<UINT>(k);
            }
            return kNoMixer;
        }
        return waveDevice < devices.size() ? first + waveDevice : kNoMixer;
    }

private:
    MMRESULT List(Listing* listing, bool defaults) {
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = link_->Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        bool done = false, silent = false;
        {
            pulse::Connection::Lock lock(*connection);
            // A server without a default answers with none: no mixer then.
            done = pulse::NumberedDevices(*connection, Direction::Output, &listing->sinks,
                                          defaults ? &listing->defaultSink : nullptr, kWaitMs) &&
                   pulse::NumberedDevices(*connection, Direction::Input, &listing->sources,
                                          defaults ? &listing->defaultSource : nullptr, kWaitMs);
            silent = !done && connection->LastReplyTimedOut();
        }
        if (silent) link_->Silent(connection);
        return done ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    }

    const std::shared_ptr<Link> link_;
};

}  // namespace

std::shared_ptr<mixer::MixerBackend> CreatePulseMixers(const std::string& server) {
    return std::make_shared<PulseMixers>(server);
}

}  // namespace sorn::audio
