#pragma once
// The pitch contour of a 16-bit PCM clip for `sorn pitch`, and its text, CSV
// and JSON forms.
//
// The tracker (the module's ExtractPitch unless another is given) gets one
// channel of samples as floats of the same value, not scaled, and the level
// L: the mean of the clip's channels, rounded to the nearest integer (as sox
// writes a downmix to a 16-bit file), or the one channel asked for. It
// analyses 512-sample windows that start hop = rate / 100 samples apart
// (integer division) and only below frames - 1024, so the contour has
// exactly max(0, ceil((frames - 1024) / hop)) values; value m belongs to the
// window of samples m * hop .. m * hop + 511, and its time is the centre of
// that window: (m * hop + 256) / rate seconds.
//
// Clips above 16 kHz are resampled to 16 kHz with libsoxr (high quality)
// first and rounded to 16-bit integers, as a 16-bit file converted by sox
// holds them: the tracker's window and lag range then span what they span at
// 16 kHz (a 512-sample window reaches 64 Hz), and integer samples take the
// tracker's exact fast path. The contour's times and slot count are those of
// the 16 kHz samples.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core_contract/Engine.h"
#include "tools/cli/WavFile.h"

namespace sorn::cli {

// Clips above this rate are resampled to it.
inline constexpr std::uint32_t kResampleRate = 16000;
// Below this the hop (rate / 100) would be 0.
inline constexpr std::uint32_t kMinTrackerRate = 100;
// Above this no file is sound (the resampler's filter for such a ratio
// would take seconds per second of input).
inline constexpr std::uint32_t kMaxSourceRate = 768000;
inline constexpr float kDefaultLevel = 200.0f;

// max(0, ceil((frames - 1024) / (rate / 100))); 0 when rate < 100.
std::uint64_t PitchSlotCount(std::uint64_t frames, std::uint32_t rate);

struct PitchOptions {
    float level = kDefaultLevel;          // positive and finite
    PitchCallback tracker = nullptr;      // null: the module's ExtractPitch
    int channel = kMeanOfChannels;  // the channel tracked, from 0; or the mean of all
    static constexpr int kMeanOfChannels = -1;
};

struct PitchContour {
    std::vector<std::int16_t> pitch;  // Hz, 0 where no pitch was found
    std::uint32_t rate = 0;           // the rate the tracker ran at
    std::uint32_t sourceRate = 0;     // the clip's own rate
    std::uint32_t hop = 0;            // rate / 100
    float level = kDefaultLevel;
    bool resampled = false;  // sourceRate > 16000: resampled to 16 kHz

    // The centre of value index's analysis window, in seconds.
    double TimeOf(std::size_t index) const {
        return rate ? (static_cast<double>(index) * hop + 256.0) / rate : 0.0;
    }
};

// A contour made as a clip arrives, in parts of any size: Start, then Add
// for the frames in order, then Finish. However the clip is cut, the contour
// is the one TrackPitch makes of it whole, and what is held between calls
// stays small (a few blocks of samples) however long the clip.
class PitchStream {
public:
    PitchStream();
    ~PitchStream();
    PitchStream(const PitchStream&) = delete;
    PitchStream& operator=(const PitchStream&) = delete;

    // A clip of `channels` interleaved channels at `rate`; false with the
    // line TrackPitch gives for what it refuses.
    bool Start(std::uint16_t channels, std::uint32_t rate, const PitchOptions& options, std::string& why);
    // The next `count` frames.
    bool Add(const std::int16_t* frames, std::uint64_t count, std::string& why);
    // Tracks what is left and hands over the contour (note as TrackPitch's).
    bool Finish(PitchContour& out, std::string& why, std::string* note = nullptr);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Tracks clip (the mean of its channels, or options.channel). False with one
// line in why for a level that is not a positive finite number, a clip
// without channels, a channel it does not have, a rate below 100 Hz or above
// 768 kHz, or a failure of the resampler. When the clip was resampled, note
// receives the line for stderr that says so ("resampled from 44100 Hz to
// 16000 Hz for the pitch tracker"); otherwise it is cleared.
bool TrackPitch(const Pcm16Clip& clip, const PitchOptions& options, PitchContour& out, std::string& why,
                std::string* note = nullptr);

// Tracks the file reader has open, read a block at a time, as TrackPitch
// tracks the clip ReadPcm16 would give. Every line in why starts with the
// file's path.
bool TrackPitch(Pcm16Reader& reader, const PitchOptions& options, PitchContour& out, std::string& why,
                std::string* note = nullptr);

enum class ContourFormat { Text, Csv, Json };

// Text: one integer per line and nothing else. CSV: the header
// "time_s,pitch_hz", then one "time,pitch" line per value. JSON: one object
// with the rate, hop, window, level and time convention, and "contour": an
// array of {"t": seconds, "hz": pitch}. Times have 5 decimals (10 us).
std::string FormatContour(const PitchContour& contour, ContourFormat format);

// "text", "csv", "json"; false for anything else.
bool ParseContourFormat(const std::string& name, ContourFormat& format);

}  // namespace sorn::cli
