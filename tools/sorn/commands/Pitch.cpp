#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Terminal.h"

using namespace std::chrono_literals;
namespace cli = sorn::cli;

namespace sorn::tool {

namespace {

// One file of a corpus and where its contour goes.
struct CorpusFile {
    std::string input;
    std::string output;
    std::string failure;  // why it was not tracked ("" when it was)
    double seconds = 0;  // of audio tracked
};

// The files named (a folder gives the .wav files below it, in name order),
// each with its contour's path: beside it, or in `out` when given, as
// NAME.pitch.EXT. False with `why` for a name that is neither, or two files
// whose contours would be one.
bool CorpusFiles(const PitchOptions& options, const std::string& extension, std::vector<CorpusFile>& files,
                 std::string& why) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (const std::string& name : options.files) {
        std::error_code error;
        if (fs::is_directory(name, error)) {
            std::vector<fs::path> found;
            for (fs::recursive_directory_iterator it(name, error), end; !error && it != end; it.increment(error)) {
                std::string suffix = it->path().extension().string();
                std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                               [](unsigned char c) { return std::tolower(c); });
                if (suffix == ".wav" && it->is_regular_file(error)) found.push_back(it->path());
            }
            if (error) {
                why = "cannot read the folder " + name + ": " + error.message();
                return false;
            }
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else {
            inputs.emplace_back(name);
        }
    }
    std::set<std::string> outputs;
    for (const fs::path& input : inputs) {
        const fs::path folder = options.out.empty() ? input.parent_path() : fs::path(options.out);
        CorpusFile file;
        file.input = input.string();
        file.output = (folder / (input.stem().string() + ".pitch." + extension)).string();
        if (!outputs.insert(file.output).second) {
            why = "two files would write " + file.output + "; give them different names or no --out";
            return false;
        }
        files.push_back(std::move(file));
    }
    if (files.empty()) why = "no .wav file in " + options.files.front();
    return !files.empty();
}

// Tracks every file on every core and writes each contour to its file; a
// file that fails is named on stderr and the rest go on (status 1 at the
// end). A progress bar on a terminal; one summary line on stdout.
int PitchCorpus(const PitchOptions& options, cli::ContourFormat format, const std::string& extension) {
    const std::string command = "pitch";
    if (!options.plot.empty()) return UsageError(command, "--plot draws the contour of one file");
    std::string why;
    if (!options.out.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.out, error);
        if (error) return Fail(command, "cannot make the folder " + options.out + ": " + error.message());
    }
    std::vector<CorpusFile> files;
    if (!CorpusFiles(options, extension, files, why)) return Fail(command, why);

    cli::PitchOptions tracking;
    tracking.level = options.level;
    if (options.channel > 0) tracking.channel = options.channel - 1;
    tracking.tracker = Tracker();
    std::atomic<std::size_t> next{0}, done{0};
    std::atomic<unsigned> resampled{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < files.size(); i = next++) {
            CorpusFile& file = files[i];
            cli::Pcm16Reader reader;
            std::string failure, note;
            bool ok = reader.Open(file.input, failure);
            if (ok && options.channel > reader.Channels()) {
                failure = "it has " + std::to_string(reader.Channels()) + " channel(s), no channel " +
                          std::to_string(options.channel);
                ok = false;
            }
            cli::PitchContour contour;
            if (ok) ok = cli::TrackPitch(reader, tracking, contour, failure, &note);
            if (ok) ok = cli::WriteTextFile(file.output, cli::FormatContour(contour, format), failure);
            if (ok && !note.empty()) ++resampled;
            if (ok && reader.SampleRate() > 0) file.seconds = double(reader.Frames()) / reader.SampleRate();
            if (!ok) file.failure = failure.rfind(file.input, 0) == 0 ? failure : file.input + ": " + failure;
            ++done;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    const unsigned threads =
        static_cast<unsigned>(std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, files.size()));
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work);
    if (OnTerminal()) {
        const unsigned cells = std::min(40u, TerminalColumns() > 30 ? TerminalColumns() - 30 : 10u);
        for (std::size_t finished = 0; finished < files.size(); finished = done) {
            const std::size_t filled = finished * cells / files.size();
            std::fprintf(stderr, "\r[%s%s] %zu/%zu files", std::string(filled, '#').c_str(),
                         std::string(cells - filled, ' ').c_str(), finished, files.size());
            std::fflush(stderr);
            std::this_thread::sleep_for(100ms);
        }
        std::fprintf(stderr, "\r\033[K");
    }
    for (std::thread& worker : workers) worker.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::size_t failed = 0;
    double audio = 0;
    for (const CorpusFile& file : files) {
        if (!file.failure.empty()) {
            std::fprintf(stderr, "sorn: pitch: %s\n", file.failure.c_str());
            ++failed;
        }
        audio += file.seconds;
    }
    std::string notes;
    if (resampled > 0) notes += "; " + std::to_string(resampled.load()) + " resampled to 16 kHz first";
    if (failed > 0) notes += "; " + std::to_string(failed) + " failed";
    std::printf("tracked %zu of %zu files (%s of audio) in %s on %u threads into %s%s\n", files.size() - failed,
                files.size(), Seconds(audio).c_str(), Seconds(wall).c_str(), threads,
                options.out.empty() ? "files beside them" : options.out.c_str(), notes.c_str());
    return failed ? kFailed : kOk;
}

}  // namespace

int Pitch(const PitchOptions& options) {
    const std::string command = "pitch";
    const BackendChoice choice = ChooseBackend(options.backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    cli::ContourFormat format;
    if (!cli::ParseContourFormat(options.format, format))
        return UsageError(command, "--format must be text, csv or json, not " + options.format);
    if (!(std::isfinite(options.level) && options.level > 0))
        return UsageError(command, "--level must be a positive number");
    if (options.channel != PitchOptions::kAllChannels && options.channel < 1)
        return UsageError(command, "--channel counts from 1");
    std::error_code folder;
    if (options.files.size() > 1 || !options.out.empty() || std::filesystem::is_directory(options.files[0], folder))
        return PitchCorpus(options, format, options.format == "text" ? "txt" : options.format);
    std::string why;
    if (!options.plot.empty() && !Writable(options.plot, why)) return Fail(command, why);
    cli::Pcm16Reader reader;
    if (!reader.Open(options.file, why)) return Fail(command, why);
    if (options.channel > reader.Channels())
        return UsageError(command, "--channel " + std::to_string(options.channel) + ": " + options.file + " has " +
                                       std::to_string(reader.Channels()) + " channel(s)");
    cli::PitchOptions tracking;
    tracking.level = options.level;
    if (options.channel > 0) tracking.channel = options.channel - 1;
    tracking.tracker = Tracker();
    cli::PitchContour contour;
    std::string note;
    if (!cli::TrackPitch(reader, tracking, contour, why, &note)) return Fail(command, why);
    if (!note.empty()) std::fprintf(stderr, "sorn: pitch: %s\n", note.c_str());
    if (!cli::WriteAll(stdout, cli::FormatContour(contour, format), why))
        return Fail(command, "cannot write the contour: " + why);
    if (!options.plot.empty() && !cli::WriteTextFile(options.plot, cli::PitchPlotSvg(contour, options.file), why))
        return Fail(command, why);
    return kOk;
}

}  // namespace sorn::tool
