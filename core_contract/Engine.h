#pragma once
// The evaluation engine and the pitch callback it is built with.
#include <cstdint>

#include "core_contract/IDelete.h"
#include "core_contract/SornString.h"

class IWave;

// Fills pitch[0 .. pitchCount-1] with one pitch in hertz per 10 ms of
// samples[0 .. count-1] (0: no pitch). level scales the autocorrelation.
typedef void (*PitchCallback)(const float* samples, std::int32_t count, std::int16_t sampleRate,
                              float level, std::int16_t* pitch, std::int32_t pitchCount);

namespace SornEngine {

// What an evaluation yields. Evaluation proper lives outside this system:
// the stand-in engine reports the clip's duration and its pitch contour.
struct SornSentEval {
    double durationSeconds;
    std::int16_t* pitch;       // one value per 10 ms; owned by the engine
    std::int32_t pitchCount;
    float score;               // 0: not evaluated
};

class SORN_CORE_API ISornEngine : public IDelete {
public:
    virtual int Init() = 0;
    virtual int OpenDictionaryFile(const SornStringA& path) = 0;
    virtual int CloseDictionary() = 0;
    virtual int LoadDictionary(const void* data, unsigned long bytes) = 0;
    virtual int LoadDictionary(const SornStringA& path) = 0;
    virtual SornSentEval* EvaluationResult(const SornStringA& sentence) = 0;
    virtual SornSentEval* EvaluationResult(IWave* clip, const SornStringA& sentence) = 0;
    virtual void ReleaseSentEval(SornSentEval* result) = 0;
};

class SORN_CORE_API SphEngine : public ISornEngine {
public:
    explicit SphEngine(PitchCallback pitch);
    ~SphEngine() override;
    SphEngine(const SphEngine&) = default;
    SphEngine& operator=(const SphEngine&) = default;

    int Init() override;
    int OpenDictionaryFile(const SornStringA& path) override;
    int CloseDictionary() override;
    int LoadDictionary(const void* data, unsigned long bytes) override;
    int LoadDictionary(const SornStringA& path) override;
    // No clip: null. The sentence text is not evaluated.
    SornSentEval* EvaluationResult(const SornStringA& sentence) override;
    SornSentEval* EvaluationResult(IWave* clip, const SornStringA& sentence) override;
    void ReleaseSentEval(SornSentEval* result) override;

    PitchCallback GetPitchCallback() const { return pitch_; }

private:
    PitchCallback pitch_;
};

}  // namespace SornEngine
