// The stand-in evaluation engine: it measures a clip and tracks its pitch
// through the callback it was built with. Evaluation proper is outside this
// system.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core_contract/Engine.h"
#include "core_contract/Wave.h"

namespace SornEngine {

namespace {
// 16-bit samples handed to the pitch callback as floats unchanged are scaled
// by this level.
constexpr float kPitchLevel = 200.0f;
}  // namespace

SphEngine::SphEngine(PitchCallback pitch) : pitch_(pitch) {}
SphEngine::~SphEngine() = default;

int SphEngine::Init() { return 1; }
int SphEngine::OpenDictionaryFile(const SornStringA&) { return 1; }
int SphEngine::CloseDictionary() { return 1; }
int SphEngine::LoadDictionary(const void*, unsigned long) { return 1; }
int SphEngine::LoadDictionary(const SornStringA&) { return 1; }

SornSentEval* SphEngine::EvaluationResult(const SornStringA&) { return nullptr; }

SornSentEval* SphEngine::EvaluationResult(IWave* clip, const SornStringA&) {
    if (!clip) return nullptr;
    SornAudioFormat* format = clip->AudioFormat();
    const unsigned long rate = format->SampleRate();
    const unsigned channels = format->ChannelNum();
    if (rate == 0 || channels == 0 || format->BlockAlign() != channels * 2u) return nullptr;

    const unsigned long frames = clip->GetNumSamples();
    auto* result = new SornSentEval{};
    result->durationSeconds = static_cast<double>(frames) / static_cast<double>(rate);
    const std::int64_t slots = static_cast<std::int64_t>(frames) * 100 / static_cast<std::int64_t>(rate);
    if (slots <= 0 || rate > 32767 || !pitch_ || frames > 0x7FFFFFFFul) return result;

    // The first channel, as float samples of 16-bit scale.
    std::vector<float> samples(frames);
    const auto* bytes = static_cast<const unsigned char*>(clip->GetBuffer());
    for (unsigned long i = 0; i < frames; ++i) {
        std::int16_t s;
        std::memcpy(&s, bytes + i * format->BlockAlign(), sizeof s);
        samples[i] = static_cast<float>(s);
    }
    result->pitchCount = static_cast<std::int32_t>(slots);
    result->pitch = new std::int16_t[static_cast<std::size_t>(slots)]();
    pitch_(samples.data(), static_cast<std::int32_t>(frames), static_cast<std::int16_t>(rate), kPitchLevel,
           result->pitch, result->pitchCount);
    return result;
}

void SphEngine::ReleaseSentEval(SornSentEval* result) {
    if (!result) return;
    delete[] result->pitch;
    delete result;
}

}  // namespace SornEngine
