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
// channel map seen at open, which a device keeps for its life), bounded by
// kReplyTimeoutMs; a server that is gone answers MMSYSERR_NODRIVER at once.
// The open mixers share the backend's one connection.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio/pulse/PulseBackend.h"
#include "platform/audio/pulse/PulseConnection.h"
#include "platform/mixer/MixerBackend.h"

namespace sorn::audio {
namespace {

using mixer::ControlInfo;
using mixer::LineInfo;

constexpr DWORD kSpeakersVolume = 1;
constexpr DWORD kSpeakersMute = 2;
constexpr DWORD kMicrophoneVolume = 3;
constexpr DWORD kMicrophoneMute = 4;

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

ControlInfo Fader(DWORD id) {
    ControlInfo control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control.shortName = "Volume";
    control.name = "Volume";
    control.minimum = 0;
    control.maximum = 65535;
    control.steps = 65536;
    return control;
}

ControlInfo Switch(DWORD id) {
    ControlInfo control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    control.shortName = "Mute";
    control.name = "Mute";
    control.maximum = 1;
    return control;
}

LineInfo Line(DWORD type, DWORD channels, const std::string& name, DWORD target, const std::string& device) {
    LineInfo line;
    line.componentType = type;
    line.channels = channels;
    line.name = name;
    line.shortName = name.substr(0, MIXER_SHORT_NAME_CHARS - 1);
    line.targetType = target;
    line.targetName = device;
    return line;
}

class PulseMixer final : public mixer::MixerDevice {
public:
    static MMRESULT Open(std::shared_ptr<pulse::Connection> connection,
                         std::unique_ptr<mixer::MixerDevice>* result) {
        std::unique_ptr<PulseMixer> mixer(new PulseMixer(std::move(connection)));
        {
            pulse::Connection::Lock lock(*mixer->connection_);
            mixer->Build();
            if (!mixer->connection_->Ready()) return MMSYSERR_NODRIVER;
        }
        *result = std::move(mixer);
        return MMSYSERR_NOERROR;
    }

    ~PulseMixer() override = default;

    const mixer::MixerTree& Tree() const override { return tree_; }

    MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) override {
        const Direction direction = DirectionOf(controlId);
        pulse::Connection::Lock lock(*connection_);
        pulse::Connection::Volume volume;
        if (!connection_->GetVolume(direction, Name(direction), &volume)) return MMSYSERR_NODRIVER;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            values->assign(1, volume.mute ? 1 : 0);
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
        pulse::Connection::Lock lock(*connection_);
        if (!connection_->Ready()) return MMSYSERR_NODRIVER;
        if (values.empty()) return MMSYSERR_INVALPARAM;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            return connection_->SetMute(direction, Name(direction), values[0] != 0) ? MMSYSERR_NOERROR
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
        return connection_->SetVolume(direction, Name(direction), volume) ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
    }

private:
    explicit PulseMixer(std::shared_ptr<pulse::Connection> connection) : connection_(std::move(connection)) {}

    static Direction DirectionOf(DWORD controlId) {
        return controlId == kSpeakersVolume || controlId == kSpeakersMute ? Direction::Output : Direction::Input;
    }
    const std::string& Name(Direction direction) const { return direction == Direction::Output ? sink_ : source_; }

    // With the lock held: takes the default device of `direction` as it is
    // now, keeping its name and channel map for the volume calls; gives its
    // channels (1 or 2) and description. False when the server has none.
    bool TakeDefault(Direction direction, DWORD* channels, std::string* description) {
        std::string& name = direction == Direction::Output ? sink_ : source_;
        pulse::Connection::Volume volume;
        if (!connection_->DefaultDeviceName(direction, &name) || !connection_->GetVolume(direction, name, &volume)) {
            return false;
        }
        (direction == Direction::Output ? sinkMap_ : sourceMap_) = volume.map;
        *channels = volume.volume.channels == 1 ? 1 : 2;
        *description = volume.description;
        return true;
    }

    // With the lock held: the defaults of this moment make the tree.
    void Build() {
        tree_.name = "PulseAudio";
        DWORD channels = 0;
        std::string description;
        if (TakeDefault(Direction::Output, &channels, &description)) {
            mixer::DestinationInfo speakers;
            speakers.line = Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, channels, "Speakers",
                                 MIXERLINE_TARGETTYPE_WAVEOUT, description);
            speakers.line.controls = {Fader(kSpeakersVolume), Switch(kSpeakersMute)};
            speakers.sources.push_back(
                Line(MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, channels, "Wave", MIXERLINE_TARGETTYPE_WAVEOUT, description));
            tree_.destinations.push_back(std::move(speakers));
        }
        if (TakeDefault(Direction::Input, &channels, &description)) {
            mixer::DestinationInfo recording;
            recording.line = Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, channels, "Recording",
                                  MIXERLINE_TARGETTYPE_WAVEIN, description);
            LineInfo microphone = Line(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, channels, "Microphone",
                                       MIXERLINE_TARGETTYPE_WAVEIN, description);
            microphone.controls = {Fader(kMicrophoneVolume), Switch(kMicrophoneMute)};
            recording.sources.push_back(std::move(microphone));
            tree_.destinations.push_back(std::move(recording));
        }
    }

    const std::shared_ptr<pulse::Connection> connection_;
    std::string sink_;
    std::string source_;
    pa_channel_map sinkMap_{};
    pa_channel_map sourceMap_{};
    mixer::MixerTree tree_;
};

class PulseMixers final : public mixer::MixerBackend {
public:
    explicit PulseMixers(std::string server) : server_(std::move(server)) {}

    UINT DeviceCount() override { return Connect(nullptr) ? 1 : 0; }

    MMRESULT Open(UINT device, std::unique_ptr<mixer::MixerDevice>* result) override {
        if (device != 0) return MMSYSERR_BADDEVICEID;
        MMRESULT error = MMSYSERR_NOERROR;
        std::shared_ptr<pulse::Connection> connection = Connect(&error);
        if (!connection) return error ? error : MMSYSERR_NODRIVER;
        return PulseMixer::Open(std::move(connection), result);
    }

private:
    // The kept connection while it is usable, else a new one (null when no
    // server answers). A connection whose server has gone has failed, so the
    // answer is never stale.
    std::shared_ptr<pulse::Connection> Connect(MMRESULT* error) {
        std::lock_guard lock(mutex_);
        if (connection_) {
            pulse::Connection::Lock loop(*connection_);
            if (connection_->Ready()) return connection_;
        }
        MMRESULT code = MMSYSERR_NOERROR;
        connection_ = pulse::Connection::Open(server_, pulse::kConnectTimeoutMs, &code);
        if (error) *error = code;
        return connection_;
    }

    const std::string server_;
    std::mutex mutex_;
    std::shared_ptr<pulse::Connection> connection_;  // under mutex_
};

}  // namespace

std::shared_ptr<mixer::MixerBackend> CreatePulseMixers(const std::string& server) {
    return std::make_shared<PulseMixers>(server);
}

}  // namespace sorn::audio
