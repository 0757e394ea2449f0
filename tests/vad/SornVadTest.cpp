// The end-of-speech detector on speech synthesised with espeak-ng (resampled
// by sox) at test time, and on silence, noise, clicks and hostile input
// made in code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "SpokenClips.h"
#include "core_contract/SornVad.h"

namespace {

using Samples = std::vector<short>;

constexpr int kRate = 16000;
constexpr double kMinDelayMs = 300.0;
constexpr double kMaxDelayMs = 800.0;

// Speaks text (espeak-ng, resampled by sox to rate), or reads the clip the
// build rendered of it. Empty on failure.
Samples Speak(const std::string& voice, int pitch, int speed, const std::string& text, int rate) {
    const std::vector<std::int16_t> samples = spoken::Speak({voice, pitch, speed, text, rate, true});
    return Samples(samples.begin(), samples.end());
}

// Drops espeak's own quiet lead-in and tail: the clip then runs from the
// first to the last sample above a small threshold.
constexpr int kQuiet = 100;  // about -50 dB of full scale

Samples Trim(const Samples& s) {
    auto loud = [](short v) { return std::abs(int{v}) > kQuiet; };
    auto first = std::find_if(s.begin(), s.end(), loud);
    auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    return first < last ? Samples(first, last) : Samples();
}

Samples Zeros(double ms, int rate = kRate) { return Samples(static_cast<size_t>(ms * rate / 1000)); }

Samples Join(std::initializer_list<Samples> parts) {
    Samples out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

short Clip(double v) { return static_cast<short>(std::clamp(std::lround(v), -32768L, 32767L)); }

// Adds white noise of the given RMS, from a fixed seed, to every sample.
Samples AddNoise(Samples s, double rms, unsigned seed = 1) {
    unsigned state = seed * 2654435761u + 1;
    const double scale = rms * std::sqrt(3.0);  // uniform in [-a, a] has RMS a/sqrt(3)
    for (auto& v : s) {
        state = state * 1664525u + 1013904223u;
        const double u = (state >> 8) / double(1u << 24) * 2.0 - 1.0;
        v = Clip(v + scale * u);
    }
    return s;
}

struct Verdicts {
    long firstSpeech = -1;  // end of the first block that gave 1, in samples
    long firstEnd = -1;     // end of the first block that gave 2
    bool endTakenBack = false;  // a verdict other than 2 after a 2
};

// Feeds s to the detector in blocks of block samples (the last may be
// shorter) and notes where the verdicts first change.
Verdicts Feed(SornVad& vad, Samples s, size_t block) {
    Verdicts v;
    for (size_t at = 0; at < s.size(); at += block) {
        const auto n = static_cast<unsigned>(std::min(block, s.size() - at));
        const SornVADFlag flag = vad.Detect(s.data() + at, n);
        const long end = static_cast<long>(at + n);
        if (flag == SORN_VAD_SPEECH && v.firstSpeech < 0) v.firstSpeech = end;
        if (flag == SORN_VAD_SPEECH_END && v.firstEnd < 0) v.firstEnd = end;
        if (flag != SORN_VAD_SPEECH_END && v.firstEnd >= 0) v.endTakenBack = true;
    }
    return v;
}

Verdicts Feed(Samples s, size_t block, unsigned rate = kRate) {
    SornVad vad(rate);
    return Feed(vad, std::move(s), block);
}

double Ms(long samples, int rate = kRate) { return samples * 1000.0 / rate; }

struct Utterance {
    const char* voice;
    int pitch;
    int speed;
    const char* text;
};

const Utterance kUtterances[] = {
    {"en", 50, 175, "The quick brown fox jumps over the lazy dog"},
    {"en+f3", 60, 160, "Please record your answer after the tone"},
    {"en-us", 30, 190, "How much wood would a woodchuck chuck"},
    {"en+m3", 40, 140, "Seven silver swans were swimming slowly"},
    {"en+f2", 80, 200, "I would like a cup of tea with milk"},
    {"en-gb-scotland", 50, 170, "Thank you"},
    {"en+f4", 70, 150, "Good morning everybody"},
    {"en-us", 20, 120, "This sentence ends with a soft fricative sss"},
};

// Utterance i, trimmed, generated once per rate.
const Samples& Utter(size_t i, int rate = kRate) {
    static std::map<std::pair<size_t, int>, Samples> cache;
    auto [it, added] = cache.try_emplace({i, rate});
    if (added) {
        const auto& u = kUtterances[i];
        it->second = Trim(Speak(u.voice, u.pitch, u.speed, u.text, rate));
    }
    return it->second;
}

constexpr size_t kUtteranceCount = std::size(kUtterances);

class VadSpeech : public ::testing::Test {
protected:
    void SetUp() override {
        if (!spoken::Available()) GTEST_SKIP() << "espeak-ng or sox is not installed; the test command installs both";
        ASSERT_GT(Utter(0).size(), size_t{kRate / 4}) << "espeak-ng gave no speech";
    }
};

// Mixes speech into background at sample at, feeds the result in 10 ms
// blocks, checks the verdicts around the end of speech and returns the
// end-of-speech delay in ms. Speech fainter than the noise cannot be heard:
// it ends with its last sample well above the noise.
double CheckEndIn(const Samples& speech, Samples background, size_t at, double noiseRms,
                  int rate = kRate) {
    for (size_t k = 0; k < speech.size(); ++k) background[at + k] = Clip(static_cast<double>(background[at + k]) + speech[k]);
    long tail = static_cast<long>(speech.size());
    while (tail > 0 && std::abs(int{speech[tail - 1]}) <= std::max<double>(kQuiet, 3 * noiseRms)) --tail;
    const long speechEnd = static_cast<long>(at) + tail;
    const Verdicts v = Feed(std::move(background), static_cast<size_t>(rate / 100), rate);
    EXPECT_GE(v.firstSpeech, 0) << "speech never recognised";
    EXPECT_LT(v.firstSpeech, speechEnd);
    EXPECT_FALSE(v.endTakenBack) << "2 must hold until Reset";
    if (v.firstEnd < 0) {
        ADD_FAILURE() << "no end of speech";
        return -1;
    }
    const double delay = Ms(v.firstEnd - speechEnd, rate);
    EXPECT_GE(delay, kMinDelayMs);
    EXPECT_LE(delay, kMaxDelayMs);
    if (std::getenv("SORN_VAD_VERBOSE")) std::printf("delay %.0f ms (noise %.0f)\n", delay, noiseRms);
    return delay;
}

// One clip after lead ms of silence and before 2 s of silence, with white
// noise of rms over it all when rms is not 0.
double CheckEnd(const Samples& speech, double leadMs, double noiseRms, int rate = kRate) {
    const size_t at = Zeros(leadMs, rate).size();
    Samples background(at + speech.size() + Zeros(2000, rate).size());
    if (noiseRms > 0) background = AddNoise(std::move(background), noiseRms);
    return CheckEndIn(speech, std::move(background), at, noiseRms, rate);
}

// Noise made by sox, with more low-frequency swing than white noise.
Samples SoxNoise(const std::string& kind, const char* volume, int seconds) {
    const std::vector<std::int16_t> samples = spoken::Noise(kind, volume, seconds);
    return Samples(samples.begin(), samples.end());
}

double Rms(const Samples& s) {
    double sum = 0;
    for (short v : s) sum += static_cast<double>(v) * v;
    return s.empty() ? 0.0 : std::sqrt(sum / s.size());
}

TEST_F(VadSpeech, EndsWithinTheWindowAfterEachUtterance) {
    std::vector<double> delays;
    for (size_t i = 0; i < kUtteranceCount; ++i) {
        SCOPED_TRACE("utterance " + std::to_string(i) + ": " + kUtterances[i].text);
        delays.push_back(CheckEnd(Utter(i), 300, 0));
    }
    std::sort(delays.begin(), delays.end());
    std::printf("end-of-speech delay over %zu utterances, 10 ms blocks: min %.0f ms, median %.0f ms, "
                "max %.0f ms\n",
                delays.size(), delays.front(), delays[delays.size() / 2], delays.back());
    RecordProperty("delay_min_ms", static_cast<int>(delays.front()));
    RecordProperty("delay_max_ms", static_cast<int>(delays.back()));
}

TEST_F(VadSpeech, EndsWithinTheWindowInNoiseAndWithoutLeadIn) {
    for (double rms : {10.0, 60.0, 200.0}) {
        SCOPED_TRACE("noise rms " + std::to_string(rms));
        for (size_t i = 0; i < kUtteranceCount; i += 2) CheckEnd(Utter(i), 500, rms);
    }
    // The recording starts in the middle of speech.
    for (size_t i = 0; i < kUtteranceCount; i += 3) CheckEnd(Utter(i), 0, 0);
}

TEST_F(VadSpeech, OffsetQuietAndClippedSpeech) {
    const Samples& speech = Utter(0);
    Samples offset = Join({Zeros(300), speech, Zeros(2000)});
    for (auto& v : offset) v = Clip(v + 12000.0);  // DC offset, clipped at the top
    Samples quiet(speech), loud(speech);
    for (auto& v : quiet) v = static_cast<short>(v / 20);  // -26 dB
    for (auto& v : loud) v = Clip(v * 8.0);                // clipped hard
    {
        SCOPED_TRACE("offset");
        const long speechEnd = static_cast<long>(Zeros(300).size() + speech.size());
        const Verdicts v = Feed(offset, 160);
        ASSERT_GE(v.firstEnd, 0);
        EXPECT_GE(Ms(v.firstEnd - speechEnd), kMinDelayMs);
        EXPECT_LE(Ms(v.firstEnd - speechEnd), kMaxDelayMs);
    }
    {
        SCOPED_TRACE("quiet");
        CheckEnd(Trim(quiet), 300, 0);
    }
    {
        SCOPED_TRACE("clipped");
        CheckEnd(loud, 300, 0);
    }
    {
        // Peaks about 18 dB over the noise: weak sounds within the speech
        // must not drag the floor up until the speech no longer stands out.
        SCOPED_TRACE("quiet in noise");
        Samples faint(speech);
        for (auto& v : faint) v = static_cast<short>(v / 10);
        CheckEnd(faint, 1000, 100);
    }
}

// The verdict does not depend on how the stream is cut into blocks: 2 comes
// on the block that holds the frame where speech is found to have ended.
TEST_F(VadSpeech, BlockSizeDoesNotMoveTheVerdict) {
    for (size_t i : {size_t{0}, size_t{5}}) {
        const Samples s = AddNoise(Join({Zeros(300), Utter(i), Zeros(2000)}), 30, 7);
        const long frameEnd = Feed(s, 1).firstEnd;
        ASSERT_GT(frameEnd, 0);
        for (size_t block : {7, 160, 161, 1600, 4000, 4801, 8000, 100000}) {
            SCOPED_TRACE("block " + std::to_string(block));
            const long expected = std::min<long>((frameEnd + block - 1) / block * block, s.size());
            EXPECT_EQ(Feed(s, block).firstEnd, expected);
        }
    }
}

TEST_F(VadSpeech, OtherSampleRates) {
    for (int rate : {8000, 44100, 48000}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        for (size_t i = 0; i < kUtteranceCount; i += 3) CheckEnd(Utter(i, rate), 300, 0, rate);
    }
}

// Pauses inside speech shorter than the hang-over do not end it.
TEST_F(VadSpeech, ShortPausesDoNotEndSpeech) {
    for (double pause : {200.0, 280.0}) {
        for (double noise : {0.0, 40.0}) {
            SCOPED_TRACE("pause " + std::to_string(pause) + " ms, noise " + std::to_string(noise));
            const Samples& a = Utter(1);
            const Samples& b = Utter(6);
            const Samples head = Join({Zeros(300), a, Zeros(pause), b});
            Samples s = Join({head, Zeros(2000)});
            if (noise > 0) s = AddNoise(std::move(s), noise);
            const Verdicts v = Feed(s, 160);
            ASSERT_GE(v.firstEnd, 0);
            EXPECT_GE(Ms(v.firstEnd - static_cast<long>(head.size())), kMinDelayMs);
            EXPECT_LE(Ms(v.firstEnd - static_cast<long>(head.size())), kMaxDelayMs);
        }
    }
}

// Rooms made by sox: white, pink and brown noise (the last a rumble whose
// level swings by 15 dB from frame to frame) at four levels, 12 s each.
struct Room {
    std::string name;
    Samples noise;
    double rms;
};

const std::vector<Room>& Rooms() {
    static std::vector<Room> rooms;
    if (rooms.empty()) {
        for (const char* kind : {"whitenoise", "pinknoise", "brownnoise"}) {
            for (const char* vol : {"0.002", "0.005", "0.01", "0.03"}) {
                Samples noise = SoxNoise(kind, vol, 12);
                const double rms = Rms(noise);
                rooms.push_back({std::string(kind) + " vol " + vol, std::move(noise), rms});
            }
        }
    }
    return rooms;
}

Samples Dropout(Samples s, double atMs, double ms) {
    std::fill_n(s.begin() + static_cast<long>(Zeros(atMs).size()), Zeros(ms).size(), short{0});
    return s;
}

// Passing traffic: the level swells by db and falls back between two times.
Samples Swell(Samples s, double fromMs, double toMs, double db) {
    const size_t from = Zeros(fromMs).size(), to = std::min(Zeros(toMs).size(), s.size());
    for (size_t k = from; k < to; ++k) {
        const double phase = (Ms(static_cast<long>(k)) - fromMs) / (toMs - fromMs);
        s[k] = Clip(s[k] * std::pow(10.0, db / 20 * std::sin(std::numbers::pi * phase)));
    }
    return s;
}

// A quiet room (RMS 6) for two seconds, then the noise: a fan starts.
Samples AfterQuiet(const Samples& noise) { return Join({AddNoise(Zeros(2000), 6, 21), noise}); }

TEST_F(VadSpeech, RoomNoiseNeverEnds) {
    for (const auto& room : Rooms()) {
        ASSERT_GT(room.noise.size(), size_t{10 * kRate}) << "sox made no noise";
        const Samples& n = room.noise;
        const std::pair<const char*, Samples> cases[] = {
            {"from the start", n},
            {"after digital silence", Join({Zeros(1000), n})},
            {"after a quiet room", AfterQuiet(n)},
            {"swelling by 12 dB", Swell(n, 2000, 4000, 12)},
            {"swelling by 14 dB", Swell(n, 2000, 3500, 14)},
            {"dropping out", Dropout(n, 3000, 300)},
            {"dropping out early", Dropout(Join({Zeros(1000), n}), 2000, 500)},
        };
        for (const auto& [what, samples] : cases) {
            SCOPED_TRACE(room.name + " " + what);
            EXPECT_EQ(Feed(samples, 160).firstEnd, -1);
        }
        // Noise that was there from the first sound and stops for good: the
        // stretch that set the floor guess was no speech.
        const Samples head(n.begin(), n.begin() + static_cast<long>(Zeros(1200).size()));
        for (const auto& [what, samples] : {std::pair{"stopping", Join({head, Zeros(3000)})},
                                            std::pair{"stopping after digital silence",
                                                      Join({Zeros(500), head, Zeros(3000)})},
                                            std::pair{"falling to a quiet room",
                                                      Join({head, AddNoise(Zeros(3000), 3, 4)})}}) {
            SCOPED_TRACE(room.name + " " + what);
            EXPECT_EQ(Feed(samples, 1600).firstEnd, -1);
        }
    }
}

TEST_F(VadSpeech, SpeechEndsInEveryRoom) {
    for (const auto& room : Rooms()) {
        const Samples& n = room.noise;
        const double r = room.rms;
        for (double at : {300.0, 1000.0, 2500.0}) {
            SCOPED_TRACE(room.name + ", speech at +" + std::to_string(at) + " ms");
            {
                SCOPED_TRACE("from the start");
                CheckEndIn(Utter(0), n, Zeros(at).size(), r);
            }
            {
                // A device that starts with digital silence, and the speaker
                // starts as soon as the room is heard.
                SCOPED_TRACE("after digital silence");
                CheckEndIn(Utter(0), Join({Zeros(1000), n}), Zeros(1000 + at).size(), r);
            }
            {
                SCOPED_TRACE("after a quiet room");
                CheckEndIn(Utter(6), AfterQuiet(n), Zeros(2000 + at).size(), r);
            }
            {
                SCOPED_TRACE("after the line dropped out");
                CheckEndIn(Utter(1), Dropout(n, 1000, 300), Zeros(1300 + at).size(), r);
            }
        }
        SCOPED_TRACE(room.name + ", after a swell");
        CheckEndIn(Utter(0), Swell(n, 1000, 2500, 12), Zeros(3000).size(), r);
    }
}

// The recording starts while someone speaks (or right after digital
// silence), so the speech itself is the first sound heard; it ends in
// digital silence or in a quiet room. The end comes within the window even
// though speech is recognised only after it.
// Returns the delay in ms, or -1.
double CheckEndAfterStart(const Samples& speech, double leadMs, const Samples& tail, size_t block) {
    const Samples s = Join({Zeros(leadMs), speech, tail});
    const long speechEnd = static_cast<long>(Zeros(leadMs).size() + speech.size());
    const Verdicts v = Feed(s, block);
    EXPECT_FALSE(v.endTakenBack);
    if (v.firstEnd < 0) {
        ADD_FAILURE() << "no end of speech";
        return -1;
    }
    const double delay = Ms(v.firstEnd - speechEnd);
    EXPECT_GE(delay, kMinDelayMs);
    EXPECT_LE(delay, kMaxDelayMs);
    return delay;
}

void PrintDelays(const char* what, std::vector<double> delays) {
    std::sort(delays.begin(), delays.end());
    std::printf("end-of-speech delay, %s, %zu runs: min %.0f ms, median %.0f ms, max %.0f ms\n", what,
                delays.size(), delays.front(), delays[delays.size() / 2], delays.back());
}

const Samples kSilentTail = Zeros(2000);
const Samples kQuietTail = AddNoise(Zeros(2000), 20, 15);

TEST_F(VadSpeech, SpeechHeardFirstEnds) {
    std::vector<double> delays;
    for (size_t i = 0; i < kUtteranceCount; ++i) {
        for (double lead : {0.0, 500.0}) {
            for (const Samples* tail : {&kSilentTail, &kQuietTail}) {
                SCOPED_TRACE(std::string(kUtterances[i].text) + ", lead " + std::to_string(lead) +
                             (tail == &kSilentTail ? ", digital silence" : ", quiet room"));
                delays.push_back(CheckEndAfterStart(Utter(i), lead, *tail, 1600));
            }
        }
    }
    PrintDelays("speech heard first, 1600-sample blocks", delays);
}

TEST_F(VadSpeech, ClickBeforeSpeechIsForgotten) {
    Samples click = Zeros(1000);
    click[8000] = 32767;
    click[8001] = -32768;
    click[8002] = 32767;
    CheckEndIn(Utter(2), Join({click, Zeros(Ms(static_cast<long>(Utter(2).size())) + 2000)}), click.size(), 0);
}

TEST_F(VadSpeech, ClickAfterSpeechDoesNotRestartIt) {
    Samples s = Join({Zeros(300), Utter(4), Zeros(2000)});
    const size_t speechEnd = Zeros(300).size() + Utter(4).size();
    const long plain = Feed(s, 160).firstEnd;
    ASSERT_GT(plain, 0);
    s[speechEnd + Zeros(200).size()] = 32767;
    s[speechEnd + Zeros(200).size() + 1] = -32768;
    EXPECT_EQ(Feed(s, 160).firstEnd, plain);
}

TEST_F(VadSpeech, ResetStartsOverAndTheEndVerdictHolds) {
    const Samples s = Join({Zeros(300), Utter(2), Zeros(2000)});
    SornVad vad;
    const Verdicts first = Feed(vad, s, 320);
    ASSERT_GE(first.firstEnd, 0);
    // Further speech does not take the verdict back.
    EXPECT_EQ(vad.Detect(const_cast<short*>(Utter(3).data()), 3200), SORN_VAD_SPEECH_END);
    vad.Reset();
    Samples silence = Zeros(1000);
    EXPECT_EQ(vad.Detect(silence.data(), static_cast<unsigned>(silence.size())), SORN_VAD_NO_SPEECH);
    vad.Reset();
    const Verdicts again = Feed(vad, s, 320);
    EXPECT_EQ(again.firstSpeech, first.firstSpeech);
    EXPECT_EQ(again.firstEnd, first.firstEnd);

    // A reset in the middle of a partial frame drops it.
    vad.Reset();
    vad.Detect(const_cast<short*>(Utter(0).data()), 1234);
    vad.Reset();
    EXPECT_EQ(Feed(vad, s, 320).firstEnd, first.firstEnd);

    // A copy carries on where the original stood.
    SornVad original;
    Feed(original, Samples(s.begin(), s.begin() + 8000), 160);
    SornVad copy = original;
    const Samples rest(s.begin() + 8000, s.end());
    EXPECT_EQ(Feed(copy, rest, 160).firstEnd, Feed(original, rest, 160).firstEnd);
}

// Sounds that are not speech: the detector never reports an end.
struct NotSpeech {
    std::string name;
    Samples samples;
};

std::vector<NotSpeech> NotSpeechCases() {
    std::vector<NotSpeech> cases;
    cases.push_back({"silence", Zeros(5000)});
    for (double rms : {3.0, 30.0, 150.0, 500.0, 2000.0}) {
        cases.push_back({"white noise rms " + std::to_string(rms), AddNoise(Zeros(5000), rms, 3)});
    }
    Samples click = Zeros(4000);
    click[16000] = 32767;
    cases.push_back({"one-sample click", click});
    Samples knock = Zeros(4000);
    for (int k = 0; k < 48; ++k) knock[20000 + k] = Clip(30000.0 * std::exp(-k / 10.0) * ((k & 1) ? -1 : 1));
    cases.push_back({"3 ms knock", knock});
    Samples noisyClick = AddNoise(Zeros(4000), 50, 5);
    noisyClick[20000] = -32768;
    noisyClick[20001] = 32767;
    cases.push_back({"click in noise", noisyClick});
    Samples twoClicks = AddNoise(Zeros(4000), 20, 6);
    twoClicks[16000] = 25000;
    twoClicks[16000 + 4000] = -25000;  // 250 ms apart
    cases.push_back({"two clicks in noise", twoClicks});
    Samples hum = Zeros(5000);
    for (size_t k = 0; k < hum.size(); ++k) hum[k] = Clip(800 * std::sin(2 * std::numbers::pi * 50 * k / kRate));
    cases.push_back({"50 Hz hum", AddNoise(hum, 10, 8)});
    Samples dc(5 * kRate, 20000);
    cases.push_back({"constant offset", dc});
    Samples step = Zeros(4000);
    std::fill(step.begin() + kRate, step.end(), short{-15000});
    cases.push_back({"offset step in noise", AddNoise(step, 20, 14)});
    cases.push_back({"silence, then noise", Join({Zeros(1000), AddNoise(Zeros(4000), 200, 9)})});
    // Passing traffic: the background swells by 12 dB and falls back.
    Samples swell = AddNoise(Zeros(6000), 50, 10);
    for (size_t k = 0; k < swell.size(); ++k) {
        const double t = double(k) / kRate;
        const double gain = t < 1.5 || t > 3.0 ? 1.0 : 1.0 + 3.0 * std::sin(std::numbers::pi * (t - 1.5) / 1.5);
        swell[k] = Clip(swell[k] * gain);
    }
    cases.push_back({"swelling noise", swell});
    Samples square(3 * kRate);
    for (size_t k = 0; k < square.size(); ++k) square[k] = (k / 20) % 2 ? 32767 : -32768;
    cases.push_back({"full-scale square wave", square});
    Samples alternating(3 * kRate);
    for (size_t k = 0; k < alternating.size(); ++k) alternating[k] = k % 2 ? 32767 : -32768;
    cases.push_back({"full-scale alternation", alternating});
    return cases;
}

TEST(SornVadTest, NoEndWithoutSpeech) {
    for (const auto& c : NotSpeechCases()) {
        for (size_t block : {160, 1600, 4001}) {
            SCOPED_TRACE(c.name + ", block " + std::to_string(block));
            EXPECT_EQ(Feed(c.samples, block).firstEnd, -1);
        }
    }
}

TEST(SornVadTest, ClicksDoNotStartSpeech) {
    for (const auto& c : NotSpeechCases()) {
        if (c.name.find("click") == std::string::npos && c.name.find("knock") == std::string::npos) continue;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Feed(c.samples, 160).firstSpeech, -1);
    }
}

TEST(SornVadTest, OddInputIsHarmless) {
    SornVad vad;
    EXPECT_EQ(vad.Detect(nullptr, 0), SORN_VAD_NO_SPEECH);
    EXPECT_EQ(vad.Detect(nullptr, 100000), SORN_VAD_NO_SPEECH);
    EXPECT_EQ(vad.Detect(nullptr, 0xFFFFFFFFu), SORN_VAD_NO_SPEECH);
    short one = 5;
    EXPECT_EQ(vad.Detect(&one, 0), SORN_VAD_NO_SPEECH);
    EXPECT_EQ(vad.Detect(&one, 1), SORN_VAD_NO_SPEECH);

    // Ten minutes of extreme noise in one call.
    Samples big = AddNoise(Zeros(600000), 20000, 11);
    EXPECT_NE(vad.Detect(big.data(), static_cast<unsigned>(big.size())), SORN_VAD_SPEECH_END);

    // Rates the detector does not expect still give a working detector.
    for (unsigned rate : {0u, 1u, 99u, 100u, 1000000u}) {
        SornVad odd(rate);
        Samples s = AddNoise(Zeros(2000), 100, 12);
        EXPECT_NE(odd.Detect(s.data(), static_cast<unsigned>(s.size())), SORN_VAD_SPEECH_END) << rate;
    }
}

TEST(SornVadTest, SyntheticSyllablesEndAfterHangover) {
    // Three 200 ms syllables of a buzzy vowel between digital silences.
    Samples s = Zeros(300);
    for (int k = 0; k < 9600; ++k) {
        const double t = double(k) / kRate;
        const double env = std::pow(std::sin(std::numbers::pi * t / 0.2), 2);
        s.push_back(Clip(8000 * env * (std::sin(2 * std::numbers::pi * 150 * t) +
                                       0.5 * std::sin(2 * std::numbers::pi * 450 * t))));
    }
    long speechEnd = static_cast<long>(s.size());
    while (speechEnd > 0 && std::abs(int{s[speechEnd - 1]}) <= kQuiet) --speechEnd;
    s = Join({s, Zeros(2000)});
    const Verdicts v = Feed(s, 160);
    ASSERT_GE(v.firstEnd, 0);
    EXPECT_GE(Ms(v.firstEnd - speechEnd), kMinDelayMs);
    EXPECT_LE(Ms(v.firstEnd - speechEnd), kMaxDelayMs);
}

// A voice whose level swings by only 15 dB: a 120-220 Hz glide with five
// harmonics under a syllable envelope, the way a voice from the sound
// server's monitor may reach the detector first.
Samples GlidingVoice(double seconds, double amplitude) {
    Samples s;
    double phase = 0.0;
    const auto count = static_cast<size_t>(seconds * kRate);
    for (size_t k = 0; k < count; ++k) {
        const double t = double(k) / kRate;
        phase += 2 * std::numbers::pi * (120.0 + 100.0 * t / seconds) / kRate;
        const double env = 0.15 + 0.85 * std::fabs(std::sin(std::numbers::pi * 4 * t));
        double v = 0.0;
        for (int h = 1; h <= 5; ++h) v += std::sin(h * phase);
        s.push_back(Clip(amplitude / 5 * env * v));
    }
    return s;
}

TEST(SornVadTest, VoiceHeardFirstEnds) {
    const Samples voice = GlidingVoice(1.2, 6000);
    const Samples silent = Zeros(3000), quiet = AddNoise(Zeros(3000), 20, 16);
    std::vector<double> delays;
    for (double lead : {0.0, 200.0, 500.0}) {
        for (const Samples* tail : {&silent, &quiet}) {
            for (size_t block : {160, 1600}) {
                SCOPED_TRACE("lead " + std::to_string(lead) + (tail == &silent ? ", digital silence" : ", quiet") +
                             ", block " + std::to_string(block));
                delays.push_back(CheckEndAfterStart(voice, lead, *tail, block));
            }
        }
    }
    PrintDelays("gliding voice heard first", delays);
}

// A steady tone or fan heard first that simply stops is no speech, however
// loud; neither is a short burst. A tone swinging like syllables is taken
// for speech: levels alone cannot tell them apart.
TEST(SornVadTest, SoundHeardFirstThatStopsIsNoSpeech) {
    Samples tone(static_cast<size_t>(1.5 * kRate));
    for (size_t k = 0; k < tone.size(); ++k) tone[k] = Clip(8000 * std::sin(2 * std::numbers::pi * 300 * k / kRate));
    const Samples fan = AddNoise(Zeros(1500), 1000, 18);
    Samples burst = GlidingVoice(1.2, 6000);
    burst.resize(1200);  // 75 ms
    for (const auto& [what, head] : {std::pair{"tone", tone}, std::pair{"fan", fan}, std::pair{"burst", burst}}) {
        for (const Samples& tail : {Zeros(3000), AddNoise(Zeros(3000), 20, 19)}) {
            SCOPED_TRACE(what);
            EXPECT_EQ(Feed(Join({head, tail}), 1600).firstEnd, -1);
            EXPECT_EQ(Feed(Join({Zeros(500), head, tail}), 160).firstEnd, -1);
        }
    }
}

}  // namespace
