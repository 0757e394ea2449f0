#include "tools/cli/PitchContour.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>

#ifndef SORN_CLI_NO_LINKED_TRACKER
#include "pitch/ExtractPitch.h"
#endif
#include "tools/cli/TextBuffer.h"

namespace sorn::cli {

namespace {

// Windows per tracker call. The tracker is handed the samples of this many
// windows at a time, converted to float into one small buffer that stays in
// cache, instead of a float copy of the whole clip.
constexpr std::uint64_t kWindowsPerCall = 256;
// The tracker analyses a window only when it starts below count - 1024.
constexpr std::uint64_t kEndMargin = 1024;
// Frames taken in at a time: the channel mix, the resampler's input and the
// samples waiting for the tracker stay this small however long the clip.
constexpr std::size_t kBlockFrames = 16384;

// target[i] = source[i] * scale for i < count: 16-bit samples as floats,
// eight at a time (scale a power of two: exact).
void ToFloats(const std::int16_t* source, std::uint64_t count, float* target, float scale = 1.0f) {
    typedef std::int16_t Shorts __attribute__((vector_size(16), aligned(2), may_alias));
    typedef float Floats __attribute__((vector_size(32), aligned(4), may_alias));
    std::uint64_t i = 0;
    for (; i + 8 <= count; i += 8)
        *reinterpret_cast<Floats*>(target + i) =
            __builtin_convertvector(*reinterpret_cast<const Shorts*>(source + i), Floats) * scale;
    for (; i < count; ++i) target[i] = source[i] * scale;
}

// The sample the tracker takes from one frame: channel `channel`, or the
// mean of the frame's channels rounded to the nearest integer.
inline std::int16_t TrackedSample(const std::int16_t* frame, std::size_t channels, int channel) {
    if (channel >= 0) return frame[channel];
    if (channels == 1) return frame[0];
    long sum = 0;
    for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
    return static_cast<std::int16_t>(std::lrint(static_cast<double>(sum) / static_cast<double>(channels)));
}

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

}  // namespace

struct PitchStream::State {
    PitchCallback tracker = nullptr;
    float level = kDefaultLevel;
    int channel = PitchOptions::kMeanOfChannels;
    std::size_t channels = 0;
    std::uint32_t sourceRate = 0;
    std::uint64_t hop = 0;
    // Clips above 16 kHz: rounded to 16-bit integers (no dither, clipped),
    // as a 16-bit file resampled by sox holds them.
    std::unique_ptr<soxr, SoxrDeleter> resampler;
    soxr_error_t error = nullptr;
    std::vector<std::int16_t> mixed;  // one block of tracked samples at the clip's rate
    // The resampler's input: a block as floats of full scale 1, as soxr
    // itself would convert 16-bit input (its own conversion is scalar).
    std::vector<float> unit;
    // Tracked samples at the tracker's rate from sample contour.pitch.size() * hop
    // on (the first window not yet analysed): the first `pending` of `waiting`.
    std::vector<std::int16_t> waiting;
    std::size_t pending = 0;
    std::vector<float> floats;  // one tracker call's samples
    PitchContour contour;

    // Room for at least `more` samples after the pending ones.
    std::int16_t* Room(std::size_t more) {
        if (waiting.size() - pending < more) waiting.resize(pending + more);
        return waiting.data() + pending;
    }

    // Feeds the resampler (input null: the end of the clip, so that what
    // its filter still holds comes out); false once it failed.
    bool Resample(const std::int16_t* samples, std::size_t length) {
        const float* input = nullptr;
        if (samples) {
            unit.resize(std::max(unit.size(), length));
            ToFloats(samples, length, unit.data(), 0x1p-15f);
            input = unit.data();
        }
        std::size_t consumed = 0;
        int idle = 0;
        for (int rounds = 0; !error && idle < 3 && rounds < 1000; ++rounds) {
            const std::size_t more = (length - consumed) * kResampleRate / sourceRate + 1024;
            std::size_t used = 0, produced = 0;
            error = soxr_process(resampler.get(), input ? input + consumed : nullptr, length - consumed,
                                 input ? &used : nullptr, Room(more), more, &produced);
            pending += produced;
            consumed += used;
            if (input ? consumed == length : produced == 0) break;
            idle = (used == 0 && produced == 0) ? idle + 1 : 0;
        }
        if (!error && input && consumed < length) error = "the resampler took no more input";
        return !error;
    }

    // Runs the tracker over every window whose samples have all arrived (at
    // the end, every window left), windows kWindowsPerCall at a time.
    //
    // A call that starts at window m0 and may analyse w windows is given
    // (w - 1) * hop + 1025 samples from sample m0 * hop: its last window
    // starts at (w - 1) * hop, just below count - 1024, so it analyses
    // exactly those w windows (pitchCount w stops it there too). Each window
    // sees the same 512 samples as in one call over the whole clip, so the
    // contour is the same however the clip arrives. Before the end only full
    // calls run; their calls start at the same windows as at the end.
    void Track(bool end) {
        const std::uint64_t m0 = contour.pitch.size();
        const std::uint64_t full = (kWindowsPerCall - 1) * hop + kEndMargin + 1;
        std::uint64_t windows = end ? PitchSlotCount(m0 * hop + pending, contour.rate) - m0 : 0;
        if (!end && pending >= full)
            windows = (pending - full) / (kWindowsPerCall * hop) * kWindowsPerCall + kWindowsPerCall;
        if (windows == 0) return;
        if (floats.empty()) floats.resize(full);
        contour.pitch.resize(m0 + windows);
        std::uint64_t first = 0;
        for (std::uint64_t done = 0; done < windows; done += kWindowsPerCall, first += kWindowsPerCall * hop) {
            const std::uint64_t w = std::min(kWindowsPerCall, windows - done);
            const std::uint64_t count = (w - 1) * hop + kEndMargin + 1;
            ToFloats(waiting.data() + first, count, floats.data());
            tracker(floats.data(), static_cast<std::int32_t>(count), static_cast<std::int16_t>(contour.rate), level,
                    contour.pitch.data() + m0 + done, static_cast<std::int32_t>(w));
        }
        // What the next window needs moves to the front.
        const std::uint64_t used = std::min<std::uint64_t>(windows * hop, pending);
        std::copy(waiting.begin() + static_cast<std::ptrdiff_t>(used),
                  waiting.begin() + static_cast<std::ptrdiff_t>(pending), waiting.begin());
        pending -= static_cast<std::size_t>(used);
    }
};

PitchStream::PitchStream() = default;
PitchStream::~PitchStream() = default;

bool PitchStream::Start(std::uint16_t channels, std::uint32_t rate, const PitchOptions& options, std::string& why) {
    state_.reset();
    if (!std::isfinite(options.level) || options.level <= 0.0f) {
        why = "the level must be a positive number";
        return false;
    }
    if (channels == 0) {
        why = "the clip has no channels";
        return false;
    }
    if (options.channel != PitchOptions::kMeanOfChannels &&
        (options.channel < 0 || options.channel >= static_cast<int>(channels))) {
        why = "there is no channel " + std::to_string(options.channel + 1) + " (the clip has " +
              std::to_string(channels) + ")";
        return false;
    }
    if (rate < kMinTrackerRate) {
        why = "a rate of " + std::to_string(rate) + " Hz is too low for the pitch tracker (100 Hz at least)";
        return false;
    }
    if (rate > kMaxSourceRate) {
        why = "a rate of " + std::to_string(rate) + " Hz is beyond what sorn resamples (768000 Hz at most)";
        return false;
    }
#ifdef SORN_CLI_NO_LINKED_TRACKER
    // Built into a host that loads the module at run time: the host names
    // the module's tracker.
    const PitchCallback tracker = options.tracker;
    if (!tracker) {
        why = "no pitch tracker is available";
        return false;
    }
#else
    const PitchCallback tracker = options.tracker ? options.tracker : &ExtractPitch;
#endif
    auto state = std::make_unique<State>();
    state->tracker = tracker;
    state->level = options.level;
    state->channel = options.channel;
    state->channels = channels;
    state->sourceRate = rate;
    state->contour.sourceRate = rate;
    state->contour.level = options.level;
    state->contour.resampled = rate > kResampleRate;
    state->contour.rate = state->contour.resampled ? kResampleRate : rate;
    state->contour.hop = state->contour.rate / 100;
    state->hop = state->contour.hop;
    if (state->contour.resampled) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
        io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        state->resampler.reset(soxr_create(rate, kResampleRate, 1, &error, &io, &quality, &runtime));
        if (!state->resampler || error) {
            why = std::string("the resampler cannot start: ") + (error ? error : "unknown error");
            return false;
        }
    }
    state_ = std::move(state);
    return true;
}

bool PitchStream::Add(const std::int16_t* frames, std::uint64_t count, std::string& why) {
    if (!state_) {
        why = "the pitch tracking has not started";
        return false;
    }
    State& s = *state_;
    for (std::uint64_t first = 0; first < count; first += kBlockFrames) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockFrames, count - first));
        // One channel alone is read where it lies; otherwise the tracked
        // samples are gathered first.
        const std::int16_t* block = frames + first * s.channels;
        if (s.channels != 1) {
            s.mixed.resize(kBlockFrames);
            const std::int16_t* frame = block;
            for (std::size_t i = 0; i < length; ++i, frame += s.channels)
                s.mixed[i] = TrackedSample(frame, s.channels, s.channel);
            block = s.mixed.data();
        }
        if (s.resampler) {
            if (!s.Resample(block, length)) {
                why = std::string("resampling failed: ") + s.error;
                return false;
            }
        } else {
            std::copy(block, block + length, s.Room(length));
            s.pending += length;
        }
        s.Track(false);
    }
    return true;
}

bool PitchStream::Finish(PitchContour& out, std::string& why, std::string* note) {
    if (note) note->clear();
    if (!state_) {
        why = "the pitch tracking has not started";
        return false;
    }
    State& s = *state_;
    if (s.resampler && !s.Resample(nullptr, 0)) {
        why = std::string("resampling failed: ") + s.error;
        return false;
    }
    s.Track(true);
    if (note && s.contour.resampled)
        *note = "resampled from " + std::to_string(s.sourceRate) + " Hz to " + std::to_string(kResampleRate) +
                " Hz for the pitch tracker";
    out = std::move(s.contour);
    state_.reset();
    return true;
}

std::uint64_t PitchSlotCount(std::uint64_t frames, std::uint32_t rate) {
    const std::uint64_t hop = rate / 100;
    if (hop == 0 || frames <= kEndMargin) return 0;
    return (frames - kEndMargin + hop - 1) / hop;
}

bool TrackPitch(const Pcm16Clip& clip, const PitchOptions& options, PitchContour& out, std::string& why,
                std::string* note) {
    if (note) note->clear();
    PitchStream stream;
    return stream.Start(clip.channels, clip.sampleRate, options, why) &&
           stream.Add(clip.samples.data(), clip.Frames(), why) && stream.Finish(out, why, note);
}

bool TrackPitch(Pcm16Reader& reader, const PitchOptions& options, PitchContour& out, std::string& why,
                std::string* note) {
    if (note) note->clear();
    PitchStream stream;
    std::string failure;
    bool ok = stream.Start(reader.Channels(), reader.SampleRate(), options, failure);
    std::vector<std::int16_t> block(ok ? kBlockFrames * reader.Channels() : 0);
    while (ok) {
        const long long got = reader.Read(block.data(), kBlockFrames, why);
        if (got < 0) return false;  // why names the file already
        if (got == 0) break;
        ok = stream.Add(block.data(), static_cast<std::uint64_t>(got), failure);
    }
    if (ok) ok = stream.Finish(out, failure, note);
    if (!ok) why = reader.Path() + ": " + failure;
    return ok;
}

std::string FormatContour(const PitchContour& contour, ContourFormat format) {
    TextBuffer out;
    const std::size_t n = contour.pitch.size();
    switch (format) {
        case ContourFormat::Text:
            out.Reserve(n * 5);
            for (const std::int16_t p : contour.pitch) out.Int(p).Put('\n');
            break;
        case ContourFormat::Csv:
            out.Reserve(n * 16 + 32);
            out.Put("time_s,pitch_hz\n");
            for (std::size_t i = 0; i < n; ++i)
                out.Fixed(contour.TimeOf(i), 5).Put(',').Int(contour.pitch[i]).Put('\n');
            break;
        case ContourFormat::Json:
            out.Reserve(n * 28 + 256);
            out.Put("{\"rate\":").Int(contour.rate);
            out.Put(",\"source_rate\":").Int(contour.sourceRate);
            out.Put(",\"resampled\":").Put(contour.resampled ? "true" : "false");
            out.Put(",\"hop\":").Int(contour.hop);
            out.Put(",\"window\":512,\"level\":").Shortest(contour.level);
            out.Put(",\"time\":\"seconds, the centre of each value's 512-sample analysis window\"");
            out.Put(",\"contour\":[");
            for (std::size_t i = 0; i < n; ++i) {
                out.Put(i ? ",\n{\"t\":" : "\n{\"t\":").Fixed(contour.TimeOf(i), 5);
                out.Put(",\"hz\":").Int(contour.pitch[i]).Put('}');
            }
            out.Put("]}\n");
            break;
    }
    return out.Take();
}

bool ParseContourFormat(const std::string& name, ContourFormat& format) {
    if (name == "text")
        format = ContourFormat::Text;
    else if (name == "csv")
        format = ContourFormat::Csv;
    else if (name == "json")
        format = ContourFormat::Json;
    else
        return false;
    return true;
}

}  // namespace sorn::cli
