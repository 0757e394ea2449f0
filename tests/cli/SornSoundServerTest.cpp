// sorn on a real sound server (scripts/sound-server.sh: the default sink is
// a null sink whose monitor is the default source). Skips when no server
// answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "cli/SornTool.h"
#include "soundserver/SoundServerSupport.h"

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
    EXPECT_NE(Sorn("devices --json --backend pulse", "").out.find("\"name\":\"sorn_null\",\"channels\":1,"),
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

// A tone of `seconds` at `rate` Hz with `channels` channels, as a WAV file's bytes.
wavtest::Bytes ToneWav(unsigned rate, unsigned channels, double seconds) {
    wavtest::Bytes samples;
    for (std::size_t k = 0; k < static_cast<std::size_t>(seconds * rate); ++k) {
        const auto v = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 440.0 * double(k) / rate)));
        for (unsigned c = 0; c < channels; ++c) wavtest::Put16(samples, static_cast<std::uint16_t>(v));
    }
    return wavtest::Canonical(static_cast<std::uint16_t>(channels), rate, samples);
}

// A player that loses the processor twice for 300 ms mid-range (stopped, as
// an overcommitted machine stops a process for a moment) plays on from
// what the server holds: the range comes back through the sink's monitor
// without a gap and no longer than it is. Each format on a null sink of its
// own rate and channel count.
TEST_F(SornSoundServerTest, PlayerStoppedTwiceMidRangeLeavesNoGap) {
    wavtest::TempFolder folder;
    const std::string previous = FirstLine("pactl get-default-sink");
    for (const auto& [rate, channels] : {std::pair{16000u, 1u}, std::pair{44100u, 2u}}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)");
        const std::string sink = "sorn_cli_stall" + std::to_string(rate);
        const std::string path = folder.Write(sink + ".wav", ToneWav(rate, channels, 4.5));
        const std::string module = FirstLine("pactl load-module module-null-sink sink_name=" + sink +
                                             " rate=" + std::to_string(rate) + " channels=" + std::to_string(channels));
        ASSERT_FALSE(module.empty());
        ASSERT_TRUE(Shell("pactl set-default-sink " + sink));
        const std::string raw = folder.Path(sink + ".raw");
        const pid_t capture =
            Start("exec parec -d " + sink + ".monitor --latency-msec=10 --format=s16le --rate=" + std::to_string(rate) +
                  " --channels=" + std::to_string(channels) + " --raw > " + raw);
        std::this_thread::sleep_for(500ms);
        const pid_t player = Start("exec " + std::string(SORN_TOOL) + " play " + path +
                                   " --from 0.25s --to 4.25s --backend pulse >/dev/null 2>&1");
        for (const auto at : {1000ms, 1200ms}) {
            std::this_thread::sleep_for(at);
            kill(player, SIGSTOP);
            std::this_thread::sleep_for(300ms);
            kill(player, SIGCONT);
        }
        EXPECT_EQ(Wait(player, 15s), 0);
        std::this_thread::sleep_for(500ms);
        kill(capture, SIGTERM);
        Wait(capture, 5s);
        Shell("pactl set-default-sink " + previous);
        Shell("pactl unload-module " + module);

        // 5 ms windows of the first channel, loud or quiet.
        const std::string bytes = Slurp(raw);
        std::vector<std::int16_t> heard(bytes.size() / 2);
        std::memcpy(heard.data(), bytes.data(), heard.size() * 2);
        const std::size_t window = rate / 200 * channels;
        std::vector<bool> loud;
        for (std::size_t at = 0; at + window <= heard.size(); at += window) {
            bool any = false;
            for (std::size_t i = at; i < at + window; i += channels) any = any || std::abs(heard[i]) > 1000;
            loud.push_back(any);
        }
        const auto first = std::find(loud.begin(), loud.end(), true);
        ASSERT_NE(first, loud.end()) << "the range never came back";
        const auto last = std::find(loud.rbegin(), loud.rend(), true).base();
        EXPECT_EQ(std::count(first, last, false), 0) << "gaps of silence in the range";
        EXPECT_NEAR(static_cast<double>(last - first) * 0.005, 4.0, 0.02) << "seconds from its start to its end";
    }
}

// The sound server dies while sorn plays or records: it notices at once, says
// that the device was lost, and fails; a recording keeps its take.
TEST_F(SornSoundServerTest, PlayOrRecordWhoseServerDiesSaysTheDeviceWasLost) {
    sorn::soundtest::PrivateServer server;
    ASSERT_TRUE(server.Start()) << "cannot start a private sound server";
    wavtest::TempFolder folder;
    // Runs `args` on the private server, kills the server after `running`
    // and gives what sorn printed on stderr once it has ended with status 1.
    const auto killedDuring = [&](const std::string& args, std::chrono::milliseconds running) {
        const std::string err = folder.Path("err");
        const pid_t sorn = Start("exec env PULSE_SERVER=" + server.Address() + " " + SORN_TOOL + " " + args +
                                 " --backend pulse >/dev/null 2>" + err);
        std::this_thread::sleep_for(running);
        EXPECT_TRUE(server.Kill());
        EXPECT_EQ(Wait(sorn, 3s), 1) << "it should end within a second";
        const std::string text = Slurp(err);
        EXPECT_EQ(Lines(text), 2) << text;  // the backend line and the failure
        return text;
    };
    const std::string err = killedDuring("play " + folder.Write("long.wav", ToneWav(16000, 1, 30)), 1500ms);
    EXPECT_NE(err.find("sorn: play: the device was lost after "), std::string::npos) << err;

    // A recording whose server dies says so too, and keeps what it had.
    ASSERT_TRUE(server.Start());
    const std::string take = folder.Path("take.wav");
    const std::string recordErr = killedDuring("record " + take + " --no-auto-stop", 2500ms);
    EXPECT_NE(recordErr.find("sorn: record: the device was lost after "), std::string::npos) << recordErr;
    const std::string bytes = Slurp(take);
    if (recordErr.find("the take so far is saved in " + take) != std::string::npos) {
        ASSERT_GT(bytes.size(), 44u);
        EXPECT_EQ(bytes.size() - 44u, std::size_t{static_cast<unsigned char>(bytes[40])} |
                                          std::size_t{static_cast<unsigned char>(bytes[41])} << 8 |
                                          std::size_t{static_cast<unsigned char>(bytes[42])} << 16)
            << "the header describes what the file holds";
    } else {
        EXPECT_NE(recordErr.find("nothing was recorded"), std::string::npos) << recordErr;
    }
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

// The first channel of a raw recording: whether any sample is louder than 1000.
bool Loud(const std::string& raw, std::size_t skipBytes = 0) {
    const std::string bytes = Slurp(raw);
    std::vector<std::int16_t> heard(bytes.size() > skipBytes ? (bytes.size() - skipBytes) / 2 : 0);
    std::memcpy(heard.data(), bytes.data() + skipBytes, heard.size() * 2);
    return std::any_of(heard.begin(), heard.end(), [](std::int16_t v) { return std::abs(v) > 1000; });
}

// With several sinks: devices lists each with its own name, channels, rate
// and key, its monitor marked, and marks the default sink and source and no
// other; play --device (a sink's key) is heard on that sink and not on the
// default; record --device (part of a monitor's key, any case) records that
// monitor; a part that fits two sinks is refused with both listed.
TEST_F(SornSoundServerTest, DeviceChosenAmongSeveralSinksIsTheOneUsed) {
    wavtest::TempFolder folder;
    struct Unload {
        std::vector<std::string> modules;
        ~Unload() {
            for (const std::string& module : modules) Shell("pactl unload-module " + module);
        }
    } loaded;
    for (const char* sink : {"sink_name=sorn_cli_mono rate=16000 channels=1 "
                             "sink_properties=device.description=Sorn_Mono_Headset",
                             "sink_name=sorn_cli_stereo rate=48000 channels=2 "
                             "sink_properties=device.description=Sorn_Stereo_Speakers"}) {
        loaded.modules.push_back(FirstLine(std::string("pactl load-module module-null-sink ") + sink));
        ASSERT_FALSE(loaded.modules.back().empty()) << sink;
    }
    const std::string defaultSink = FirstLine("pactl get-default-sink");
    const std::string defaultSource = FirstLine("pactl get-default-source");

    const Outcome json = Sorn("devices --json --backend pulse", "");
    EXPECT_EQ(json.status, 0) << json.err;
    const std::size_t inputs = json.out.find("\"inputs\":");
    ASSERT_NE(inputs, std::string::npos) << json.out;
    for (const auto& [fields, input] :
         {std::pair<std::string, bool>{"\"name\":\"Sorn_Mono_Headset\",\"channels\":1,\"rate\":16000,\"monitor\":false,"
                                       "\"default\":false,\"key\":\"sorn_cli_mono\"}",
                                       false},
          {"\"name\":\"Sorn_Stereo_Speakers\",\"channels\":2,\"rate\":48000,\"monitor\":false,\"default\":false,"
           "\"key\":\"sorn_cli_stereo\"}",
           false},
          {"\"name\":\"Monitor of Sorn_Stereo_Speakers\",\"channels\":2,\"rate\":48000,\"monitor\":true,"
           "\"default\":false,\"key\":\"sorn_cli_stereo.monitor\"}",
           true},
          {"\"default\":true,\"key\":\"" + defaultSink + "\"}", false},
          {"\"default\":true,\"key\":\"" + defaultSource + "\"}", true}}) {
        const std::size_t at = json.out.find(fields);
        EXPECT_NE(at, std::string::npos) << fields << " in " << json.out;
        EXPECT_EQ(at > inputs, input) << fields << " among the " << (input ? "inputs" : "outputs");
    }
    std::size_t defaults = 0;
    for (std::size_t at = json.out.find("\"default\":true"); at != std::string::npos;
         at = json.out.find("\"default\":true", at + 1))
        ++defaults;
    EXPECT_EQ(defaults, 2u) << json.out;
    const Outcome text = Sorn("devices --backend pulse", "");
    EXPECT_NE(text.out.find(": Sorn_Mono_Headset (1 channel) 16000 Hz, key sorn_cli_mono\n"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find(": Monitor of Sorn_Stereo_Speakers (2 channels) 48000 Hz, monitor, key "
                            "sorn_cli_stereo.monitor\n"),
              std::string::npos)
        << text.out;

    // Played on the mono sink by its key: heard there, not on the default.
    const std::string tone = folder.Write("tone.wav", ToneWav(16000, 1, 1.0));
    const pid_t onChosen =
        Start("exec parec -d sorn_cli_mono.monitor --format=s16le --rate=16000 --channels=1 --raw > " +
              folder.Path("chosen.raw"));
    const pid_t onDefault =
        Start("exec parec -d " + defaultSink + ".monitor --format=s16le --rate=16000 --channels=1 --raw > " +
              folder.Path("default.raw"));
    std::this_thread::sleep_for(500ms);
    const Outcome played = Sorn("play " + tone + " --device sorn_cli_mono --backend pulse", "");
    std::this_thread::sleep_for(500ms);
    for (const pid_t capture : {onChosen, onDefault}) {
        kill(capture, SIGTERM);
        Wait(capture, 5s);
    }
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_TRUE(Loud(folder.Path("chosen.raw"))) << "not heard on the chosen sink";
    EXPECT_FALSE(Loud(folder.Path("default.raw"))) << "heard on the default sink";

    // Recorded from the stereo sink's monitor, named by part of its key,
    // while sorn plays into that sink: the take holds the tone.
    const std::string longTone = folder.Write("long.wav", ToneWav(16000, 1, 3.0));
    const pid_t player = Start("exec " + std::string(SORN_TOOL) + " play " + longTone +
                               " --device Sorn_Stereo_Speakers --backend pulse >/dev/null 2>&1");
    std::this_thread::sleep_for(500ms);
    const std::string take = folder.Path("take.wav");
    const Outcome recorded =
        Sorn("record " + take + " --device CLI_STEREO --max-seconds 1 --no-auto-stop --backend pulse", "");
    EXPECT_EQ(Wait(player, 10s), 0);
    EXPECT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_TRUE(Loud(take, 44)) << "the chosen monitor's tone is not in the take";

    // The default sink's own volume, named by its key, on the volume
    // manager's scale: 0.5 is 32767 of the server's 65536.
    const Outcome volume = Sorn("volume --device " + defaultSink + " out 0.5 --backend pulse", "");
    const std::string level = FirstLine("pactl get-sink-volume " + defaultSink);
    Shell("pactl set-sink-volume " + defaultSink + " 100%");
    EXPECT_EQ(volume.status, 0) << volume.err;
    EXPECT_NE(volume.out.find("\": 0.500\n"), std::string::npos) << volume.out;
    EXPECT_NE(level.find(" 32767 "), std::string::npos) << level;

    const Outcome ambiguous = Sorn("play " + tone + " --device sorn_cli --backend pulse", "");
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(Lines(ambiguous.err), 1) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find("\"Sorn_Mono_Headset\""), std::string::npos) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find("\"Sorn_Stereo_Speakers\""), std::string::npos) << ambiguous.err;
}

}  // namespace
