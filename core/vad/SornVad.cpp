// End-of-speech detector: frame levels over an adaptive noise floor.
//
// The signal first passes a DC-blocking high-pass filter, so an offset in
// the input neither counts as sound nor hides it. Every 10 ms frame then
// gets a level, the mean square of its filtered samples in dB. A frame is
// voiced when its level stands well above the noise floor and above an
// absolute minimum (so dither in near-silence is never speech).
//
// - Speech starts after kMinSpeechFrames voiced frames with gaps of at most
//   kOnsetGapFrames between them: a click or a short knock cannot start it.
// - While speech goes on, a frame stays voiced down to kKeepDb over the
//   floor; out of a pause it must come back as strongly as speech starts,
//   for kResumeFrames frames in a row, so a click or a swing of the
//   background in the pause does not count.
// - Speech ends after kHangoverFrames frames of pause; shorter pauses belong
//   to the utterance. The end is confirmed only if the segment's loudest
//   frame stood kConfirmDb above the floor it leaves behind; a segment that
//   did not was background wandering over the threshold, and the detector
//   waits again (the verdict goes from 1 back to 0).
// - The floor follows the background: quickly down and slowly up on frames
//   that are not voiced (within speech only down, or its weaker sounds would
//   drag it up). When the level has held steady (no syllable swing)
//   for kHistoryFrames frames well above the floor, the background has risen
//   (a fan started): the floor jumps to it.
// - Digital silence (frames of one repeated value, as devices deliver
//   before their first real block) tells nothing about the background. The
//   first frame with sound sets the floor as a guess, which the frames after
//   it correct. Digital silence within kGuessFrames after speech shows that
//   the background is that silence; otherwise it counts as pause and leaves
//   the floor alone.
// - When the recording starts in the middle of speech, that speech sets the
//   guess and the floor climbs onto it, so it may never stand out as speech.
//   The stretch since the first sound is therefore watched while the floor
//   is a guess: when the level falls kConfirmDb below the guess, or to
//   digital silence, and the stretch looked like speech (long enough, not
//   steady, mostly above rumble), the stretch was the speech: the quiet
//   level becomes the floor and the hang-over runs from the stretch's end.
//   A steady tone or fan that stops, and a rumble that drops out, were no
//   speech and give no end, as the rules above would say of them.
//
// Once speech has ended the verdict stays SORN_VAD_SPEECH_END until Reset.
// Detect allocates nothing; one detector serves one stream at a time and is
// not safe to use from two threads at once.
#include "core_contract/SornVad.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr unsigned kDefaultRate = 16000;
constexpr double kHighPassHz = 20.0;  // corner of the DC-blocking filter
constexpr double kBandHz = 150.0;     // corner of the filter above rumble
// Share of a stretch's power above rumble that speech keeps (voices of
// 100 Hz and more: 0.6 and up; brown noise: about 0.2).
constexpr double kSpeechBandShare = 0.4;

constexpr double kAbsoluteDb = 30.0;  // RMS of about 32: quieter is never speech
constexpr double kOnsetDb = 10.0;     // above the floor to start speech
constexpr double kKeepDb = 7.0;       // above the floor to stay voiced in speech
constexpr double kConfirmDb = 15.0;   // peak above the floor that makes it speech
constexpr double kSteadyDb = 8.0;     // level range of a steady background
constexpr double kFloorDown = 0.3;    // share of the gap closed per frame
constexpr double kFloorUp = 0.05;

constexpr int kMinSpeechFrames = 10;  // 100 ms
constexpr int kOnsetGapFrames = 3;
constexpr int kResumeFrames = 3;
constexpr int kHangoverFrames = 50;   // 500 ms
constexpr int kGuessFrames = 200;     // 2 s

// Below this the filter's decaying output would turn denormal and slow.
constexpr double kTiny = 1e-12;

// Run counters stop here, so days of input cannot overflow them.
constexpr int kCountCap = 1 << 30;
inline void Bump(int& counter) {
    if (counter < kCountCap) ++counter;
}

double PoleFor(double cornerHz, unsigned rate) {
    return std::clamp(1.0 - 2.0 * std::numbers::pi * cornerHz / rate, 0.0, 0.9999);
}

double Db(double power) { return 10.0 * std::log10(power + 1.0); }

// Whether the background rose: the levels of the last frames (a ring of n,
// oldest at pos) average more than kKeepDb above the floor and hold steady,
// their 30 ms averages within kSteadyDb, where speech swings by 15 dB and
// more. If so, mean is their mean level.
template <int n>
bool BackgroundRose(const float (&levels)[n], int pos, double floor, double& mean) {
    double sum = 0.0;
    for (float level : levels) sum += level;
    mean = sum / n;
    if (mean <= floor + kKeepDb) return false;
    double power[n];
    for (int k = 0; k < n; ++k) power[k] = std::pow(10.0, levels[(pos + k) % n] / 10.0);
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (int k = 0; k + 2 < n; ++k) {
        const double smooth = 10.0 * std::log10((power[k] + power[k + 1] + power[k + 2]) / 3.0);
        low = std::min(low, smooth);
        high = std::max(high, smooth);
    }
    return high - low <= kSteadyDb;
}

}  // namespace

SornVad::SornVad(unsigned sampleRate)
    : sampleRate_(sampleRate ? sampleRate : kDefaultRate),
      frameLength_(std::max(1u, sampleRate_ / 100)),
      pole_(PoleFor(kHighPassHz, sampleRate_)),
      bandPole_(PoleFor(kBandHz, sampleRate_)) {}

SornVad::~SornVad() = default;

void SornVad::Reset() {
    const unsigned rate = sampleRate_;
    *this = SornVad(rate);
}

SornVADFlag SornVad::Detect(short* samples, unsigned int count) {
    if (state_ == SORN_VAD_SPEECH_END || !samples) return state_;

    if (!primed_ && count > 0) {
        prevIn_ = samples[0];  // an offset present from the start is no step
        primed_ = true;
    }
    unsigned i = 0;
    while (i < count) {
        // Filter and sum up to the end of the current frame.
        const unsigned take = std::min(count - i, frameLength_ - pending_);
        if (pending_ == 0) pendingFirst_ = samples[i];
        const short first = pendingFirst_;
        bool changed = pendingChanged_;
        double energy = pendingEnergy_, band = pendingBand_;
        double in1 = prevIn_, out1 = prevOut_, band1 = prevBand_;
        for (unsigned k = 0; k < take; ++k) {
            changed |= samples[i + k] != first;
            const double in = samples[i + k];
            double out = in - in1 + pole_ * out1;
            if (std::fabs(out) < kTiny) out = 0.0;
            double high = out - out1 + bandPole_ * band1;
            if (std::fabs(high) < kTiny) high = 0.0;
            energy += out * out;
            band += high * high;
            in1 = in;
            out1 = out;
            band1 = high;
        }
        prevIn_ = in1;
        prevOut_ = out1;
        prevBand_ = band1;
        i += take;
        pending_ += take;
        pendingEnergy_ = energy;
        pendingBand_ = band;
        pendingChanged_ = changed;
        if (pending_ == frameLength_) {
            pending_ = 0;
            pendingEnergy_ = pendingBand_ = 0.0;
            pendingChanged_ = false;
            // A frame of one repeated value is digital silence, whatever the
            // filters still ring with.
            const bool dead = !changed && frameLength_ > 1;
            Frame(energy / frameLength_, band / frameLength_, dead);
            if (state_ == SORN_VAD_SPEECH_END) break;
        }
    }
    return state_;
}

void SornVad::Frame(double power, double bandPower, bool dead) {
    const double level = Db(power);
    history_[historyPos_] = static_cast<float>(level);
    historyPos_ = (historyPos_ + 1) % kHistoryFrames;

    if (floorAge_ == 0) {
        if (dead) return;  // nothing heard yet
        noiseFloor_ = level;
    }
    if (state_ == SORN_VAD_NO_SPEECH && stretchFrames_ <= kGuessFrames) {
        if (dead || level <= noiseFloor_ - kConfirmDb) {
            // The fall ends the stretch, whether it was speech or not.
            if (StretchWasSpeech()) StretchEnds(level, dead);
            stretchFrames_ = kGuessFrames + 1;
        } else {
            Stretch(power, bandPower, level);
            ++stretchFrames_;
        }
    }
    if (floorAge_ <= kGuessFrames) {
        if (dead) {
            SilenceEndsGuess();
        } else {
            ++floorAge_;
        }
    }

    double background = 0.0;
    if (!dead && BackgroundRose(history_, historyPos_, noiseFloor_, background)) {
        // The background rose (a fan started): against it, what came since
        // the last speech is pause.
        noiseFloor_ = background;
        if (state_ == SORN_VAD_SPEECH) silenceRun_ = std::max(silenceRun_, QuietFrames(2, kHistoryFrames));
    }

    const bool speaking = state_ == SORN_VAD_SPEECH;
    const bool voiced = !dead && level >= kAbsoluteDb &&
                        level >= noiseFloor_ + (speaking && silenceRun_ == 0 ? kKeepDb : kOnsetDb);

    if (!voiced) {
        // Within speech the floor only falls; a rise of the background is
        // caught above.
        if (!dead && (level < noiseFloor_ || !speaking)) {
            noiseFloor_ += (level < noiseFloor_ ? kFloorDown : kFloorUp) * (level - noiseFloor_);
        }
        speechRun_ = 0;
        Bump(silenceRun_);
        if (speaking) {
            if (silenceRun_ >= kHangoverFrames) EndSegment();
        } else if (speechFrames_ > 0 && silenceRun_ > kOnsetGapFrames) {
            DropSegment();  // a click
        }
        return;
    }

    Bump(speechRun_);
    Bump(speechFrames_);
    segmentPeak_ = std::max(segmentPeak_, level);
    if (!speaking) {
        silenceRun_ = 0;
        if (speechFrames_ >= kMinSpeechFrames) state_ = SORN_VAD_SPEECH;
    } else if (speechRun_ >= kResumeFrames) {
        silenceRun_ = 0;
    } else {
        Bump(silenceRun_);  // too short yet to call it speech again
        if (silenceRun_ >= kHangoverFrames) {
            EndSegment();
            return;
        }
    }
}

// Digital silence while the floor is still a guess: from now on the floor
// is the background's. If speech came out of silence and went back into it,
// that silence is the background; judged against it, the quieter end of the
// sound, which the guess counted as pause, is speech too.
void SornVad::SilenceEndsGuess() {
    floorAge_ = kGuessFrames + 1;
    if (state_ != SORN_VAD_SPEECH) return;
    noiseFloor_ = 0.0;
    silenceRun_ = QuietFrames(2, silenceRun_);
    speechRun_ = 0;
}

// One more frame with sound in the stretch that set the guess.
void SornVad::Stretch(double power, double bandPower, double level) {
    if (level >= kAbsoluteDb) ++stretchLoud_;
    stretchPeak_ = std::max(stretchPeak_, level);
    stretchPower_ += power;
    stretchBand_ += bandPower;
    // 30 ms averages, as the steady-background rule takes them.
    if (stretchRecent_[0] > 0.0) {
        const double smooth = Db((power + stretchRecent_[0] + stretchRecent_[1]) / 3.0);
        stretchLow_ = std::min(stretchLow_, smooth);
        stretchHigh_ = std::max(stretchHigh_, smooth);
    }
    stretchRecent_[0] = stretchRecent_[1];
    stretchRecent_[1] = power + 1e-9;  // non-zero: the frame was seen
}

// Whether the stretch since the first sound looks like speech: voiced for
// long enough, swinging as syllables do where a fan or tone holds steady,
// and mostly above the band of rumble.
bool SornVad::StretchWasSpeech() const {
    return stretchLoud_ >= kMinSpeechFrames && stretchHigh_ - stretchLow_ > kSteadyDb &&
           stretchBand_ >= kSpeechBandShare * stretchPower_;
}

// The level fell well below the guess after a stretch of speech: that
// speech set the guess. From here on the quiet level is the floor, the
// stretch is the segment, and this frame is the first of its pause.
void SornVad::StretchEnds(double level, bool dead) {
    floorAge_ = kGuessFrames + 1;
    noiseFloor_ = dead ? 0.0 : level;
    state_ = SORN_VAD_SPEECH;
    speechFrames_ = std::max(speechFrames_, stretchLoud_);
    segmentPeak_ = std::max(segmentPeak_, stretchPeak_);
    speechRun_ = 0;
    silenceRun_ = 0;
}

// How many frames in a row, at most limit, going back from the frame the
// given number of frames back (1 = the latest), are not voiced speech
// against the current floor.
int SornVad::QuietFrames(int from, int limit) const {
    int quiet = 0;
    for (int back = from; back <= kHistoryFrames && quiet < limit; ++back, ++quiet) {
        const float level = history_[(historyPos_ - back + kHistoryFrames) % kHistoryFrames];
        if (level >= kAbsoluteDb && level >= noiseFloor_ + kKeepDb) break;
    }
    return quiet;
}

void SornVad::EndSegment() {
    if (segmentPeak_ >= noiseFloor_ + kConfirmDb) {
        state_ = SORN_VAD_SPEECH_END;
    } else {
        DropSegment();
    }
}

void SornVad::DropSegment() {
    state_ = SORN_VAD_NO_SPEECH;
    speechRun_ = speechFrames_ = 0;
    segmentPeak_ = 0.0;
}
