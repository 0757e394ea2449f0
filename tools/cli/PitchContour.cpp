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

// Runs the tracker over `slots` windows. fill(target, first, count) writes
// samples first .. first + count - 1 of the signal as floats.
//
// A call that starts at window m0 and may analyse w windows is given
// (w - 1) * hop + 1025 samples from sample m0 * hop: its last window starts
// at (w - 1) * hop, just below count - 1024, so it analyses exactly those w
// windows (pitchCount w stops it there too) and leaves no slot to fill.
// Those samples exist: window m0 + w - 1 is one of the clip's windows, so it
// starts below frames - 1024. Each window sees the same 512 samples as in
// one call over the whole clip, so the contour is the same.
template <class Fill>
void TrackInCalls(std::uint64_t slots, std::uint32_t rate, float level, PitchCallback tracker, std::int16_t* pitch,
                  Fill fill) {
    const std::uint64_t hop = rate / 100;
    const std::uint64_t calls = std::min(slots, kWindowsPerCall);
    if (calls == 0) return;
    std::vector<float> buffer((calls - 1) * hop + kEndMargin + 1);
    for (std::uint64_t m0 = 0; m0 < slots; m0 += kWindowsPerCall) {
        const std::uint64_t windows = std::min(kWindowsPerCall, slots - m0);
        const std::uint64_t count = (windows - 1) * hop + kEndMargin + 1;
        fill(buffer.data(), m0 * hop, count);
        tracker(buffer.data(), static_cast<std::int32_t>(count), static_cast<std::int16_t>(rate), level, pitch + m0,
                static_cast<std::int32_t>(windows));
    }
}

// target[i] = source[i] for i < count: 16-bit samples as floats of the same
// value, eight at a time.
void ToFloats(const std::int16_t* source, std::uint64_t count, float* target) {
    typedef std::int16_t Shorts __attribute__((vector_size(16), aligned(2), may_alias));
    typedef float Floats __attribute__((vector_size(32), aligned(4), may_alias));
    std::uint64_t i = 0;
    for (; i + 8 <= count; i += 8)
        *reinterpret_cast<Floats*>(target + i) =
            __builtin_convertvector(*reinterpret_cast<const Shorts*>(source + i), Floats);
    for (; i < count; ++i) target[i] = source[i];
}

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

// The sample the tracker takes from one frame: channel `channel`, or the
// mean of the frame's channels rounded to the nearest integer.
inline std::int16_t TrackedSample(const std::int16_t* frame, std::size_t channels, int channel) {
    if (channel >= 0) return frame[channel];
    if (channels == 1) return frame[0];
    long sum = 0;
    for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
    return static_cast<std::int16_t>(std::lrint(static_cast<double>(sum) / static_cast<double>(channels)));
}

// The tracked samples of clip at 16 kHz, rounded to 16-bit integers (no
// dither, clipped), as a 16-bit file resampled by sox holds them.
bool Resample(const Pcm16Clip& clip, int channel, LargeVector<std::int16_t>& out, std::string& why) {
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    std::unique_ptr<soxr, SoxrDeleter> resampler(
        soxr_create(clip.sampleRate, kResampleRate, 1, &error, &io, &quality, &runtime));
    if (!resampler || error) {
        why = std::string("the resampler cannot start: ") + (error ? error : "unknown error");
        return false;
    }

    const std::uint64_t frames = clip.Frames();
    const std::size_t channels = clip.channels;
    constexpr std::size_t kBlock = 16384;
    std::vector<std::int16_t> in(kBlock);
    // Left unset (LargeVector): the resampler writes what is kept, and the
    // rest is cut off at the end.
    out.clear();
    out.resize(static_cast<std::size_t>(frames * kResampleRate / clip.sampleRate) + 4096);
    std::size_t written = 0;
    // Room for at least `more` output samples after what was written.
    auto room = [&](std::size_t more) {
        if (out.size() - written < more) out.resize(std::max(out.size() * 2, written + more));
    };
    auto step = [&](const std::int16_t* input, std::size_t length, std::size_t* used) {
        std::size_t produced = 0;
        room(length * kResampleRate / clip.sampleRate + 1024);
        error =
            soxr_process(resampler.get(), input, length, used, out.data() + written, out.size() - written, &produced);
        written += produced;
        return produced;
    };

    for (std::uint64_t first = 0; first < frames; first += kBlock) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, frames - first));
        // One channel is read where it lies; several are gathered first.
        const std::int16_t* block = clip.samples.data() + first * channels;
        if (channels != 1) {
            const std::int16_t* frame = block;
            if (channel >= 0) {
                for (std::size_t i = 0; i < length; ++i, frame += channels) in[i] = frame[channel];
            } else {
                for (std::size_t i = 0; i < length; ++i, frame += channels)
                    in[i] = TrackedSample(frame, channels, channel);
            }
            block = in.data();
        }
        std::size_t consumed = 0;
        int idle = 0;
        while (consumed < length && !error && idle < 3) {
            std::size_t used = 0;
            const std::size_t produced = step(block + consumed, length - consumed, &used);
            consumed += used;
            idle = (used == 0 && produced == 0) ? idle + 1 : 0;
        }
        if (!error && consumed < length) error = "the resampler took no more input";
        if (error) break;
    }
    // A null input ends the stream; what the filter still holds comes out.
    for (int rounds = 0; !error && rounds < 64; ++rounds) {
        if (step(nullptr, 0, nullptr) == 0) break;
    }
    if (error) {
        why = std::string("resampling failed: ") + error;
        return false;
    }
    out.resize(written);
    return true;
}

}  // namespace

std::uint64_t PitchSlotCount(std::uint64_t frames, std::uint32_t rate) {
    const std::uint64_t hop = rate / 100;
    if (hop == 0 || frames <= kEndMargin) return 0;
    return (frames - kEndMargin + hop - 1) / hop;
}

bool TrackPitch(const Pcm16Clip& clip, const PitchOptions& options, PitchContour& out, std::string& why,
                std::string* note) {
    if (note) note->clear();
    if (!std::isfinite(options.level) || options.level <= 0.0f) {
        why = "the level must be a positive number";
        return false;
    }
    if (clip.channels == 0) {
        why = "the clip has no channels";
        return false;
    }
    if (options.channel != PitchOptions::kMeanOfChannels &&
        (options.channel < 0 || options.channel >= static_cast<int>(clip.channels))) {
        why = "there is no channel " + std::to_string(options.channel + 1) + " (the clip has " +
              std::to_string(clip.channels) + ")";
        return false;
    }
    if (clip.sampleRate < kMinTrackerRate) {
        why = "a rate of " + std::to_string(clip.sampleRate) + " Hz is too low for the pitch tracker (100 Hz at least)";
        return false;
    }
    if (clip.sampleRate > kMaxSourceRate) {
        why = "a rate of " + std::to_string(clip.sampleRate) + " Hz is beyond what sorn resamples (768000 Hz at most)";
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

    PitchContour contour;
    contour.sourceRate = clip.sampleRate;
    contour.level = options.level;
    const int channel = options.channel;
    if (clip.sampleRate > kResampleRate) {
        LargeVector<std::int16_t> resampled;
        if (!Resample(clip, channel, resampled, why)) return false;
        contour.rate = kResampleRate;
        contour.hop = kResampleRate / 100;
        contour.resampled = true;
        contour.pitch.assign(static_cast<std::size_t>(PitchSlotCount(resampled.size(), kResampleRate)), 0);
        TrackInCalls(contour.pitch.size(), contour.rate, options.level, tracker, contour.pitch.data(),
                     [&](float* target, std::uint64_t first, std::uint64_t count) {
                         ToFloats(resampled.data() + first, count, target);
                     });
        if (note)
            *note = "resampled from " + std::to_string(clip.sampleRate) + " Hz to " + std::to_string(kResampleRate) +
                    " Hz for the pitch tracker";
    } else {
        contour.rate = clip.sampleRate;
        contour.hop = clip.sampleRate / 100;
        contour.pitch.assign(static_cast<std::size_t>(PitchSlotCount(clip.Frames(), clip.sampleRate)), 0);
        const std::int16_t* samples = clip.samples.data();
        const std::size_t channels = clip.channels;
        TrackInCalls(contour.pitch.size(), contour.rate, options.level, tracker, contour.pitch.data(),
                     [&](float* target, std::uint64_t first, std::uint64_t count) {
                         const std::int16_t* source = samples + first * channels;
                         if (channels == 1) {
                             ToFloats(source, count, target);
                         } else {
                             for (std::uint64_t i = 0; i < count; ++i)
                                 target[i] = TrackedSample(source + i * channels, channels, channel);
                         }
                     });
    }
    out = std::move(contour);
    return true;
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
