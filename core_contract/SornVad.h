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

private:
    // Everything below is working state of one stream; a copy carries on
    // from where the original stands.
    static constexpr int kHistoryFrames = 50;  // 500 ms of frame levels

    void Frame(double power, double bandPower, bool dead);
    void SilenceEndsGuess();
    void Stretch(double power, double bandPower, double level);
    bool StretchWasSpeech() const;
    void StretchEnds(double level, bool dead);
    int QuietFrames(int from, int limit) const;
    void EndSegment();
    void DropSegment();

    unsigned sampleRate_;
    // Framing: the detector works on 10 ms frames; a partial frame carries
    // over to the next call.
    unsigned frameLength_;
    unsigned pending_ = 0;       // samples of the partial frame
    double pendingEnergy_ = 0.0;  // their sum of squares after the DC filter
    double pendingBand_ = 0.0;    // and after the speech-band filter
    short pendingFirst_ = 0;      // their first sample
    bool pendingChanged_ = false;  // whether any differs from it
    // DC-blocking high-pass filter, carried across calls.
    double pole_;
    double prevIn_ = 0.0;
    double prevOut_ = 0.0;
    bool primed_ = false;  // prevIn_ holds a real sample
    // Second high-pass, above rumble, on the DC filter's output.
    double bandPole_;
    double prevBand_ = 0.0;
    // Adaptive state, levels in dB of mean square sample value.
    double noiseFloor_ = 0.0;  // level of the background
    int floorAge_ = 0;         // 0: no floor yet; up to kGuessFrames: a guess
    int speechRun_ = 0;        // consecutive voiced frames
    int silenceRun_ = 0;       // frames of pause: unvoiced, or voiced too briefly
    int speechFrames_ = 0;     // voiced frames in the current segment
    double segmentPeak_ = 0.0;  // loudest voiced frame of the segment
    float history_[kHistoryFrames] = {};  // last frame levels, a ring
    int historyPos_ = 0;
    // The stretch since the first sound, while it may be speech that set the
    // floor guess: frames so far (past kGuessFrames it is closed), frames
    // loud enough for speech, loudest level, range of 30 ms averages, total
    // power in all and in the speech band, the last two frame powers.
    int stretchFrames_ = 0;
    int stretchLoud_ = 0;
    double stretchPeak_ = 0.0;
    double stretchLow_ = 1e9;
    double stretchHigh_ = -1e9;
    double stretchPower_ = 0.0;
    double stretchBand_ = 0.0;
    double stretchRecent_[2] = {};
    SornVADFlag state_ = SORN_VAD_NO_SPEECH;
};
