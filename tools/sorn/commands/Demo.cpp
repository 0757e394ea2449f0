#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core_contract/SornDataSys.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Playback.h"
#include "tools/sorn/Recording.h"
#include "tools/sorn/Terminal.h"

namespace cli = sorn::cli;

namespace sorn::tool {

namespace {

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
    playback->played =
        PlayRange("demo", playback->clip, 0, playback->clip->GetNumSamples(), WAVE_MAPPER, false, playback->why);
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

}  // namespace

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
    const sorn::host::PlatformAudio audio = Module().Audio();
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
    cli::Pcm16Clip recordedClip;  // the take, as it goes into take.wav
    recordedClip.channels = 1;
    recordedClip.sampleRate = 16000;
    take.keep = &recordedClip;
    CatchInterrupt();
    const std::string takePath = folder + "/take.wav";
    const bool recorded = RecordTake(recording, takePath, false, &PlayDuringRecording, &playback, take, why);
    Release(clip);
    if (!playback.played) return Fail(command, "playback failed: " + playback.why);
    if (!recorded) return Fail(command, why);
    if (const std::string failure = TakeFailure(take, takePath); !failure.empty()) return Fail(command, failure);
    std::printf("2. recorded %s: %s%s\n", Seconds(double(take.frames) / 16000).c_str(), take.ending.c_str(),
                take.heardSpeech ? "" : "; no speech was heard in the take");

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

}  // namespace sorn::tool
