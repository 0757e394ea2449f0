// The PulseAudio backend on the default sink and source (the 16 kHz mono
// null sink and its monitor of scripts/sound-server.sh):
//   PlaybackCpu, CaptureCpu   CPU time of the whole process (getrusage) per
//                             second of 16 kHz mono audio streamed in real
//                             time, as % of one core
//   CompletionLatency         time from a header's last sample being played
//                             to its completion callback: median, p90, max
//   OpenClose, OpenWithoutServer, DeviceCount   the time of those calls
// Run: d=$(mktemp -d); eval "$(scripts/sound-server.sh start $d)";
//      build/bench/audio/audio_bench; scripts/sound-server.sh stop $d
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/backends/pulse/PulseBackend.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using namespace sorn::soundtest;
using namespace std::chrono_literals;

// SORN_BENCH_BACKEND picks another backend for the same measurements
// ("alsa:pulse", "alsa:hw:0,0"; bench/alsa-beside-aplay.sh); "pulse" when
// unset.
bool UsePulse(benchmark::State& state) {
    const char* chosen = std::getenv("SORN_BENCH_BACKEND");
    const std::string selection = chosen && *chosen ? chosen : "pulse";
    if (selection.rfind("pulse", 0) == 0 && !ServerAnswers()) {
        state.SkipWithError("no sound server answers");
        return false;
    }
    if (sorn::audio::SelectBackend(selection.c_str()) != MMSYSERR_NOERROR) {
        state.SkipWithError("the backend cannot be selected");
        return false;
    }
    return true;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU while a tone plays for `seconds`, from the first completion on (the
// start may wait for the sink), with the main thread asleep meanwhile.
void BM_PlaybackCpu(benchmark::State& state) {
    if (!UsePulse(state)) return;
    constexpr unsigned kSeconds = 4;
    for (auto _ : state) {
        TonePlayer player(440, 8000, kRate * (kSeconds + 1), kRate / 10, 4);
        if (player.Open() != MMSYSERR_NOERROR || player.Play() != MMSYSERR_NOERROR) {
            state.SkipWithError("cannot play");
            return;
        }
        WaitFor([&] { return !player.Completions().empty(); }, 5s, 10ms);
        const auto cpu = ProcessCpuTime();
        const auto wall = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds - 1));
        const double used = Seconds(ProcessCpuTime() - cpu);
        const double elapsed = Seconds(Clock::now() - wall);
        player.WaitDone(5s, 100ms);
        state.counters["cpu_percent"] = 100 * used / elapsed;
        state.counters["cpu_ms_per_audio_s"] = 1000 * used / elapsed;
    }
}
BENCHMARK(BM_PlaybackCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CaptureCpu(benchmark::State& state) {
    if (!UsePulse(state)) return;
    constexpr unsigned kSeconds = 3;
    for (auto _ : state) {
        Recorder recorder(kRate / 10, 4);
        if (recorder.Open() != MMSYSERR_NOERROR || recorder.Start() != MMSYSERR_NOERROR) {
            state.SkipWithError("cannot record");
            return;
        }
        WaitFor([&] { return recorder.Frames() > 0; }, 5s, 10ms);
        const auto cpu = ProcessCpuTime();
        const auto wall = Clock::now();
        const std::size_t before = recorder.Frames();
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        const double used = Seconds(ProcessCpuTime() - cpu);
        const double elapsed = Seconds(Clock::now() - wall);
        const double audio = static_cast<double>(recorder.Frames() - before) / kRate;
        recorder.Finish();
        state.counters["cpu_percent"] = 100 * used / elapsed;
        state.counters["cpu_ms_per_audio_s"] = audio > 0 ? 1000 * used / audio : 0;
    }
}
BENCHMARK(BM_CaptureCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Headers of 20 ms. The played position the callback reads is the server's
// timing (played frames at the last check), so for every completion
// t_callback - position / rate >= t_start; the smallest such value is the
// start of the stream on the local clock, and header k's last sample was
// played at t_start + end_k / rate.
void BM_CompletionLatency(benchmark::State& state) {
    if (!UsePulse(state)) return;
    constexpr std::uint64_t kFrames = kRate * 4;
    for (auto _ : state) {
        TonePlayer player(440, 8000, kFrames, kRate / 50, 8);
        if (player.Open() != MMSYSERR_NOERROR || player.Play() != MMSYSERR_NOERROR) {
            state.SkipWithError("cannot play");
            return;
        }
        player.WaitDone(10s, 50ms);
        std::vector<TonePlayer::Completion> completions = player.Completions();
        if (completions.size() < 50) {
            state.SkipWithError("too few completions");
            return;
        }
        double start = 1e300;
        const auto origin = completions.front().when;
        for (const auto& c : completions) {
            start = std::min(start, Seconds(c.when - origin) - static_cast<double>(c.positionAtCallback) / kRate);
        }
        std::vector<double> late;
        for (const auto& c : completions) {
            late.push_back(1000 * (Seconds(c.when - origin) - start - static_cast<double>(c.endFrame) / kRate));
        }
        const double last = late.back();
        std::sort(late.begin(), late.end());
        state.counters["median_ms"] = late[late.size() / 2];
        state.counters["p90_ms"] = late[late.size() * 9 / 10];
        state.counters["max_ms"] = late.back();
        state.counters["last_header_ms"] = last;
        state.counters["headers"] = static_cast<double>(late.size());
    }
}
BENCHMARK(BM_CompletionLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_OpenClose(benchmark::State& state) {
    if (!UsePulse(state)) return;
    const WAVEFORMATEX format = Format();
    for (auto _ : state) {
        HWAVEOUT device = nullptr;
        if (waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
            state.SkipWithError("cannot open");
            return;
        }
        waveOutClose(device);
    }
}
BENCHMARK(BM_OpenClose)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DeviceCount(benchmark::State& state) {
    if (!UsePulse(state)) return;
    for (auto _ : state) benchmark::DoNotOptimize(waveOutGetNumDevs());
}
BENCHMARK(BM_DeviceCount)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_OpenWithoutServer(benchmark::State& state) {
    sorn::audio::SelectBackend("pulse:server=unix:/nonexistent/sorn/native");
    const WAVEFORMATEX format = Format();
    for (auto _ : state) {
        HWAVEOUT device = nullptr;
        if (waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
            state.SkipWithError("opened without a server");
            return;
        }
    }
    sorn::audio::SelectBackend("pulse");
}
BENCHMARK(BM_OpenWithoutServer)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
