// The volume manager on the sound server's default sink and source. Each
// repetition times single operations; the median and the 90th percentile
// over the repetitions are reported (targets: GetInstance under 20 ms, a
// set + get round trip under 2 ms).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "mixer/MixerManager.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using SornMedia::SornAudio::MixerManager;

bool UsePulse(benchmark::State& state) {
    if (!sorn::soundtest::ServerAnswers() || sorn::audio::SelectBackend("pulse") != MMSYSERR_NOERROR) {
        state.SkipWithError("no sound server answers");
        return false;
    }
    return true;
}

double P90(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0.0 : sorted[std::min(sorted.size() - 1, sorted.size() * 9 / 10)];
}

// Builds the tree from nothing: connects, opens the mixer, walks its lines.
void BM_GetInstance(benchmark::State& state) {
    if (!UsePulse(state)) return;
    for (auto _ : state) {
        MixerManager* manager = MixerManager::GetInstance();
        if (manager == nullptr) {
            state.SkipWithError("no mixer");
            return;
        }
        state.PauseTiming();
        MixerManager::ReleaseInstance();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GetInstance)->Iterations(1)->Repetitions(40)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("p90", P90)->ReportAggregatesOnly(true);

// One SetOutputVolume and one GetOutputVolume, each a request to the server.
void BM_SetGetRoundTrip(benchmark::State& state) {
    if (!UsePulse(state)) return;
    MixerManager* manager = MixerManager::GetInstance();
    if (manager == nullptr) {
        state.SkipWithError("no mixer");
        return;
    }
    double level = 0.5;
    for (auto _ : state) {
        manager->SetOutputVolume(level);
        benchmark::DoNotOptimize(manager->GetOutputVolume());
        level = level == 0.5 ? 0.25 : 0.5;
    }
    manager->SetOutputVolume(1.0);
    MixerManager::ReleaseInstance();
}
BENCHMARK(BM_SetGetRoundTrip)->Iterations(1)->Repetitions(200)->UseRealTime()->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("p90", P90)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
