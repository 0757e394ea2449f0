#pragma once
// SornVad: the core's end-of-speech detector for 16-bit audio.
#include <cstdint>

#include "sorn_core_export.h"

enum SornVADFlag {
    SORN_VAD_NO_SPEECH = 0,   // no speech heard yet
    SORN_VAD_SPEECH = 1,      // speech is going on (or a pause within it)
    SORN_VAD_SPEECH_END = 2,  // speech has ended
};

// Feed consecutive blocks of one recording to Detect; Reset before each new
// recording. One detector serves one stream on one thread at a time.
class SORN_CORE_API SornVad {
public:
    explicit SornVad(unsigned sampleRate = 16000);
    virtual ~SornVad();
    SornVad(const SornVad&) = default;
    SornVad& operator=(const SornVad&) = default;

    void Reset();
    // samples: count mono 16-bit samples at the detector's rate.
    SornVADFlag Detect(short* samples, unsigned int count);

    // For tests of code that owns a detector: while a hook is set, every
    // detector in the process returns hook(context, samples, count) instead
    // of its own verdict (Reset still resets). Null removes the hook.
    using Hook = SornVADFlag (*)(void* context, const short* samples, unsigned int count);
    static void SetHook(Hook hook, void* context);

private:
    unsigned sampleRate_;
    // Framing: the detector works on 10 ms frames; a partial frame carries
    // over to the next call.
    unsigned frameLength_;
    unsigned pending_ = 0;
    std::int64_t pendingEnergy_ = 0;
    int pendingCrossings_ = 0;
    short pendingLast_ = 0;
    // Adaptive state.
    double noiseFloor_ = 0.0;  // mean square energy of the background
    int framesSeen_ = 0;
    int speechRun_ = 0;      // consecutive voiced frames
    int silenceRun_ = 0;     // consecutive unvoiced frames after speech
    int speechFrames_ = 0;   // voiced frames in the current utterance
    SornVADFlag state_ = SORN_VAD_NO_SPEECH;
};
