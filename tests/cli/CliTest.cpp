// The sorn host's file and analysis units: WAV description and reading
// through the module's codec, the pitch contour and its forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/WavBytes.h"
#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"
#include "pitch/ExtractPitch.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"

namespace {

using namespace sorn::cli;
using wavtest::Bytes;
using wavtest::Put;
using wavtest::Put16;
using wavtest::Put32;

void RegisterCodec() {
    if (!RegisteredWavCodec()) SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec());
}

// A WAV file of any encoding: "RIFF" "WAVE", a format chunk (16 bytes, or 40
// for the extensible form with the sub-format's tag), then a data chunk.
Bytes WavFile(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, const Bytes& data,
              bool extensible = false) {
    const std::uint16_t align = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    Bytes fmt;
    Put16(fmt, extensible ? 0xFFFE : tag);
    Put16(fmt, channels);
    Put32(fmt, rate);
    Put32(fmt, rate * align);
    Put16(fmt, align);
    Put16(fmt, bits);
    if (extensible) {
        Put16(fmt, 22);
        Put16(fmt, bits);
        Put32(fmt, channels == 1 ? 4u : 3u);
        Put16(fmt, tag);
        Put(fmt, Bytes{0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    }
    Bytes b;
    Put(b, "RIFF");
    Put32(b, static_cast<std::uint32_t>(4 + 8 + fmt.size() + 8 + data.size()));
    Put(b, "WAVE");
    Put(b, wavtest::Chunk("fmt ", fmt));
    Put(b, wavtest::Chunk("data", data));
    return b;
}

// Interleaved 16-bit samples as little-endian bytes.
Bytes Pcm(const std::vector<std::int16_t>& samples) {
    Bytes b;
    for (const std::int16_t s : samples) Put16(b, static_cast<std::uint16_t>(s));
    return b;
}

// A voice-like signal: harmonics of a fundamental gliding from f0 to f1,
// in syllables, so the contour has voiced and unvoiced values.
std::vector<std::int16_t> Voice(std::size_t frames, std::uint32_t rate, double f0, double f1) {
    std::vector<std::int16_t> s(frames);
    double phase = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double f = f0 + (f1 - f0) * static_cast<double>(i) / static_cast<double>(frames);
        phase += 2 * M_PI * f / rate;
        const double syllables = std::fabs(std::sin(M_PI * 3.0 * static_cast<double>(i) / rate));
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(h * phase) / h;
        s[i] = static_cast<std::int16_t>(std::lround(6000.0 * syllables * v));
    }
    return s;
}

// One channel of interleaved samples (from 0; -1: the mean of the channels
// rounded to the nearest integer), as the floats the tracker takes.
std::vector<float> Tracked(const std::vector<std::int16_t>& interleaved, unsigned channels, int channel) {
    std::vector<float> out;
    for (std::size_t i = 0; i < interleaved.size(); i += channels) {
        double sum = 0;
        for (unsigned c = 0; c < channels; ++c) sum += interleaved[i + c];
        out.push_back(channel >= 0 ? interleaved[i + static_cast<unsigned>(channel)] : std::nearbyint(sum / channels));
    }
    return out;
}

// The contour of clip fed to a PitchStream in parts of `part` frames.
std::vector<std::int16_t> StreamedContour(const Pcm16Clip& clip, std::size_t part) {
    PitchStream stream;
    PitchContour contour;
    std::string why;
    EXPECT_TRUE(stream.Start(clip.channels, clip.sampleRate, PitchOptions{}, why)) << why;
    for (std::size_t first = 0; first < clip.Frames(); first += part)
        EXPECT_TRUE(
            stream.Add(clip.samples.data() + first * clip.channels, std::min(part, clip.Frames() - first), why));
    EXPECT_TRUE(stream.Finish(contour, why)) << why;
    return contour.pitch;
}

TEST(CliPitch, TextOutputEqualsOneDirectCallOfTheTracker) {
    RegisterCodec();
    wavtest::TempFolder folder;
    struct Case {
        std::uint32_t rate;
        unsigned channels;
        std::size_t frames;
    };
    // Mono at 16 kHz over several tracker calls, and at 4 kHz, where one
    // block read holds more than one call's windows; stereo at 11025 Hz (hop
    // 110) whose channels differ: the mean of both is tracked, or the one
    // asked for.
    for (const Case c : {Case{16000, 1, 16000 * 7 + 333}, Case{4000, 1, 4000 * 30 + 77}, Case{11025, 2, 11025 * 3}}) {
        const std::vector<std::int16_t> voice = Voice(c.frames, c.rate, 110, 240);
        const std::vector<std::int16_t> other = Voice(c.frames, c.rate, 300, 200);
        std::vector<std::int16_t> interleaved;
        for (std::size_t i = 0; i < voice.size(); ++i) {
            interleaved.push_back(voice[i]);
            if (c.channels == 2) interleaved.push_back(static_cast<std::int16_t>(other[i] / 3 + 1));
        }
        const std::string path = folder.Write("voice.wav", WavFile(1, static_cast<std::uint16_t>(c.channels), c.rate,
                                                                    16, Pcm(interleaved)));
        Pcm16Clip clip;
        PitchContour contour;
        std::string why, note;
        ASSERT_TRUE(ReadPcm16(path, clip, why)) << why;
        ASSERT_TRUE(TrackPitch(clip, PitchOptions{}, contour, why, &note)) << why;
        EXPECT_TRUE(note.empty());

        const std::vector<float> samples = Tracked(interleaved, c.channels, -1);
        const std::int32_t slots = static_cast<std::int32_t>(PitchSlotCount(c.frames, c.rate));
        std::vector<std::int16_t> direct(static_cast<std::size_t>(slots), -1);
        ExtractPitch(samples.data(), static_cast<std::int32_t>(samples.size()), static_cast<std::int16_t>(c.rate),
                     200.0f, direct.data(), slots);
        std::string expected;
        int voiced = 0;
        for (const std::int16_t p : direct) {
            expected += std::to_string(p) + "\n";
            voiced += p > 0;
        }
        EXPECT_GT(voiced, slots / 4) << "the signal must give a contour worth comparing";
        EXPECT_EQ(FormatContour(contour, ContourFormat::Text), expected) << c.rate;
        // The same read a block at a time, or arriving in parts of any size.
        Pcm16Reader reader;
        ASSERT_TRUE(reader.Open(path, why)) << why;
        ASSERT_TRUE(TrackPitch(reader, PitchOptions{}, contour, why)) << why;
        EXPECT_EQ(contour.pitch, direct);
        for (const std::size_t part : {std::size_t{1}, std::size_t{1000}, std::size_t{40000}})
            EXPECT_EQ(StreamedContour(clip, part), direct) << part << "-frame parts";
        // A file cut short while it is tracked fails with its name.
        ASSERT_TRUE(reader.Open(path, why)) << why;
        std::filesystem::resize_file(path, 44 + c.frames * c.channels);
        EXPECT_FALSE(TrackPitch(reader, PitchOptions{}, contour, why));
        EXPECT_EQ(why, path + ": became shorter while it was read");
        std::filesystem::remove(path);

        // Another level reaches the tracker as given.
        PitchOptions quiet;
        quiet.level = 5000.0f;
        ASSERT_TRUE(TrackPitch(clip, quiet, contour, why)) << why;
        std::vector<std::int16_t> scaled(static_cast<std::size_t>(slots));
        ExtractPitch(samples.data(), static_cast<std::int32_t>(samples.size()), static_cast<std::int16_t>(c.rate),
                     5000.0f, scaled.data(), slots);
        EXPECT_EQ(contour.pitch, scaled);

        // One channel asked for.
        for (int channel = 0; channel < static_cast<int>(c.channels); ++channel) {
            PitchOptions one;
            one.channel = channel;
            ASSERT_TRUE(TrackPitch(clip, one, contour, why)) << why;
            const std::vector<float> alone = Tracked(interleaved, c.channels, channel);
            ExtractPitch(alone.data(), static_cast<std::int32_t>(alone.size()), static_cast<std::int16_t>(c.rate),
                         200.0f, direct.data(), slots);
            EXPECT_EQ(contour.pitch, direct) << "channel " << channel;
            if (c.channels == 2) {
                EXPECT_NE(FormatContour(contour, ContourFormat::Text), expected);
            }
        }
        PitchOptions missing;
        missing.channel = static_cast<int>(c.channels);
        EXPECT_FALSE(TrackPitch(clip, missing, contour, why));
        EXPECT_NE(why.find("there is no channel"), std::string::npos) << why;
    }
}

TEST(CliPitch, SlotCountIsTheNumberOfWindowsTheTrackerAnalyses) {
    // max(0, ceil((frames - 1024) / (rate / 100))).
    EXPECT_EQ(PitchSlotCount(0, 16000), 0u);
    EXPECT_EQ(PitchSlotCount(1024, 16000), 0u);
    EXPECT_EQ(PitchSlotCount(1025, 16000), 1u);
    EXPECT_EQ(PitchSlotCount(1184, 16000), 1u);
    EXPECT_EQ(PitchSlotCount(1185, 16000), 2u);
    EXPECT_EQ(PitchSlotCount(2000, 16000), 7u);
    EXPECT_EQ(PitchSlotCount(9600000, 16000), 59994u);
    EXPECT_EQ(PitchSlotCount(2000, 11025), 9u);  // hop 110
    EXPECT_EQ(PitchSlotCount(5000, 99), 0u);     // no hop
    EXPECT_EQ(PitchSlotCount(5000, 100), 3976u);

    // Given more slots than that, the tracker writes exactly that many and
    // leaves the rest as they were; TrackPitch gives that many values.
    for (const std::uint32_t rate : {8000u, 16000u, 22050u, 32767u}) {
        for (const std::size_t frames : {std::size_t{0}, std::size_t{1024}, std::size_t{1025},
                                         std::size_t{1024 + rate / 100}, std::size_t{1025 + rate / 100},
                                         std::size_t{3 * rate}}) {
            const std::vector<std::int16_t> voice = Voice(frames, rate, 150, 150);
            const std::vector<float> samples(voice.begin(), voice.end());
            const std::uint64_t slots = PitchSlotCount(frames, rate);
            std::vector<std::int16_t> pitch(slots + 5, -7);
            ExtractPitch(samples.data(), static_cast<std::int32_t>(frames), static_cast<std::int16_t>(rate), 200.0f,
                         pitch.data(), static_cast<std::int32_t>(pitch.size()));
            // The fill rule copies slot m's entry value (-7) to every slot
            // no window reached; a window never yields a negative pitch.
            std::size_t analysed = 0;
            while (analysed < pitch.size() && pitch[analysed] != -7) ++analysed;
            EXPECT_EQ(analysed, slots) << rate << " Hz, " << frames << " frames";

            if (rate > kResampleRate) continue;  // tracked at 16 kHz (below)
            Pcm16Clip clip;
            clip.channels = 1;
            clip.sampleRate = rate;
            clip.samples.assign(voice.begin(), voice.end());
            PitchContour contour;
            std::string why;
            ASSERT_TRUE(TrackPitch(clip, PitchOptions{}, contour, why)) << why;
            ASSERT_EQ(contour.pitch.size(), slots);
            EXPECT_TRUE(std::equal(contour.pitch.begin(), contour.pitch.end(), pitch.begin()));
        }
    }
}

TEST(CliWav, NonPcm16AndMalformedFilesAreRefusedWithAReason) {
    RegisterCodec();
    wavtest::TempFolder folder;
    const Bytes frames(1200, 0x11);
    struct Refused {
        std::string name;
        Bytes bytes;
        std::string encoding;
    };
    const std::vector<Refused> converted = {
        {"pcm24.wav", WavFile(1, 1, 48000, 24, frames), "24-bit PCM"},
        {"float.wav", WavFile(3, 2, 44100, 32, frames), "32-bit float"},
        {"pcm8.wav", WavFile(1, 1, 8000, 8, frames), "8-bit PCM (unsigned)"},
        {"ext24.wav", WavFile(1, 2, 48000, 24, frames, true), "24-bit PCM (extensible)"},
        {"alaw.wav", WavFile(6, 1, 8000, 8, frames), "A-law"},
    };
    for (const Refused& r : converted) {
        const std::string path = folder.Write(r.name, r.bytes);
        WavDescription d;
        std::string why;
        ASSERT_TRUE(DescribeWav(path, d, why)) << why;
        EXPECT_FALSE(d.IsPcm16());
        EXPECT_EQ(d.frames, frames.size() / d.blockAlign);
        Pcm16Clip clip;
        WavDescription seen;
        EXPECT_FALSE(ReadPcm16(path, clip, why, &seen));
        EXPECT_TRUE(seen.described);
        EXPECT_NE(why.find(path + " is " + r.encoding + "; sorn reads 16-bit PCM WAV only"), std::string::npos) << why;
        EXPECT_NE(why.find("sox " + path + " -b 16 -e signed-integer "), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }

    // Compressed data counts its frames in the fact chunk.
    {
        Bytes adpcm = WavFile(0x11, 1, 8000, 4, frames);
        Bytes fact;
        Put32(fact, 2041);
        const Bytes factChunk = wavtest::Chunk("fact", fact);
        adpcm.insert(adpcm.begin() + 36, factChunk.begin(), factChunk.end());
        WavDescription d;
        std::string why;
        ASSERT_TRUE(DescribeWav(folder.Write("ima.wav", adpcm), d, why)) << why;
        EXPECT_EQ(d.EncodingName(), "IMA ADPCM");
        EXPECT_EQ(d.frames, 2041u);
    }

    // Extensible 16-bit PCM is 16-bit PCM, and the codec reads it.
    {
        const std::string path = folder.Write("ext16.wav", WavFile(1, 2, 16000, 16, frames, true));
        Pcm16Clip clip;
        std::string why;
        ASSERT_TRUE(ReadPcm16(path, clip, why)) << why;
        EXPECT_EQ(clip.Frames(), frames.size() / 4);
        EXPECT_EQ(clip.channels, 2);
    }

    Bytes noData = WavFile(1, 1, 16000, 16, {});
    noData.resize(noData.size() - 8);
    Bytes zeroChannels = WavFile(1, 1, 16000, 16, frames);
    zeroChannels[22] = 0;
    Bytes listFirst;
    Put(listFirst, "RIFF");
    Put32(listFirst, 0);
    Put(listFirst, "WAVE");
    Put(listFirst, wavtest::Chunk("LIST", Bytes(10, 'x')));
    const Bytes pcm16 = WavFile(1, 1, 16000, 16, frames);
    Put(listFirst, Bytes(pcm16.begin() + 12, pcm16.end()));
    // "data" inside an earlier chunk is no data chunk, for the codec as for
    // the description: the file reads whole.
    Bytes strayId = pcm16;
    const Bytes note = wavtest::Chunk("note", Bytes{'d', 'a', 't', 'a', 8, 0, 0, 0});
    strayId.insert(strayId.begin() + 36, note.begin(), note.end());
    {
        Pcm16Clip clip;
        std::string why;
        ASSERT_TRUE(ReadPcm16(folder.Write("stray.wav", strayId), clip, why)) << why;
        EXPECT_EQ(clip.samples.size(), frames.size() / 2);
        EXPECT_EQ(clip.samples[0], 0x1111);
    }
    struct Malformed {
        std::string name;
        Bytes bytes;
        std::string reason;
    };
    const std::vector<Malformed> malformed = {
        {"empty.wav", {}, "is empty (0 bytes)"},
        {"short.wav", Bytes{'R', 'I', 'F', 'F'}, "is too short for a WAV file (4 bytes)"},
        {"text.wav", Bytes(64, 'x'), "is not a RIFF/WAVE file (it starts with \"xxxx\")"},
        {"nodata.wav", noData, "has no data chunk"},
        {"mono0.wav", zeroChannels, "declares 0 channels"},
        {"list.wav", listFirst, "has a chunk before its format chunk, which the module's WAV codec does not read"},
    };
    for (const Malformed& m : malformed) {
        const std::string path = folder.Write(m.name, m.bytes);
        Pcm16Clip clip;
        std::string why;
        EXPECT_FALSE(ReadPcm16(path, clip, why)) << m.name;
        EXPECT_NE(why.find(path + ": "), std::string::npos) << why;
        EXPECT_NE(why.find(m.reason), std::string::npos) << why;
    }
    Pcm16Clip clip;
    std::string why;
    EXPECT_FALSE(ReadPcm16(folder.Path("missing.wav"), clip, why));
    EXPECT_NE(why.find("cannot be read: No such file or directory"), std::string::npos) << why;
    EXPECT_FALSE(ReadPcm16(folder.Path(""), clip, why));
    EXPECT_NE(why.find("is a directory"), std::string::npos) << why;
}

// Whether every sample a tracker call was given is a 16-bit integer.
bool allIntegers = true;
void IntegerCheckingTracker(const float* samples, std::int32_t count, std::int16_t rate, float level,
                            std::int16_t* pitch, std::int32_t pitchCount) {
    for (std::int32_t i = 0; i < count; ++i)
        allIntegers &= samples[i] == std::nearbyint(samples[i]) && std::fabs(samples[i]) <= 32768;
    ExtractPitch(samples, count, rate, level, pitch, pitchCount);
}

TEST(CliPitch, RatesAbove16kAreResampledTo16kAsIntegers) {
    // 2 s of a steady 200 Hz voice at 44.1 kHz: resampled, tracked at 16 kHz.
    Pcm16Clip clip;
    clip.channels = 1;
    clip.sampleRate = 44100;
    const std::vector<std::int16_t> voice = Voice(44100 * 2, 44100, 200, 200);
    clip.samples.assign(voice.begin(), voice.end());
    PitchContour contour;
    std::string why, note;
    PitchOptions checking;
    checking.tracker = &IntegerCheckingTracker;
    ASSERT_TRUE(TrackPitch(clip, checking, contour, why, &note)) << why;
    EXPECT_TRUE(allIntegers) << "the resampled signal is rounded to 16-bit integers";
    EXPECT_TRUE(contour.resampled);
    EXPECT_EQ(contour.rate, 16000u);
    EXPECT_EQ(contour.sourceRate, 44100u);
    EXPECT_EQ(note, "resampled from 44100 Hz to 16000 Hz for the pitch tracker");
    // 32000 samples at 16 kHz, give or take the resampler's rounding.
    EXPECT_NEAR(static_cast<double>(contour.pitch.size()), static_cast<double>(PitchSlotCount(32000, 16000)), 1.0);
    // However the clip arrives, the resampler gives the same samples.
    for (const std::size_t part : {std::size_t{777}, std::size_t{50000}})
        EXPECT_EQ(StreamedContour(clip, part), contour.pitch);
    int near200 = 0, voiced = 0;
    for (const std::int16_t p : contour.pitch) {
        voiced += p > 0;
        near200 += p > 0 && std::abs(p - 200) <= 6;
    }
    EXPECT_GT(voiced, static_cast<int>(contour.pitch.size()) / 3);
    EXPECT_GT(near200, voiced * 9 / 10);

    // Low voices at every rate above 16 kHz: tracked at 16 kHz, where the
    // window reaches down to 64 Hz.
    for (const std::uint32_t rate : {22050u, 24000u, 32000u, 32767u}) {
        for (const double f : {80.0, 100.0, 120.0}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, a voice at " + std::to_string(f) + " Hz");
            const std::vector<std::int16_t> low = Voice(rate * 2, rate, f, f);
            clip.sampleRate = rate;
            clip.samples.assign(low.begin(), low.end());
            ASSERT_TRUE(TrackPitch(clip, PitchOptions{}, contour, why, &note)) << why;
            EXPECT_TRUE(contour.resampled);
            EXPECT_EQ(note, "resampled from " + std::to_string(rate) + " Hz to 16000 Hz for the pitch tracker");
            int right = 0;
            for (const std::int16_t p : contour.pitch) right += p > 0 && std::abs(p - f) <= f * 0.03;
            EXPECT_GT(right, static_cast<int>(contour.pitch.size()) / 2);
        }
    }
    // 16 kHz itself is tracked as it is.
    clip.sampleRate = 16000;
    ASSERT_TRUE(TrackPitch(clip, PitchOptions{}, contour, why, &note)) << why;
    EXPECT_FALSE(contour.resampled);
    EXPECT_TRUE(note.empty());
    EXPECT_EQ(contour.pitch.size(), PitchSlotCount(clip.samples.size(), 16000));

    // Levels and rates the tracker cannot use are refused.
    PitchOptions bad;
    for (const float level : {0.0f, -1.0f, NAN, INFINITY}) {
        bad.level = level;
        EXPECT_FALSE(TrackPitch(clip, bad, contour, why));
        EXPECT_EQ(why, "the level must be a positive number");
    }
    clip.sampleRate = 99;
    EXPECT_FALSE(TrackPitch(clip, PitchOptions{}, contour, why));
    EXPECT_NE(why.find("99 Hz is too low"), std::string::npos) << why;
    clip.sampleRate = 768001;
    EXPECT_FALSE(TrackPitch(clip, PitchOptions{}, contour, why));
    EXPECT_NE(why.find("768001 Hz is beyond what sorn resamples"), std::string::npos) << why;
}

TEST(CliOutput, CsvJsonInfoAndPlotCarryTimesAndFields) {
    PitchContour contour;
    contour.rate = 16000;
    contour.sourceRate = 16000;
    contour.hop = 160;
    contour.pitch = {0, 120, 0, 250};
    // Times are the centres of the windows: (m * 160 + 256) / 16000.
    EXPECT_EQ(FormatContour(contour, ContourFormat::Csv),
              "time_s,pitch_hz\n0.01600,0\n0.02600,120\n0.03600,0\n0.04600,250\n");
    const std::string json = FormatContour(contour, ContourFormat::Json);
    EXPECT_EQ(json.substr(0, 72), "{\"rate\":16000,\"source_rate\":16000,\"resampled\":false,\"hop\":160,\"window\":5");
    EXPECT_NE(json.find("\"contour\":[\n{\"t\":0.01600,\"hz\":0},\n{\"t\":0.02600,\"hz\":120}"), std::string::npos);
    EXPECT_EQ(json.substr(json.size() - 27), ",\n{\"t\":0.04600,\"hz\":250}]}\n");
    EXPECT_EQ(FormatContour(PitchContour{}, ContourFormat::Text), "");

    WavDescription d;
    d.formatTag = d.encodingTag = 1;
    d.channels = 2;
    d.sampleRate = 44100;
    d.blockAlign = 4;
    d.bitsPerSample = d.validBits = 16;
    d.frames = 88200;
    EXPECT_EQ(InfoText("a.wav", d),
              "file: a.wav\nformat: 16-bit PCM (tag 0x0001)\nbits: 16\nchannels: 2\nrate: 44100 Hz\nframes: 88200\n"
              "duration: 2.000 s\n");
    EXPECT_EQ(InfoJson("say \"a\".wav", d),
              "{\"file\":\"say \\\"a\\\".wav\",\"format\":\"16-bit PCM\",\"format_tag\":1,\"extensible\":false,"
              "\"sub_format_tag\":1,\"bits\":16,\"valid_bits\":16,\"channels\":2,\"rate\":44100,\"block_align\":4,"
              "\"frames\":88200,\"duration_s\":2.000000,\"truncated\":false,\"pcm16\":true}\n");

    const std::string svg = PitchPlotSvg(contour, "a <b> & c");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("a &lt;b&gt; &amp; c"), std::string::npos);
    EXPECT_NE(svg.find(">time (s)<"), std::string::npos);
    EXPECT_NE(svg.find(">pitch (Hz)<"), std::string::npos);
    std::size_t dots = 0;
    for (std::size_t at = svg.find("h0"); at != std::string::npos; at = svg.find("h0", at + 2)) ++dots;
    EXPECT_EQ(dots, 2u);  // one per voiced value
    EXPECT_NE(svg.find("2 of 4 values voiced"), std::string::npos);
    EXPECT_NE(PitchPlotSvg(PitchContour{}, "").find("no voiced frames"), std::string::npos);
    EXPECT_DOUBLE_EQ(NiceStep(7.3, 10), 1.0);
    EXPECT_DOUBLE_EQ(NiceStep(600, 10), 100.0);
    EXPECT_DOUBLE_EQ(NiceStep(130, 6), 50.0);

    std::string why;
    EXPECT_FALSE(WriteTextFile("/nonexistent-folder/plot.svg", svg, why));
    EXPECT_EQ(why, "/nonexistent-folder/plot.svg: cannot be written: No such file or directory");
}

}  // namespace
