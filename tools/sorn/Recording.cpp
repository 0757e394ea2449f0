#include "tools/sorn/Recording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/CaptureAccess.h"
#include "core_contract/SornVad.h"
#include "tools/cli/TakeFile.h"
#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Terminal.h"

namespace sorn::tool {

using namespace std::chrono_literals;
namespace cli = sorn::cli;

namespace {

// The capture's extras the module exports beside IWaveIn.
struct CaptureAccess {
    unsigned long (*read)(IWaveIn*, unsigned long, void*, unsigned long, int) = nullptr;
    int (*status)(IWaveIn*, SornCaptureStatus*) = nullptr;
};

CaptureAccess TakeCaptureAccess() {
    CaptureAccess access;
    access.read = reinterpret_cast<decltype(access.read)>(Module().Symbol("SornCaptureRead"));
    access.status = reinterpret_cast<decltype(access.status)>(Module().Symbol("SornCaptureGetStatus"));
    return access;
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
    if (state == SORN_VAD_SPEECH) return "speech";
    return state == SORN_VAD_SPEECH_END ? "end of speech" : "waiting for speech";
}

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
            if (take_.keep)
                take_.keep->samples.insert(take_.keep->samples.end(), chunk_.begin(),
                                           chunk_.begin() + frames * take_.channels);
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

}  // namespace

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
    // The factory's device is the mapper's; a numbered one is the host's.
    IWaveDevice* device =
        options.deviceId == WAVE_MAPPER ? Factory()->CreateWaveDevice() : new ChosenWaveDevice(options.deviceId);
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

}  // namespace sorn::tool
