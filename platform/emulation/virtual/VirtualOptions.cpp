#include "platform/emulation/virtual/VirtualOptions.h"

#include <cstdlib>
#include <utility>
#include <vector>

namespace sorn::audio::virtualdev {
namespace {

// A whole decimal number within [lowest, highest].
bool ReadNumber(const std::string& text, long lowest, long highest, long* number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *number = std::strtol(text.c_str(), nullptr, 10);
    return *number >= lowest && *number <= highest;
}

// CHANNELS[@RATE]+CHANNELS[@RATE]...
bool ReadLayout(const std::string& text, std::vector<Engine::DeviceShape>* layout) {
    std::vector<Engine::DeviceShape> devices;
    std::size_t start = 0;
    for (;;) {
        std::size_t plus = text.find('+', start);
        std::string item = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        std::size_t at = item.find('@');
        long channels = 0;
        long rate = 48000;
        if (!ReadNumber(item.substr(0, at), 1, kMostChannels, &channels)) return false;
        if (at != std::string::npos && !ReadNumber(item.substr(at + 1), kLowestRate, kHighestRate, &rate)) return false;
        if (devices.size() == Engine::kMostDevices) return false;
        Engine::DeviceShape shape;
        shape.channels = static_cast<std::uint16_t>(channels);
        shape.rate = static_cast<std::uint32_t>(rate);
        devices.push_back(shape);
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    *layout = std::move(devices);
    return true;
}

}  // namespace

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
        } else if (key == "outputs" || key == "inputs") {
            std::vector<Engine::DeviceShape> layout;
            if (!ReadLayout(value, &layout)) return false;
            (key == "outputs" ? parsed.outputs : parsed.inputs) = std::move(layout);
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
