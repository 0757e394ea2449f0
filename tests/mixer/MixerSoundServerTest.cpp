// System volume on a real sound server (scripts/sound-server.sh): what the
// manager and `sorn volume` set is what pactl reads, and the other way
// round. Raw fader values r map onto server volumes round(r * 65536 / 65535).
// Skips when no server answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

#include "audio/CWaveIn.h"
#include "mixer/MixerManager.h"
#include "platform/Mixer.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerFixture.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using namespace sorn::soundtest;
using namespace std::chrono_literals;
using SornMedia::SornAudio::CWaveIn;
using SornMedia::SornAudio::MixerManager;

// The standard output of a command.
std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n' && text.find('\n') + 1 == text.size()) text.pop_back();
    return text;
}

// The exit status of a command, and what it wrote to stdout and stderr.
struct Ran {
    int status = -1;
    std::string text;
};
Ran RunCommand(const std::string& command) {
    Ran ran;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) ran.text += buffer;
        const int raw = pclose(pipe);
        ran.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return ran;
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The raw volume of each channel as pactl prints it
// ("Volume: front-left: 10000 /  15% / ...,   front-right: ...").
std::vector<long> Volumes(const std::string& what, const std::string& environment = "") {
    const std::string text = Output(environment + "pactl get-" + what + "-volume @DEFAULT_" +
                                    (what == "sink" ? std::string("SINK@") : std::string("SOURCE@")));
    const std::string line = text.substr(0, text.find('\n'));
    std::vector<long> volumes;
    for (std::size_t at = line.find(": "); at != std::string::npos; at = line.find(": ", at + 1)) {
        char* end = nullptr;
        const long value = std::strtol(line.c_str() + at + 2, &end, 10);
        if (end != line.c_str() + at + 2 && std::strncmp(end, " /", 2) == 0) volumes.push_back(value);
    }
    return volumes;
}

class MixerSoundServerTest : public SoundServerFixture {
protected:
    void SetUp() override {
        SoundServerFixture::SetUp();
        if (Stopped()) return;
        ASSERT_TRUE(Shell("pactl set-sink-volume @DEFAULT_SINK@ 65536"));
        ASSERT_TRUE(Shell("pactl set-source-volume @DEFAULT_SOURCE@ 65536"));
    }
    void TearDown() override {
        MixerManager::ReleaseInstance();
        Shell("pactl set-sink-volume @DEFAULT_SINK@ 65536");
        Shell("pactl set-source-volume @DEFAULT_SOURCE@ 65536");
    }
};

TEST_F(MixerSoundServerTest, SornVolumeAndPactlAgree) {
    EXPECT_EQ(Output(std::string(SORN_TOOL) + " volume out 0.5"), "playback volume: 0.500");
    EXPECT_EQ(Volumes("sink"), std::vector<long>{32767}) << "32767/65535 of 100 %";

    ASSERT_TRUE(Shell("pactl set-source-volume @DEFAULT_SOURCE@ 20000"));
    CWaveIn capture(MixerManager::GetInstance());
    EXPECT_DOUBLE_EQ(capture.VolumeLevel(), 20000 / 65535.0);
    capture.VolumeLevel(0.25);
    EXPECT_EQ(Volumes("source"), std::vector<long>{16383});

    // Refused: above the top, and below 0 (which wraps to a huge value).
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    manager->SetOutputVolume(0.75);
    const std::vector<long> before = Volumes("sink");
    manager->SetOutputVolume(1.5);
    manager->SetOutputVolume(-0.25);
    EXPECT_EQ(Volumes("sink"), before);
}

TEST_F(MixerSoundServerTest, StereoSinkReadsAsTheLargerSide) {
    const std::string previous = Output("pactl get-default-sink");
    const std::string module =
        Output("pactl load-module module-null-sink sink_name=sorn_mixer_stereo rate=16000 channels=2");
    ASSERT_FALSE(module.empty());
    struct Restore {
        std::string sink, module;
        ~Restore() {
            Shell("pactl set-default-sink " + sink);
            Shell("pactl unload-module " + module);
        }
    } restore{previous, module};
    ASSERT_TRUE(Shell("pactl set-default-sink sorn_mixer_stereo"));
    ASSERT_TRUE(Shell("pactl set-sink-volume sorn_mixer_stereo 10000 40000"));
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 39999 / 65535.0);  // round(40000 * 65535 / 65536)
    manager->SetOutputVolume(0.5);
    EXPECT_EQ(Volumes("sink"), (std::vector<long>{32767, 32767}));
}

TEST_F(MixerSoundServerTest, ServerKilledWhileTheManagerLives) {
    PrivateServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(sorn::audio::SelectBackend(("pulse:server=" + server.Address()).c_str()), MMSYSERR_NOERROR);
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 1.0);
    ASSERT_TRUE(server.Kill());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager->GetOutputVolume(), 0.0);
    EXPECT_EQ(manager->GetInputVolume(), 0.0);
    manager->SetOutputVolume(0.5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "bounded, never a hang";
    MixerManager::ReleaseInstance();
    EXPECT_EQ(MixerManager::GetInstance(), nullptr) << "no server: no mixer";
    sorn::audio::SelectBackend("pulse");
}

// Each test on a server of its own, of the default server's kind, selected
// as the backend.
class MixerPrivateServerTest : public SoundServerFixture {
protected:
    void SetUp() override {
        SoundServerFixture::SetUp();
        if (Stopped()) return;
        ASSERT_TRUE(server.Start(PrivateServer::SharedKind()));
        ASSERT_EQ(sorn::audio::SelectBackend(("pulse:server=" + server.Address()).c_str()), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        MixerManager::ReleaseInstance();
        server.Resume();
        sorn::audio::SelectBackend("pulse");
    }
    // A command run against the private server.
    std::string Private(const std::string& command) { return "PULSE_SERVER=" + server.Address() + " " + command; }

    PrivateServer server;
};

using Clock = std::chrono::steady_clock;

// A stalled server (it accepts connections and never answers) costs one
// bounded attempt: set-up and a level request each give up within 2 s, and
// what follows at once does not ask again.
TEST_F(MixerPrivateServerTest, AStalledServerCostsOneBoundedAttempt) {
    MixerManager* live = MixerManager::GetInstance();
    ASSERT_NE(live, nullptr);
    ASSERT_TRUE(server.Stall());
    auto start = Clock::now();
    EXPECT_EQ(live->GetOutputVolume(), 0.0);
    const auto firstRead = Clock::now() - start;
    start = Clock::now();
    live->SetOutputVolume(0.5);
    EXPECT_EQ(live->GetInputVolume(), 0.0);
    const auto laterRequests = Clock::now() - start;
    MixerManager::ReleaseInstance();
    // A new backend, which never reached the server.
    ASSERT_EQ(sorn::audio::SelectBackend(("pulse:server=" + server.Address()).c_str()), MMSYSERR_NOERROR);
    start = Clock::now();
    EXPECT_EQ(MixerManager::GetInstance(), nullptr);
    const auto setUp = Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(MixerManager::GetInstance(), nullptr);
    const auto burst = Clock::now() - start;
    EXPECT_LT(firstRead, 2s) << "a level request gives up in time";
    EXPECT_LT(laterRequests, 1s) << "the next requests do not wait again";
    EXPECT_LT(setUp, 2s) << "set-up gives up in time";
    EXPECT_LT(burst, 1s) << "a burst of set-ups does not wait again";
    std::printf("stalled server: first read %.3f s, set-up %.3f s, then 5 set-ups %.3f s\n",
                std::chrono::duration<double>(firstRead).count(), std::chrono::duration<double>(setUp).count(),
                std::chrono::duration<double>(burst).count());
}

// After the server is killed and started again, the live manager reads and
// sets the new server's volume.
TEST_F(MixerPrivateServerTest, VolumeWorksAgainAfterTheServerRestarts) {
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 1.0);
    ASSERT_TRUE(server.Kill());
    EXPECT_EQ(manager->GetOutputVolume(), 0.0) << "no server";
    ASSERT_TRUE(server.Start(PrivateServer::SharedKind()));
    // The new server's session manager may still restore saved volumes for
    // a moment: each check waits until the server's value holds.
    ASSERT_TRUE(Shell(Private("pactl set-sink-volume @DEFAULT_SINK@ 20000")));
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<long> volumes = Volumes("sink", Private(""));
            return volumes.size() == 1 &&
                   manager->GetOutputVolume() == std::lround(volumes[0] * 65535 / 65536.0) / 65535.0;
        },
        3s, 50ms))
        << "the manager reads the new server's volume";
    EXPECT_TRUE(WaitFor(
        [&] {
            manager->SetInputVolume(0.25);
            return Volumes("source", Private("")) == std::vector<long>{16383};
        },
        3s, 50ms))
        << "the manager sets the new server's volume";
    CWaveIn capture(MixerManager::GetInstance());
    EXPECT_DOUBLE_EQ(capture.VolumeLevel(), 16383 / 65535.0) << "an object made after the restart";
}

// sorn volume fails, status 1 and one line saying why, when the server is
// there but silent (auto does not fall back to the virtual device), when
// none answers (saying where it was looked for), and when the server has no
// sink; devices likewise without a server.
TEST_F(MixerPrivateServerTest, SornFailsWithTheReasonWhenNothingCanBeDone) {
    const std::string sorn = std::string(SORN_TOOL);
    const std::string where = "no sound server answered at " + server.Address() + "\n";
    ASSERT_TRUE(server.Stall());
    // Auto again and again: once the server's queue of waiting connections
    // is full it refuses at once, and is still no machine without sound.
    for (const char* backend : {" --backend pulse", "", "", "", "", "", "", "", ""}) {
        const Ran ran = RunCommand(Private(sorn + " volume out 0.25" + backend));
        EXPECT_EQ(ran.status, 1) << ran.text;
        EXPECT_TRUE(ran.text.size() > where.size() && ran.text.ends_with(where)) << ran.text;
        EXPECT_EQ(ran.text.find("volume: 0"), std::string::npos) << ran.text;
    }
    ASSERT_TRUE(server.Resume());
    const Ran absent = RunCommand(sorn + " devices --backend pulse:server=unix:/nonexistent/native");
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.text, "sorn: devices: no sound server answered at unix:/nonexistent/native\n");
    Shell(Private("pactl unload-module module-always-sink"));  // PipeWire's stand-in sink
    ASSERT_TRUE(Shell(Private("pactl unload-module module-null-sink")));
    const Ran sinkless = RunCommand(Private(sorn + " volume out 0.25"));
    EXPECT_EQ(sinkless.status, 1);
    EXPECT_EQ(sinkless.text.substr(sinkless.text.find('\n') + 1),
              "sorn: volume: no volume to read or set: the sound server has no playback device\n");
}

// sorn volume shows the server's percentage above 100 % and says "muted".
TEST_F(MixerPrivateServerTest, SornVolumeShowsABoostedAndAMutedDevice) {
    ASSERT_TRUE(Shell(Private("pactl set-sink-volume @DEFAULT_SINK@ 150%")));
    ASSERT_TRUE(Shell(Private("pactl set-source-mute @DEFAULT_SOURCE@ 1")));
    EXPECT_EQ(Output(Private(std::string(SORN_TOOL) + " volume")),
              "recording volume: 1.000 (muted)\nplayback volume: 1.000 (150 %)\n");
}

// The channels of a sink or source as pactl prints its volume, name and
// raw value ("Volume: front-left: 10000 /  15% / ...,   front-right: ...").
std::vector<std::pair<std::string, long>> NamedVolumes(const std::string& environment, const std::string& what,
                                                       const std::string& device) {
    const std::string text = Output(environment + "pactl get-" + what + "-volume " + device);
    const std::string line = text.substr(0, text.find('\n'));
    std::vector<std::pair<std::string, long>> volumes;
    for (std::size_t at = line.find(": "); at != std::string::npos; at = line.find(": ", at + 1)) {
        char* end = nullptr;
        const long value = std::strtol(line.c_str() + at + 2, &end, 10);
        if (end == line.c_str() + at + 2 || std::strncmp(end, " /", 2) != 0) continue;
        const std::size_t from = line.find_last_of(" ,", at - 1);
        volumes.emplace_back(line.substr(from == std::string::npos ? 0 : from + 1, at - from - 1), value);
    }
    return volumes;
}

HMIXEROBJ Object(std::uintptr_t value) { return reinterpret_cast<HMIXEROBJ>(value); }

// The volume fader of a mixer's first destination (speakers) or of the
// microphone source under it (recording), and its line's channel count.
struct Fader {
    DWORD id = 0;
    DWORD channels = 0;
    DWORD componentType = 0;
};
bool FindFader(HMIXEROBJ mixer, DWORD objectType, Fader* fader) {
    MIXERLINEA line{};
    line.cbStruct = sizeof line;
    line.dwDestination = 0;
    if (mixerGetLineInfoA(mixer, &line, objectType | MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR) return false;
    fader->componentType = line.dwComponentType;
    if (line.dwComponentType == MIXERLINE_COMPONENTTYPE_DST_WAVEIN) {
        line.dwSource = 0;
        if (mixerGetLineInfoA(mixer, &line, objectType | MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) return false;
    }
    MIXERCONTROLA control{};
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof query;
    query.dwLineID = line.dwLineID;
    query.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    query.cControls = 1;
    query.cbmxctrl = sizeof control;
    query.pamxctrl = &control;
    if (mixerGetLineControlsA(mixer, &query, objectType | MIXER_GETLINECONTROLSF_ONEBYTYPE) != MMSYSERR_NOERROR)
        return false;
    fader->id = control.dwControlID;
    fader->channels = line.cChannels;
    return true;
}

MIXERCONTROLDETAILS Details(DWORD control, DWORD channels, DWORD* values) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control;
    details.cChannels = channels;
    details.cbDetails = sizeof(DWORD);
    details.paDetails = values;
    return details;
}

// Raw fader value r as the server's volume.
long ServerVolume(DWORD raw) { return static_cast<long>((static_cast<std::uint64_t>(raw) * 65536 + 32767) / 65535); }

// A private server with three more sinks (mono, stereo, 6 channels) beside
// its own: mixers, their ids and the defaults they follow.
class MixerDevicesTest : public MixerPrivateServerTest {
protected:
    void SetUp() override {
        MixerPrivateServerTest::SetUp();
        if (Stopped() || HasFatalFailure()) return;
        for (const char* channels : {"1", "2", "6"}) {
            const std::string name = std::string("sorn_mix") + channels;
            ASSERT_FALSE(Output(Private("pactl load-module module-null-sink sink_name=" + name + " channels=" +
                                        channels + " rate=16000 sink_properties=device.description=" + name))
                             .empty());
        }
        // PipeWire's sinks appear a moment after the module answers.
        ASSERT_TRUE(
            WaitFor([&] { return Output(Private("pactl list short sinks")).find("sorn_mix6") != std::string::npos; },
                    3s, 20ms));
    }
    // Makes `name` the default sink (Output) or source and waits until the
    // server says so (PipeWire's session manager takes a moment).
    bool SetDefault(bool sink, const std::string& name) {
        const std::string kind = sink ? "sink" : "source";
        return Shell(Private("pactl set-default-" + kind + " " + name)) &&
               WaitFor([&] { return Output(Private("pactl get-default-" + kind)) == name; }, 3s, 20ms);
    }
};

// Mixer k serves the k-th device: the sinks in wave-out order, then the
// sources in wave-in order, each with the device's name and channels;
// mixerGetID names the same mixers, the default's for the mapper.
TEST_F(MixerDevicesTest, OneMixerPerDeviceInTheWaveOrder) {
    const UINT sinks = waveOutGetNumDevs();
    const UINT sources = waveInGetNumDevs();
    ASSERT_GE(sinks, 4u);
    ASSERT_GE(sources, 4u) << "the monitors";
    ASSERT_EQ(mixerGetNumDevs(), sinks + sources);
    for (UINT k = 0; k < sinks + sources; ++k) {
        const bool output = k < sinks;
        const UINT wave = output ? k : k - sinks;
        char waveName[MAXPNAMELEN] = {};
        WORD channels = 0;
        if (output) {
            WAVEOUTCAPSA caps{};
            ASSERT_EQ(waveOutGetDevCapsA(wave, &caps, sizeof caps), MMSYSERR_NOERROR);
            std::memcpy(waveName, caps.szPname, sizeof waveName);
            channels = caps.wChannels;
        } else {
            WAVEINCAPSA caps{};
            ASSERT_EQ(waveInGetDevCapsA(wave, &caps, sizeof caps), MMSYSERR_NOERROR);
            std::memcpy(waveName, caps.szPname, sizeof waveName);
            channels = caps.wChannels;
        }
        MIXERCAPSA caps{};
        ASSERT_EQ(mixerGetDevCapsA(k, &caps, sizeof caps), MMSYSERR_NOERROR) << k;
        EXPECT_STREQ(caps.szPname, waveName) << k;
        EXPECT_EQ(caps.cDestinations, 1u) << k;
        Fader fader;
        ASSERT_TRUE(FindFader(Object(k), MIXER_OBJECTF_MIXER, &fader)) << k;
        EXPECT_EQ(fader.componentType,
                  output ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS : MIXERLINE_COMPONENTTYPE_DST_WAVEIN)
            << k;
        EXPECT_EQ(fader.channels, channels) << k;
        UINT id = 12345;
        EXPECT_EQ(mixerGetID(Object(wave), &id, output ? MIXER_OBJECTF_WAVEOUT : MIXER_OBJECTF_WAVEIN),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(id, k);
        EXPECT_EQ(mixerGetID(Object(k), &id, MIXER_OBJECTF_MIXER), MMSYSERR_NOERROR);
        EXPECT_EQ(id, k);
    }
    UINT id = 12345;
    EXPECT_EQ(mixerGetID(Object(sinks + sources), &id, MIXER_OBJECTF_MIXER), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mixerGetID(Object(sinks), &id, MIXER_OBJECTF_WAVEOUT), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mixerGetID(Object(0), nullptr, MIXER_OBJECTF_WAVEOUT), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mixerGetID(Object(0), &id, MIXER_OBJECTF_HMIXER), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mixerGetID(Object(0), &id, MIXER_OBJECTF_WAVEOUT | 0x10), MMSYSERR_INVALFLAG);
    EXPECT_EQ(mixerGetID(Object(0), &id, MIXER_OBJECTF_AUX), MMSYSERR_NODRIVER);
    EXPECT_EQ(id, 12345u) << "a refusal leaves the id alone";

    // The mapper's mixer id is the default device's, as it is now.
    for (const char* name : {"sorn_mix6", "sorn_mix1"}) {
        ASSERT_TRUE(SetDefault(true, name));
        EXPECT_EQ(mixerGetID(Object(WAVE_MAPPER), &id, MIXER_OBJECTF_WAVEOUT), MMSYSERR_NOERROR);
        EXPECT_EQ(id, DeviceWithKey(true, name)) << name;
    }
    ASSERT_TRUE(SetDefault(false, "sorn_mix2.monitor"));
    EXPECT_EQ(mixerGetID(Object(WAVE_MAPPER), &id, MIXER_OBJECTF_WAVEIN), MMSYSERR_NOERROR);
    EXPECT_EQ(id, sinks + DeviceWithKey(false, "sorn_mix2.monitor"));

    // Of open handles: a wave stream's device, a mixer's own id.
    const UINT stereo = DeviceWithKey(true, "sorn_mix2");
    const WAVEFORMATEX format = Format();
    HWAVEOUT wave = nullptr;
    ASSERT_EQ(waveOutOpen(&wave, stereo, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerGetID(reinterpret_cast<HMIXEROBJ>(wave), &id, MIXER_OBJECTF_HWAVEOUT), MMSYSERR_NOERROR);
    EXPECT_EQ(id, stereo);
    HMIXER mixer = nullptr;
    ASSERT_EQ(
        mixerOpen(&mixer, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(wave)), 0, 0, MIXER_OBJECTF_HWAVEOUT),
        MMSYSERR_NOERROR);
    EXPECT_EQ(mixerGetID(reinterpret_cast<HMIXEROBJ>(mixer), &id, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    EXPECT_EQ(id, stereo);
    Fader fader;
    ASSERT_TRUE(FindFader(reinterpret_cast<HMIXEROBJ>(mixer), MIXER_OBJECTF_HMIXER, &fader));
    EXPECT_EQ(fader.channels, 2u);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
}

// The mapper's mixer (through a stream the mapper opened, as the volume
// manager finds it) reads and writes the default sink or source of each
// moment, with that device's channel map; a numbered device's mixer stays
// with its device; the volume manager sets the default the user switched to.
TEST_F(MixerDevicesTest, TheMappersMixerActsOnTheCurrentDefault) {
    ASSERT_TRUE(SetDefault(true, "sorn_mix1"));
    const WAVEFORMATEX format = Format();
    HWAVEOUT wave = nullptr;
    ASSERT_EQ(waveOutOpen(&wave, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HMIXER mapper = nullptr;
    ASSERT_EQ(
        mixerOpen(&mapper, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(wave)), 0, 0, MIXER_OBJECTF_HWAVEOUT),
        MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
    Fader fader;
    ASSERT_TRUE(FindFader(reinterpret_cast<HMIXEROBJ>(mapper), MIXER_OBJECTF_HMIXER, &fader));
    EXPECT_EQ(fader.channels, 1u) << "the default at open is mono";
    HMIXER numbered = nullptr;
    const UINT mono = DeviceWithKey(true, "sorn_mix1");
    ASSERT_EQ(mixerOpen(&numbered, mono, 0, 0, MIXER_OBJECTF_WAVEOUT), MMSYSERR_NOERROR);
    Fader numberedFader;
    ASSERT_TRUE(FindFader(reinterpret_cast<HMIXEROBJ>(numbered), MIXER_OBJECTF_HMIXER, &numberedFader));

    ASSERT_TRUE(SetDefault(true, "sorn_mix6"));
    UINT id = 12345;
    EXPECT_EQ(mixerGetID(reinterpret_cast<HMIXEROBJ>(mapper), &id, MIXER_OBJECTF_HMIXER), MMSYSERR_NOERROR);
    EXPECT_EQ(id, DeviceWithKey(true, "sorn_mix6")) << "the mapper's mixer is the new default's now";
    ASSERT_TRUE(Shell(Private("pactl set-sink-volume sorn_mix6 10000 20000 30000 40000 50000 60000")));
    DWORD values[2] = {0, 0};
    MIXERCONTROLDETAILS details = Details(fader.id, 1, values);
    ASSERT_EQ(mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mapper), &details,
                                      MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE),
              MMSYSERR_NOERROR);
    // The larger of the sides' averages, by the positions pactl names; a
    // map without sides (PipeWire's aux0..aux5) has its first two channels.
    std::uint64_t sum[2] = {0, 0}, count[2] = {0, 0};
    const auto channels = NamedVolumes(Private(""), "sink", "sorn_mix6");
    const bool sided = std::any_of(channels.begin(), channels.end(),
                                   [](const auto& channel) { return channel.first.find("left") != std::string::npos; });
    for (std::size_t c = 0; c < channels.size(); ++c) {
        const std::string& name = channels[c].first;
        const int side = sided ? (name.find("left") != std::string::npos    ? 0
                                  : name.find("right") != std::string::npos ? 1
                                                                            : -1)
                               : (c < 2 ? static_cast<int>(c) : -1);
        if (side < 0) continue;
        sum[side] += static_cast<std::uint64_t>(channels[c].second);
        ++count[side];
    }
    ASSERT_TRUE(count[0] > 0 && count[1] > 0);
    const std::uint64_t larger = std::max(sum[0] / count[0], sum[1] / count[1]);
    EXPECT_EQ(values[0], (larger * 65535 + 32768) / 65536) << "the 6-channel default's, not the mono sink's 65535";
    values[0] = 20000;
    ASSERT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mapper), &details,
                                     MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE),
              MMSYSERR_NOERROR);
    const auto six = NamedVolumes(Private(""), "sink", "sorn_mix6");
    ASSERT_EQ(six.size(), 6u) << "every channel of the new default set";
    for (const auto& [name, value] : six) EXPECT_EQ(value, ServerVolume(20000)) << name;
    EXPECT_EQ(Volumes("sink", Private("")), std::vector<long>(6, ServerVolume(20000)));
    const auto monoNow = NamedVolumes(Private(""), "sink", "sorn_mix1");
    ASSERT_EQ(monoNow.size(), 1u);
    EXPECT_EQ(monoNow[0].second, 65536) << "the old default is left alone";

    // The numbered mixer of the mono sink still sets that sink.
    values[0] = 30000;
    details = Details(numberedFader.id, 1, values);
    ASSERT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(numbered), &details,
                                     MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE),
              MMSYSERR_NOERROR);
    EXPECT_EQ(NamedVolumes(Private(""), "sink", "sorn_mix1")[0].second, ServerVolume(30000));
    EXPECT_EQ(NamedVolumes(Private(""), "sink", "sorn_mix6")[0].second, ServerVolume(20000));
    EXPECT_EQ(mixerClose(numbered), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerClose(mapper), MMSYSERR_NOERROR);

    // The volume manager, set up on one default, sets the next: both sides
    // of a stereo sink from the manager's two-channel write, a mono source.
    ASSERT_TRUE(SetDefault(true, "sorn_mix1"));
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    ASSERT_TRUE(SetDefault(true, "sorn_mix2"));
    ASSERT_TRUE(Shell(Private("pactl set-sink-volume sorn_mix2 10000 40000")));
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 39999 / 65535.0) << "the new default's larger side";
    manager->SetOutputVolume(0.5);
    EXPECT_EQ(Volumes("sink", Private("")), (std::vector<long>{32767, 32767}));
    EXPECT_EQ(NamedVolumes(Private(""), "sink", "sorn_mix1")[0].second, ServerVolume(30000));
    ASSERT_TRUE(SetDefault(false, "sorn_mix1.monitor"));
    manager->SetInputVolume(0.25);
    EXPECT_EQ(Volumes("source", Private("")), std::vector<long>{16383});
    ASSERT_TRUE(SetDefault(false, "sorn_mix6.monitor"));
    manager->SetInputVolume(0.75);
    EXPECT_EQ(Volumes("source", Private("")), std::vector<long>(6, ServerVolume(49151)));
    EXPECT_EQ(NamedVolumes(Private(""), "source", "sorn_mix1.monitor")[0].second, 16383);
}

// A device removed while its mixer is open: that mixer answers
// MMSYSERR_NODRIVER (no hang), its old id past the end is refused, and the
// mixers that remain renumber as the wave devices do.
TEST_F(MixerDevicesTest, ARemovedDevicesMixerAnswersNoDriver) {
    const UINT stereo = DeviceWithKey(true, "sorn_mix2");
    ASSERT_NE(stereo, WAVE_MAPPER);
    const UINT before = mixerGetNumDevs();
    HMIXER mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, stereo, 0, 0, MIXER_OBJECTF_MIXER), MMSYSERR_NOERROR);
    Fader fader;
    ASSERT_TRUE(FindFader(reinterpret_cast<HMIXEROBJ>(mixer), MIXER_OBJECTF_HMIXER, &fader));
    const std::string module = Output(Private("pactl list short modules | grep sink_name=sorn_mix2 | cut -f1"));
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(Shell(Private("pactl unload-module " + module)));
    ASSERT_TRUE(WaitFor([&] { return mixerGetNumDevs() == before - 2; }, 3s, 20ms)) << "the sink and its monitor";
    DWORD values[2] = {1000, 1000};
    MIXERCONTROLDETAILS details = Details(fader.id, 2, values);
    const auto start = Clock::now();
    EXPECT_EQ(mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(mixer), &details,
                                      MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE),
              MMSYSERR_NODRIVER);
    EXPECT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &details,
                                     MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE),
              MMSYSERR_NODRIVER);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    HMIXER gone = nullptr;
    EXPECT_EQ(mixerOpen(&gone, before - 1, 0, 0, MIXER_OBJECTF_MIXER), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mixerGetNumDevs(), waveOutGetNumDevs() + waveInGetNumDevs());
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(stereo, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "sorn_mix6") << "the next sink takes its number";
}

// sorn volume, run after the user switched the default sink, sets the new
// default and leaves the old one.
TEST_F(MixerDevicesTest, SornVolumeAfterASwitchSetsTheNewDefault) {
    ASSERT_TRUE(SetDefault(true, "sorn_mix2"));
    EXPECT_EQ(Output(Private(std::string(SORN_TOOL) + " volume out 0.5")), "playback volume: 0.500");
    EXPECT_EQ(NamedVolumes(Private(""), "sink", "sorn_mix2"),
              (std::vector<std::pair<std::string, long>>{{"front-left", 32767}, {"front-right", 32767}}));
    EXPECT_EQ(NamedVolumes(Private(""), "sink", "sorn_null")[0].second, 65536) << "the old default is left alone";
}

}  // namespace
