// sorn: the command-line host. It records, plays, tracks pitch, reads and
// sets volume, lists devices and runs a demo of all of them.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/CWaveDevice.h"
#include "audio/CWaveIn.h"
#include "audio/CWaveOut.h"
#include "codec/WavCodec.h"
#include "core_contract/Engine.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/Wave.h"
#include "mixer/MixerManager.h"
#include "module/ModuleInfo.h"
#include "pitch/ExtractPitch.h"
#include "platform/MMSystem.h"
#include "platform/audio/Backend.h"
#include "platform/audio/VirtualDevice.h"

using SornMedia::SornAudio::CWaveDevice;
using SornMedia::SornAudio::CWaveIn;
using SornMedia::SornAudio::CWaveOut;
using SornMedia::SornAudio::MixerManager;

namespace {

constexpr unsigned kRate = 16000;

void Usage() {
    std::fputs(
        "usage: sorn COMMAND [ARGS]\n"
        "  devices                      the audio backend and its devices\n"
        "  play FILE.wav [FROM [TO]]    play sample frames FROM..TO of a WAV file\n"
        "  record FILE.wav [SECONDS]    record until the end of speech (at most SECONDS, default 10)\n"
        "  pitch FILE.wav               the pitch contour, one value per 10 ms\n"
        "  volume [in|out] [LEVEL]      read or set the recording or playback volume (0.0 to 1.0)\n"
        "  demo                         track, play and record a synthetic voice\n"
        "  version                      the core and module versions\n"
        "The backend comes from SORN_AUDIO (auto, pulse, virtual[:options]).\n",
        stderr);
}

// A one-shot event a callback can signal and the main thread can wait for.
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

void SignalEvent(unsigned long user) { reinterpret_cast<Event*>(user)->Signal(); }

void RegisterCodec() {
    static bool done = false;
    if (done) return;
    SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec());
    done = true;
}

std::string ErrorText(const SornStringA* text) {
    std::string result = text && !text->IsEmpty() ? text->ToChars() : "unknown error";
    delete text;
    return result;
}

int Devices() {
    std::printf("backend: %s\n", sorn::audio::SelectedBackendName());
    const UINT outputs = waveOutGetNumDevs();
    for (UINT i = 0; i < outputs; ++i) {
        WAVEOUTCAPSA caps{};
        if (waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            std::printf("  output %u: %s (%u channels)\n", i, caps.szPname, caps.wChannels);
    }
    const UINT inputs = waveInGetNumDevs();
    for (UINT i = 0; i < inputs; ++i) {
        WAVEINCAPSA caps{};
        if (waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            std::printf("  input %u: %s (%u channels)\n", i, caps.szPname, caps.wChannels);
    }
    if (outputs == 0 && inputs == 0) std::printf("  no devices\n");
    return 0;
}

// Plays frames [from, to) of a clip and waits for the end of the range.
bool PlayClip(IWave* clip, unsigned long from, unsigned long to) {
    CWaveDevice device;
    CWaveOut player(MixerManager::GetInstance());
    Event done;
    player.SetWave(clip);
    player.SetDevice(&device);
    player.SetWaveOutCB(&SignalEvent, reinterpret_cast<unsigned long>(&done));
    if (!player.Open()) {
        std::fprintf(stderr, "sorn: cannot open the output device: %s\n", ErrorText(player.GetError()).c_str());
        return false;
    }
    player.Play(from, to, 0);
    const unsigned long end = std::min<unsigned long>(to, clip->GetNumSamples());
    const auto budget = std::chrono::milliseconds(2000 + 1000ull * (end > from ? end - from : 0) / kRate * 2);
    // The callback runs once per piece still in flight when the range ends.
    bool finished = done.WaitFor(1, budget);
    while (finished && player.IsPlaying()) finished = done.WaitFor(done.count + 1, std::chrono::seconds(2));
    const unsigned long position = player.GetPosition();
    player.Close();
    if (!finished) std::fprintf(stderr, "sorn: playback did not finish in time\n");
    std::printf("played %lu frames\n", position == 0xFFFFFFFFul ? 0ul : position);
    return finished;
}

// Records until the detector hears the end of speech, or for at most
// `seconds`. The clip belongs to `recorder`.
IWave* RecordClip(CWaveIn& recorder, double seconds, bool (*whileRecording)(void*), void* context) {
    CWaveDevice device;
    Event ended;
    recorder.SetDevice(&device);
    recorder.SetWaveInCB(&SignalEvent, reinterpret_cast<unsigned long>(&ended));
    if (!recorder.Open(kRate / 10 * 2)) {  // 100 ms blocks
        std::fprintf(stderr, "sorn: cannot open the input device: %s\n", ErrorText(recorder.GetError()).c_str());
        return nullptr;
    }
    if (!recorder.Record()) {
        std::fprintf(stderr, "sorn: cannot record: %s\n", ErrorText(recorder.GetError()).c_str());
        return nullptr;
    }
    if (whileRecording && !whileRecording(context)) recorder.Stop();
    const bool autoStopped = ended.WaitFor(1, std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    if (!autoStopped) recorder.Stop();
    std::printf("recording %s\n", autoStopped ? "stopped at the end of speech" : "stopped after the time limit");
    IWave* clip = recorder.MakeWave();
    recorder.Close();
    return clip;
}

std::vector<std::int16_t> Contour(IWave* clip) {
    SornEngine::SphEngine engine(&ExtractPitch);
    SornEngine::SornSentEval* result = engine.EvaluationResult(clip, SornStringA());
    std::vector<std::int16_t> contour;
    if (result && result->pitch) contour.assign(result->pitch, result->pitch + result->pitchCount);
    engine.ReleaseSentEval(result);
    return contour;
}

void SummarizeContour(const std::vector<std::int16_t>& contour) {
    int voiced = 0, low = 0, high = 0;
    double sum = 0;
    for (std::int16_t p : contour) {
        if (p <= 0) continue;
        if (voiced == 0 || p < low) low = p;
        if (p > high) high = p;
        sum += p;
        ++voiced;
    }
    std::printf("pitch: %zu frames of 10 ms, %d voiced", contour.size(), voiced);
    if (voiced) std::printf(", %d..%d Hz, mean %.0f Hz", low, high, sum / voiced);
    std::printf("\n");
}

int Play(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    RegisterCodec();
    CWave clip;
    if (!clip.Load(SornStringA(argv[0]))) return 1;
    const unsigned long from = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
    const unsigned long to = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0xFFFFFFFFul;
    return PlayClip(&clip, from, to) ? 0 : 1;
}

int Record(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    CWaveIn recorder(MixerManager::GetInstance());
    IWave* clip = RecordClip(recorder, seconds > 0 ? seconds : 10.0, nullptr, nullptr);
    if (!clip) {
        std::fprintf(stderr, "sorn: nothing was recorded\n");
        return 1;
    }
    std::printf("recorded %lu frames (%.2f s)\n", clip->GetNumSamples(),
                static_cast<double>(clip->GetNumSamples()) / clip->GetSamplesPerSec());
    return clip->Save(SornStringA(argv[0])) ? 0 : 1;
}

int Pitch(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    RegisterCodec();
    CWave clip;
    if (!clip.Load(SornStringA(argv[0]))) return 1;
    const std::vector<std::int16_t> contour = Contour(&clip);
    for (std::size_t i = 0; i < contour.size(); ++i) std::printf("%.2f\t%d\n", i / 100.0, contour[i]);
    SummarizeContour(contour);
    return 0;
}

int Volume(int argc, char** argv) {
    MixerManager* mixer = MixerManager::GetInstance();
    if (!mixer) {
        std::printf("no mixer with volume controls is available\n");
        return argc > 1 ? 1 : 0;
    }
    const bool input = argc > 0 && std::strcmp(argv[0], "in") == 0;
    if (argc > 1) {
        const double level = std::atof(argv[1]);
        if (!(level >= 0.0 && level <= 1.0)) {
            std::fprintf(stderr, "sorn: volume: the level %s is outside 0.0 to 1.0; the mixer refuses it\n", argv[1]);
        }
        input ? mixer->SetInputVolume(level) : mixer->SetOutputVolume(level);
    }
    if (argc == 0 || input) std::printf("recording volume: %.3f\n", mixer->GetInputVolume());
    if (argc == 0 || !input) std::printf("playback volume: %.3f\n", mixer->GetOutputVolume());
    MixerManager::ReleaseInstance();
    return 0;
}

// A voice-like test signal: a glide from 120 to 220 Hz with harmonics, in
// syllables four times a second (a steady tone would pass for background
// noise), then a second of silence.
CWave MakeVoice() {
    const unsigned voiced = kRate * 6 / 5;
    std::vector<std::int16_t> samples(voiced + kRate, 0);
    double phase = 0;
    for (unsigned i = 0; i < voiced; ++i) {
        const double f = 120.0 + 100.0 * i / voiced;
        phase += 2 * M_PI * f / kRate;
        const double syllables = 0.15 + 0.85 * std::fabs(std::sin(M_PI * 4.0 * i / kRate));
        const double envelope = std::min(1.0, std::min(i, voiced - i) / 800.0) * syllables;
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(h * phase) / h;
        samples[i] = static_cast<std::int16_t>(6000.0 * envelope * v);
    }
    CWave clip;
    clip.SetBuffer(samples.data(), static_cast<unsigned long>(samples.size()), 1);
    return clip;
}

struct DemoPlayback {
    IWave* clip;
};

bool PlayWhileRecording(void* context) { return PlayClip(static_cast<DemoPlayback*>(context)->clip, 0, 0xFFFFFFFFul); }

int Demo() {
    std::printf("sorn demo on the %s backend\n", sorn::audio::SelectedBackendName());
    if (std::strcmp(sorn::audio::SelectedBackendName(), "virtual") == 0) {
        // No sound server: the virtual device in real time, its input
        // hearing its own output.
        sorn::audio::SelectBackend("virtual:clock=realtime,in=loopback");
    }
    Devices();

    CWave voice = MakeVoice();
    std::printf("1. pitch of a synthetic voice gliding from 120 to 220 Hz\n   ");
    SummarizeContour(Contour(&voice));

    std::printf("2. play it while recording from the default input until the end of speech\n   ");
    CWaveIn recorder(MixerManager::GetInstance());
    DemoPlayback playback{&voice};
    IWave* recorded = RecordClip(recorder, 6.0, &PlayWhileRecording, &playback);
    if (!recorded) {
        std::printf("   nothing was recorded (the input heard only silence)\n");
        return 0;
    }
    std::printf("   recorded %.2f s\n   ", static_cast<double>(recorded->GetNumSamples()) / kRate);
    SummarizeContour(Contour(recorded));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(), 2;
    const std::string command = argv[1];
    argc -= 2;
    argv += 2;
    if (command == "devices") return Devices();
    if (command == "play") return Play(argc, argv);
    if (command == "record") return Record(argc, argv);
    if (command == "pitch") return Pitch(argc, argv);
    if (command == "volume") return Volume(argc, argv);
    if (command == "demo") return Demo();
    if (command == "version") {
        std::printf("core %s, module built for %s\n", Versioning::GetVersion(), SornModuleVersion());
        return 0;
    }
    Usage();
    return 2;
}
