#pragma once
// sorn's commands, one file each under commands/: what main() parsed for
// each, and the command itself, which returns the exit status (Host.h).
#include <string>
#include <vector>

#include "platform/MMSystem.h"
#include "tools/cli/PitchContour.h"

namespace sorn::tool {

// sorn info FILE.wav [--json]
int Info(const std::string& file, bool json);

// sorn play FILE.wav [--from T] [--to T] [--device N|NAME]
struct PlayOptions {
    std::string file;
    std::string from;
    std::string to;
    std::string device;  // as --device gave it; "" for the mapper
    std::string backend;
};
int Play(const PlayOptions& options);

// sorn record OUT.wav [--max-seconds S] [--no-auto-stop] [--rate R] [--channels C] [--device N|NAME]
struct RecordOptions {
    std::string file;
    std::string device;  // as --device gave it; "" for the mapper
    UINT deviceId = WAVE_MAPPER;  // the device it names
    double maxSeconds = 30.0;
    bool noAutoStop = false;
    unsigned rate = 16000;
    unsigned channels = 1;
    std::string backend;
};
int Record(const RecordOptions& options);

// sorn pitch FILE.wav... [--out DIR] [--level L] [--format F] [--plot OUT.svg] [--channel N]
struct PitchOptions {
    std::vector<std::string> files;  // files and folders
    std::string file;  // the one file of a single contour
    std::string out;  // the folder of a corpus's contours
    float level = cli::kDefaultLevel;
    std::string format = "text";
    std::string plot;
    int channel = kAllChannels;  // from 1
    static constexpr int kAllChannels = -1;  // their mean
    std::string backend;
};
int Pitch(const PitchOptions& options);

// sorn volume [--device N|NAME] [input|output [LEVEL]]
int Volume(const std::string& which, const std::string& levelText, const std::string& device,
           const std::string& backend);

// sorn devices [--json]
int Devices(bool json, const std::string& backend);

// sorn demo [FOLDER]
int Demo(const std::string& folderOption, const std::string& backend);

}  // namespace sorn::tool
