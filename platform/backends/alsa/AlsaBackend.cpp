// The ALSA backend: the PCM a selection names (or "default") as device 0
// and WAVE_MAPPER, then the PCM devices of the sound cards through the plug
// layer; see AlsaBackend.h.
#include "platform/backends/alsa/AlsaBackend.h"

#include <alsa/asoundlib.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/backends/alsa/AlsaMixer.h"
#include "platform/backends/alsa/AlsaStream.h"

namespace sorn::audio::alsa {

namespace {

// alsa-lib reports its errors on stderr as well as in its answers; the
// answers are what this backend goes by.
void Quiet(const char*, int, const char*, int, const char*, ...) {}

void SilenceLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(Quiet); });
}

struct PcmDevice {
    std::string pcm;  // what snd_pcm_open is given
    std::string name;  // what a host shows
};

// An alsa-lib record sized by the library.
template <typename T>
class Record {
public:
    explicit Record(std::size_t size) : bytes_(size > 0 ? size : 1, 0) {}
    T* get() { return reinterpret_cast<T*>(bytes_.data()); }

private:
    std::vector<char> bytes_;
};

// Every PCM device of every card that has `direction`, in card and device
// order.
void CardDevices(Direction direction, std::vector<PcmDevice>* devices) {
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        const std::string control = "hw:" + std::to_string(card);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, control.c_str(), SND_CTL_NONBLOCK) < 0 || ctl == nullptr) continue;
        Record<snd_ctl_card_info_t> cardInfo(snd_ctl_card_info_sizeof());
        std::string cardName = control;
        if (snd_ctl_card_info(ctl, cardInfo.get()) == 0 && snd_ctl_card_info_get_name(cardInfo.get()))
            cardName = snd_ctl_card_info_get_name(cardInfo.get());
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
            Record<snd_pcm_info_t> info(snd_pcm_info_sizeof());
            snd_pcm_info_set_device(info.get(), static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(info.get(), 0);
            snd_pcm_info_set_stream(info.get(),
                                    direction == Direction::Output ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE);
            if (snd_ctl_pcm_info(ctl, info.get()) < 0) continue;  // not this direction
            const char* pcmName = snd_pcm_info_get_name(info.get());
            devices->push_back({"plughw:" + std::to_string(card) + "," + std::to_string(device),
                                cardName + ": " + (pcmName ? pcmName : std::to_string(device))});
        }
        snd_ctl_close(ctl);
    }
}

class AlsaBackend final : public Backend {
public:
    explicit AlsaBackend(std::string device)
        : device_(device.empty() ? "default" : std::move(device)), mixers_(CreateAlsaMixers(device_)) {}

    const char* Name() const override { return "alsa"; }

    UINT DeviceCount(Direction direction) override { return static_cast<UINT>(Devices(direction).size()); }

    // Device 0 is the PCM the mapper opens.
    UINT DefaultDevice(Direction direction) override { return DeviceCount(direction) > 0 ? 0 : kDefaultDevice; }

    MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) override {
        if (caps == nullptr) return MMSYSERR_INVALPARAM;
        PcmDevice found;
        if (!Find(direction, device, &found)) return MMSYSERR_BADDEVICEID;
        caps->name = found.name;
        caps->key = found.pcm;
        // The plug layer converts any channel count and rate to the device's.
        caps->channels = kMostChannels;
        caps->deviceChannels = 2;
        caps->formats = kSixteenBitFormats;
        return MMSYSERR_NOERROR;
    }

    MMRESULT QueryFormat(Direction direction, UINT device, const StreamFormat& format) override {
        PcmDevice found;
        if (!Find(direction, device, &found)) return MMSYSERR_BADDEVICEID;
        snd_pcm_t* pcm = nullptr;
        const int error = snd_pcm_open(
            &pcm, found.pcm.c_str(), direction == Direction::Output ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
            SND_PCM_NONBLOCK);
        if (error < 0 || pcm == nullptr) return OpenError(error);
        const MMRESULT result = Configure(pcm, format, nullptr, nullptr);
        snd_pcm_close(pcm);
        return result;
    }

    MMRESULT Open(Direction direction, UINT device, const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* stream) override {
        PcmDevice found;
        if (!Find(direction, device, &found)) return MMSYSERR_BADDEVICEID;
        return OpenStream(found.pcm, direction, format, std::move(sink), stream);
    }

    std::shared_ptr<mixer::MixerBackend> Mixers() override { return mixers_; }

private:
    std::vector<PcmDevice> Devices(Direction direction) const {
        std::vector<PcmDevice> devices;
        devices.push_back({PluggedName(device_), device_ == "default" ? "ALSA default" : "ALSA " + device_});
        CardDevices(direction, &devices);
        return devices;
    }

    bool Find(Direction direction, UINT device, PcmDevice* found) const {
        if (device == kDefaultDevice) device = 0;
        std::vector<PcmDevice> devices = Devices(direction);
        if (device >= devices.size()) return false;
        *found = std::move(devices[device]);
        return true;
    }

    const std::string device_;
    const std::shared_ptr<mixer::MixerBackend> mixers_;
};

}  // namespace

std::string PluggedName(const std::string& device) {
    // "default" goes through the plug layer of its own configuration.
    if (device.empty() || device == "default" || device.rfind("plug", 0) == 0) {
        return device.empty() ? "default" : device;
    }
    if (device.find('\'') != std::string::npos) return device;  // cannot be quoted: as it is
    return "plug:'" + device + "'";
}

Xruns& XrunCounters() {
    static Xruns counters;
    return counters;
}

Presence Probe() {
    SilenceLibrary();
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0 ? Presence::Answers : Presence::Absent;
}

std::shared_ptr<Backend> Open(const std::string& options, bool, MMRESULT* error) {
    // The option is a PCM name: "alsa:hw:1,0", "alsa:pulse", "alsa:null".
    if (options.find_first_of(" \t\n") != std::string::npos) {
        if (error) *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    SilenceLibrary();
    if (error) *error = MMSYSERR_NOERROR;
    return std::make_shared<AlsaBackend>(options);
}

}  // namespace sorn::audio::alsa
