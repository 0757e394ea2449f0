// The ALSA backend on alsa-lib's pulse PCM and control plugins, in front of
// the private sound server (scripts/sound-server.sh: a 16 kHz mono null
// sink, its monitor the default source): a real clock and a real mixer
// without a sound card. Every wave and mixer call goes through alsa-lib;
// pactl checks what the server got. Skips when no server answers, unless
// SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio_device/Recorder.h"
#include "audio_device/SoundServerDeviceTest.h"
#include "audio_device/SoundServerDevices.h"
#include "backend_alsa/AlsaTestSupport.h"
#include "platform/MMSystem.h"
#include "platform/Mixer.h"
#include "platform/backends/alsa/AlsaBackend.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using namespace sorn::devicetest;

// What `command` prints (its first 4 KB); empty when it cannot run.
std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[512];
        std::size_t got = 0;
        while (text.size() < 4096 && (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
        ::pclose(pipe);
    }
    return text;
}

// The first channel's raw volume pactl reports for a sink or source
// ("Volume: mono: 32768 / 50% / ..."); -1 when it cannot be read.
long PactlVolume(const std::string& kind, const std::string& name) {
    const std::string text = Output("pactl get-" + kind + "-volume " + name + " 2>/dev/null");
    const std::size_t colon = text.find(':', text.find(':') + 1);
    if (colon == std::string::npos) return -1;
    return std::strtol(text.c_str() + colon + 1, nullptr, 10);
}

bool PactlMuted(const std::string& kind, const std::string& name) {
    return Output("pactl get-" + kind + "-mute " + name + " 2>/dev/null").find("yes") != std::string::npos;
}

class AlsaOnPulse : public ::testing::Test {
protected:
    void SetUp() override {
        NeedServer();
        if (IsSkipped() || HasFatalFailure()) return;
        // Unity volume: the monitor gives back exactly what was played.
        ASSERT_EQ(std::system("pactl set-sink-volume @DEFAULT_SINK@ 100% && pactl set-sink-mute @DEFAULT_SINK@ 0"), 0);
        ASSERT_EQ(sorn::audio::SelectBackend("alsa:pulse"), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        std::system(
            "pactl set-sink-volume @DEFAULT_SINK@ 100%; pactl set-sink-mute @DEFAULT_SINK@ 0;"
            "pactl set-source-volume @DEFAULT_SOURCE@ 100%; pactl set-source-mute @DEFAULT_SOURCE@ 0");
        sorn::audio::SelectBackend("auto");
    }
};

class AlsaCaptureBlocks : public AlsaOnPulse, public ::testing::WithParamInterface<unsigned> {};

// A second of counting samples played through alsa-lib comes back through
// the monitor, captured through alsa-lib in blocks of 2, 5 or 10 ms, whole:
// every sample, in order, none lost and none doubled, while every playback
// header completes in order.
TEST_P(AlsaCaptureBlocks, PlayedRangeComesBackWholeThroughTheMonitor) {
    const unsigned blockMs = GetParam();
    Recorder capture(kRate * blockMs / 1000, 16);
    ASSERT_EQ(capture.Open(), MMSYSERR_NOERROR);
    ASSERT_EQ(capture.Start(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return capture.Frames() >= kRate / 10; }, std::chrono::seconds(5)))
        << "the monitor delivers nothing";

    WAVEFORMATEX format = Pcm16(kRate, 1);
    HWAVEOUT out = nullptr;
    sorn::alsatest::Completions done;
    ASSERT_EQ(done.Open(&out, format), MMSYSERR_NOERROR);
    constexpr std::size_t kHeaders = 10;
    constexpr std::size_t kFrames = kRate / 10;
    constexpr std::int16_t kFirst = 1000;
    std::vector<std::vector<std::int16_t>> blocks(kHeaders, std::vector<std::int16_t>(kFrames));
    for (std::size_t h = 0; h < kHeaders; ++h)
        for (std::size_t i = 0; i < kFrames; ++i) blocks[h][i] = static_cast<std::int16_t>(kFirst + h * kFrames + i);
    std::vector<WAVEHDR> headers;
    ASSERT_NO_FATAL_FAILURE(sorn::alsatest::QueueNumbered(out, blocks, headers));
    // Every header comes back, in order.
    EXPECT_TRUE(WaitFor([&] { return done.Count() == kHeaders; }, std::chrono::seconds(10)));
    std::vector<DWORD_PTR> expected(kHeaders);
    for (std::size_t h = 0; h < kHeaders; ++h) expected[h] = h;
    EXPECT_EQ(done.Order(), expected);
    ASSERT_NO_FATAL_FAILURE(sorn::alsatest::ExpectSamplePosition(out, kHeaders * kFrames));
    for (WAVEHDR& header : headers) waveOutUnprepareHeader(out, &header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    // The end reaches the monitor shortly after the last header is done.
    const std::size_t before = capture.Frames();
    ASSERT_TRUE(WaitFor([&] { return capture.Frames() >= before + kRate / 5; }, std::chrono::seconds(5)));
    const std::vector<std::int16_t> samples = capture.Finish();
    // The server may give the monitor the first few milliseconds of a new
    // stream late or not at all (the null sink has rendered ahead and
    // rewinds); from wherever the range is first heard (within its first
    // 20 ms) to its end, every sample is there once and in order.
    std::size_t start = 0;
    while (start < samples.size() &&
           (samples[start] < kFirst || samples[start] >= static_cast<std::int16_t>(kFirst + kRate / 50)))
        ++start;
    ASSERT_LT(start, samples.size()) << "the range's first 20 ms never came back";
    const std::size_t skipped = static_cast<std::size_t>(samples[start] - kFirst);
    const std::size_t heard = kHeaders * kFrames - skipped;
    ASSERT_GE(samples.size() - start, heard) << "the capture ends before the range does";
    std::size_t wrong = 0;
    std::size_t firstWrong = 0;
    for (std::size_t i = 0; i < heard; ++i) {
        if (samples[start + i] != static_cast<std::int16_t>(kFirst + skipped + i) && wrong++ == 0) firstWrong = i;
    }
    std::string around;
    for (std::size_t i = start + firstWrong; i < samples.size() && i < start + firstWrong + 6; ++i)
        around += " " + std::to_string(samples[i]);
    EXPECT_EQ(wrong, 0u) << "first difference at sample " << skipped + firstWrong
                         << " of the range, from there:" << around << " (" << wrong << " differ, " << skipped
                         << " not heard at the start)";
}

INSTANTIATE_TEST_SUITE_P(Blocks, AlsaCaptureBlocks, ::testing::Values(2u, 5u, 10u),
                         [](const auto& test) { return std::to_string(test.param) + "ms"; });

HMIXEROBJ Mixer(UINT id) { return reinterpret_cast<HMIXEROBJ>(static_cast<UINT_PTR>(id)); }

// The control of `type` on the line of `componentType` of mixer 0.
bool Control(DWORD componentType, DWORD type, MIXERCONTROLA* control) {
    MIXERLINEA line{};
    line.cbStruct = sizeof line;
    line.dwComponentType = componentType;
    if (mixerGetLineInfoA(Mixer(0), &line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_COMPONENTTYPE)) return false;
    *control = MIXERCONTROLA{};
    control->cbStruct = sizeof *control;
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof query;
    query.dwLineID = line.dwLineID;
    query.dwControlType = type;
    query.cControls = 1;
    query.cbmxctrl = sizeof *control;
    query.pamxctrl = control;
    return mixerGetLineControlsA(Mixer(0), &query, MIXER_OBJECTF_MIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
           MMSYSERR_NOERROR;
}

// The details that move one value of `controlId` (all channels alike)
// through *detail.
MIXERCONTROLDETAILS OneValue(DWORD controlId, MIXERCONTROLDETAILS_UNSIGNED* detail) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = controlId;
    details.cChannels = 1;
    details.cbDetails = sizeof *detail;
    details.paDetails = detail;
    return details;
}

MMRESULT Set(DWORD controlId, DWORD value) {
    MIXERCONTROLDETAILS_UNSIGNED detail{value};
    MIXERCONTROLDETAILS details = OneValue(controlId, &detail);
    return mixerSetControlDetails(Mixer(0), &details, MIXER_OBJECTF_MIXER | MIXER_SETCONTROLDETAILSF_VALUE);
}

DWORD Get(DWORD controlId) {
    MIXERCONTROLDETAILS_UNSIGNED detail{0xFFFFFFFFu};
    MIXERCONTROLDETAILS details = OneValue(controlId, &detail);
    if (mixerGetControlDetailsA(Mixer(0), &details, MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE))
        return 0xFFFFFFFFu;
    return detail.dwValue;
}

// The speakers' fader and mute and the microphone's fader are the server's
// default sink and source as the pulse control plugin shows them (0 to
// PA_VOLUME_NORM): what the mixer writes, pactl reads, and what pactl
// sets, the mixer reads, with the raw mapping of README.md.
TEST_F(AlsaOnPulse, VolumeAndMuteRoundTripsWithPactl) {
    ASSERT_GE(mixerGetNumDevs(), 1u);
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "ALSA pulse");
    MIXERCONTROLA volume{}, mute{}, microphone{};
    ASSERT_TRUE(Control(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, MIXERCONTROL_CONTROLTYPE_VOLUME, &volume));
    ASSERT_TRUE(Control(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, MIXERCONTROL_CONTROLTYPE_MUTE, &mute));
    ASSERT_TRUE(Control(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, MIXERCONTROL_CONTROLTYPE_VOLUME, &microphone));

    ASSERT_EQ(Set(volume.dwControlID, 32768), MMSYSERR_NOERROR);
    EXPECT_EQ(PactlVolume("sink", "@DEFAULT_SINK@"), 32769);  // round(32768 * 65536 / 65535)
    EXPECT_EQ(Get(volume.dwControlID), 32768u);
    ASSERT_EQ(std::system("pactl set-sink-volume @DEFAULT_SINK@ 16384"), 0);
    EXPECT_TRUE(WaitFor([&] { return Get(volume.dwControlID) == 16384u; }, std::chrono::seconds(2)))
        << Get(volume.dwControlID);

    ASSERT_EQ(Set(mute.dwControlID, 1), MMSYSERR_NOERROR);
    EXPECT_TRUE(PactlMuted("sink", "@DEFAULT_SINK@"));
    ASSERT_EQ(std::system("pactl set-sink-mute @DEFAULT_SINK@ 0"), 0);
    EXPECT_TRUE(WaitFor([&] { return Get(mute.dwControlID) == 0u; }, std::chrono::seconds(2)));

    ASSERT_EQ(Set(microphone.dwControlID, 65535), MMSYSERR_NOERROR);
    EXPECT_EQ(PactlVolume("source", "@DEFAULT_SOURCE@"), 65536);
    ASSERT_EQ(Set(microphone.dwControlID, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(PactlVolume("source", "@DEFAULT_SOURCE@"), 0);
}

// PULSE_SERVER for the pulse plugin's connections while it lives; the
// shared server's again after.
class ServerFor {
public:
    explicit ServerFor(const std::string& address) {
        if (const char* shared = std::getenv("PULSE_SERVER")) shared_ = shared;
        ::setenv("PULSE_SERVER", address.c_str(), 1);
    }
    ~ServerFor() {
        if (shared_.empty()) {
            ::unsetenv("PULSE_SERVER");
        } else {
            ::setenv("PULSE_SERVER", shared_.c_str(), 1);
        }
    }

private:
    std::string shared_;
};

// The server behind the plugin dies mid-stream: for alsa-lib the PCMs fail,
// which is a device loss both ways (every queued header comes back done,
// later calls answer MMSYSERR_NODRIVER), never a hang; closing still works.
TEST_F(AlsaOnPulse, AServerThatDiesIsADeviceLossBothWays) {
    sorn::soundtest::PrivateServer server;
    ASSERT_TRUE(server.Start()) << "cannot start a private sound server";
    ServerFor use(server.Address());
    ASSERT_EQ(sorn::audio::SelectBackend("alsa:pulse"), MMSYSERR_NOERROR);
    WAVEFORMATEX format = Pcm16(kRate, 1);
    constexpr std::size_t kHeaders = 8;
    std::vector<std::vector<char>> outBlocks(kHeaders, std::vector<char>(kRate / 5 * 2, 0));
    std::vector<std::vector<char>> inBlocks(kHeaders, std::vector<char>(kRate / 10 * 2, 0));
    std::vector<WAVEHDR> outHeaders(kHeaders), inHeaders(kHeaders);
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    sorn::alsatest::Completions played, recorded;
    ASSERT_EQ(played.Open(&out, format), MMSYSERR_NOERROR);
    ASSERT_EQ(recorded.Open(&in, format), MMSYSERR_NOERROR);
    for (std::size_t h = 0; h < kHeaders; ++h) {
        outHeaders[h].lpData = outBlocks[h].data();
        outHeaders[h].dwBufferLength = static_cast<DWORD>(outBlocks[h].size());
        inHeaders[h].lpData = inBlocks[h].data();
        inHeaders[h].dwBufferLength = static_cast<DWORD>(inBlocks[h].size());
        ASSERT_EQ(waveOutPrepareHeader(out, &outHeaders[h], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInPrepareHeader(in, &inHeaders[h], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, &outHeaders[h], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &inHeaders[h], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return played.Count() > 0 && recorded.Count() > 0; }, std::chrono::seconds(5)))
        << "the private server plays and records";

    std::vector<char> moreBlock(kRate / 10 * 2, 0);
    WAVEHDR more{};
    more.lpData = moreBlock.data();
    more.dwBufferLength = static_cast<DWORD>(moreBlock.size());
    ASSERT_EQ(waveOutPrepareHeader(out, &more, sizeof more), MMSYSERR_NOERROR);

    ASSERT_TRUE(server.Kill());
    EXPECT_TRUE(WaitFor([&] { return played.Count() == kHeaders; }, std::chrono::seconds(3)))
        << "playback headers still queued";
    EXPECT_TRUE(WaitFor([&] { return recorded.Count() == kHeaders; }, std::chrono::seconds(3)))
        << "capture headers still queued";
    EXPECT_EQ(waveOutWrite(out, &more, sizeof more), MMSYSERR_NODRIVER);
    waveOutUnprepareHeader(out, &more, sizeof more);
    for (WAVEHDR& header : outHeaders) waveOutUnprepareHeader(out, &header, sizeof(WAVEHDR));
    for (WAVEHDR& header : inHeaders) waveInUnprepareHeader(in, &header, sizeof(WAVEHDR));
    waveOutReset(out);
    waveInReset(in);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

}  // namespace
