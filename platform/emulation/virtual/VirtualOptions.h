#pragma once
// The options of a virtual-device selection ("virtual:OPTION,..."), read and
// checked whole before any of them is applied.
#include <optional>
#include <string>
#include <vector>

#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/virtual/VirtualEngine.h"
#include "platform/emulation/virtual/WavFile.h"

namespace sorn::audio::virtualdev {

struct Options {
    std::optional<VirtualDevice::Clock> clock;
    std::optional<unsigned> periodMs;
    enum class Output { Unchanged, Memory, File };
    Output output = Output::Unchanged;
    WavWriter outputFile;  // open when output is File
    enum class Input { Unchanged, Silence, Loopback, File };
    Input input = Input::Unchanged;
    WavData inputFile;  // read when input is File
    // The devices each way, in number order (names left empty).
    std::optional<std::vector<Engine::DeviceShape>> outputs;
    std::optional<std::vector<Engine::DeviceShape>> inputs;
};

// Reads comma-separated clock=realtime|stepped, period=MS (1 to 100),
// out=memory|PATH, in=silence|loopback|PATH, outputs=LAYOUT,
// inputs=LAYOUT; a key given twice takes its last value. A LAYOUT lists the
// devices of that direction joined by '+', each as its channel count (1 to
// 8) with an optional @RATE (1000 to 384000; 48000 when left out):
// "outputs=1+2+6" gives a mono, a stereo and a 6-channel output,
// "inputs=2@44100+1" a stereo input at 44.1 kHz and a mono one; at most 32. An input file is read and an output file
// created here, so that a selection which cannot be made fails before anything changes. False on an unknown key, a bad
// value, an unreadable input file or an output file that cannot be created.
bool ParseOptions(const std::string& text, Options* options);

}  // namespace sorn::audio::virtualdev
