#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/cli/WavFile.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Playback.h"
#include "tools/sorn/Terminal.h"

namespace cli = sorn::cli;

namespace sorn::tool {

namespace {

// A whole number of frames, or seconds with an 's' suffix ("1.5s").
bool ParseTime(const std::string& text, std::uint32_t rate, std::uint64_t& frames) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    if (text.back() == 's') {
        const std::string number = text.substr(0, text.size() - 1);
        const double seconds = std::strtod(number.c_str(), &end);
        if (number.empty() || *end || errno || !std::isfinite(seconds) || seconds < 0 || seconds > 1e7) return false;
        frames = static_cast<std::uint64_t>(std::llround(seconds * rate));
        return true;
    }
    if (text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (*end || errno) return false;
    frames = value;
    return true;
}

}  // namespace

int Play(const PlayOptions& options) {
    const std::string command = "play";
    const BackendChoice choice = ChooseBackend(options.backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    cli::Pcm16Clip samples;
    std::string why;
    if (!cli::ReadPcm16(options.file, samples, why)) return Fail(command, why);
    const std::uint64_t total = samples.Frames();
    std::uint64_t from = 0, to = total;
    if (!options.from.empty() && !ParseTime(options.from, samples.sampleRate, from))
        return UsageError(command, "--from " + options.from + " is not a time (frames, or seconds with an s suffix)");
    if (!options.to.empty() && !ParseTime(options.to, samples.sampleRate, to))
        return UsageError(command, "--to " + options.to + " is not a time (frames, or seconds with an s suffix)");
    if (to > total)
        return UsageError(command, "--to " + options.to + " is past the end of " + options.file + " (" +
                                       std::to_string(total) + " frames)");
    if (from >= to)
        return UsageError(command, "the range " + std::to_string(from) + ".." + std::to_string(to) + " is empty (" +
                                       options.file + " has " + std::to_string(total) + " frames)");
    if (total >= 0xFFFFFFFFull) return Fail(command, options.file + " is too long to play (more than 2^32 frames)");
    if (!SelectBackend(command, choice, status)) return status;
    UINT device = WAVE_MAPPER;
    if (!ChooseDevice(options.device, true, device, why)) return UsageError(command, why);
    AnnounceBackend(choice);

    IWave* clip = MakeClip(samples.samples.data(), total, samples.sampleRate, samples.channels);
    CatchInterrupt();
    const bool played = PlayRange(command, clip, static_cast<unsigned long>(from), static_cast<unsigned long>(to),
                                  device, OnTerminal(), why);
    Release(clip);
    if (!played) return Fail(command, why);
    std::printf("played %llu frames (%s) of %s\n", static_cast<unsigned long long>(to - from),
                Seconds(double(to - from) / samples.sampleRate).c_str(), options.file.c_str());
    return kOk;
}

}  // namespace sorn::tool
