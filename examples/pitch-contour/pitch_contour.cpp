// pitch-contour FILE.wav [LEVEL]
//
// Prints the pitch contour of a 16-bit WAV file of 8 to 16 kHz: one line per
// 10 ms, "seconds hertz", 0 hertz where no pitch was found; then a summary
// line on stderr.
//
// It shows the pitch tracker the module's engine is built with: where to get
// it from the factory, what it takes (float samples of one channel) and how
// many values to allocate for a clip.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sorn/core_contract/Engine.h>

#include "SornHost.h"

namespace {

// One value per 10 ms window of 512 samples; a window may start only below
// count - 1024, so a clip of `count` samples has this many values.
std::int32_t PitchSlots(unsigned long count, unsigned long rate) {
    const unsigned long hop = rate / 100;
    if (hop == 0 || count <= 1024) return 0;
    return static_cast<std::int32_t>((count - 1024 + hop - 1) / hop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: pitch-contour FILE.wav [LEVEL]\n");
        return 2;
    }
    // The level scales the autocorrelation; 200 suits 16-bit samples.
    const float level = argc == 3 ? std::strtof(argv[2], nullptr) : 200.0f;
    if (!(level > 0.0f)) {
        std::fprintf(stderr, "pitch-contour: LEVEL must be a positive number\n");
        return 2;
    }
    ISornClassFactory* factory = example::LoadModule();
    if (!factory) return 1;

    // The tracker is the pitch callback of the module's engine. The engine
    // is ours to Delete(); the function it names stays valid while the
    // module is loaded, which is for the life of the process.
    PitchCallback tracker = nullptr;
    if (SornEngine::ISornEngine* engine = factory->CreateEngine(SornStringA())) {
        if (auto* sph = dynamic_cast<SornEngine::SphEngine*>(engine)) tracker = sph->GetPitchCallback();
        engine->Delete();
    }
    if (!tracker) {
        std::fprintf(stderr, "pitch-contour: the module's engine has no pitch tracker\n");
        return 1;
    }

    IWave* clip = example::LoadClip(factory, argv[1], "pitch-contour");
    if (!clip) return 1;
    const unsigned long rate = clip->GetSamplesPerSec();
    const unsigned long frames = clip->GetNumSamples();
    const unsigned channels = clip->AudioFormat()->ChannelNum();
    // The tracker is made for 8 to 16 kHz: at higher rates low voices fall
    // below what its windows can hold. Resample first (sox in.wav -r 16000
    // out.wav); `sorn pitch` does so by itself.
    if (rate < 8000 || rate > 16000 || channels == 0) {
        std::fprintf(stderr, "pitch-contour: %s is %lu Hz; resample it to 16000 Hz first\n", argv[1], rate);
        clip->Delete();
        return 1;
    }

    // Float samples of the first channel, at their 16-bit scale.
    const auto* pcm = static_cast<const std::int16_t*>(clip->GetBuffer());
    std::vector<float> samples(frames);
    for (unsigned long i = 0; i < frames; ++i) samples[i] = pcm[i * channels];
    clip->Delete();

    // The caller owns the array; the tracker keeps no state, so several
    // threads may track different clips at once.
    std::vector<std::int16_t> pitch(static_cast<std::size_t>(PitchSlots(frames, rate)), 0);
    tracker(samples.data(), static_cast<std::int32_t>(frames), static_cast<std::int16_t>(rate), level, pitch.data(),
            static_cast<std::int32_t>(pitch.size()));

    // Value i belongs to the centre of its window: sample i * rate/100 + 256.
    std::vector<std::int16_t> voiced;
    for (std::size_t i = 0; i < pitch.size(); ++i) {
        std::printf("%.3f %d\n", (double(i) * (rate / 100) + 256) / rate, pitch[i]);
        if (pitch[i] > 0) voiced.push_back(pitch[i]);
    }
    std::sort(voiced.begin(), voiced.end());
    if (voiced.empty()) {
        std::fprintf(stderr, "%zu values, none voiced\n", pitch.size());
    } else {
        std::fprintf(stderr, "%zu values, %zu voiced: %d to %d Hz, median %d Hz\n", pitch.size(), voiced.size(),
                     voiced.front(), voiced.back(), voiced[voiced.size() / 2]);
    }
    return 0;
}
