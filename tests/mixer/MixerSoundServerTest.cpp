// System volume on a real sound server (scripts/sound-server.sh): what the
// manager and `sorn volume` set is what pactl reads, and the other way
// round. Raw fader values r map onto server volumes round(r * 65536 / 65535).
// Skips when no server answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/wait.h>

#include "audio/CWaveIn.h"
#include "mixer/MixerManager.h"
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

}  // namespace
