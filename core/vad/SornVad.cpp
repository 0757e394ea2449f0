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
// - Speech ends after kHangoverFrames frames without speech; shorter pauses
//   belong to the utterance. A lone click in that hang-over does not count
//   as speech resuming: that takes kResumeFrames voiced frames in a row.
//   The end is confirmed only if the segment's loudest frame stood
//   kConfirmDb above the floor it leaves behind; a segment that did not was
//   background wandering over the threshold, and the detector waits again.
// - The floor follows the background: quickly down and slowly up on frames
//   that are not voiced, very slowly up on voiced ones. When the level has
//   been voiced and steady for kHistoryFrames frames, the background has
//   risen (a fan starts): the floor jumps to it, and if the segment was
//   nothing but that steady sound, it was never speech.
// - Digital silence (frames of one repeated value, as devices deliver
//   before their first real block) tells nothing about the background. The
//   first frame with sound sets the floor as a guess; if digital silence
//   returns within kGuessFrames, that sound stood alone: speech when it
//   was long and loud enough, else (a click) forgotten. Later digital
//   silence counts as a pause without moving the floor.
//
// Once speech has ended the verdict stays SORN_VAD_SPEECH_END until Reset.
// Detect allocates nothing; one detector serves one stream at a time and is
// not safe to use from two threads at once.
#include "core_contract/SornVad.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>

namespace {

std::atomic<SornVad::Hook> hook{nullptr};
std::atomic<void*> hookContext{nullptr};

constexpr unsigned kDefaultRate = 16000;
constexpr double kHighPassHz = 20.0;  // corner of the DC-blocking filter

constexpr double kDeadDb = 1.0;       // below: digital silence
constexpr double kAbsoluteDb = 30.0;  // RMS of about 32: quieter is never speech
constexpr double kOnsetDb = 10.0;     // above the floor to start speech
constexpr double kKeepDb = 7.0;       // above the floor to stay voiced in speech
constexpr double kConfirmDb = 15.0;   // peak above the floor that makes it speech
constexpr double kSteadyDb = 4.0;     // level range of a steady background
constexpr double kFloorDown = 0.3;    // share of the gap closed per frame
constexpr double kFloorUp = 0.05;
constexpr double kCreepDb = 0.01;     // per voiced frame: 1 dB a second

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

}  // namespace

SornVad::SornVad(unsigned sampleRate)
    : sampleRate_(sampleRate ? sampleRate : kDefaultRate),
      frameLength_(std::max(1u, sampleRate_ / 100)),
      pole_(std::clamp(1.0 - 2.0 * std::numbers::pi * kHighPassHz / sampleRate_, 0.0, 0.9999)) {}

SornVad::~SornVad() = default;

void SornVad::Reset() {
    const unsigned rate = sampleRate_;
    *this = SornVad(rate);
}

SornVADFlag SornVad::Detect(short* samples, unsigned int count) {
    if (auto h = hook.load()) return h(hookContext.load(), samples, count);
    if (state_ == SORN_VAD_SPEECH_END || !samples) return state_;

    if (!primed_ && count > 0) {
        prevIn_ = samples[0];  // an offset present from the start is no step
        primed_ = true;
    }
    unsigned i = 0;
    while (i < count) {
        // Filter and sum up to the end of the current frame.
        const unsigned take = std::min(count - i, frameLength_ - pending_);
        double energy = pendingEnergy_;
        double in1 = prevIn_, out1 = prevOut_;
        for (unsigned k = 0; k < take; ++k) {
            const double in = samples[i + k];
            double out = in - in1 + pole_ * out1;
            if (std::fabs(out) < kTiny) out = 0.0;
            energy += out * out;
            in1 = in;
            out1 = out;
        }
        prevIn_ = in1;
        prevOut_ = out1;
        i += take;
        pending_ += take;
        pendingEnergy_ = energy;
        if (pending_ == frameLength_) {
            pending_ = 0;
            pendingEnergy_ = 0.0;
            Frame(10.0 * std::log10(energy / frameLength_ + 1.0));
            if (state_ == SORN_VAD_SPEECH_END) break;
        }
    }
    return state_;
}

void SornVad::Frame(double level) {
    history_[historyPos_] = static_cast<float>(level);
    historyPos_ = (historyPos_ + 1) % kHistoryFrames;

    const bool dead = level < kDeadDb;
    if (floorAge_ == 0) {
        if (dead) return;  // nothing heard yet
        noiseFloor_ = level;
        guessLoud_ = 0;
        guessPeak_ = 0.0;
    }
    if (floorAge_ <= kGuessFrames) {
        if (dead) {
            if (!SilenceEndsGuess(level)) return;
        } else {
            ++floorAge_;
            if (level >= kAbsoluteDb) {
                ++guessLoud_;
                guessPeak_ = std::max(guessPeak_, level);
            }
        }
    }

    const bool speaking = state_ == SORN_VAD_SPEECH;
    const bool voiced =
        level >= kAbsoluteDb && level >= noiseFloor_ + (speaking ? kKeepDb : kOnsetDb);

    if (!voiced) {
        if (!dead) noiseFloor_ += (level < noiseFloor_ ? kFloorDown : kFloorUp) * (level - noiseFloor_);
        speechRun_ = 0;
        Bump(silenceRun_);
        if (speaking) {
            Bump(segmentFrames_);
            if (silenceRun_ >= kHangoverFrames) EndSegment();
        } else if (segmentFrames_ > 0) {
            Bump(segmentFrames_);
            if (silenceRun_ > kOnsetGapFrames) DropSegment();  // a click
        }
        return;
    }

    noiseFloor_ += kCreepDb;
    Bump(speechRun_);
    Bump(speechFrames_);
    Bump(segmentFrames_);
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

    if (speechRun_ >= kHistoryFrames) {
        const auto [low, high] = std::minmax_element(std::begin(history_), std::end(history_));
        if (*high - *low <= kSteadyDb) {
            noiseFloor_ = *low;
            if (speechRun_ == segmentFrames_) DropSegment();  // steady from its first frame
        }
    }
}

// Digital silence while the floor is still a guess: the background is that
// silence, and the sound heard since was all there was. Returns false when
// the detector starts over as if nothing had been heard.
bool SornVad::SilenceEndsGuess(double level) {
    if (state_ == SORN_VAD_NO_SPEECH) {
        if (guessLoud_ < kMinSpeechFrames) {
            DropSegment();  // a click out of silence
            floorAge_ = 0;
            return false;
        }
        // A sound without dips, which the guess took for the background.
        state_ = SORN_VAD_SPEECH;
        segmentPeak_ = std::max(segmentPeak_, guessPeak_);
        speechRun_ = 0;
        segmentFrames_ = std::max(segmentFrames_, guessLoud_) + 1;
    }
    noiseFloor_ = level;
    floorAge_ = kGuessFrames + 1;
    // Judged against the true floor, the quieter end of the sound, which
    // the guess counted as pause, is speech too: the pause starts now.
    int pause = 0;
    for (int back = 2; back <= kHistoryFrames && pause < silenceRun_; ++back, ++pause) {
        const float before = history_[(historyPos_ - back + kHistoryFrames) % kHistoryFrames];
        if (before >= kAbsoluteDb && before >= noiseFloor_ + kKeepDb) break;
    }
    silenceRun_ = pause;
    return true;
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
    speechRun_ = speechFrames_ = segmentFrames_ = 0;
    segmentPeak_ = 0.0;
}

void SornVad::SetHook(Hook h, void* context) {
    hookContext.store(context);
    hook.store(h);
}
