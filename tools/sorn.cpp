// sorn: the command-line host. It records, plays, tracks pitch, reads and
// sets volume, lists devices and runs a demo of all of them.
#include <algorithm>
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

#include "core_contract/ClassFactory.h"
#include "core_contract/Engine.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/Wave.h"
#include "tools/ModuleHost.h"

namespace {

constexpr unsigned kRate = 16000;

// The loaded module; every command but "version" needs it.
sorn::host::LoadedModule module;

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
        "The module comes from SORN_MODULE (default: the installed SornCoreWin library),\n"
        "the backend from SORN_AUDIO (auto, pulse, virtual[:options]).\n",
        stderr);
}

ISornClassFactory* Factory() { return module.Factory(); }

// Objects the core owns are given back with Delete.
template <typename T>
void Release(T*& object) {
    if (object) object->Delete();
    object = nullptr;
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
    int Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    bool WaitFor(int target, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return count >= target; });
    }
};

void SignalEvent(unsigned long user) { reinterpret_cast<Event*>(user)->Signal(); }

std::string ErrorText(const SornStringA* text) {
    std::string result = text && !text->IsEmpty() ? text->ToChars() : "unknown error";
    delete text;
    return result;
}

const char* BackendName() {
    const sorn::host::PlatformAudio audio = module.Audio();
    return audio.selectedBackendName ? audio.selectedBackendName() : "unknown";
}

int Devices() {
    const sorn::host::PlatformAudio audio = module.Audio();
    std::printf("backend: %s\n", BackendName());
    if (!audio.waveOutGetNumDevs || !audio.waveOutGetDevCapsA || !audio.waveInGetNumDevs || !audio.waveInGetDevCapsA) {
        std::printf("  the module does not list its devices\n");
        return 0;
    }
    const UINT outputs = audio.waveOutGetNumDevs();
    for (UINT i = 0; i < outputs; ++i) {
        WAVEOUTCAPSA caps{};
        if (audio.waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            std::printf("  output %u: %s (%u channels)\n", i, caps.szPname, caps.wChannels);
    }
    const UINT inputs = audio.waveInGetNumDevs();
    for (UINT i = 0; i < inputs; ++i) {
        WAVEINCAPSA caps{};
        if (audio.waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            std::printf("  input %u: %s (%u channels)\n", i, caps.szPname, caps.wChannels);
    }
    if (outputs == 0 && inputs == 0) std::printf("  no devices\n");
    return 0;
}

// Plays frames [from, to) of a clip and waits for the end of the range.
bool PlayClip(IWave* clip, unsigned long from, unsigned long to) {
    // The event outlives the player: the player is deleted (which waits for
    // its last callback) before the event goes.
    Event done;
    IWaveDevice* device = Factory()->CreateWaveDevice();
    IWaveOut* player = Factory()->CreateWaveOut();
    player->SetWave(clip);
    player->SetDevice(device);
    player->SetWaveOutCB(&SignalEvent, reinterpret_cast<unsigned long>(&done));
    bool finished = false;
    if (!player->Open()) {
        std::fprintf(stderr, "sorn: cannot open the output device: %s\n", ErrorText(player->GetError()).c_str());
    } else {
        player->Play(from, to, 0);
        const unsigned long end = std::min<unsigned long>(to, clip->GetNumSamples());
        const auto budget = std::chrono::milliseconds(2000 + 1000ull * (end > from ? end - from : 0) / kRate * 2);
        // The callback runs once per piece still in flight when the range ends.
        finished = done.WaitFor(1, budget);
        while (finished && player->IsPlaying()) finished = done.WaitFor(done.Count() + 1, std::chrono::seconds(2));
        const unsigned long position = player->GetPosition();
        player->Close();
        if (!finished) std::fprintf(stderr, "sorn: playback did not finish in time\n");
        std::printf("played %lu frames\n", position == 0xFFFFFFFFul ? 0ul : position);
    }
    player->SetWaveOutCB(nullptr, 0);
    Release(player);
    Release(device);
    return finished;
}

// Records until the detector hears the end of speech, or for at most
// `seconds`. Returns a new clip the caller owns (null when nothing was
// recorded).
IWave* RecordClip(double seconds, bool (*whileRecording)(void*), void* context) {
    // The event outlives the recorder: the recorder is deleted (which waits
    // for a released auto-stop worker and its callback) before the event goes.
    Event ended;
    IWaveDevice* device = Factory()->CreateWaveDevice();
    IWaveIn* recorder = Factory()->CreateWaveIn();
    recorder->SetDevice(device);
    recorder->SetWaveInCB(&SignalEvent, reinterpret_cast<unsigned long>(&ended));
    IWave* result = nullptr;
    if (!recorder->Open(kRate / 10 * 2)) {  // 100 ms blocks
        std::fprintf(stderr, "sorn: cannot open the input device: %s\n", ErrorText(recorder->GetError()).c_str());
    } else if (!recorder->Record()) {
        std::fprintf(stderr, "sorn: cannot record: %s\n", ErrorText(recorder->GetError()).c_str());
    } else {
        if (whileRecording && !whileRecording(context)) recorder->Stop();
        const bool autoStopped = ended.WaitFor(1, std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        if (!autoStopped) recorder->Stop();
        std::printf("recording %s\n", autoStopped ? "stopped at the end of speech" : "stopped after the time limit");
        // The recorder's clip stays its own: keep a copy.
        if (IWave* clip = recorder->MakeWave()) {
            result = Factory()->CreateWave();
            result->AudioFormat(clip->AudioFormat());
            result->SetBuffer(clip->GetBuffer(), clip->GetNumSamples(), 1);
        }
        recorder->Close();
    }
    recorder->SetWaveInCB(nullptr, 0);
    Release(recorder);
    Release(device);
    return result;
}

std::vector<std::int16_t> Contour(IWave* clip) {
    SornEngine::ISornEngine* engine = Factory()->CreateEngine(SornStringA());
    SornEngine::SornSentEval* result = engine->EvaluationResult(clip, SornStringA());
    std::vector<std::int16_t> contour;
    if (result && result->pitch) contour.assign(result->pitch, result->pitch + result->pitchCount);
    engine->ReleaseSentEval(result);
    Release(engine);
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

// A clip read through the core's codecs (the module registered "wav").
IWave* LoadClip(const char* path) {
    IWave* clip = Factory()->CreateWave();
    if (!clip->Load(SornStringA(path))) Release(clip);
    return clip;
}

int Play(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    IWave* clip = LoadClip(argv[0]);
    if (!clip) return 1;
    const unsigned long from = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
    const unsigned long to = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0xFFFFFFFFul;
    const bool played = PlayClip(clip, from, to);
    Release(clip);
    return played ? 0 : 1;
}

int Record(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    IWave* clip = RecordClip(seconds > 0 ? seconds : 10.0, nullptr, nullptr);
    if (!clip) {
        std::fprintf(stderr, "sorn: nothing was recorded\n");
        return 1;
    }
    std::printf("recorded %lu frames (%.2f s)\n", clip->GetNumSamples(),
                static_cast<double>(clip->GetNumSamples()) / clip->GetSamplesPerSec());
    const int saved = clip->Save(SornStringA(argv[0]));
    Release(clip);
    return saved ? 0 : 1;
}

int Pitch(int argc, char** argv) {
    if (argc < 1) return Usage(), 2;
    IWave* clip = LoadClip(argv[0]);
    if (!clip) return 1;
    const std::vector<std::int16_t> contour = Contour(clip);
    Release(clip);
    for (std::size_t i = 0; i < contour.size(); ++i) std::printf("%.2f\t%d\n", i / 100.0, contour[i]);
    SummarizeContour(contour);
    return 0;
}

// Volumes through a capture and a playback object of the factory (0.0 when
// the platform has no mixer with volume controls).
int Volume(int argc, char** argv) {
    const bool input = argc > 0 && std::strcmp(argv[0], "in") == 0;
    IWaveIn* recorder = Factory()->CreateWaveIn();
    IWaveOut* player = Factory()->CreateWaveOut();
    if (argc > 1) {
        const double level = std::atof(argv[1]);
        if (!(level >= 0.0 && level <= 1.0)) {
            std::fprintf(stderr, "sorn: volume: the level %s is outside 0.0 to 1.0; the mixer refuses it\n", argv[1]);
        }
        input ? recorder->VolumeLevel(level) : player->VolumeLevel(level);
    }
    if (argc == 0 || input) std::printf("recording volume: %.3f\n", recorder->VolumeLevel());
    if (argc == 0 || !input) std::printf("playback volume: %.3f\n", player->VolumeLevel());
    Release(player);
    Release(recorder);
    return 0;
}

// A voice-like test signal: a glide from 120 to 220 Hz with harmonics, in
// syllables four times a second (a steady tone would pass for background
// noise), then a second of silence. A new clip the caller owns.
IWave* MakeVoice() {
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
    IWave* clip = Factory()->CreateWave();
    clip->SetBuffer(samples.data(), static_cast<unsigned long>(samples.size()), 1);
    return clip;
}

struct DemoPlayback {
    IWave* clip;
};

bool PlayWhileRecording(void* context) { return PlayClip(static_cast<DemoPlayback*>(context)->clip, 0, 0xFFFFFFFFul); }

int Demo() {
    std::printf("sorn demo on the %s backend\n", BackendName());
    const sorn::host::PlatformAudio audio = module.Audio();
    if (std::strcmp(BackendName(), "virtual") == 0 && audio.selectBackend) {
        // No sound server: the virtual device in real time, its input
        // hearing its own output.
        audio.selectBackend("virtual:clock=realtime,in=loopback");
    }
    Devices();

    IWave* voice = MakeVoice();
    std::printf("1. pitch of a synthetic voice gliding from 120 to 220 Hz\n   ");
    SummarizeContour(Contour(voice));

    std::printf("2. play it while recording from the default input until the end of speech\n   ");
    DemoPlayback playback{voice};
    IWave* recorded = RecordClip(6.0, &PlayWhileRecording, &playback);
    Release(voice);
    if (!recorded) {
        std::printf("   nothing was recorded (the input heard only silence)\n");
        return 0;
    }
    std::printf("   recorded %.2f s\n   ", static_cast<double>(recorded->GetNumSamples()) / kRate);
    SummarizeContour(Contour(recorded));
    Release(recorded);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(), 2;
    const std::string command = argv[1];
    argc -= 2;
    argv += 2;
    const bool known = command == "devices" || command == "play" || command == "record" || command == "pitch" ||
                       command == "volume" || command == "demo" || command == "version";
    if (!known) return Usage(), 2;

    // Load the module the way any host does; a refused start-up is one line.
    std::string error;
    if (!module.Load(sorn::host::LoadedModule::DefaultPath(), error)) {
        std::fprintf(stderr, "sorn: %s\n", error.c_str());
        return 1;
    }
    if (command == "devices") return Devices();
    if (command == "play") return Play(argc, argv);
    if (command == "record") return Record(argc, argv);
    if (command == "pitch") return Pitch(argc, argv);
    if (command == "volume") return Volume(argc, argv);
    if (command == "demo") return Demo();
    std::printf("core %s, module built for %s\n", Versioning::GetVersion(), module.ModuleVersion().c_str());
    return 0;
}
