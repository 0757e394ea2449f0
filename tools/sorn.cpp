// sorn: the command-line host. It describes WAV files, plays, records,
// tracks pitch, reads and sets volumes, lists the devices and the mixer tree,
// and runs a demo of all of them.
//
// Conventions: help on stdout with status 0; status 0 on success, 1 on a
// failure at run time, 2 on a usage error; every failure is one line on
// stderr ("sorn: COMMAND: what failed: why"). Arguments and files are checked
// before any device opens.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <soxr.h>
#include <string>
#include <thread>
#include <vector>

#include "audio/CaptureAccess.h"
#include "core_contract/ClassFactory.h"
#include "core_contract/Engine.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/SornVad.h"
#include "core_contract/Wave.h"
#include "tools/ModuleHost.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TakeFile.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"

namespace {

using namespace std::chrono_literals;
namespace cli = sorn::cli;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The loaded module; every command but --version and --help needs it.
sorn::host::LoadedModule module;

// One line on stderr for a failure.
int Fail(const std::string& command, const std::string& what) {
    std::fprintf(stderr, "sorn: %s: %s\n", command.c_str(), what.c_str());
    return kFailed;
}
int UsageError(const std::string& command, const std::string& what) {
    std::fprintf(stderr, "sorn: %s: %s (see sorn %s --help)\n", command.c_str(), what.c_str(), command.c_str());
    return kUsage;
}

ISornClassFactory* Factory() { return module.Factory(); }

// Objects the core owns are given back with Delete.
template <typename T>
void Release(T*& object) {
    if (object) object->Delete();
    object = nullptr;
}

// Counts the signals of a callback; the main thread waits for a count.
struct Event {
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;

    void Signal() {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        cv.notify_all();
    }
    bool WaitFor(int target, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return count >= target; });
    }
};

void SignalEvent(std::uintptr_t user) { reinterpret_cast<Event*>(user)->Signal(); }

std::string ErrorText(const SornStringA* text) {
    std::string result = text && !text->IsEmpty() ? text->ToChars() : "no reason given";
    delete text;
    return result;
}

// Ctrl-C: the first one asks the running command to stop and keep what it
// has; a second one ends the process at once.
std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) {
    if (interrupted.exchange(true)) _exit(130);
}
void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool OnTerminal() { return isatty(STDERR_FILENO) == 1; }

// The keyboard in single-key mode while it lives (when stdin is a
// terminal); Key reads a pressed key without waiting.
class Keyboard {
public:
    Keyboard() {
        if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~Keyboard() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    int Key() const {
        char c = 0;
        return active_ && read(STDIN_FILENO, &c, 1) == 1 ? static_cast<unsigned char>(c) : -1;
    }

private:
    termios saved_{};
    bool active_ = false;
};

// --- the audio backend -------------------------------------------------------

// The backend names the module knows; options after ':' are checked by the
// module when it starts the backend.
bool KnownBackend(const std::string& selection) {
    const std::string name = selection.substr(0, selection.find(':'));
    return name == "auto" || name == "pulse" || name == "virtual";
}

// The backend asked for: --backend, else SORN_AUDIO, else "auto"; and where
// the choice came from.
struct BackendChoice {
    std::string selection = "auto";
    std::string source = "default";
};

BackendChoice ChooseBackend(const std::string& option) {
    BackendChoice choice;
    if (!option.empty()) {
        choice.selection = option;
        choice.source = "--backend";
    } else if (const char* environment = std::getenv("SORN_AUDIO"); environment && *environment) {
        choice.selection = environment;
        choice.source = "SORN_AUDIO";
    }
    return choice;
}

// Checks the name before anything else happens (a usage error).
bool CheckBackend(const std::string& command, const BackendChoice& choice, int& status) {
    if (KnownBackend(choice.selection)) return true;
    status = UsageError(command, "unknown audio backend \"" + choice.selection + "\" (from " + choice.source +
                                     "); use auto, pulse[:server=ADDRESS] or virtual[:OPTIONS]");
    return false;
}

// Where the sound server is looked for: the selection's server=, else
// libpulse's default (PULSE_SERVER, then the per-user socket).
std::string ServerAddress(const BackendChoice& choice) {
    const std::size_t at = choice.selection.find("server=");
    if (at != std::string::npos) return choice.selection.substr(at + 7);
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server) return server;
    if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime)
        return std::string("unix:") + runtime + "/native";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return std::string("unix:") + (runtime && *runtime ? runtime : "/run/user/" + std::to_string(getuid())) +
           "/pulse/native";
}

std::string NoServer(const BackendChoice& choice) { return "no sound server answered at " + ServerAddress(choice); }

// Selects the backend and says on stderr which one is in use and why.
bool StartBackend(const std::string& command, const BackendChoice& choice, int& status) {
    const sorn::host::PlatformAudio audio = module.Audio();
    if (!audio.selectBackend || !audio.selectedBackendName) {
        status = Fail(command, "the module does not offer a choice of audio backend");
        return false;
    }
    const MMRESULT result = audio.selectBackend(choice.selection.c_str());
    if (result == MMSYSERR_INVALPARAM) {
        status = UsageError(command, "the audio backend \"" + choice.selection + "\" (from " + choice.source +
                                         ") has an unknown option");
        return false;
    }
    if (result != MMSYSERR_NOERROR) {
        status =
            Fail(command, "the audio backend \"" + choice.selection + "\" (from " + choice.source + ") cannot start: " +
                              (result == MMSYSERR_NODRIVER ? NoServer(choice) : "error " + std::to_string(result)));
        return false;
    }
    const std::string name = audio.selectedBackendName();
    // The sound server's mixer answers while the server does: without one,
    // say so here rather than as a device that cannot open.
    const sorn::host::PlatformMixer mixer = module.Mixer();
    if (name == "pulse" && mixer.mixerGetNumDevs && mixer.mixerGetNumDevs() == 0) {
        status = Fail(command, NoServer(choice));
        return false;
    }
    std::string why;
    if (choice.selection == "auto")
        why = name == "pulse" ? "chosen automatically: a sound server answered"
                              : "chosen automatically: no sound server answered";
    else
        why = "asked for by " + choice.source + (choice.selection != name ? " (" + choice.selection + ")" : "");
    std::fprintf(stderr, "sorn: audio backend: %s (%s)\n", name.c_str(), why.c_str());
    return true;
}

// --- numbers -------------------------------------------------------------------

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

// --- clips -----------------------------------------------------------------------

// A core clip holding a copy of 16-bit samples.
IWave* MakeClip(const std::int16_t* samples, std::uint64_t frames, std::uint32_t rate, std::uint16_t channels) {
    IWave* clip = Factory()->CreateWave();
    SornAudioFormat format(rate, channels, static_cast<unsigned short>(2 * channels));
    clip->AudioFormat(&format);
    clip->SetBuffer(const_cast<std::int16_t*>(samples), static_cast<unsigned long>(frames), 1);
    return clip;
}

// The module's pitch tracker: the one its engine uses.
PitchCallback Tracker() {
    PitchCallback tracker = nullptr;
    if (SornEngine::ISornEngine* engine = Factory()->CreateEngine(SornStringA())) {
        if (auto* sph = dynamic_cast<SornEngine::SphEngine*>(engine)) tracker = sph->GetPitchCallback();
        Release(engine);
    }
    if (!tracker) tracker = reinterpret_cast<PitchCallback>(module.Symbol("_Z12ExtractPitchPKfisfPsi"));
    return tracker;
}

// Reads a file as play and pitch take it; one line in why otherwise.
bool ReadClip(const std::string& path, cli::Pcm16Clip& clip, std::string& why) {
    return cli::ReadPcm16(path, clip, why);
}

// --- play --------------------------------------------------------------------------

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// Plays frames [from, to) of clip and returns once the last piece has come
// back. The player cuts the range into pieces and keeps up to three in
// flight; when the range ends, every piece still in flight comes back with a
// callback, so a range of n pieces ends with min(n, 3) callbacks.
bool PlayRange(const std::string& command, IWave* clip, unsigned long from, unsigned long to, bool interactive,
               std::string& why) {
    const unsigned long align = clip->AudioFormat()->BlockAlign();
    const unsigned long rate = clip->GetSamplesPerSec();
    // Pieces of half a second: the three in flight keep a second or more
    // queued at the device, so a player that loses the processor for a
    // moment does not leave a gap.
    const unsigned long pieceFrames = std::max(1ul, rate / 2);
    const unsigned long frames = to - from;
    const int endings = static_cast<int>(std::min<unsigned long>(3, (frames + pieceFrames - 1) / pieceFrames));
    (void)command;

    Event done;  // outlives the player: the player is deleted (waiting for its callbacks) first
    IWaveDevice* device = Factory()->CreateWaveDevice();
    IWaveOut* player = Factory()->CreateWaveOut();
    player->SetWave(clip);
    player->SetDevice(device);
    player->ModifyWaveOutBufferLength(pieceFrames * align);
    player->SetWaveOutCB(&SignalEvent, reinterpret_cast<std::uintptr_t>(&done));
    bool finished = false;
    if (!player->Open()) {
        why = "cannot open the output device: " + ErrorText(player->GetError());
    } else if (!player->Play(from, to, 0) && frames > 2 * pieceFrames) {
        why = "cannot start playing: " + ErrorText(player->GetError());
    } else {
        Keyboard keyboard;
        const bool showKeys = interactive;
        bool paused = false;
        // Twice the range's length and 3 s of slack, not counting pauses.
        auto budget = std::chrono::milliseconds(3000 + 2000ull * frames / rate);
        auto last = std::chrono::steady_clock::now();
        // The device answers no position once it is lost (its sound server
        // died, say): the range then ends, or would never end.
        unsigned long heard = 0;
        bool lost = false;
        while (!finished) {
            finished = done.WaitFor(endings, 100ms);
            const auto now = std::chrono::steady_clock::now();
            if (!paused) budget -= std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
            last = now;
            const unsigned long position = player->GetPosition();
            lost = position == 0xFFFFFFFFul;
            if (lost) break;
            heard = std::max(heard, std::min(position, frames));
            if (finished) break;
            if (interrupted) {
                player->Stop();
                why = "interrupted";
                break;
            }
            if (budget.count() < 0) {
                why = "playback did not finish in time";
                break;
            }
            if (showKeys && keyboard.Key() == ' ') {
                paused = !paused;
                paused ? player->Pause() : player->Continue();
            }
            if (interactive) {
                const double at = (from + heard) / double(rate);
                std::fprintf(stderr, "\r%s / %s%s   ", Seconds(at).c_str(), Seconds(to / double(rate)).c_str(),
                             paused ? "  paused (space resumes)" : "  (space pauses)");
                std::fflush(stderr);
            }
        }
        // The last piece has come back once it is written to the device;
        // the device's position says when it has been heard. Closing earlier
        // would cut off what the device still holds.
        const auto drainEnd = std::chrono::steady_clock::now() + 2s;
        while (finished && !lost && std::chrono::steady_clock::now() < drainEnd) {
            const unsigned long played = player->GetPosition();
            lost = played == 0xFFFFFFFFul;
            if (lost || played >= frames) break;
            heard = std::max(heard, played);
            std::this_thread::sleep_for(5ms);
        }
        if (lost) {
            finished = false;
            why = "the device was lost after " + Seconds(heard / double(rate));
        }
        if (interactive) std::fprintf(stderr, "\r\033[K");
        player->Close();
    }
    player->SetWaveOutCB(nullptr, 0);
    Release(player);
    Release(device);
    return finished;
}

struct PlayOptions {
    std::string file;
    std::string from;
    std::string to;
    std::string backend;
};

int Play(const PlayOptions& options) {
    const std::string command = "play";
    const BackendChoice choice = ChooseBackend(options.backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    cli::Pcm16Clip samples;
    std::string why;
    if (!ReadClip(options.file, samples, why)) return Fail(command, why);
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
        return UsageError(command, "the range " + std::to_string(from) + ".." + std::to_string(to) +
                                       " is empty (" + options.file + " has " + std::to_string(total) + " frames)");
    if (total >= 0xFFFFFFFFull) return Fail(command, options.file + " is too long to play (more than 2^32 frames)");
    if (!StartBackend(command, choice, status)) return status;

    IWave* clip = MakeClip(samples.samples.data(), total, samples.sampleRate, samples.channels);
    CatchInterrupt();
    const bool played = PlayRange(command, clip, static_cast<unsigned long>(from), static_cast<unsigned long>(to),
                                  OnTerminal(), why);
    Release(clip);
    if (!played) return Fail(command, why);
    std::printf("played %llu frames (%s) of %s\n", static_cast<unsigned long long>(to - from),
                Seconds(double(to - from) / samples.sampleRate).c_str(), options.file.c_str());
    return kOk;
}

// --- record ------------------------------------------------------------------------

struct RecordOptions {
    std::string file;
    double maxSeconds = 30.0;
    bool noAutoStop = false;
    unsigned rate = 16000;
    unsigned channels = 1;
    std::string backend;
};

// Whether path can be written, without leaving a file behind.
bool Writable(const std::string& path, std::string& why) {
    struct stat info {};
    const bool existed = stat(path.c_str(), &info) == 0;
    if (existed && S_ISDIR(info.st_mode)) {
        why = path + " cannot be written: it is a folder";
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    close(fd);
    if (!existed) unlink(path.c_str());
    return true;
}

// The capture's extras the module exports beside IWaveIn.
struct CaptureAccess {
    unsigned long (*read)(IWaveIn*, unsigned long, void*, unsigned long, int) = nullptr;
    int (*status)(IWaveIn*, SornCaptureStatus*) = nullptr;
};

CaptureAccess TakeCaptureAccess() {
    CaptureAccess access;
    access.read = reinterpret_cast<decltype(access.read)>(module.Symbol("SornCaptureRead"));
    access.status = reinterpret_cast<decltype(access.status)>(module.Symbol("SornCaptureGetStatus"));
    return access;
}

// The terminal's width in columns (80 when unknown).
unsigned TerminalColumns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// The live line of a recording, cut to the terminal's width: the hint goes
// first, then the bar narrows.
std::string MeterLine(double seconds, double db, const char* state, unsigned columns) {
    const std::string hint = "  (Ctrl-C stops and keeps the take)";
    char head[64];
    std::snprintf(head, sizeof head, "%6.1f s  %5.1f dBFS ", seconds, db);
    char tail[32];
    std::snprintf(tail, sizeof tail, "  %-18s", state);
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    const std::size_t fixed = std::strlen(head) + 2 + std::strlen(tail);
    const std::size_t cells = std::min<std::size_t>(30, room > fixed + 30 ? 30 : room > fixed + 5 ? room - fixed : 5);
    const auto filled = static_cast<std::size_t>(std::clamp((db + 60) / 60 * double(cells), 0.0, double(cells)));
    std::string line =
        std::string(head) + "[" + std::string(filled, '#') + std::string(cells - filled, ' ') + "]" + tail;
    if (line.size() + hint.size() <= room) line += hint;
    if (line.size() > room) line.resize(room);
    return line;
}

// The first channel's level in dBFS (-96 for silence).
double FirstChannelDb(const std::int16_t* samples, std::size_t frames, unsigned channels) {
    double sum = 0;
    for (std::size_t i = 0; i < frames; ++i) sum += double(samples[i * channels]) * samples[i * channels];
    const double rms = frames ? std::sqrt(sum / frames) / 32768.0 : 0.0;
    return rms > 0 ? 20 * std::log10(rms) : -96.0;
}

const char* StateName(int state) {
    switch (state) {
    case SORN_VAD_SPEECH: return "speech";
    case SORN_VAD_SPEECH_END: return "end of speech";
    default: return "waiting for speech";
    }
}

struct Take {
    std::size_t frames = 0;
    unsigned rate = 0;
    unsigned channels = 0;
    std::string ending;  // why the recording stopped
    bool heardSpeech = false;  // the detector heard speech somewhere in the take
    double trimmedSeconds = 0;  // unchanging input dropped from the start
    bool deviceLost = false;  // the device stopped answering mid-take
    double lostAfter = 0;  // seconds into the recording it was lost
    int writeError = 0;  // errno of the write that stopped the take
    bool keepSamples = false;  // also keep the take in `samples`
    std::vector<std::int16_t> samples;
};

// What a capture answers for its position once its device is gone.
constexpr unsigned long kNoPosition = 0xFFFFFFFFul;
// How long the auto-stop's callback may trail the capture's own stop: it is
// called as soon as the stop returns, so this bounds only a stalled process.
constexpr auto kAutoStopCallback = std::chrono::seconds(2);

// Takes the frames the capture has added since the last call into the file
// (and the take's samples when kept), and tells the level and the
// detector's state of the new frames. Without the capture's own detector
// (no auto-stop) it runs one on the new frames, so every frame is heard
// once whatever the take's length.
class TakeDrain {
public:
    TakeDrain(IWaveIn* capture, const CaptureAccess& access, cli::TakeFile& file, Take& take)
        : capture_(capture), access_(access), file_(file), take_(take), detector_(take.rate),
          chunk_(std::size_t{take.rate} / 10 * take.channels) {}

    // False when the file could not take the new frames (take.writeError).
    bool Drain(bool whole) {
        levelDb_ = -96.0;
        while (true) {
            const unsigned long frames =
                access_.read(capture_, take_.frames, chunk_.data(),
                             static_cast<unsigned long>(chunk_.size() / take_.channels), whole ? 1 : 0);
            if (frames == 0) break;
            if (!file_.Append(chunk_.data(), frames)) {
                take_.writeError = file_.Error();
                take_.frames = file_.Frames();
                return false;
            }
            take_.frames += frames;
            if (take_.keepSamples)
                take_.samples.insert(take_.samples.end(), chunk_.begin(), chunk_.begin() + frames * take_.channels);
            levelDb_ = FirstChannelDb(chunk_.data(), frames, take_.channels);
            Hear(frames);
        }
        SornCaptureStatus status{};
        if (access_.status(capture_, &status) && status.verdict >= 0) {
            state_ = status.verdict;
            take_.heardSpeech = status.heardSpeech != 0;
        }
        if (whole && status.recordedFrames > 0) take_.trimmedSeconds = double(status.trimmedFrames) / take_.rate;
        return true;
    }
    double LevelDb() const { return levelDb_; }
    int State() const { return state_; }
    void UseOwnDetector() { ownDetector_ = true; }

private:
    void Hear(unsigned long frames) {
        if (!ownDetector_) return;
        mono_.resize(frames);
        for (unsigned long i = 0; i < frames; ++i) {
            std::int32_t sum = 0;
            for (unsigned c = 0; c < take_.channels; ++c) sum += chunk_[i * take_.channels + c];
            mono_[i] = static_cast<short>(sum / static_cast<std::int32_t>(take_.channels));
        }
        state_ = detector_.Detect(mono_.data(), static_cast<unsigned>(frames));
        take_.heardSpeech = take_.heardSpeech || state_ != SORN_VAD_NO_SPEECH;
    }

    IWaveIn* capture_;
    const CaptureAccess& access_;
    cli::TakeFile& file_;
    Take& take_;
    SornVad detector_;
    bool ownDetector_ = false;
    std::vector<std::int16_t> chunk_;
    std::vector<short> mono_;
    double levelDb_ = -96.0;
    int state_ = SORN_VAD_NO_SPEECH;
};

// Records into `path` until the capture's auto-stop (unless noAutoStop), the
// limit, Ctrl-C, a lost device or a failed write; while recording runs
// `during` (when given) on this thread. The file is written as the frames
// come, so it holds a valid take whatever stops the recording. False with
// `why` when the recording could not start.
bool RecordTake(const RecordOptions& options, const std::string& path, bool live, bool (*during)(void*), void* context,
                Take& take, std::string& why) {
    const CaptureAccess access = TakeCaptureAccess();
    if (!access.read || !access.status) {
        why = "the module cannot hand over a recording as it grows";
        return false;
    }
    take.rate = options.rate;
    take.channels = options.channels;
    Event ended;  // outlives the recorder: the recorder is deleted (waiting for its callbacks) first
    IWaveDevice* device = Factory()->CreateWaveDevice();
    IWaveIn* recorder = Factory()->CreateWaveIn();
    recorder->SetDevice(device);
    SornAudioFormat format(options.rate, static_cast<unsigned short>(options.channels),
                           static_cast<unsigned short>(2 * options.channels));
    recorder->SetWaveFormat(&format);
    // The capture runs its end-of-speech detector only with a callback set.
    if (!options.noAutoStop) recorder->SetWaveInCB(&SignalEvent, reinterpret_cast<std::uintptr_t>(&ended));
    bool ok = false;
    cli::TakeFile file;
    const unsigned blockBytes = std::max(2u, options.rate / 10) * 2 * options.channels;  // 100 ms blocks
    if (!recorder->Open(blockBytes)) {
        why = "cannot open the input device: " + ErrorText(recorder->GetError());
    } else if (!file.Open(path, options.rate, options.channels, why)) {
        recorder->Close();
    } else if (!recorder->Record()) {
        why = "cannot record: " + ErrorText(recorder->GetError());
        file.Discard();
    } else {
        TakeDrain drain(recorder, access, file, take);
        if (options.noAutoStop) drain.UseOwnDetector();
        const auto start = std::chrono::steady_clock::now();
        const auto limit = std::chrono::milliseconds(static_cast<long long>(options.maxSeconds * 1000));
        bool autoStopped = false;
        const bool stoppedHere = during && !during(context);
        if (stoppedHere) recorder->Stop();
        while (true) {
            if (ended.WaitFor(1, 100ms)) {
                autoStopped = true;
                take.ending = "stopped at the end of speech";
                break;
            }
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (!drain.Drain(false)) break;
            if (interrupted) {
                take.ending = "stopped by Ctrl-C";
                break;
            }
            if (elapsed >= limit) {
                take.ending = "stopped at the limit of " + Seconds(options.maxSeconds);
                break;
            }
            if (recorder->GetPosition() == kNoPosition) {
                take.deviceLost = true;
                take.lostAfter = std::chrono::duration<double>(elapsed).count();
                break;
            }
            if (!recorder->IsRecording()) {
                // The capture's auto-stop stops the device first and calls
                // back after, so a stop is the end of speech only when its
                // callback follows; a stop without one is the device's.
                autoStopped = !options.noAutoStop && !stoppedHere && ended.WaitFor(1, kAutoStopCallback);
                take.ending = autoStopped ? "stopped at the end of speech" : "the device stopped";
                break;
            }
            if (live) {
                const double secs = std::chrono::duration<double>(elapsed).count();
                std::fprintf(stderr, "\r%s",
                             MeterLine(secs, drain.LevelDb(), StateName(drain.State()), TerminalColumns()).c_str());
                std::fflush(stderr);
            }
        }
        if (live) std::fprintf(stderr, "\r\033[K");
        if (!autoStopped) recorder->Stop();
        if (!take.writeError) drain.Drain(true);
        recorder->Close();
        if (take.frames == 0 && !take.writeError) {
            file.Discard();
            why = "nothing was recorded, so " + path + " was not written";
            ok = take.deviceLost;  // the loss is the reason to give
        } else if (!file.Close() && !take.writeError) {
            take.writeError = errno;
            ok = true;
        } else {
            ok = true;
        }
    }
    recorder->SetWaveInCB(nullptr, 0);
    Release(recorder);
    Release(device);
    return ok;
}

// The line that says why a take ended early, or "" when it did not.
std::string TakeFailure(const Take& take, const std::string& path) {
    if (take.writeError)
        return path + ": " + std::strerror(take.writeError) + "; the first " +
               Seconds(double(take.frames) / take.rate) + " are saved";
    if (take.deviceLost && take.frames == 0)
        return "the device was lost after " + Seconds(take.lostAfter) + "; nothing was recorded, so " + path +
               " was not written";
    if (take.deviceLost)
        return "the device was lost after " + Seconds(take.lostAfter) + "; the take so far is saved in " + path;
    return "";
}

int Record(const RecordOptions& options) {
    const std::string command = "record";
    const BackendChoice choice = ChooseBackend(options.backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    if (!(options.maxSeconds > 0 && options.maxSeconds <= 86400))
        return UsageError(command, "--max-seconds must be above 0 and at most 86400");
    if (options.rate < 8000 || options.rate > 48000) return UsageError(command, "--rate must be 8000 to 48000 Hz");
    if (options.channels < 1 || options.channels > 2) return UsageError(command, "--channels must be 1 or 2");
    std::string why;
    if (!Writable(options.file, why)) return Fail(command, why);
    if (!StartBackend(command, choice, status)) return status;

    CatchInterrupt();
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a failed write, not the end of the process
    Take take;
    if (!RecordTake(options, options.file, OnTerminal(), nullptr, nullptr, take, why)) return Fail(command, why);
    if (const std::string failure = TakeFailure(take, options.file); !failure.empty()) return Fail(command, failure);
    std::string notes;
    if (take.trimmedSeconds > 0.005)
        notes += "; the first " + Seconds(take.trimmedSeconds) + " did not change and were dropped";
    if (!take.heardSpeech) notes += "; no speech was heard in the take";
    std::printf("recorded %zu frames (%s) into %s: %s%s\n", take.frames,
                Seconds(double(take.frames) / take.rate).c_str(), options.file.c_str(), take.ending.c_str(),
                notes.c_str());
    return kOk;
}

// --- pitch ---------------------------------------------------------------------------

struct PitchOptions {
    std::vector<std::string> files;  // files and folders
    std::string file;                // the one file of a single contour
    std::string out;                 // the folder of a corpus's contours
    float level = cli::kDefaultLevel;
    std::string format = "text";
    std::string plot;
    int channel = kAllChannels;  // from 1
    static constexpr int kAllChannels = -1;  // their mean
    std::string backend;
};

// --- pitch of a corpus ---------------------------------------------------------------

// One file of a corpus and where its contour goes.
struct CorpusFile {
    std::string input;
    std::string output;
    std::string failure;  // why it was not tracked ("" when it was)
    double seconds = 0;   // of audio tracked
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
                std::transform(suffix.begin(), suffix.end(), suffix.begin(), [](unsigned char c) { return std::tolower(c); });
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
    std::mutex reading;  // the module's codec reads one file at a time
    std::atomic<std::size_t> next{0}, done{0};
    std::atomic<unsigned> resampled{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < files.size(); i = next++) {
            CorpusFile& file = files[i];
            cli::Pcm16Clip clip;
            std::string failure, note;
            bool ok;
            {
                std::lock_guard lock(reading);
                ok = ReadClip(file.input, clip, failure);
            }
            if (ok && options.channel > clip.channels) {
                failure = "it has " + std::to_string(clip.channels) + " channel(s), no channel " +
                          std::to_string(options.channel);
                ok = false;
            }
            cli::PitchContour contour;
            if (ok) ok = cli::TrackPitch(clip, tracking, contour, failure, &note);
            if (ok) ok = cli::WriteTextFile(file.output, cli::FormatContour(contour, format), failure);
            if (ok && !note.empty()) ++resampled;
            if (ok && clip.channels > 0 && clip.sampleRate > 0)
                file.seconds = double(clip.samples.size()) / clip.channels / clip.sampleRate;
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
    cli::Pcm16Clip clip;
    if (!ReadClip(options.file, clip, why)) return Fail(command, why);
    if (options.channel > clip.channels)
        return UsageError(command, "--channel " + std::to_string(options.channel) + ": " + options.file + " has " +
                                       std::to_string(clip.channels) + " channel(s)");
    cli::PitchOptions tracking;
    tracking.level = options.level;
    if (options.channel > 0) tracking.channel = options.channel - 1;
    tracking.tracker = Tracker();
    cli::PitchContour contour;
    std::string note;
    if (!cli::TrackPitch(clip, tracking, contour, why, &note)) return Fail(command, options.file + ": " + why);
    if (!note.empty()) std::fprintf(stderr, "sorn: pitch: %s\n", note.c_str());
    if (!cli::WriteAll(stdout, cli::FormatContour(contour, format), why))
        return Fail(command, "cannot write the contour: " + why);
    if (!options.plot.empty() &&
        !cli::WriteTextFile(options.plot, cli::PitchPlotSvg(contour, options.file), why))
        return Fail(command, why);
    return kOk;
}

// --- info --------------------------------------------------------------------------------

int Info(const std::string& file, bool json) {
    const std::string command = "info";
    cli::WavDescription description;
    std::string why;
    if (!cli::DescribeWav(file, description, why)) return Fail(command, why);
    if (!cli::WriteAll(stdout, json ? cli::InfoJson(file, description) : cli::InfoText(file, description), why))
        return Fail(command, "cannot write: " + why);
    // A file play and pitch would refuse is still described: a note on
    // stderr says why they refuse it, and the status is 0.
    cli::Pcm16Clip clip;
    if (!cli::ReadPcm16(file, clip, why)) std::fprintf(stderr, "sorn: info: note: %s\n", why.c_str());
    return kOk;
}

// --- volume ----------------------------------------------------------------------------------

// What the mixer says of the line whose volume a role uses: whether it has a
// volume control, its mute switch and the server's own percentage (when the
// backend gives them).
struct RoleLine {
    bool volume = false;
    bool muted = false;
    long percent = -1;
};

bool ReadUniform(const sorn::host::PlatformMixer& mixer, const MIXERCONTROLA& control, DWORD& value) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    return mixer.mixerGetControlDetailsA(nullptr, &details, MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE) ==
           MMSYSERR_NOERROR;
}

// The controls of a mixer line (none when they cannot be read).
std::vector<MIXERCONTROLA> LineControls(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line) {
    std::vector<MIXERCONTROLA> controls(line.cControls);
    MIXERLINECONTROLSA request{};
    request.cbStruct = sizeof request;
    request.dwLineID = line.dwLineID;
    request.cControls = line.cControls;
    request.cbmxctrl = sizeof(MIXERCONTROLA);
    request.pamxctrl = controls.data();
    if (line.cControls == 0 ||
        mixer.mixerGetLineControlsA(id, &request, MIXER_OBJECTF_MIXER | MIXER_GETLINECONTROLSF_ALL) != MMSYSERR_NOERROR)
        controls.clear();
    return controls;
}

// Mixer 0's line for playback (the speakers destination) or capture (the
// wave-in destination or its microphone source), as the volume manager
// finds it. False when the mixer cannot be read.
bool ReadRoleLine(const sorn::host::PlatformMixer& mixer, bool input, RoleLine& role) {
    role = RoleLine{};
    MIXERCAPSA caps{};
    if (mixer.mixerGetDevCapsA(0, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
    const DWORD destinationType = input ? MIXERLINE_COMPONENTTYPE_DST_WAVEIN : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    const DWORD sourceType = input ? MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE : MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT;
    const auto take = [&](const MIXERLINEA& line) {
        for (const MIXERCONTROLA& control : LineControls(mixer, nullptr, line)) {
            DWORD value = 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_VOLUME) role.volume = true;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_MUTE && ReadUniform(mixer, control, value))
                role.muted = role.muted || value != 0;
            if (control.dwControlType == MIXERCONTROL_CONTROLTYPE_PERCENT && ReadUniform(mixer, control, value))
                role.percent = std::max<long>(role.percent, static_cast<long>(value));
        }
    };
    for (DWORD d = 0; d < caps.cDestinations; ++d) {
        MIXERLINEA line{};
        line.cbStruct = sizeof line;
        line.dwDestination = d;
        if (mixer.mixerGetLineInfoA(nullptr, &line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_DESTINATION) ||
            line.dwComponentType != destinationType)
            continue;
        take(line);
        for (DWORD s = 0; s < line.cConnections; ++s) {
            MIXERLINEA source{};
            source.cbStruct = sizeof source;
            source.dwDestination = d;
            source.dwSource = s;
            if (mixer.mixerGetLineInfoA(nullptr, &source, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_SOURCE) ==
                    MMSYSERR_NOERROR &&
                source.dwComponentType == sourceType)
                take(source);
        }
    }
    return true;
}

int Volume(const std::string& which, const std::string& levelText, const std::string& backend) {
    const std::string command = "volume";
    const BackendChoice choice = ChooseBackend(backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    const bool input = which == "input" || which == "in";
    const bool output = which == "output" || which == "out";
    if (!which.empty() && !input && !output)
        return UsageError(command, "\"" + which + "\" is neither input nor output");
    double level = -1;
    if (!levelText.empty()) {
        if (which.empty()) return UsageError(command, "say input or output before the level");
        char* end = nullptr;
        level = std::strtod(levelText.c_str(), &end);
        if (*end || !(level >= 0.0 && level <= 1.0))
            return UsageError(command, "the level " + levelText + " is not a number from 0.0 to 1.0");
    }
    if (!StartBackend(command, choice, status)) return status;
    // The volumes exist only with both lines: the module sets up its volume
    // manager for both or for none, and without one a level reads 0.0 and a
    // setting does nothing.
    const sorn::host::PlatformMixer mixer = module.Mixer();
    const bool pulse = std::string(module.Audio().selectedBackendName()) == "pulse";
    RoleLine lines[2];
    if (!mixer.Complete() || mixer.mixerGetNumDevs() == 0 || !ReadRoleLine(mixer, false, lines[0]) ||
        !ReadRoleLine(mixer, true, lines[1]))
        return Fail(command, pulse ? NoServer(choice) : "the audio backend has no mixer");
    if (!lines[0].volume || !lines[1].volume)
        return Fail(command, std::string("no volume to read or set: the ") + (pulse ? "sound server" : "mixer") +
                                 " has no " + (lines[0].volume ? "recording" : "playback") + " device");
    IWaveIn* recorder = Factory()->CreateWaveIn();
    IWaveOut* player = Factory()->CreateWaveOut();
    if (level >= 0) input ? recorder->VolumeLevel(level) : player->VolumeLevel(level);
    const double levels[2] = {player->VolumeLevel(), recorder->VolumeLevel()};
    Release(player);
    Release(recorder);
    // Read again after the levels: a server that went away meanwhile
    // answered nothing, whatever the levels say.
    if (!ReadRoleLine(mixer, false, lines[0]) || !ReadRoleLine(mixer, true, lines[1]) || !lines[0].volume ||
        !lines[1].volume)
        return Fail(command, pulse ? NoServer(choice) : "the mixer stopped answering");
    const auto show = [&](const char* what, int k) {
        std::string notes;
        if (lines[k].percent > 100) notes = std::to_string(lines[k].percent) + " %";
        if (lines[k].muted) notes += std::string(notes.empty() ? "" : ", ") + "muted";
        std::printf("%s volume: %.3f%s\n", what, levels[k], notes.empty() ? "" : (" (" + notes + ")").c_str());
    };
    if (which.empty() || input) show("recording", 1);
    if (which.empty() || output) show("playback", 0);
    return kOk;
}

// --- devices ---------------------------------------------------------------------------------

const char* ComponentName(DWORD type) {
    switch (type) {
    case MIXERLINE_COMPONENTTYPE_DST_SPEAKERS: return "speakers";
    case MIXERLINE_COMPONENTTYPE_DST_HEADPHONES: return "headphones";
    case MIXERLINE_COMPONENTTYPE_DST_WAVEIN: return "wave in";
    case MIXERLINE_COMPONENTTYPE_DST_VOICEIN: return "voice in";
    case MIXERLINE_COMPONENTTYPE_DST_LINE: return "line";
    case MIXERLINE_COMPONENTTYPE_DST_MONITOR: return "monitor";
    case MIXERLINE_COMPONENTTYPE_DST_DIGITAL: return "digital";
    case MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE: return "microphone";
    case MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT: return "wave out";
    case MIXERLINE_COMPONENTTYPE_SRC_LINE: return "line";
    case MIXERLINE_COMPONENTTYPE_SRC_ANALOG: return "analog";
    case MIXERLINE_COMPONENTTYPE_SRC_DIGITAL: return "digital";
    case MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER: return "synthesizer";
    case MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC: return "compact disc";
    case MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY: return "auxiliary";
    default: return "other";
    }
}

// The values of one control as text ("[32767, 32767]"), or why not.
std::string ControlValues(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line,
                          const MIXERCONTROLA& control) {
    const DWORD channels = (control.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<DWORD>(1, line.cChannels);
    const DWORD items = (control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? std::max<DWORD>(1, control.cMultipleItems) : 1;
    std::vector<LONG> values(static_cast<std::size_t>(channels) * items);
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = channels;
    details.cMultipleItems = (control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? control.cMultipleItems : 0;
    details.cbDetails = sizeof(LONG);
    details.paDetails = values.data();
    if (mixer.mixerGetControlDetailsA(id, &details, MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE) !=
        MMSYSERR_NOERROR)
        return "null";
    const bool isSigned = (control.dwControlType & MIXERCONTROL_CT_UNITS_MASK) == MIXERCONTROL_CT_UNITS_SIGNED ||
                          (control.dwControlType & MIXERCONTROL_CT_UNITS_MASK) == MIXERCONTROL_CT_UNITS_DECIBELS;
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ", ";
        text += isSigned ? std::to_string(values[i]) : std::to_string(static_cast<DWORD>(values[i]));
    }
    return text + "]";
}

struct Listing {
    cli::TextBuffer text;
    bool json;
    bool first = true;
};

void AppendLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line, bool source,
                cli::TextBuffer& out, bool json) {
    const std::vector<MIXERCONTROLA> controls = LineControls(mixer, id, line);
    if (json) {
        out.Put("{\"name\":").JsonString(line.szName).Put(",\"type\":").JsonString(ComponentName(line.dwComponentType));
        out.Put(",\"channels\":").Int(line.cChannels).Put(",\"controls\":[");
        for (std::size_t c = 0; c < controls.size(); ++c) {
            out.Put(c ? "," : "").Put("{\"name\":").JsonString(controls[c].szName).Put(",\"minimum\":");
            out.Int(controls[c].Bounds.lMinimum).Put(",\"maximum\":").Int(controls[c].Bounds.dwMaximum);
            out.Put(",\"values\":").Put(ControlValues(mixer, id, line, controls[c])).Put('}');
        }
        out.Put(']');
        return;
    }
    out.Put(source ? "      source: " : "    destination: ").Put(line.szName).Put(" (")
        .Put(ComponentName(line.dwComponentType)).Put(", ").Int(line.cChannels)
        .Put(line.cChannels == 1 ? " channel)\n" : " channels)\n");
    for (const MIXERCONTROLA& control : controls) {
        out.Put(source ? "        " : "      ").Put("control: ").Put(control.szName).Put(" = ")
            .Put(ControlValues(mixer, id, line, control)).Put(" of ").Int(control.Bounds.lMinimum).Put("..")
            .Int(control.Bounds.dwMaximum).Put('\n');
    }
}

int Devices(bool json, const std::string& backend) {
    const std::string command = "devices";
    const BackendChoice choice = ChooseBackend(backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    if (!StartBackend(command, choice, status)) return status;
    const sorn::host::PlatformAudio audio = module.Audio();
    const sorn::host::PlatformMixer mixer = module.Mixer();
    if (!audio.waveOutGetNumDevs || !audio.waveOutGetDevCapsA || !audio.waveInGetNumDevs || !audio.waveInGetDevCapsA)
        return Fail(command, "the module does not list its wave devices");
    cli::TextBuffer out;
    const std::string name = audio.selectedBackendName();
    // One device, with its own channel count (the server's), else the record's.
    const auto addDevice = [&](bool output, UINT id, const char* deviceName, WORD channels, UINT& n) {
        WORD own = 0;
        if (audio.deviceChannels && audio.deviceChannels(output, id, &own) == MMSYSERR_NOERROR) channels = own;
        if (json) {
            out.Put(n++ ? "," : "").Put("{\"id\":").Int(id).Put(",\"name\":").JsonString(deviceName);
            out.Put(",\"channels\":").Int(channels).Put('}');
        } else {
            out.Put(output ? "output " : "input ").Int(id).Put(": ").Put(deviceName).Put(" (").Int(channels);
            out.Put(channels == 1 ? " channel)\n" : " channels)\n");
        }
    };
    if (json) out.Put("{\"backend\":").JsonString(name).Put(",\"outputs\":[");
    else out.Put("backend: ").Put(name).Put('\n');
    const UINT outputs = audio.waveOutGetNumDevs();
    for (UINT i = 0, n = 0; i < outputs; ++i) {
        WAVEOUTCAPSA caps{};
        if (audio.waveOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        addDevice(true, i, caps.szPname, caps.wChannels, n);
    }
    if (json) out.Put("],\"inputs\":[");
    const UINT inputs = audio.waveInGetNumDevs();
    for (UINT i = 0, n = 0; i < inputs; ++i) {
        WAVEINCAPSA caps{};
        if (audio.waveInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        addDevice(false, i, caps.szPname, caps.wChannels, n);
    }
    if (!json && outputs == 0 && inputs == 0) out.Put("no wave devices\n");
    if (json) out.Put("],\"mixers\":[");
    const UINT mixers = mixer.Complete() ? mixer.mixerGetNumDevs() : 0;
    for (UINT m = 0; m < mixers; ++m) {
        MIXERCAPSA caps{};
        if (mixer.mixerGetDevCapsA(m, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        HMIXEROBJ id = reinterpret_cast<HMIXEROBJ>(static_cast<std::uintptr_t>(m));
        if (json) out.Put(m ? "," : "").Put("{\"id\":").Int(m).Put(",\"name\":").JsonString(caps.szPname).Put(",\"destinations\":[");
        else out.Put("mixer ").Int(m).Put(": ").Put(caps.szPname).Put('\n');
        for (DWORD d = 0; d < caps.cDestinations; ++d) {
            MIXERLINEA line{};
            line.cbStruct = sizeof line;
            line.dwDestination = d;
            if (mixer.mixerGetLineInfoA(id, &line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR)
                continue;
            if (json) out.Put(d ? "," : "");
            AppendLine(mixer, id, line, false, out, json);
            if (json) out.Put(",\"sources\":[");
            for (DWORD s = 0; s < line.cConnections; ++s) {
                MIXERLINEA source{};
                source.cbStruct = sizeof source;
                source.dwDestination = d;
                source.dwSource = s;
                if (mixer.mixerGetLineInfoA(id, &source, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR)
                    continue;
                if (json) out.Put(s ? "," : "");
                AppendLine(mixer, id, source, true, out, json);
                if (json) out.Put('}');
            }
            if (json) out.Put("]}");
        }
        if (json) out.Put("]}");
    }
    if (!json && mixers == 0) out.Put("no mixer\n");
    if (json) out.Put("]}\n");
    std::string why;
    if (!cli::WriteAll(stdout, out.Str(), why)) return Fail(command, "cannot write: " + why);
    return kOk;
}

// --- demo --------------------------------------------------------------------------------------

// The speech clip the demo plays: SORN_DEMO_CLIP, else the one made at build
// time, else the one installed beside the program (share/sorn).
std::string DemoClipPath() {
    if (const char* path = std::getenv("SORN_DEMO_CLIP"); path && *path) return path;
    std::error_code error;
#ifdef SORN_DEMO_CLIP_BUILT
    if (std::filesystem::exists(SORN_DEMO_CLIP_BUILT, error)) return SORN_DEMO_CLIP_BUILT;
#endif
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = self.parent_path().parent_path() / "share/sorn/demo-speech.wav";
        if (std::filesystem::exists(installed, error)) return installed.string();
    }
    return {};
}

// A voice-like stand-in when no speech clip is there: a glide from 120 to
// 220 Hz with harmonics in syllables, then a second of silence.
cli::Pcm16Clip SyntheticVoice() {
    constexpr unsigned rate = 16000;
    const unsigned voiced = rate * 2;
    cli::Pcm16Clip clip;
    clip.channels = 1;
    clip.sampleRate = rate;
    clip.samples.assign(voiced + rate, 0);
    double phase = 0;
    for (unsigned i = 0; i < voiced; ++i) {
        const double f = 120.0 + 100.0 * i / voiced;
        phase += 2 * M_PI * f / rate;
        const double syllables = 0.15 + 0.85 * std::fabs(std::sin(M_PI * 4.0 * i / rate));
        const double envelope = std::min(1.0, std::min(i, voiced - i) / 800.0) * syllables;
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(h * phase) / h;
        clip.samples[i] = static_cast<std::int16_t>(6000.0 * envelope * v);
    }
    return clip;
}

// The first channel of clip at 16 kHz (libsoxr when the rate differs), with
// a second of silence after it so the detector hears the end of speech.
bool To16kMono(const cli::Pcm16Clip& clip, std::vector<std::int16_t>& out, std::string& why) {
    std::vector<std::int16_t> mono(clip.Frames());
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = clip.samples[i * clip.channels];
    if (clip.sampleRate == 16000) {
        out = std::move(mono);
    } else {
        out.assign(static_cast<std::size_t>(double(mono.size()) * 16000 / clip.sampleRate) + 16, 0);
        std::size_t done = 0;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        if (const soxr_error_t error = soxr_oneshot(clip.sampleRate, 16000, 1, mono.data(), mono.size(), nullptr,
                                                    out.data(), out.size(), &done, &io, &quality, nullptr)) {
            why = std::string("cannot resample the demo clip: ") + error;
            return false;
        }
        out.resize(done);
    }
    out.resize(out.size() + 16000, 0);
    return true;
}

struct DemoPlayback {
    IWave* clip = nullptr;
    bool played = false;
    std::string why;
};

bool PlayDuringRecording(void* context) {
    auto* playback = static_cast<DemoPlayback*>(context);
    playback->played = PlayRange("demo", playback->clip, 0, playback->clip->GetNumSamples(), false, playback->why);
    return playback->played;
}

std::string Summary(const cli::PitchContour& contour) {
    int voiced = 0, low = 0, high = 0;
    double sum = 0;
    for (const std::int16_t p : contour.pitch) {
        if (p <= 0) continue;
        if (voiced == 0 || p < low) low = p;
        high = std::max<int>(high, p);
        sum += p;
        ++voiced;
    }
    char text[128];
    std::snprintf(text, sizeof text, "%zu values, %d voiced", contour.pitch.size(), voiced);
    std::string result = text;
    if (voiced) {
        std::snprintf(text, sizeof text, ", %d..%d Hz, mean %.0f Hz", low, high, sum / voiced);
        result += text;
    }
    return result;
}

int Demo(const std::string& folderOption, const std::string& backend) {
    const std::string command = "demo";
    const BackendChoice choice = ChooseBackend(backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    std::string folder = folderOption;
    if (folder.empty()) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        folder = std::string("sorn-demo-") + stamp;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return Fail(command, "cannot make the folder " + folder + ": " + error.message());
    std::string why;
    if (!Writable(folder + "/take.wav", why)) return Fail(command, why);

    // The clip to play.
    const std::string clipPath = DemoClipPath();
    cli::Pcm16Clip source;
    if (clipPath.empty() || !cli::ReadPcm16(clipPath, source, why)) {
        if (!clipPath.empty()) std::fprintf(stderr, "sorn: demo: %s; using a synthetic voice instead\n", why.c_str());
        source = SyntheticVoice();
    }
    std::vector<std::int16_t> speech;
    if (!To16kMono(source, speech, why)) return Fail(command, why);

    if (!StartBackend(command, choice, status)) return status;
    const sorn::host::PlatformAudio audio = module.Audio();
    if (std::string(audio.selectedBackendName()) == "virtual") {
        // No sound server: the virtual device in real time, its input
        // hearing its own output.
        if (audio.selectBackend("virtual:clock=realtime,in=loopback") != MMSYSERR_NOERROR)
            return Fail(command, "the virtual device cannot loop its output back");
        std::fprintf(stderr, "sorn: demo: no sound server: the virtual device plays and hears its own output\n");
    } else {
        std::fprintf(stderr, "sorn: demo: playing on the default output and recording the default input\n");
    }
    std::printf("1. playing %s (%s) while recording until the end of speech\n",
                clipPath.empty() ? "a synthetic voice" : clipPath.c_str(), Seconds(speech.size() / 16000.0).c_str());
    std::fflush(stdout);

    IWave* clip = MakeClip(speech.data(), speech.size(), 16000, 1);
    DemoPlayback playback;
    playback.clip = clip;
    RecordOptions recording;
    recording.maxSeconds = double(speech.size()) / 16000 + 5;
    Take take;
    take.keepSamples = true;
    CatchInterrupt();
    const std::string takePath = folder + "/take.wav";
    const bool recorded = RecordTake(recording, takePath, false, &PlayDuringRecording, &playback, take, why);
    Release(clip);
    if (!playback.played) return Fail(command, "playback failed: " + playback.why);
    if (!recorded) return Fail(command, why);
    if (const std::string failure = TakeFailure(take, takePath); !failure.empty()) return Fail(command, failure);
    std::printf("2. recorded %s: %s%s\n", Seconds(double(take.frames) / 16000).c_str(), take.ending.c_str(),
                take.heardSpeech ? "" : "; no speech was heard in the take");

    cli::Pcm16Clip recordedClip;
    recordedClip.channels = 1;
    recordedClip.sampleRate = 16000;
    recordedClip.samples.assign(take.samples.begin(), take.samples.end());
    cli::PitchContour contour;
    cli::PitchOptions tracking;
    tracking.tracker = Tracker();
    if (!cli::TrackPitch(recordedClip, tracking, contour, why)) return Fail(command, why);
    std::printf("3. pitch of the take: %s\n", Summary(contour).c_str());
    if (!cli::WriteTextFile(folder + "/pitch.csv", cli::FormatContour(contour, cli::ContourFormat::Csv), why) ||
        !cli::WriteTextFile(folder + "/pitch.svg", cli::PitchPlotSvg(contour, "sorn demo: pitch of the take"), why))
        return Fail(command, why);
    std::printf("wrote take.wav, pitch.csv and pitch.svg into %s\n", folder.c_str());
    return kOk;
}

std::string VersionText() {
    return std::string("sorn ") + Versioning::GetVersion() + " (the Sorn speech-audio host)";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"sorn: play, record, describe and analyse speech audio with the Sorn libraries.\n"
                 "The module comes from SORN_MODULE (default: the installed SornCoreWin library); the audio\n"
                 "backend from --backend or SORN_AUDIO: auto (the sound server when one answers, else the\n"
                 "virtual device), pulse[:server=ADDRESS] or virtual[:OPTIONS]. Exit status: 0 success,\n"
                 "1 failure, 2 usage error.",
                 "sorn"};
    app.set_version_flag("--version", VersionText());
    app.require_subcommand(1, 1);
    app.fallthrough(false);

    std::string backend;
    const auto addBackend = [&](CLI::App* sub) {
        sub->add_option("--backend", backend, "audio backend: auto, pulse[:server=ADDRESS], virtual[:OPTIONS]")
            ->type_name("NAME");
    };

    std::string infoFile;
    bool infoJson = false;
    CLI::App* info = app.add_subcommand("info", "describe a WAV file as the codec reads it");
    info->add_option("FILE.wav", infoFile, "the file")->required();
    info->add_flag("--json", infoJson, "one JSON object");
    addBackend(info);

    PlayOptions play;
    CLI::App* playCommand = app.add_subcommand("play", "play a WAV file (16-bit PCM), or a range of it");
    playCommand->add_option("FILE.wav", play.file, "the file")->required();
    playCommand->add_option("--from", play.from, "start: frames, or seconds with an s suffix (1.5s)")->type_name("T");
    playCommand->add_option("--to", play.to, "end (excluded): frames, or seconds with an s suffix")->type_name("T");
    playCommand->footer("On a terminal a progress line shows the position; the space bar pauses and resumes.");
    addBackend(playCommand);

    RecordOptions record;
    CLI::App* recordCommand = app.add_subcommand("record", "record into a WAV file until the end of speech");
    recordCommand->add_option("OUT.wav", record.file, "the file to write")->required();
    recordCommand->add_option("--max-seconds", record.maxSeconds, "stop after S seconds at most (default 30)")
        ->type_name("S");
    recordCommand->add_flag("--no-auto-stop", record.noAutoStop, "do not stop at the end of speech");
    recordCommand->add_option("--rate", record.rate, "sample rate in Hz (default 16000)")->type_name("R");
    recordCommand->add_option("--channels", record.channels, "1 or 2 (default 1)")->type_name("C");
    recordCommand->footer("Ctrl-C stops and keeps the take. On a terminal a live line shows the level, the\n"
                          "detector's state and the elapsed time.");
    addBackend(recordCommand);

    PitchOptions pitch;
    CLI::App* pitchCommand = app.add_subcommand("pitch", "the pitch contour of a WAV file, one value per 10 ms");
    pitchCommand->add_option("FILE.wav", pitch.files, "the file (16-bit PCM); several files or folders: a corpus")
        ->required();
    pitchCommand->add_option("--out", pitch.out, "write a corpus's contours into this folder (default: beside each file)")
        ->type_name("DIR");
    pitchCommand->add_option("--level", pitch.level, "the tracker's level (default 200)")->type_name("L");
    pitchCommand->add_option("--format", pitch.format, "text (one integer in Hz per line, 0 unvoiced), csv or json")
        ->type_name("text|csv|json");
    pitchCommand->add_option("--plot", pitch.plot, "also draw the voiced values as an SVG plot")->type_name("OUT.svg");
    pitchCommand->add_option("--channel", pitch.channel, "track channel N only (from 1; default: the channels' mean)")
        ->type_name("N");
    pitchCommand->footer(
        "One value per window the tracker analyses: max(0, ceil((frames - 1024) / (rate / 100))).\n"
        "csv and json give each value's time: the centre of its 512-sample analysis window.\n"
        "A file of several channels is tracked as their mean, rounded to 16-bit integers.\n"
        "Rates above 16 kHz are resampled to 16 kHz first and rounded to 16-bit integers\n"
        "(stderr says so).\n"
        "Several files, a folder (its .wav files at any depth) or --out make a corpus: every\n"
        "core tracks, each contour goes to NAME.pitch.txt (csv, json) beside its file or in\n"
        "--out, a file that fails is named and the rest go on (status 1), and one line sums up.");
    addBackend(pitchCommand);

    std::string volumeWhich, volumeLevel;
    CLI::App* volume = app.add_subcommand("volume", "read or set the recording or playback volume (0.0 to 1.0)");
    volume->add_option("WHICH", volumeWhich, "input or output (in, out); both when left out");
    volume->add_option("LEVEL", volumeLevel, "the new level, 0.0 to 1.0");
    addBackend(volume);

    bool devicesJson = false;
    CLI::App* devices = app.add_subcommand("devices", "the wave devices and the mixer tree of the backend");
    devices->add_flag("--json", devicesJson, "one JSON object");
    addBackend(devices);

    std::string demoFolder;
    CLI::App* demo = app.add_subcommand("demo", "play a speech clip, record it back, track its pitch");
    std::string demoPositional;
    demo->add_option("FOLDER", demoPositional, "where the take, the CSV and the SVG go (default sorn-demo-TIME)");
    demo->add_option("--folder", demoFolder, "the same as FOLDER")->type_name("DIR");
    demo->footer("Without a sound server the virtual device plays and hears its own output.");
    addBackend(demo);

    const std::vector<CLI::App*> commands{info, playCommand, recordCommand, pitchCommand, volume, devices, demo};
    if (argc > 1 && argv[1][0] != '-' &&
        std::none_of(commands.begin(), commands.end(), [&](const CLI::App* sub) { return sub->get_name() == argv[1]; })) {
        std::fprintf(stderr, "sorn: unknown command \"%s\" (see sorn --help)\n", argv[1]);
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string command;
        for (const CLI::App* sub : app.get_subcommands()) command = sub->get_name();
        std::string what = e.what();
        if (what.empty()) what = "bad arguments";
        if (command.empty()) {
            std::fprintf(stderr, "sorn: %s (see sorn --help)\n", what.c_str());
            return kUsage;
        }
        return UsageError(command, what);
    }

    // Load the module the way any host does; a refused start-up is one line.
    std::string error;
    if (!module.Load(sorn::host::LoadedModule::DefaultPath(), error)) {
        std::fprintf(stderr, "sorn: %s\n", error.c_str());
        return kFailed;
    }
    if (info->parsed()) {
        int status = kOk;
        if (!CheckBackend("info", ChooseBackend(backend), status)) return status;
        return Info(infoFile, infoJson);
    }
    if (playCommand->parsed()) {
        play.backend = backend;
        return Play(play);
    }
    if (recordCommand->parsed()) {
        record.backend = backend;
        return Record(record);
    }
    if (pitchCommand->parsed()) {
        pitch.backend = backend;
        pitch.file = pitch.files.front();
        return Pitch(pitch);
    }
    if (volume->parsed()) return Volume(volumeWhich, volumeLevel, backend);
    if (devices->parsed()) return Devices(devicesJson, backend);
    if (demo->parsed()) {
        if (!demoPositional.empty() && !demoFolder.empty() && demoPositional != demoFolder)
            return UsageError("demo", "name the folder once: FOLDER or --folder");
        return Demo(demoPositional.empty() ? demoFolder : demoPositional, backend);
    }
    return kUsage;
}
