// sorn on a real sound server (scripts/sound-server.sh: the default sink is
// a null sink whose monitor is the default source). Skips when no server
// answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cli/SornTool.h"

namespace {

using namespace sorntool;
using namespace std::chrono_literals;

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The first line a command prints.
std::string FirstLine(const std::string& command) {
    std::string line;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char text[256] = {};
        if (std::fgets(text, sizeof text, pipe)) line.assign(text, std::strcspn(text, "\n"));
        ::pclose(pipe);
    }
    return line;
}

class SornSoundServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Shell("pactl info")) {
            const char* required = std::getenv("SORN_REQUIRE_SOUND_SERVER");
            if (required && std::strcmp(required, "1") == 0) FAIL() << "no sound server answers";
            GTEST_SKIP() << "no sound server answers";
        }
    }
};

// devices shows the server's own channel count: 1 for the mono null sink
// (its record's wChannels says 2: it takes stereo).
TEST_F(SornSoundServerTest, DevicesShowTheServersOwnChannelCount) {
    const Outcome run = Sorn("devices --backend pulse", "");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(": sorn_null (1 channel)"), std::string::npos) << run.out;
    EXPECT_NE(Sorn("devices --json --backend pulse", "").out.find("\"name\":\"sorn_null\",\"channels\":1}"),
              std::string::npos);
}

// A range of a ramp file (sample k is -20000 + k) played through a null
// sink that never rewinds comes back through its monitor whole: its first
// sample to its last, nothing cut at either end.
TEST_F(SornSoundServerTest, PlayOfARangeComesBackWholeThroughTheMonitor) {
    wavtest::TempFolder folder;
    std::vector<std::int16_t> ramp(40000);
    for (std::size_t k = 0; k < ramp.size(); ++k) ramp[k] = static_cast<std::int16_t>(-20000 + int(k));
    const std::string path = folder.Write("ramp.wav", Wav(ramp));
    const std::string module = FirstLine(
        "pactl load-module module-null-sink sink_name=sorn_cli_exact rate=16000 channels=1 norewinds=1");
    const std::string previous = FirstLine("pactl get-default-sink");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(Shell("pactl set-default-sink sorn_cli_exact"));
    const std::string raw = folder.Path("monitor.raw");
    const pid_t capture =
        Start("exec parec -d sorn_cli_exact.monitor --format=s16le --rate=16000 --channels=1 --raw > " + raw);
    std::this_thread::sleep_for(500ms);
    const Outcome played = Sorn("play " + path + " --from 1000 --to 21000 --backend pulse", "");
    std::this_thread::sleep_for(500ms);
    kill(capture, SIGTERM);
    Wait(capture, 5s);
    Shell("pactl set-default-sink " + previous);
    Shell("pactl unload-module " + module);

    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.err, "sorn: audio backend: pulse (asked for by --backend)\n");
    const std::string bytes = Slurp(raw);
    std::vector<std::int16_t> heard(bytes.size() / 2);
    std::memcpy(heard.data(), bytes.data(), heard.size() * 2);
    const auto start = std::find(heard.begin(), heard.end(), static_cast<std::int16_t>(-19000));
    ASSERT_NE(start, heard.end()) << "the range's first sample never came back";
    auto at = start;
    while (at + 1 != heard.end() && *(at + 1) == *at + 1) ++at;
    EXPECT_EQ(*at, 999) << "every frame of the range, to its last";
    EXPECT_EQ(std::count(heard.begin(), heard.end(), static_cast<std::int16_t>(-19001)), 0) << "nothing before it";
    EXPECT_EQ(std::count(heard.begin(), heard.end(), static_cast<std::int16_t>(1000)), 0) << "nothing after it";
}

// sorn record on the default source (the sink's monitor) while sorn play
// speaks into the sink: it stops by itself at the end of speech; without
// auto-stop, SIGINT stops it and the take is kept.
TEST_F(SornSoundServerTest, RecordStopsAtTheEndOfSpeechAndKeepsTheTakeOnSigint) {
    wavtest::TempFolder folder;
    const std::string speech = folder.Write("speech.wav", Wav(Voice(2.0, 0.2)));
    const std::string tool = SORN_TOOL;

    const std::string take = folder.Path("take.wav");
    const pid_t recording = Start("exec " + tool + " record " + take + " --max-seconds 20 --backend pulse >" +
                                  folder.Path("out") + " 2>&1");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(Sorn("play " + speech + " --backend pulse", "").status, 0);
    EXPECT_EQ(Wait(recording, 15s), 0) << Slurp(folder.Path("out"));
    EXPECT_NE(Slurp(folder.Path("out")).find("stopped at the end of speech"), std::string::npos)
        << Slurp(folder.Path("out"));
    EXPECT_GT(Slurp(take).size(), 44u + 2u * 16000u) << "two seconds of speech at least";

    const std::string kept = folder.Path("kept.wav");
    const pid_t interrupted = Start("exec " + tool + " record " + kept + " --no-auto-stop --backend pulse >" +
                                    folder.Path("out2") + " 2>&1");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(Sorn("play " + speech + " --backend pulse", "").status, 0);
    kill(interrupted, SIGINT);
    EXPECT_EQ(Wait(interrupted, 10s), 0) << Slurp(folder.Path("out2"));
    const std::string out = Slurp(folder.Path("out2"));
    EXPECT_NE(out.find("stopped by Ctrl-C"), std::string::npos) << out;
    EXPECT_EQ(out.find("no speech"), std::string::npos) << out;
    EXPECT_GT(Slurp(kept).size(), 44u + 2u * 16000u);
}

}  // namespace
