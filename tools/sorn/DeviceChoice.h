#pragma once
// The wave devices of the backend in use as sorn lists them, the one a
// --device option names, and the core's device object for it.
//
// --device takes a device's number, or a name: a device's whole name or its
// key (the sound server's sink or source name) exactly, else a part of one
// name or key, any case. A name that fits several devices, or none, and a
// number past the last device, name no device: the line that says so lists
// the devices there are.
#include <string>
#include <vector>

#include "core_contract/Devices.h"
#include "tools/ModuleHost.h"

namespace sorn::tool {

struct WaveDevice {
    bool output = true;
    UINT id = 0;
    std::string name;  // the whole name
    std::string key;  // the backend's own name, "" when none
    WORD channels = 0;  // the device's own
    DWORD rate = 0;  // 0 when unknown
    bool monitor = false;  // an input that records what an output plays
    bool isDefault = false;  // WAVE_MAPPER opens it now
};

// The devices of one direction in number order, as the module describes them
// (its capability records where it cannot describe them).
std::vector<WaveDevice> ListDevices(bool output);

// The device `text` names among `devices` (one direction's, or both for a
// name): true with it in `found`; false with the line that says why in `why`
// ("no output device 7; the outputs are 0 \"...\", 1 \"...\"").
bool FindDevice(const std::string& text, const std::vector<WaveDevice>& devices, const char* kind, WaveDevice& found,
                std::string& why);

// The device a play or record uses: WAVE_MAPPER when `text` is empty. The
// backend must have been selected. False with `why` as FindDevice.
bool ChooseDevice(const std::string& text, bool output, UINT& id, std::string& why);

// A wave device the host chooses, for IWaveOut::SetDevice / IWaveIn::SetDevice
// (which keep the pointer: it must outlive the object it is given to). Made
// with new and given back with Delete (IDelete), like the core's own.
class ChosenWaveDevice final : public IWaveDevice {
public:
    explicit ChosenWaveDevice(UINT id) : id_(id) {}
    unsigned int GetInputDevice() const override { return id_; }
    unsigned int GetOutputDevice() const override { return id_; }
    // Asks the module whether the device takes the format as 16-bit PCM.
    int IsOutputFormat(const SornAudioFormat* format) override;
    int IsInputFormat(const SornAudioFormat* format) override;

private:
    UINT id_;
};

}  // namespace sorn::tool
