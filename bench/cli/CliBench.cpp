// The phases of `sorn pitch` on 60 s of speech (espeak-ng; a synthetic
// voiced signal when it is absent): reading through the module's WAV codec,
// tracking, resampling a 48 kHz file, and the text, CSV, JSON and SVG forms.
// Reading and printing should cost far less than tracking. Times are CPU
// milliseconds per 60 s of audio.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PitchSignals.h"
#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"

namespace {

using namespace sorn::cli;

constexpr std::uint32_t kSeconds = 60;

std::vector<float> Speech() {
    std::vector<float> all;
    if (PitchSignals::HaveSpeechTools()) {
        const std::vector<float> part = PitchSignals::Speak(
            "A rainbow is a division of white light into many beautiful colors. These take the shape of a long round "
            "arch, with its path high above, and its two ends apparently beyond the horizon.",
            50);
        while (!part.empty() && all.size() < kSeconds * 16000u) all.insert(all.end(), part.begin(), part.end());
    }
    if (all.empty()) all = PitchSignals::SyntheticSpeech(kSeconds * 16000);
    all.resize(kSeconds * 16000u);
    return all;
}

// A 16-bit mono WAV file of the samples at rate (each sample repeated
// rate / 16000 times for 48 kHz: enough for the resampler's cost).
std::string WriteWav(const std::vector<float>& samples, std::uint32_t rate, const char* name) {
    const std::uint32_t repeat = rate / 16000;
    const std::uint32_t bytes = static_cast<std::uint32_t>(samples.size() * repeat * 2);
    std::vector<unsigned char> file;
    auto put = [&](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) file.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    for (char c : std::string("RIFF")) file.push_back(static_cast<unsigned char>(c));
    put(36 + bytes, 4);
    for (char c : std::string("WAVEfmt ")) file.push_back(static_cast<unsigned char>(c));
    put(16, 4), put(1, 2), put(1, 2), put(rate, 4), put(rate * 2, 4), put(2, 2), put(16, 2);
    for (char c : std::string("data")) file.push_back(static_cast<unsigned char>(c));
    put(bytes, 4);
    for (const float s : samples)
        for (std::uint32_t r = 0; r < repeat; ++r) put(static_cast<std::uint16_t>(static_cast<std::int16_t>(s)), 2);
    const std::string path = "/tmp/sorn-cli-bench-" + std::to_string(::getpid()) + "-" + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out) {
        std::fwrite(file.data(), 1, file.size(), out);
        std::fclose(out);
    }
    return path;
}

struct Files {
    std::string speech16k, speech48k;
    Files() {
        if (!RegisteredWavCodec())
            SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec());
        const std::vector<float> speech = Speech();
        speech16k = WriteWav(speech, 16000, "16k.wav");
        speech48k = WriteWav(speech, 48000, "48k.wav");
    }
    ~Files() {
        std::remove(speech16k.c_str());
        std::remove(speech48k.c_str());
    }
};

const Files& TheFiles() {
    static const Files files;
    return files;
}

Pcm16Clip Read(const std::string& path) {
    Pcm16Clip clip;
    std::string why;
    if (!ReadPcm16(path, clip, why)) std::fprintf(stderr, "%s\n", why.c_str());
    return clip;
}

const PitchContour& Contour() {
    static const PitchContour contour = [] {
        PitchContour c;
        std::string why;
        TrackPitch(Read(TheFiles().speech16k), PitchOptions{}, c, why);
        return c;
    }();
    return contour;
}

void BM_ReadPcm16(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Read(TheFiles().speech16k).samples.data());
}

// The pitch of the whole clip `file`, tracked once an iteration.
void TrackPitchOf(benchmark::State& state, const std::string& file) {
    const Pcm16Clip clip = Read(file);
    for (auto _ : state) {
        PitchContour c;
        std::string why;
        TrackPitch(clip, PitchOptions{}, c, why);
        benchmark::DoNotOptimize(c.pitch.data());
    }
}

void BM_TrackPitch(benchmark::State& state) { TrackPitchOf(state, TheFiles().speech16k); }

void BM_TrackPitchResampled48k(benchmark::State& state) { TrackPitchOf(state, TheFiles().speech48k); }

void BM_Format(benchmark::State& state) {
    const auto format = static_cast<ContourFormat>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(FormatContour(Contour(), format).data());
    state.SetLabel(format == ContourFormat::Text ? "text" : format == ContourFormat::Csv ? "csv" : "json");
}

void BM_PlotSvg(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(PitchPlotSvg(Contour(), "speech").data());
}

BENCHMARK(BM_ReadPcm16)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_TrackPitch)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_TrackPitchResampled48k)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Format)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PlotSvg)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
