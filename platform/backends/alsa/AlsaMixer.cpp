// The ALSA backend's mixers on ALSA's simple mixer. The tree of one, fixed
// when it is opened (the elements it finds then):
// - destination 0, speakers (DST_SPEAKERS), when the control device has a
//   playback element ("Master", else "PCM", else the first with a playback
//   volume): its volume as the fader and its switch as the mute; under it a
//   wave-out source (SRC_WAVEOUT) without controls;
// - destination 1, recording (DST_WAVEIN) without controls of its own, when
//   there is a capture element ("Capture", else the first with a capture
//   volume); under it a microphone source (SRC_MICROPHONE) with that
//   element's capture volume and switch.
// A fader has one channel on a mono element and two (front left and right)
// otherwise. Values are read from alsa-lib after it has taken the events the
// control device sent (changes made by other programs), and written at once.
#include "platform/backends/alsa/AlsaMixer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/emulation/mixer/MixerTreeParts.h"

namespace sorn::audio::alsa {

namespace {

using mixer::ControlInfo;

constexpr DWORD kSpeakersVolume = 1;
constexpr DWORD kSpeakersMute = 2;
constexpr DWORD kMicrophoneVolume = 3;
constexpr DWORD kMicrophoneMute = 4;

// An open simple mixer on one control device; closed with the object.
class Handle {
public:
    explicit Handle(const std::string& control) {
        if (snd_mixer_open(&mixer_, 0) < 0 || mixer_ == nullptr) {
            mixer_ = nullptr;
            return;
        }
        if (snd_mixer_attach(mixer_, control.c_str()) < 0 || snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 ||
            snd_mixer_load(mixer_) < 0) {
            snd_mixer_close(mixer_);
            mixer_ = nullptr;
            return;
        }
        for (snd_mixer_elem_t* elem = snd_mixer_first_elem(mixer_); elem; elem = snd_mixer_elem_next(elem)) {
            const char* name = snd_mixer_selem_get_name(elem);
            const std::string text = name ? name : "";
            if (snd_mixer_selem_has_playback_volume(elem) > 0) {
                const int rank = text == "Master" ? 0 : text == "PCM" ? 1 : 2;
                if (rank < playbackRank_) {
                    playback_ = elem;
                    playbackRank_ = rank;
                }
            }
            if (snd_mixer_selem_has_capture_volume(elem) > 0) {
                const int rank = text == "Capture" ? 0 : 1;
                if (rank < captureRank_) {
                    capture_ = elem;
                    captureRank_ = rank;
                }
            }
        }
    }
    ~Handle() {
        if (mixer_) snd_mixer_close(mixer_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool Usable() const { return mixer_ != nullptr && (playback_ != nullptr || capture_ != nullptr); }
    snd_mixer_t* mixer() const { return mixer_; }
    snd_mixer_elem_t* playback() const { return playback_; }
    snd_mixer_elem_t* capture() const { return capture_; }

private:
    snd_mixer_t* mixer_ = nullptr;
    snd_mixer_elem_t* playback_ = nullptr;
    snd_mixer_elem_t* capture_ = nullptr;
    int playbackRank_ = 3;
    int captureRank_ = 3;
};

// The controls of one direction of `elem`: a fader over its volume range
// (one step a value of the element), and its switch as the mute where it has
// one. The fader's channel count (1 on a mono element, else 2) in *channels.
std::vector<ControlInfo> Controls(snd_mixer_elem_t* elem, bool playback, DWORD volumeId, DWORD muteId,
                                  DWORD* channels) {
    long minimum = 0, maximum = 0;
    playback ? snd_mixer_selem_get_playback_volume_range(elem, &minimum, &maximum)
             : snd_mixer_selem_get_capture_volume_range(elem, &minimum, &maximum);
    const bool mono = playback ? snd_mixer_selem_is_playback_mono(elem) > 0 : snd_mixer_selem_is_capture_mono(elem) > 0;
    *channels = mono ? 1 : 2;
    const unsigned long steps = maximum > minimum ? static_cast<unsigned long>(maximum - minimum) + 1 : 1;
    std::vector<ControlInfo> controls{
        mixer::VolumeFader(volumeId, static_cast<DWORD>(std::min<unsigned long>(steps, 65536)))};
    const bool hasSwitch =
        playback ? snd_mixer_selem_has_playback_switch(elem) > 0 : snd_mixer_selem_has_capture_switch(elem) > 0;
    if (hasSwitch) controls.push_back(mixer::MuteSwitch(muteId));
    return controls;
}

class AlsaMixer final : public mixer::MixerDevice {
public:
    AlsaMixer(std::unique_ptr<Handle> handle, const std::string& control) : handle_(std::move(handle)) {
        tree_.name = "ALSA " + control;
        DWORD channels = 2;
        if (snd_mixer_elem_t* elem = handle_->playback()) {
            auto controls = Controls(elem, true, kSpeakersVolume, kSpeakersMute, &channels);
            playbackChannels_ = channels;
            tree_.destinations.push_back(mixer::SpeakersDestination(channels, tree_.name, std::move(controls)));
        }
        if (snd_mixer_elem_t* elem = handle_->capture()) {
            auto controls = Controls(elem, false, kMicrophoneVolume, kMicrophoneMute, &channels);
            captureChannels_ = channels;
            tree_.destinations.push_back(mixer::RecordingDestination(channels, tree_.name, std::move(controls)));
        }
    }

    const mixer::MixerTree& Tree() const override { return tree_; }

    MMRESULT Read(DWORD controlId, std::vector<DWORD>* values) override {
        // Changes other programs made arrive as events; a control device
        // that is gone answers an error here.
        if (snd_mixer_handle_events(handle_->mixer()) < 0) return MMSYSERR_NODRIVER;
        const bool playback = controlId == kSpeakersVolume || controlId == kSpeakersMute;
        snd_mixer_elem_t* elem = playback ? handle_->playback() : handle_->capture();
        if (elem == nullptr) return MMSYSERR_INVALPARAM;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            int on = 1;
            const int error = playback ? snd_mixer_selem_get_playback_switch(elem, SND_MIXER_SCHN_FRONT_LEFT, &on)
                                       : snd_mixer_selem_get_capture_switch(elem, SND_MIXER_SCHN_FRONT_LEFT, &on);
            if (error < 0) return MMSYSERR_NODRIVER;
            values->assign(1, on ? 0 : 1);
            return MMSYSERR_NOERROR;
        }
        long minimum = 0, maximum = 0;
        playback ? snd_mixer_selem_get_playback_volume_range(elem, &minimum, &maximum)
                 : snd_mixer_selem_get_capture_volume_range(elem, &minimum, &maximum);
        const std::size_t channels = playback ? playbackChannels_ : captureChannels_;
        std::vector<DWORD> read;
        for (std::size_t c = 0; c < channels; ++c) {
            const snd_mixer_selem_channel_id_t channel = Channel(elem, playback, c);
            long value = 0;
            const int error = playback ? snd_mixer_selem_get_playback_volume(elem, channel, &value)
                                       : snd_mixer_selem_get_capture_volume(elem, channel, &value);
            if (error < 0) return MMSYSERR_NODRIVER;
            read.push_back(static_cast<DWORD>(ToRaw(value, minimum, maximum)));
        }
        *values = std::move(read);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(DWORD controlId, const std::vector<DWORD>& values) override {
        if (values.empty()) return MMSYSERR_INVALPARAM;
        const bool playback = controlId == kSpeakersVolume || controlId == kSpeakersMute;
        snd_mixer_elem_t* elem = playback ? handle_->playback() : handle_->capture();
        if (elem == nullptr) return MMSYSERR_INVALPARAM;
        if (controlId == kSpeakersMute || controlId == kMicrophoneMute) {
            const int on = values[0] ? 0 : 1;
            const int error = playback ? snd_mixer_selem_set_playback_switch_all(elem, on)
                                       : snd_mixer_selem_set_capture_switch_all(elem, on);
            return error < 0 ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
        }
        long minimum = 0, maximum = 0;
        playback ? snd_mixer_selem_get_playback_volume_range(elem, &minimum, &maximum)
                 : snd_mixer_selem_get_capture_volume_range(elem, &minimum, &maximum);
        const bool mono =
            playback ? snd_mixer_selem_is_playback_mono(elem) > 0 : snd_mixer_selem_is_capture_mono(elem) > 0;
        if (mono || values.size() == 1) {
            // One value for every channel the element has.
            for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
                const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
                const bool has = playback ? snd_mixer_selem_has_playback_channel(elem, channel) > 0
                                          : snd_mixer_selem_has_capture_channel(elem, channel) > 0;
                if (!has && !(mono && c == 0)) continue;
                if (MMRESULT error = Set(elem, playback, channel, ToElement(values[0], minimum, maximum))) return error;
                if (mono) break;
            }
            return MMSYSERR_NOERROR;
        }
        for (std::size_t c = 0; c < values.size(); ++c) {
            if (MMRESULT error =
                    Set(elem, playback, Channel(elem, playback, c), ToElement(values[c], minimum, maximum)))
                return error;
        }
        // Channels beyond front left and right (centre, rear...) follow the
        // louder side.
        const long louder = ToElement(*std::max_element(values.begin(), values.end()), minimum, maximum);
        for (int c = SND_MIXER_SCHN_REAR_LEFT; c <= SND_MIXER_SCHN_LAST; ++c) {
            const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
            const bool has = playback ? snd_mixer_selem_has_playback_channel(elem, channel) > 0
                                      : snd_mixer_selem_has_capture_channel(elem, channel) > 0;
            if (has) Set(elem, playback, channel, louder);
        }
        return MMSYSERR_NOERROR;
    }

private:
    // Channel `index` (0 left, 1 right) of the element, or its first one.
    static snd_mixer_selem_channel_id_t Channel(snd_mixer_elem_t* elem, bool playback, std::size_t index) {
        const auto wanted = index == 0 ? SND_MIXER_SCHN_FRONT_LEFT : SND_MIXER_SCHN_FRONT_RIGHT;
        const bool has = playback ? snd_mixer_selem_has_playback_channel(elem, wanted) > 0
                                  : snd_mixer_selem_has_capture_channel(elem, wanted) > 0;
        return has ? wanted : SND_MIXER_SCHN_FRONT_LEFT;
    }

    static MMRESULT Set(snd_mixer_elem_t* elem, bool playback, snd_mixer_selem_channel_id_t channel, long value) {
        const int error = playback ? snd_mixer_selem_set_playback_volume(elem, channel, value)
                                   : snd_mixer_selem_set_capture_volume(elem, channel, value);
        return error < 0 ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
    }

    std::unique_ptr<Handle> handle_;
    mixer::MixerTree tree_;
    std::size_t playbackChannels_ = 2;  // the fader's line channels
    std::size_t captureChannels_ = 2;
};

class AlsaMixers final : public mixer::MixerBackend {
public:
    explicit AlsaMixers(std::string device) : device_(std::move(device)) {}

    UINT DeviceCount() override { return static_cast<UINT>(Usable().size()); }

    MMRESULT Open(UINT device, std::unique_ptr<mixer::MixerDevice>* result) override {
        const std::vector<std::string> controls = Usable();
        if (device >= controls.size()) return MMSYSERR_BADDEVICEID;
        auto handle = std::make_unique<Handle>(controls[device]);
        if (!handle->Usable()) return MMSYSERR_NODRIVER;
        *result = std::make_unique<AlsaMixer>(std::move(handle), controls[device]);
        return MMSYSERR_NOERROR;
    }

private:
    // The control devices that open and have an element of ours, in order.
    std::vector<std::string> Usable() const {
        std::vector<std::string> candidates{ControlName(device_)};
        int card = -1;
        while (snd_card_next(&card) == 0 && card >= 0) {
            const std::string control = "hw:" + std::to_string(card);
            if (std::find(candidates.begin(), candidates.end(), control) == candidates.end())
                candidates.push_back(control);
        }
        std::vector<std::string> usable;
        for (const std::string& control : candidates) {
            if (Handle(control).Usable()) usable.push_back(control);
        }
        return usable;
    }

    const std::string device_;
};

}  // namespace

std::string ControlName(const std::string& device) {
    if (device.empty()) return "default";
    for (const char* prefix : {"plughw:", "hw:"}) {
        const std::size_t length = std::strlen(prefix);
        if (device.compare(0, length, prefix) == 0) {
            return "hw:" + device.substr(length, device.find(',', length) - length);
        }
    }
    return device.substr(0, device.find(':'));
}

long ToElement(unsigned long raw, long minimum, long maximum) {
    if (maximum <= minimum) return minimum;
    const unsigned long long span = static_cast<unsigned long long>(maximum - minimum);
    return minimum + static_cast<long>((std::min<unsigned long>(raw, 65535) * span + 32767) / 65535);
}

unsigned long ToRaw(long value, long minimum, long maximum) {
    if (maximum <= minimum) return 0;
    const long clamped = std::clamp(value, minimum, maximum);
    const unsigned long long span = static_cast<unsigned long long>(maximum - minimum);
    return static_cast<unsigned long>((static_cast<unsigned long long>(clamped - minimum) * 65535 + span / 2) / span);
}

std::shared_ptr<mixer::MixerBackend> CreateAlsaMixers(const std::string& device) {
    return std::make_shared<AlsaMixers>(device.empty() ? "default" : device);
}

}  // namespace sorn::audio::alsa
