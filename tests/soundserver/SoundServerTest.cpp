// The wave operations on the PulseAudio backend against a real server. The
// default sink is a 16 kHz mono null sink whose monitor is the default
// source (scripts/sound-server.sh), so what waveOut plays comes back through
// waveIn. Skips when no server answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/backends/pulse/PulseBackend.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerFixture.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using namespace sorn::soundtest;
using namespace std::chrono_literals;

class SoundServerTest : public SoundServerFixture {
protected:
    void TearDown() override { sorn::audio::SelectBackend("pulse"); }
};

std::string OutputName(UINT id) {
    WAVEOUTCAPSA caps{};
    if (waveOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "?";
    return caps.szPname;
}

std::string InputName(UINT id) {
    WAVEINCAPSA caps{};
    if (waveInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "?";
    return caps.szPname;
}

std::atomic<int> returnedHeaders{0};

void CountReturned(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message == WOM_DONE) returnedHeaders.fetch_add(1);
}

void CountCaptured(HWAVEIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message == WIM_DATA) returnedHeaders.fetch_add(1);
}

// Opens device `id` with returnedHeaders counting its returned headers from
// zero.
MMRESULT OpenCounting(HWAVEOUT* device, UINT id, const WAVEFORMATEX& format) {
    returnedHeaders = 0;
    return waveOutOpen(device, id, &format, reinterpret_cast<DWORD_PTR>(&CountReturned), 0,
                       CALLBACK_FUNCTION);
}

MMRESULT OpenCounting(HWAVEIN* device, UINT id, const WAVEFORMATEX& format) {
    returnedHeaders = 0;
    return waveInOpen(device, id, &format, reinterpret_cast<DWORD_PTR>(&CountCaptured), 0,
                      CALLBACK_FUNCTION);
}

// One header over a block of `frames` zero frames in `format`.
struct OneBlock {
    OneBlock(const WAVEFORMATEX& format, DWORD frames) : block(frames * format.nBlockAlign) {
        header.lpData = block.data();
        header.dwBufferLength = static_cast<DWORD>(block.size());
    }
    OneBlock(const OneBlock&) = delete;
    OneBlock& operator=(const OneBlock&) = delete;
    std::vector<char> block;
    WAVEHDR header{};
};

// The played position of `device`, in frames.
DWORD PlayedFrames(HWAVEOUT device) {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    waveOutGetPosition(device, &time, sizeof time);
    return time.u.sample;
}

// The recorded position of `device`, in frames.
DWORD RecordedFrames(HWAVEIN device) {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    waveInGetPosition(device, &time, sizeof time);
    return time.u.sample;
}

// Plays `frames` of silence in `format` on the default device; true when
// the header came back and the position says all of it was played.
bool PlaysThrough(const WAVEFORMATEX& format, DWORD frames) {
    HWAVEOUT device = nullptr;
    if (OpenCounting(&device, WAVE_MAPPER, format) != MMSYSERR_NOERROR) return false;
    OneBlock silence(format, frames);
    WAVEHDR& header = silence.header;
    waveOutPrepareHeader(device, &header, sizeof header);
    waveOutWrite(device, &header, sizeof header);
    const bool done = WaitFor([] { return returnedHeaders == 1; }, 5s);
    const DWORD played = PlayedFrames(device);
    waveOutReset(device);
    waveOutUnprepareHeader(device, &header, sizeof header);
    waveOutClose(device);
    return done && played == frames;
}

// Records one header of `frames` in `format` from the default device.
bool RecordsFrom(const WAVEFORMATEX& format, DWORD frames) {
    HWAVEIN device = nullptr;
    if (OpenCounting(&device, WAVE_MAPPER, format) != MMSYSERR_NOERROR) return false;
    OneBlock recorded(format, frames);
    WAVEHDR& header = recorded.header;
    waveInPrepareHeader(device, &header, sizeof header);
    waveInAddBuffer(device, &header, sizeof header);
    waveInStart(device);
    const bool done = WaitFor([] { return returnedHeaders == 1; }, 5s);
    waveInReset(device);
    waveInUnprepareHeader(device, &header, sizeof header);
    waveInClose(device);
    return done && header.dwBytesRecorded == recorded.block.size();
}

TEST_F(SoundServerTest, DevicesAreTheSinksAndSourcesAndTheMapperIsTheDefault) {
    const UINT outputs = waveOutGetNumDevs();
    const UINT inputs = waveInGetNumDevs();
    ASSERT_GE(outputs, 1u);
    ASSERT_GE(inputs, 1u);
    EXPECT_EQ(OutputName(WAVE_MAPPER), "sorn_null");
    EXPECT_EQ(InputName(WAVE_MAPPER), "Monitor of sorn_null");
    std::vector<std::string> sinks, sources;
    for (UINT id = 0; id < outputs; ++id) sinks.push_back(OutputName(id));
    for (UINT id = 0; id < inputs; ++id) sources.push_back(InputName(id));
    EXPECT_NE(std::find(sinks.begin(), sinks.end(), "sorn_null"), sinks.end());
    EXPECT_NE(std::find(sources.begin(), sources.end(), "Monitor of sorn_null"), sources.end());

    WAVEOUTCAPSA caps{};
    ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.wChannels, 1);  // the null sink is mono (a stream may still open stereo)
    WORD own = 0;
    ASSERT_EQ(sorn::audio::DeviceChannels(true, WAVE_MAPPER, &own), MMSYSERR_NOERROR);
    EXPECT_EQ(own, 1) << "the null sink's own channels";
    EXPECT_NE(caps.dwFormats, 0u);

    // The server converts: any 16-bit rate and channel count is playable,
    // and the question opens nothing.
    for (const WAVEFORMATEX& format : {Format(16000, 1), Format(44100, 2), Format(8000, 6)}) {
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutOpen(nullptr, outputs - 1, &format, 0, 0, WAVE_FORMAT_QUERY),
                  MMSYSERR_NOERROR);
    }
    const WAVEFORMATEX mono = Format();
    EXPECT_EQ(waveOutOpen(nullptr, outputs, &mono, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);

    // Streams open at the rate and channel count asked for; the server
    // converts to the mono 16 kHz sink and from its monitor.
    EXPECT_TRUE(PlaysThrough(Format(44100, 2), 4410));
    EXPECT_TRUE(PlaysThrough(Format(8000, 6), 800));
    EXPECT_TRUE(RecordsFrom(Format(44100, 2), 4410));

    // A device opened by id plays on that sink.
    TonePlayer player(1000, 8000, 800);
    const auto sink = std::find(sinks.begin(), sinks.end(), "sorn_null") - sinks.begin();
    ASSERT_EQ(player.Open(static_cast<UINT>(sink)), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    EXPECT_TRUE(player.WaitDone(5s));
}

// Goes through `samples` from `begin`: the recurrence of a pure sine,
// x[n+1] = 2 cos(w) x[n] - x[n-1], holds to within rounding everywhere, so
// not one sample was dropped, repeated or replaced by silence.
double LargestSineResidual(const std::vector<std::int16_t>& samples, std::size_t begin,
                           std::size_t end, double frequency) {
    const double c = 2 * std::cos(2 * std::numbers::pi * frequency / kRate);
    double largest = 0;
    for (std::size_t n = begin + 1; n + 1 < end; ++n) {
        largest = std::max(largest, std::abs(samples[n + 1] - c * samples[n] + samples[n - 1]));
    }
    return largest;
}

TEST_F(SoundServerTest, ToneComesBackWholeThroughTheMonitorAndThePositionKeepsRealTime) {
    constexpr double kFrequency = 440;
    constexpr double kAmplitude = 8000;
    constexpr std::uint64_t kToneFrames = kRate * 21 / 2;  // 10.5 s
    constexpr std::size_t kCheckedFrames = kRate * 10;

    Recorder recorder;
    ASSERT_EQ(recorder.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(recorder.Start(), MMSYSERR_NOERROR);
    TonePlayer player(kFrequency, kAmplitude, kToneFrames);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);

    // The position against the clock while the tone plays.
    struct Sample {
        Clock::time_point when;
        DWORD frames;
    };
    std::vector<Sample> positions;
    const auto end = Clock::now() + 20s;
    for (;;) {
        MMTIME time{};
        time.wType = TIME_SAMPLES;
        const auto before = Clock::now();
        ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
        const auto after = Clock::now();
        ASSERT_EQ(time.wType, static_cast<UINT>(TIME_SAMPLES));
        if (after - before < 2ms && time.u.sample > kRate / 10 &&
            time.u.sample < kToneFrames - kRate / 10) {
            positions.push_back({before + (after - before) / 2, time.u.sample});
        }
        if (time.u.sample >= kToneFrames || Clock::now() > end) break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(player.WaitDone(5s)) << "completions " << player.Completions().size() << " position " << positions.back().frames;
    MMTIME last{};
    last.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &last, sizeof last), MMSYSERR_NOERROR);
    EXPECT_EQ(last.u.sample, kToneFrames);  // played, all of it and no more
    ASSERT_TRUE(WaitFor([&] { return recorder.Frames() > kToneFrames + kRate / 5; }, 5s));
    const std::vector<std::int16_t> captured = recorder.Finish();
    player.Close();

    // Real time: the clock minus the position stays put within 30 ms. On
    // PipeWire one more processing cycle (20 ms): its pulse service gives
    // the read index as of its last cycle, so each timing report is up to a
    // cycle behind.
    const double allowed = ServerIsPipeWire() ? 0.050 : 0.030;
    ASSERT_GT(positions.size(), 200u);
    double low = 1e9, high = -1e9;
    for (const Sample& sample : positions) {
        const double offset =
            std::chrono::duration<double>(sample.when - positions.front().when).count() -
            static_cast<double>(sample.frames - positions.front().frames) / kRate;
        low = std::min(low, offset);
        high = std::max(high, offset);
    }
    EXPECT_LT(high - low, allowed) << "the position drifted from real time by " << (high - low) * 1e3
                                 << " ms";

    // The tone came back at its frequency and level, without a gap.
    const auto onset = std::find_if(captured.begin(), captured.end(),
                                    [](std::int16_t s) { return std::abs(s) > kAmplitude / 4; });
    ASSERT_NE(onset, captured.end()) << "the tone never came back";
    const std::size_t begin = static_cast<std::size_t>(onset - captured.begin()) + 16;
    ASSERT_GE(captured.size(), begin + kCheckedFrames);
    const std::size_t stop = begin + kCheckedFrames;
    EXPECT_LT(LargestSineResidual(captured, begin, stop, kFrequency), 200.0);
    double energy = 0;
    std::size_t crossings = 0;
    for (std::size_t n = begin; n < stop; ++n) {
        energy += static_cast<double>(captured[n]) * captured[n];
        if (n > begin && (captured[n - 1] < 0) != (captured[n] < 0)) ++crossings;
    }
    const double rms = std::sqrt(energy / kCheckedFrames);
    EXPECT_NEAR(rms, kAmplitude / std::sqrt(2.0), kAmplitude * 0.02);
    EXPECT_NEAR(crossings / 2.0 / 10.0, kFrequency, 1.0);
}

// Blocks of 2, 5 and 10 ms, two of each requeued from the callback, are
// shorter than the server's fragments: what a fragment holds beyond the
// queued blocks waits for the next block instead of being dropped. Three
// recorders take the same tone at once; each gets real time, every frame
// once (the sine runs on unbroken through all it captured).
TEST_F(SoundServerTest, CaptureInBlocksShorterThanAFragmentKeepsEveryFrame) {
    constexpr double kFrequency = 440;
    constexpr double kAmplitude = 8000;
    TonePlayer player(kFrequency, kAmplitude, kRate * 6);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return PlayedFrames(player.Handle()) > kRate / 5; }, 5s));

    const unsigned blocks[] = {32, 80, 160};
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const unsigned frames : blocks) {
        recorders.push_back(std::make_unique<Recorder>(frames, 2));
        ASSERT_EQ(recorders.back()->Open(), MMSYSERR_NOERROR);
        ASSERT_EQ(recorders.back()->Start(), MMSYSERR_NOERROR);
    }
    for (auto& recorder : recorders) {
        ASSERT_TRUE(WaitFor([&] { return recorder->Frames() >= kRate / 5; }, 5s));
    }
    std::vector<std::size_t> before;
    for (auto& recorder : recorders) before.push_back(recorder->Frames());
    const auto start = Clock::now();
    std::this_thread::sleep_for(1500ms);
    std::vector<std::size_t> after;
    for (auto& recorder : recorders) after.push_back(recorder->Frames());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    for (std::size_t i = 0; i < recorders.size(); ++i) {
        const std::vector<std::int16_t> captured = recorders[i]->Finish();
        const double share = static_cast<double>(after[i] - before[i]) / (seconds * kRate);
        EXPECT_NEAR(share, 1.0, 0.1) << blocks[i] << "-frame blocks kept " << share * 100
                                     << " % of real time";
        // A new record stream may begin with a moment of silence (PipeWire
        // gives a quantum of it); from the tone on, nothing may break.
        const auto onset = std::find_if(captured.begin(), captured.end(),
                                        [](std::int16_t s) { return std::abs(s) > kAmplitude / 4; });
        const std::size_t begin = static_cast<std::size_t>(onset - captured.begin()) + 16;
        ASSERT_GT(captured.size(), begin + kRate);
        EXPECT_LT(LargestSineResidual(captured, begin, captured.size() - 16, kFrequency), 200.0)
            << blocks[i] << "-frame blocks lost or repeated frames";
    }
    EXPECT_FALSE(player.WaitDone(0ms)) << "the tone ended before the recorders did";
    player.Close();
}

TEST_F(SoundServerTest, ResetMidStreamReturnsEveryHeaderAtOnceAndPlayingStartsAfresh) {
    // Eight headers of 250 ms; reset once the first has played.
    TonePlayer player(1000, 8000, kRate * 2, kRate / 4, 8);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return player.Completions().size() >= 1; }, 5s));
    const auto before = Clock::now();
    ASSERT_EQ(waveOutReset(player.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return player.Completions().size() >= 8; }, 2s));
    const auto took = Clock::now() - before;
    EXPECT_LT(took, 100ms) << "reset took "
                           << std::chrono::duration<double, std::milli>(took).count() << " ms";
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 0u);

    // Played frames count from the reset: one more header of 4000 frames
    // brings the position to exactly 4000.
    std::vector<std::int16_t> block(4000, 1000);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(block.data());
    header.dwBufferLength = static_cast<DWORD>(block.size() * 2);
    ASSERT_EQ(waveOutPrepareHeader(player.Handle(), &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(player.Handle(), &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return player.Completions().size() >= 9; }, 5s));
    const auto done = Clock::now();
    EXPECT_TRUE(header.dwFlags & WHDR_DONE);
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 4000u);
    // 250 ms of sound does not complete much sooner than that. PipeWire's
    // pulse service moves its read index a whole cycle (20 ms) at a time,
    // as its graph takes the data: there a header has been seen to complete
    // about 10 ms early, so one cycle is allowed.
    const auto earliest = ServerIsPipeWire() ? 220ms : 240ms;
    EXPECT_GE(done - before, earliest);
    ASSERT_EQ(waveOutUnprepareHeader(player.Handle(), &header, sizeof header), MMSYSERR_NOERROR);
}

TEST_F(SoundServerTest, PauseHoldsThePositionAndRestartPlaysOn) {
    TonePlayer player(1000, 8000, kRate, kRate / 2, 2);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return PlayedFrames(player.Handle()) > kRate / 5; }, 5s));
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutPause(player.Handle()), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(50ms);  // what the sink still had may finish
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    const DWORD paused = time.u.sample;
    EXPECT_LT(paused, static_cast<DWORD>(kRate / 2));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, paused);
    EXPECT_TRUE(player.Completions().empty());
    ASSERT_EQ(waveOutRestart(player.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(player.WaitDone(5s));
    ASSERT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, kRate);
}

TEST_F(SoundServerTest, CaptureResetReturnsThePartlyFilledHeaders) {
    std::vector<std::int16_t> blocks[2] = {std::vector<std::int16_t>(kRate),
                                           std::vector<std::int16_t>(kRate)};
    WAVEHDR headers[2]{};
    HWAVEIN device = nullptr;
    const WAVEFORMATEX format = Format();
    ASSERT_EQ(OpenCounting(&device, WAVE_MAPPER, format), MMSYSERR_NOERROR);
    for (int i = 0; i < 2; ++i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(blocks[i].data());
        headers[i].dwBufferLength = kRate * 2;
        ASSERT_EQ(waveInPrepareHeader(device, &headers[i], sizeof headers[i]), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(device, &headers[i], sizeof headers[i]), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return RecordedFrames(device) >= kRate / 5; }, 5s));
    const auto before = Clock::now();
    ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return returnedHeaders == 2; }, 2s));
    EXPECT_LT(Clock::now() - before, 100ms);
    EXPECT_TRUE(headers[0].dwFlags & headers[1].dwFlags & WHDR_DONE);
    EXPECT_GT(headers[0].dwBytesRecorded, 0u);
    EXPECT_LT(headers[0].dwBytesRecorded, kRate * 2);
    EXPECT_EQ(headers[1].dwBytesRecorded, 0u);
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveInGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 0u);
    for (WAVEHDR& header : headers) {
        EXPECT_EQ(waveInUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

// A null sink of the test's own that never rewinds, loaded for the test and
// unloaded after it. A sink that rewinds (the default one) mixes a stream
// that starts into what it has already rendered ahead, and its monitor has
// passed that span on by then: up to one sink latency of a new stream's
// start never reaches a recorder. Without rewinds the monitor gives back
// exactly what was played.
class ExactSink {
public:
    ~ExactSink() {
        if (!module_.empty()) {
            std::system(("pactl unload-module " + module_ + " >/dev/null 2>&1").c_str());
        }
    }
    bool Load() {
        FILE* pipe = ::popen(
            "pactl load-module module-null-sink sink_name=sorn_onset rate=16000 channels=1 "
            "norewinds=1 sink_properties=device.description=sorn_onset 2>/dev/null",
            "r");
        if (pipe == nullptr) return false;
        char line[32] = {};
        const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
        const bool loaded = ::pclose(pipe) == 0 && read;
        if (!loaded) return false;
        module_ = std::string(line, std::strcspn(line, "\n"));
        for (UINT id = 0; id < waveOutGetNumDevs(); ++id) {
            if (OutputName(id) == "sorn_onset") output = id;
        }
        for (UINT id = 0; id < waveInGetNumDevs(); ++id) {
            if (InputName(id) == "Monitor of sorn_onset") input = id;
        }
        return output != WAVE_MAPPER && input != WAVE_MAPPER;
    }
    UINT output = WAVE_MAPPER;
    UINT input = WAVE_MAPPER;

private:
    std::string module_;
};

// A rising ramp: sample k of the take is first + k, so each sample that
// comes back tells which one it is.
std::vector<std::int16_t> Ramp(int first, std::size_t frames) {
    std::vector<std::int16_t> ramp(frames);
    for (std::size_t k = 0; k < frames; ++k) ramp[k] = static_cast<std::int16_t>(first + int(k));
    return ramp;
}

// How many samples of the ramp from `first` are missing before the first
// one heard, or -1 when none came back; `whole` tells whether from there
// on it came back unbroken to its last sample.
long RampLoss(const std::vector<std::int16_t>& heard, int first, std::size_t frames, bool* whole) {
    const int last = first + static_cast<int>(frames) - 1;
    const auto start = std::find_if(heard.begin(), heard.end(),
                                    [&](std::int16_t s) { return s >= first && s <= last; });
    *whole = false;
    if (start == heard.end()) return -1;
    auto at = start;
    while (at + 1 != heard.end() && *(at + 1) == *at + 1) ++at;
    *whole = *at == last;
    return *start - first;
}

TEST_F(SoundServerTest, EveryStartOfAStreamBeginsWithItsFirstSample) {
    ExactSink sink;
    if (!sink.Load()) {
        if (ServerRequired()) FAIL() << "cannot load a null sink without rewinds";
        GTEST_SKIP() << "cannot load a null sink without rewinds";
    }
    Recorder recorder(320, 8);
    ASSERT_EQ(recorder.Open(sink.input), MMSYSERR_NOERROR);
    ASSERT_EQ(recorder.Start(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return recorder.Frames() >= kRate / 10; }, 5s));  // the monitor runs

    // Three new streams, each played right after its open, the last one
    // again once it has played out; then a reset mid-ramp and a new ramp on
    // the same device.
    constexpr std::size_t kFrames = 1600;
    const int firsts[] = {1000, 4000, 7000, 10000, 13000};
    const WAVEFORMATEX format = Format();
    auto play = [&](HWAVEOUT device, std::vector<std::int16_t>& samples, WAVEHDR& header) {
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<LPSTR>(samples.data());
        header.dwBufferLength = static_cast<DWORD>(samples.size() * 2);
        return waveOutPrepareHeader(device, &header, sizeof header) == MMSYSERR_NOERROR &&
               waveOutWrite(device, &header, sizeof header) == MMSYSERR_NOERROR;
    };
    for (int take = 0; take < 3; ++take) {
        HWAVEOUT device = nullptr;
        ASSERT_EQ(OpenCounting(&device, sink.output, format), MMSYSERR_NOERROR);
        std::vector<std::int16_t> ramp = Ramp(firsts[take], kFrames);
        WAVEHDR header{};
        ASSERT_TRUE(play(device, ramp, header));
        EXPECT_TRUE(WaitFor([] { return returnedHeaders == 1; }, 5s));
        if (take == 2) {
            const std::size_t later = recorder.Frames() + kRate / 5;
            ASSERT_TRUE(WaitFor([&] { return recorder.Frames() >= later; }, 5s));
            std::vector<std::int16_t> again = Ramp(firsts[3], kFrames);
            WAVEHDR next{};
            ASSERT_TRUE(play(device, again, next));
            EXPECT_TRUE(WaitFor([] { return returnedHeaders == 2; }, 5s));
            waveOutUnprepareHeader(device, &next, sizeof next);
        }
        waveOutReset(device);
        waveOutUnprepareHeader(device, &header, sizeof header);
        ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
    {
        HWAVEOUT device = nullptr;
        ASSERT_EQ(OpenCounting(&device, sink.output, format), MMSYSERR_NOERROR);
        std::vector<std::int16_t> cut(kRate, 20000);  // reset a tenth of the way through
        WAVEHDR header{};
        ASSERT_TRUE(play(device, cut, header));
        EXPECT_TRUE(WaitFor([&] { return PlayedFrames(device) >= kRate / 10; }, 5s));
        ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_TRUE(WaitFor([] { return returnedHeaders == 1; }, 5s));
        std::vector<std::int16_t> ramp = Ramp(firsts[4], kFrames);
        WAVEHDR next{};
        ASSERT_TRUE(play(device, ramp, next));
        EXPECT_TRUE(WaitFor([] { return returnedHeaders == 2; }, 5s));
        waveOutUnprepareHeader(device, &header, sizeof header);
        waveOutUnprepareHeader(device, &next, sizeof next);
        ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }
    const std::size_t enough = recorder.Frames() + kRate / 5;  // the monitor lags a little
    ASSERT_TRUE(WaitFor([&] { return recorder.Frames() >= enough; }, 5s));
    const std::vector<std::int16_t> heard = recorder.Finish();

    for (const int first : firsts) {
        bool whole = false;
        const long lost = RampLoss(heard, first, kFrames, &whole);
        ASSERT_GE(lost, 0) << "the ramp from " << first << " never came back";
        // A millisecond at most, where the sink latency is 12 ms and more.
        EXPECT_LE(lost, 16) << "the start of the ramp from " << first << " was lost";
        EXPECT_TRUE(whole) << "the ramp from " << first << " broke off";
    }
}

// Each test on a sound server of its own, selected as the backend.
class PrivateSoundServerTest : public SoundServerTest {
protected:
    void SetUp() override {
        SoundServerTest::SetUp();
        if (Stopped()) return;
        if (!server.Start()) {
            // A desktop may lack the server's programs.
            if (ServerRequired()) FAIL() << "cannot start a private sound server";
            GTEST_SKIP() << "cannot start a private sound server";
        }
        const std::string selection = "pulse:server=" + server.Address();
        ASSERT_EQ(sorn::audio::SelectBackend(selection.c_str()), MMSYSERR_NOERROR);
    }

    PrivateServer server;
};

TEST_F(PrivateSoundServerTest, ServerDeathReturnsTheHeadersFailsLaterCallsAndANewServerServes) {
    TonePlayer player(1000, 8000, kRate * 4, kRate / 2, 8);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    Recorder recorder(kRate / 2, 4);
    ASSERT_EQ(recorder.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(recorder.Start(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return PlayedFrames(player.Handle()) > 0; }, 5s));

    ASSERT_TRUE(server.Kill());
    // Every queued header comes back, marked done.
    ASSERT_TRUE(WaitFor([&] { return player.Completions().size() == 8; }, 3s))
        << player.Completions().size() << " of 8 headers came back";
    // Nothing spins once the server is gone.
    const auto cpu = ProcessCpuTime();
    const auto wall = Clock::now();
    std::this_thread::sleep_for(300ms);
    const double busy = std::chrono::duration<double>(ProcessCpuTime() - cpu).count() /
                        std::chrono::duration<double>(Clock::now() - wall).count();
    EXPECT_LT(busy, 0.2) << "CPU use after the server died: " << busy * 100 << " %";

    // Later calls fail with a clear code and text.
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    EXPECT_EQ(waveOutGetPosition(player.Handle(), &time, sizeof time), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutPause(player.Handle()), MMSYSERR_NODRIVER);
    std::vector<std::int16_t> block(1600);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(block.data());
    header.dwBufferLength = 3200;
    const MMRESULT prepared = waveOutPrepareHeader(player.Handle(), &header, sizeof header);
    if (prepared == MMSYSERR_NOERROR) {
        EXPECT_EQ(waveOutWrite(player.Handle(), &header, sizeof header), MMSYSERR_NODRIVER);
        waveOutUnprepareHeader(player.Handle(), &header, sizeof header);
    } else {
        EXPECT_EQ(prepared, MMSYSERR_NODRIVER);
    }
    EXPECT_EQ(waveInStart(recorder.Handle()), MMSYSERR_NODRIVER);
    char text[MAXERRORLENGTH] = {};
    EXPECT_EQ(waveOutGetErrorTextA(MMSYSERR_NODRIVER, text, sizeof text), MMSYSERR_NOERROR);
    EXPECT_GT(std::strlen(text), 0u);
    player.Close();
    recorder.Finish();
    EXPECT_EQ(waveOutGetNumDevs(), 0u);

    // With the server back, a new open plays.
    ASSERT_TRUE(server.Start());
    TonePlayer again(1000, 8000, kRate / 10);
    ASSERT_EQ(again.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(again.Play(), MMSYSERR_NOERROR);
    EXPECT_TRUE(again.WaitDone(5s));
    again.Close();
    server.Stop();
}

// A freshly started server's idle null sink has rendered up to two seconds
// ahead; the first stream still plays and records at once.
TEST_F(PrivateSoundServerTest, OnAColdServerTheFirstStreamsStartAtOnce) {
    // 100 ms of sound comes back done about 100 ms after it was written.
    TonePlayer player(1000, 8000, kRate / 10, kRate / 10, 1);
    ASSERT_EQ(player.Open(), MMSYSERR_NOERROR);
    const auto written = Clock::now();
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(player.WaitDone(5s));
    const auto played = player.Completions().front().when - written;
    EXPECT_LT(played, 600ms) << "the first 100 ms took "
                             << std::chrono::duration<double, std::milli>(played).count() << " ms";
    player.Close();

    // Once the sink is idle again, the first 10 ms block of a capture.
    std::this_thread::sleep_for(300ms);
    Recorder recorder(kRate / 100, 2);
    ASSERT_EQ(recorder.Open(), MMSYSERR_NOERROR);
    const auto started = Clock::now();
    ASSERT_EQ(recorder.Start(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return recorder.Frames() > 0; }, 5s));
    const auto captured = Clock::now() - started;
    EXPECT_LT(captured, 500ms) << "the first 10 ms block took "
                               << std::chrono::duration<double, std::milli>(captured).count()
                               << " ms";
    recorder.Finish();
    server.Stop();
}

TEST_F(SoundServerTest, WithoutAServerOpenFailsAtOnceAndSpawnsNothing) {
    ASSERT_EQ(sorn::audio::SelectBackend("pulse:server=unix:/nonexistent/sorn/native"),
              MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    const WAVEFORMATEX format = Format();
    // The fastest of three tries, so that a busy machine does not decide it.
    auto fastest = Clock::duration::max();
    for (int attempt = 0; attempt < 3; ++attempt) {
        HWAVEOUT out = nullptr;
        HWAVEIN in = nullptr;
        const auto before = Clock::now();
        EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        fastest = std::min(fastest, Clock::now() - before);
    }
    EXPECT_LT(fastest, 100ms);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY),
              MMSYSERR_NODRIVER);
    WAVEOUTCAPSA caps{};
    EXPECT_NE(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_FALSE(sorn::audio::PulseServerAnswers("server=unix:/nonexistent/sorn/native"));
}

TEST(PulseBackendOptions, OnlyAServerAddressIsAccepted) {
    MMRESULT error = MMSYSERR_NOERROR;
    EXPECT_NE(sorn::audio::CreatePulseBackend(nullptr, &error), nullptr);
    EXPECT_NE(sorn::audio::CreatePulseBackend("server=unix:/x", &error), nullptr);
    EXPECT_EQ(sorn::audio::CreatePulseBackend("speed=fast", &error), nullptr);
    EXPECT_EQ(error, MMSYSERR_INVALPARAM);
    EXPECT_EQ(sorn::audio::CreatePulseBackend("server=", &error), nullptr);
    EXPECT_EQ(sorn::audio::SelectBackend("pulse:bogus"), MMSYSERR_INVALPARAM);
}

}  // namespace
