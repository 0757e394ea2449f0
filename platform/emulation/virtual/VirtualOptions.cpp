#include "platform/emulation/virtual/VirtualOptions.h"

#include <cstdlib>
#include <utility>
#include <vector>

namespace sorn::audio::virtualdev {

bool ParseOptions(const std::string& text, Options* options) {
    Options parsed;
    std::vector<std::string> inputFiles;
    std::vector<std::string> outputFiles;
    std::size_t start = 0;
    while (!text.empty()) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        if (key == "clock") {
            if (value == "realtime") {
                parsed.clock = VirtualDevice::Clock::RealTime;
            } else if (value == "stepped") {
                parsed.clock = VirtualDevice::Clock::Stepped;
            } else {
                return false;
            }
        } else if (key == "period") {
            char* end = nullptr;
            long ms = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || ms < 1 || ms > 100) return false;
            parsed.periodMs = static_cast<unsigned>(ms);
        } else if (key == "out") {
            if (value.empty()) return false;
            parsed.output = value == "memory" ? Options::Output::Memory : Options::Output::File;
            if (parsed.output == Options::Output::File) outputFiles.push_back(value);
        } else if (key == "in") {
            if (value.empty()) return false;
            if (value == "silence") {
                parsed.input = Options::Input::Silence;
            } else if (value == "loopback") {
                parsed.input = Options::Input::Loopback;
            } else {
                parsed.input = Options::Input::File;
                inputFiles.push_back(value);
            }
        } else {
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    // Every file named is tried, the input files first: a selection that
    // fails on its input creates no output file.
    for (const std::string& path : inputFiles) {
        if (!ReadWav(path.c_str(), &parsed.inputFile)) return false;
    }
    for (const std::string& path : outputFiles) {
        if (!parsed.outputFile.Open(path.c_str())) return false;
    }
    *options = std::move(parsed);
    return true;
}

}  // namespace sorn::audio::virtualdev
