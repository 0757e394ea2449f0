#pragma once
// What CWaveIn asks whether speech has ended. By default the core's SornVad
// answers; a host may hand a capture object a detector of its own (a
// different end-of-speech rule, or a scripted one in a test).
#include <memory>

#include "core_contract/SornVad.h"
#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

class SORN_WIN_API SpeechDetector {
public:
    virtual ~SpeechDetector() = default;
    // A new recording begins, at `sampleRate` frames per second.
    virtual void Restart(unsigned sampleRate) = 0;
    // The next block of the recording, one 16-bit sample per frame; the
    // verdict so far. Called on a device's notification thread. A detector
    // given to several capture objects is called by all of them, possibly at
    // once.
    virtual SornVADFlag Detect(const short* samples, unsigned count) = 0;
};

// A new detector over the core's SornVad.
SORN_WIN_API std::shared_ptr<SpeechDetector> MakeCoreSpeechDetector();

}  // namespace SornMedia::SornAudio
