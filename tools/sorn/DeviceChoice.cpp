#include "tools/sorn/DeviceChoice.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/sorn/Host.h"

namespace sorn::tool {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool Contains(const std::string& text, const std::string& part) {
    return !text.empty() && Lower(text).find(Lower(part)) != std::string::npos;
}

// `output 2 "USB headset"`, without the direction when all are of one.
std::string Describe(const WaveDevice& device, bool withDirection) {
    return (withDirection ? std::string(device.output ? "output " : "input ") : std::string()) +
           std::to_string(device.id) + " \"" + device.name + "\"";
}

std::string Listing(const std::vector<WaveDevice>& devices, bool withDirection) {
    std::string text;
    for (std::size_t i = 0; i < devices.size(); ++i) text += (i ? ", " : "") + Describe(devices[i], withDirection);
    return text;
}

// The 16-bit PCM record of a format, as the core's own device asks with.
WAVEFORMATEX QueryRecord(const SornAudioFormat& format) {
    WAVEFORMATEX record{};
    record.wFormatTag = WAVE_FORMAT_PCM;
    record.nChannels = format.ChannelNum();
    record.nSamplesPerSec = static_cast<DWORD>(format.SampleRate());
    record.wBitsPerSample = 16;
    record.nBlockAlign = static_cast<WORD>(2 * format.ChannelNum());
    record.nAvgBytesPerSec = record.nSamplesPerSec * record.nBlockAlign;
    return record;
}

}  // namespace

std::vector<WaveDevice> ListDevices(bool output) {
    const sorn::host::PlatformAudio audio = Module().Audio();
    std::vector<WaveDevice> devices;
    const auto count = output ? audio.waveOutGetNumDevs : audio.waveInGetNumDevs;
    if (!count || !audio.waveOutGetDevCapsA || !audio.waveInGetDevCapsA) return devices;
    const UINT n = count();
    for (UINT id = 0; id < n; ++id) {
        WaveDevice device;
        device.output = output;
        device.id = id;
        sorn::audio::DeviceDescription description{};
        if (audio.describeDevice && audio.describeDevice(output, id, &description) == MMSYSERR_NOERROR) {
            description.name[sizeof description.name - 1] = '\0';
            description.key[sizeof description.key - 1] = '\0';
            device.name = description.name;
            device.key = description.key;
            device.channels = description.channels;
            device.rate = description.rate;
            device.monitor = description.monitor != 0;
            device.isDefault = description.isDefault != 0;
        } else {
            // A module that cannot describe its devices: the records, and
            // the own channel count where it tells it.
            if (output) {
                WAVEOUTCAPSA caps{};
                if (audio.waveOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
                device.name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
                device.channels = caps.wChannels;
            } else {
                WAVEINCAPSA caps{};
                if (audio.waveInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
                device.name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
                device.channels = caps.wChannels;
            }
            WORD own = 0;
            if (audio.deviceChannels && audio.deviceChannels(output, id, &own) == MMSYSERR_NOERROR)
                device.channels = own;
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

bool FindDevice(const std::string& given, const std::vector<WaveDevice>& devices, const char* kind, WaveDevice& found,
                std::string& why) {
    // Spaces around a name are the shell's, not the device's.
    const std::size_t first = given.find_first_not_of(" \t\n");
    const std::string text =
        first == std::string::npos ? std::string() : given.substr(first, given.find_last_not_of(" \t\n") - first + 1);
    const bool both = std::any_of(devices.begin(), devices.end(), [](const WaveDevice& d) { return d.output; }) &&
                      std::any_of(devices.begin(), devices.end(), [](const WaveDevice& d) { return !d.output; });
    const std::string noun = std::string(kind) + " device";
    const std::string there =
        devices.empty() ? "; there are none" : "; the " + noun + "s are " + Listing(devices, both);
    if (text.empty()) {
        why = "--device needs a number or a name" + there;
        return false;
    }
    std::vector<WaveDevice> matches;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
        const bool inRange = errno == 0;  // past the largest number: no device's
        for (const WaveDevice& device : devices)
            if (inRange && device.id == number) matches.push_back(device);
        if (matches.empty()) {
            why = "there is no " + noun + " " + text + there;
            return false;
        }
    } else {
        for (const WaveDevice& device : devices)
            if (device.name == text || (!device.key.empty() && device.key == text)) matches.push_back(device);
        if (matches.empty()) {
            for (const WaveDevice& device : devices)
                if (Contains(device.name, text) || Contains(device.key, text)) matches.push_back(device);
        }
        if (matches.empty()) {
            why = "no " + noun + " is named \"" + text + "\" or has it in its name" + there;
            return false;
        }
    }
    if (matches.size() > 1) {
        const bool directions =
            std::any_of(matches.begin(), matches.end(), [&](const WaveDevice& d) { return d.output; }) &&
            std::any_of(matches.begin(), matches.end(), [&](const WaveDevice& d) { return !d.output; });
        why = "\"" + text + "\" names several " + noun + "s: " + Listing(matches, both) +
              (directions ? "; say input or output, or give more of its name"
                          : "; give one's number or more of its name");
        return false;
    }
    found = matches.front();
    return true;
}

bool ChooseDevice(const std::string& text, bool output, UINT& id, std::string& why) {
    id = WAVE_MAPPER;
    if (text.empty()) return true;
    WaveDevice device;
    if (!FindDevice(text, ListDevices(output), output ? "output" : "input", device, why)) return false;
    id = device.id;
    return true;
}

int ChosenWaveDevice::IsOutputFormat(const SornAudioFormat* format) {
    const auto open = Module().Audio().waveOutOpen;
    if (!format || !open) return 0;
    const WAVEFORMATEX record = QueryRecord(*format);
    return open(nullptr, id_, &record, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 1 : 0;
}

int ChosenWaveDevice::IsInputFormat(const SornAudioFormat* format) {
    const auto open = Module().Audio().waveInOpen;
    if (!format || !open) return 0;
    const WAVEFORMATEX record = QueryRecord(*format);
    return open(nullptr, id_, &record, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 1 : 0;
}

}  // namespace sorn::tool
