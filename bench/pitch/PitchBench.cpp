// Speed of the pitch tracker at 16 kHz: nanoseconds per 10 ms window and the
// real-time factor, beside the plain scalar transcription in the same run, per
// instruction set with and without the transform path, on speech and on a
// sweep, and over lengths from 1 s to 10 min to show linear cost. Speech
// comes from espeak-ng (a synthetic voiced signal when it is absent).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PitchReference.h"
#include "PitchSignals.h"
#include "pitch/ExtractPitch.h"
#include "pitch/PitchPrimitives.h"

namespace {

constexpr std::int16_t kRate = 16000;
constexpr float kLevel = 200.0f;

// At least 60 s of speech: a paragraph at three voice pitches, repeated.
const std::vector<float>& Speech() {
    static const std::vector<float> speech = [] {
        std::vector<float> all;
        if (PitchSignals::HaveSpeechTools()) {
            const std::string text =
                "A rainbow is a division of white light into many beautiful colors. These take the shape of a long "
                "round arch, with its path high above, and its two ends apparently beyond the horizon. There is, "
                "according to legend, a boiling pot of gold at one end. People look, but no one ever finds it. "
                "When a man looks for something beyond his reach, his friends say he is looking for the pot of gold "
                "at the end of the rainbow.";
            std::vector<float> voices;
            for (int pitch : {20, 50, 80}) {
                const std::vector<float> part = PitchSignals::Speak(text, pitch);
                voices.insert(voices.end(), part.begin(), part.end());
            }
            while (!voices.empty() && all.size() < 62u * 16000u) all.insert(all.end(), voices.begin(), voices.end());
        }
        if (all.empty()) {
            std::fprintf(stderr, "espeak-ng or sox missing: synthetic voiced signal instead of speech\n");
            all = PitchSignals::SyntheticSpeech(62 * 16000);
        }
        return all;
    }();
    return speech;
}

// The speech repeated or cut to the given number of seconds.
std::vector<float> SpeechOf(int seconds) {
    const std::vector<float>& speech = Speech();
    std::vector<float> out(static_cast<std::size_t>(seconds) * 16000u);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = speech[i % speech.size()];
    return out;
}

std::int32_t Windows(std::size_t count) {
    return count > 1024 ? static_cast<std::int32_t>((count - 1024 + 159) / 160) : 0;
}

template <typename Track>
void Measure(benchmark::State& state, const std::vector<float>& samples, Track track) {
    const auto count = static_cast<std::int32_t>(samples.size());
    const std::int32_t windows = Windows(samples.size());
    std::vector<std::int16_t> pitch(static_cast<std::size_t>(windows), 0);
    for (auto _ : state) {
        track(samples.data(), count, kRate, kLevel, pitch.data(), windows);
        benchmark::DoNotOptimize(pitch.data());
        benchmark::ClobberMemory();
    }
    std::int32_t voiced = 0;
    for (std::int16_t v : pitch) voiced += v != 0 ? 1 : 0;
    state.counters["ns_per_window"] =
        benchmark::Counter(windows * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(samples.size()) / kRate, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["windows"] = windows;
    state.counters["voiced"] = voiced;
}

void BM_Literal(benchmark::State& state) { Measure(state, Speech(), PitchReference::ExtractPitch); }

void BM_ExtractPitch(benchmark::State& state) { Measure(state, Speech(), ExtractPitch); }

// The 60 s sweep of 80-400 Hz: every window voiced and computed in full.
const std::vector<float>& Sweep() {
    static const std::vector<float> sweep = PitchSignals::Sweep(80.0, 400.0, 12000.0, 60 * 16000);
    return sweep;
}

const std::vector<float>& SignalOf(std::int64_t signal) { return signal == 0 ? Speech() : Sweep(); }
const char* SignalName(std::int64_t signal) { return signal == 0 ? "speech" : "sweep"; }

// One instruction set, with (1) or without (0) the transform path, on speech
// (0) or the sweep (1). No minimum time of its own, so that
// --benchmark_min_time=0 runs one pass (bench/pitch/count-instructions.sh).
void BM_Kernel(benchmark::State& state) {
    const auto isa = static_cast<SornPitch::Isa>(state.range(0));
    const bool fft = state.range(1) != 0;
    if (!SornPitch::IsaAvailable(isa)) {
        state.SkipWithError("instruction set not available");
        return;
    }
    state.SetLabel(std::string(SornPitch::IsaName(isa)) + (fft ? " fft " : " direct ") + SignalName(state.range(2)));
    Measure(state, SignalOf(state.range(2)),
            [isa, fft](const float* s, std::int32_t n, std::int16_t r, float l, std::int16_t* p, std::int32_t c) {
                SornPitch::ExtractPitchWith(isa, fft, s, n, r, l, p, c);
            });
}

// Every window voiced and computed in full (no window can be skipped).
void BM_ExtractPitchAllVoiced(benchmark::State& state) { Measure(state, Sweep(), ExtractPitch); }

void BM_Literal_AllVoiced(benchmark::State& state) { Measure(state, Sweep(), PitchReference::ExtractPitch); }

// Cost against length: 1 s to 10 min of speech.
void BM_ExtractPitchLength(benchmark::State& state) {
    const std::vector<float> samples = SpeechOf(static_cast<int>(state.range(0)));
    state.SetLabel(std::to_string(state.range(0)) + " s");
    Measure(state, samples, ExtractPitch);
}

// The parts of one window on the best instruction set, over the windows of
// the first 10 s of speech (0) or of the sweep (1): its lag values on each
// path, and the peak picker on those values scaled as the tracker scales
// them.
void BM_WindowPart(benchmark::State& state) {
    const int part = static_cast<int>(state.range(0));
    const std::vector<float>& signal = SignalOf(state.range(1));
    const SornPitch::Isa isa = SornPitch::BestIsa();
    std::vector<std::vector<float>> values;
    for (std::size_t pos = 0; pos + 512 <= signal.size() && pos < 10u * 16000u; pos += 160) {
        std::vector<float> v(512);
        SornPitch::AutoCorrWindow(isa, true, signal.data() + pos, v.data());
        SornPitch::DivC(kLevel * kLevel, v.data(), 512);
        values.push_back(v);
    }
    std::size_t i = 0;
    float out[512];
    for (auto _ : state) {
        const std::size_t w = i++ % values.size();
        if (part == 2) {
            benchmark::DoNotOptimize(SornPitch::PitchFromAutocorrelation(values[w].data(), kRate));
        } else {
            SornPitch::AutoCorrWindow(isa, part == 1, signal.data() + w * 160, out);
            benchmark::DoNotOptimize(out);
        }
    }
    const char* const parts[] = {"lags, direct ", "lags, transform ", "peak picker "};
    state.SetLabel(std::string(parts[part]) + SignalName(state.range(1)));
}

}  // namespace

BENCHMARK(BM_WindowPart)->ArgsProduct({{0, 1, 2}, {0, 1}});
BENCHMARK(BM_Literal)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ExtractPitch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Kernel)
    ->Unit(benchmark::kMillisecond)
    ->ArgNames({"isa", "fft", "sweep"})
    ->ArgsProduct({{static_cast<int>(SornPitch::Isa::Avx512), static_cast<int>(SornPitch::Isa::Avx2),
                    static_cast<int>(SornPitch::Isa::Generic)},
                   {1, 0},
                   {0, 1}});
BENCHMARK(BM_Literal_AllVoiced)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ExtractPitchAllVoiced)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ExtractPitchLength)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Arg(1)->Arg(10)->Arg(60)->Arg(600);

BENCHMARK_MAIN();
