// Every sink and source of a sound server as a wave device: numbering and
// names, a stream on a chosen device, the default switched under running
// streams, and a device taken away mid-range. Each test runs on a server of
// its own (the kind of the default one, so PulseAudio and PipeWire are both
// covered) with three sinks and three sources besides its null sink: one
// mono, one stereo and one of six channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerFixture.h"
#include "soundserver/SoundServerSupport.h"

namespace {

using namespace sorn::soundtest;
using namespace std::chrono_literals;

struct Added {
    const char* name;
    WORD channels;
    const char* description;
};

// In the order they are added, so in the servers' index order.
const Added kSinks[] = {{"sorn_mono", 1, "Mono speaker"},
                        {"sorn_stereo", 2, "Stereo speakers"},
                        {"sorn_six", 6, "Six-channel speakers in the salé room"}};
const Added kSources[] = {{"sorn_mic_mono", 1, "Mono microphone"},
                          {"sorn_mic_stereo", 2, "Stereo microphone"},
                          {"sorn_mic_six", 6, "Six-channel microphone array"}};

class ServerDevicesTest : public SoundServerFixture {
protected:
    void SetUp() override {
        SoundServerFixture::SetUp();
        if (Stopped()) return;
        if (!server.Start()) {
            if (ServerRequired()) FAIL() << "cannot start a private sound server";
            GTEST_SKIP() << "cannot start a private sound server";
        }
        for (const Added& sink : kSinks) {
            sinkModules.push_back(Load("module-null-sink sink_name=" + std::string(sink.name) +
                                       " channels=" + std::to_string(sink.channels) + " rate=48000 " +
                                       Property("sink_properties", sink.description)));
        }
        for (const Added& source : kSources) {
            // PulseAudio has null sources; PipeWire makes one of a null sink
            // of the source class.
            const std::string common = " channels=" + std::to_string(source.channels) + " rate=48000";
            sourceModules.push_back(
                server.IsPipeWire()
                    ? Load("module-null-sink media.class=Audio/Source/Virtual sink_name=" + std::string(source.name) +
                           common + " " + Property("sink_properties", source.description))
                    : Load("module-null-source source_name=" + std::string(source.name) + common + " \"description='" +
                           source.description + "'\""));
        }
        // pipewire-pulse answers load-module before the node is listed.
        for (const Added& sink : kSinks) ASSERT_TRUE(Listed("sinks", sink.name, true)) << sink.name;
        for (const Added& source : kSources) ASSERT_TRUE(Listed("sources", source.name, true)) << source.name;
        // The servers' defaults stay the null sink and its monitor.
        server.Pactl("set-default-sink sorn_null");
        server.Pactl("set-default-source sorn_null.monitor");
        const std::string selection = "pulse:server=" + server.Address();
        ASSERT_EQ(sorn::audio::SelectBackend(selection.c_str()), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        sorn::audio::SelectBackend("pulse");
        server.Stop();
    }

    // A property list entry for a module argument, through the shell.
    static std::string Property(const std::string& key, const std::string& value) {
        return "\"" + key + "='device.description=\\\"" + value + "\\\"'\"";
    }
    std::string Load(const std::string& arguments) {
        const std::string index = server.Pactl("load-module " + arguments);
        EXPECT_FALSE(index.empty()) << "the server refused " << arguments;
        return index.substr(0, index.find('\n'));
    }

    // Waits until the server's own list of `kind` ("sinks" or "sources")
    // holds `name` (listed) or no longer does: pipewire-pulse carries out
    // load-module and unload-module after it has answered them.
    bool Listed(const std::string& kind, const std::string& name, bool listed) {
        const auto holds = [&] {
            std::istringstream lines(server.Pactl("list short " + kind));
            for (std::string line; std::getline(lines, line);) {
                std::istringstream fields(line);
                std::string index, found;
                if (fields >> index >> found && found == name) return true;
            }
            return false;
        };
        return WaitFor([&] { return holds() == listed; }, 5s, 20ms);
    }

    // The sink each of our playback streams is on, by the server's sink
    // name, in the order the streams were made.
    std::vector<std::string> SinksOfOurStreams() {
        std::vector<std::string> indexToName(1024);
        std::istringstream sinks(server.Pactl("list short sinks"));
        for (std::string line; std::getline(sinks, line);) {
            std::istringstream fields(line);
            std::size_t index = 0;
            std::string name;
            if (fields >> index >> name && index < indexToName.size()) indexToName[index] = name;
        }
        std::vector<std::string> found;
        std::istringstream inputs(server.Pactl("list short sink-inputs"));
        for (std::string line; std::getline(inputs, line);) {
            std::istringstream fields(line);
            std::size_t input = 0, sink = 0;
            if (fields >> input >> sink && sink < indexToName.size()) found.push_back(indexToName[sink]);
        }
        return found;
    }

    PrivateServer server;
    std::vector<std::string> sinkModules;
    std::vector<std::string> sourceModules;
};

TEST_F(ServerDevicesTest, EverySinkAndSourceIsNumberedWithItsNameChannelsAndRate) {
    ASSERT_EQ(waveOutGetNumDevs(), 4u) << "the null sink and the three added";
    // Three sources and the four monitors, which come last.
    ASSERT_EQ(waveInGetNumDevs(), 7u);
    const auto check = [](bool output, UINT id, const Added& added) {
        SCOPED_TRACE(added.name);
        sorn::audio::DeviceDescription description{};
        ASSERT_EQ(sorn::audio::DescribeDevice(output, id, &description), MMSYSERR_NOERROR);
        EXPECT_STREQ(description.key, added.name);
        EXPECT_STREQ(description.name, added.description);
        EXPECT_EQ(description.channels, added.channels);
        EXPECT_EQ(description.rate, 48000u);
        EXPECT_FALSE(description.monitor);
        EXPECT_FALSE(description.isDefault);
        // The record: the name cut between characters, 1 or 2 channels.
        WAVEOUTCAPSA outCaps{};
        WAVEINCAPSA inCaps{};
        ASSERT_EQ(
            output ? waveOutGetDevCapsA(id, &outCaps, sizeof outCaps) : waveInGetDevCapsA(id, &inCaps, sizeof inCaps),
            MMSYSERR_NOERROR);
        const std::string name = output ? outCaps.szPname : inCaps.szPname;
        const WORD channels = output ? outCaps.wChannels : inCaps.wChannels;
        EXPECT_EQ(channels, added.channels == 1 ? 1 : 2);
        EXPECT_LE(name.size(), static_cast<std::size_t>(MAXPNAMELEN - 1));
        EXPECT_EQ(std::string(added.description).rfind(name, 0), 0u) << name;
        // Cut before a character, never inside one.
        EXPECT_NE(static_cast<unsigned char>(added.description[name.size()]) & 0xC0u, 0x80u) << name;
    };
    for (UINT i = 0; i < 3; ++i) check(true, i + 1, kSinks[i]);
    for (UINT i = 0; i < 3; ++i) check(false, i, kSources[i]);

    for (UINT id = 3; id < 7; ++id) {
        sorn::audio::DeviceDescription monitor{};
        ASSERT_EQ(sorn::audio::DescribeDevice(false, id, &monitor), MMSYSERR_NOERROR);
        EXPECT_TRUE(monitor.monitor) << monitor.key;
        EXPECT_EQ(std::string(monitor.name).rfind("Monitor of ", 0), 0u) << monitor.name;
    }
    // The defaults are marked, and the mapper stands for them.
    EXPECT_EQ(DeviceWithKey(true, "sorn_null"), 0u);
    sorn::audio::DeviceDescription first{}, mapper{};
    ASSERT_EQ(sorn::audio::DescribeDevice(true, 0, &first), MMSYSERR_NOERROR);
    EXPECT_TRUE(first.isDefault);
    ASSERT_EQ(sorn::audio::DescribeDevice(true, WAVE_MAPPER, &mapper), MMSYSERR_NOERROR);
    EXPECT_STREQ(mapper.key, "sorn_null");
    const UINT monitorOfNull = DeviceWithKey(false, "sorn_null.monitor");
    ASSERT_NE(monitorOfNull, WAVE_MAPPER);
    ASSERT_GE(monitorOfNull, 3u);
    sorn::audio::DeviceDescription source{};
    ASSERT_EQ(sorn::audio::DescribeDevice(false, static_cast<UINT>(monitorOfNull), &source), MMSYSERR_NOERROR);
    EXPECT_TRUE(source.isDefault);

    // A device that comes or goes shows in the next enumeration once the
    // server lists it so.
    server.Pactl("unload-module " + sinkModules[1]);
    ASSERT_TRUE(Listed("sinks", "sorn_stereo", false));
    ASSERT_TRUE(Listed("sources", "sorn_stereo.monitor", false));
    EXPECT_EQ(waveOutGetNumDevs(), 3u);
    EXPECT_EQ(DeviceWithKey(true, "sorn_stereo"), WAVE_MAPPER);
    EXPECT_EQ(DeviceWithKey(true, "sorn_six"), 2u) << "the others keep their order";
    EXPECT_EQ(waveInGetNumDevs(), 6u);
    sinkModules[1] = Load("module-null-sink sink_name=sorn_late channels=2");
    ASSERT_TRUE(Listed("sinks", "sorn_late", true));
    EXPECT_EQ(DeviceWithKey(true, "sorn_late"), 3u);
}

// What a stream on a chosen sink plays is heard on that sink's monitor and
// on no other; a chosen source records.
TEST_F(ServerDevicesTest, AStreamOnAChosenDeviceIsHeardThereAndNowhereElse) {
    std::vector<std::unique_ptr<Recorder>> monitors;
    for (const Added& sink : kSinks) {
        const UINT id = DeviceWithKey(false, std::string(sink.name) + ".monitor");
        ASSERT_NE(id, WAVE_MAPPER) << sink.name;
        monitors.push_back(std::make_unique<Recorder>(kRate / 20, 8));
        ASSERT_EQ(monitors.back()->Open(id), MMSYSERR_NOERROR);
        ASSERT_EQ(monitors.back()->Start(), MMSYSERR_NOERROR);
    }
    const UINT stereo = DeviceWithKey(true, "sorn_stereo");
    ASSERT_NE(stereo, WAVE_MAPPER);
    TonePlayer player(1000, 8000, kRate / 2);
    ASSERT_EQ(player.Open(stereo), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(player.WaitDone(5s));
    std::this_thread::sleep_for(200ms);  // the last of it reaches the monitor
    player.Close();
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const bool heard = monitors[i]->FirstLoud(2000) >= 0;
        EXPECT_EQ(heard, i == 1) << kSinks[i].name;
        monitors[i]->Finish();
    }

    // A source chosen by number records (silence, from a null source).
    Recorder microphone(kRate / 20, 4);
    ASSERT_EQ(microphone.Open(DeviceWithKey(false, "sorn_mic_six")), MMSYSERR_NOERROR);
    ASSERT_EQ(microphone.Start(), MMSYSERR_NOERROR);
    EXPECT_TRUE(WaitFor([&] { return microphone.Frames() >= kRate / 10; }, 5s));
    microphone.Finish();
}

// Switching the default mid-range moves a stream opened on the mapper, as
// the servers move streams the user did not place, and leaves one opened on
// a numbered device where it is; both ranges play to their end.
TEST_F(ServerDevicesTest, SwitchingTheDefaultMovesAMapperStreamAndLeavesANumberedOne) {
    TonePlayer mapper(1000, 8000, kRate * 2, kRate / 10, 8);
    TonePlayer numbered(700, 8000, kRate * 2, kRate / 10, 8);
    ASSERT_EQ(mapper.Open(WAVE_MAPPER), MMSYSERR_NOERROR);
    ASSERT_EQ(numbered.Open(DeviceWithKey(true, "sorn_mono")), MMSYSERR_NOERROR);
    ASSERT_EQ(mapper.Play(), MMSYSERR_NOERROR);
    ASSERT_EQ(numbered.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return SinksOfOurStreams().size() == 2; }, 3s));
    std::vector<std::string> before = SinksOfOurStreams();
    std::sort(before.begin(), before.end());
    EXPECT_EQ(before, (std::vector<std::string>{"sorn_mono", "sorn_null"}));

    server.Pactl("set-default-sink sorn_stereo");
    std::vector<std::string> after;
    EXPECT_TRUE(WaitFor(
        [&] {
            after = SinksOfOurStreams();
            std::sort(after.begin(), after.end());
            return after == std::vector<std::string>{"sorn_mono", "sorn_stereo"};
        },
        3s))
        << "our streams are on " << (after.empty() ? "nothing" : after[0] + ", " + after.back());
    // The mapper stands for the server's default of the moment (PipeWire's
    // session manager may still settle it after the streams moved).
    sorn::audio::DeviceDescription now{};
    std::string serverDefault;
    EXPECT_TRUE(WaitFor(
        [&] {
            serverDefault = server.Pactl("get-default-sink");
            serverDefault = serverDefault.substr(0, serverDefault.find('\n'));
            return sorn::audio::DescribeDevice(true, WAVE_MAPPER, &now) == MMSYSERR_NOERROR && serverDefault == now.key;
        },
        3s))
        << "the mapper stands for " << now.key << ", the server's default is " << serverDefault;
    EXPECT_TRUE(mapper.WaitDone(6s));
    EXPECT_TRUE(numbered.WaitDone(6s));
    mapper.Close();
    numbered.Close();
}

// A sink taken away mid-range ends the range on it as a device loss: every
// header comes back and later calls fail. A stream on the mapper is moved
// to what the server falls back on instead and plays on.
TEST_F(ServerDevicesTest, ASinkTakenAwayEndsItsRangeAsADeviceLoss) {
    server.Pactl("set-default-sink sorn_stereo");
    TonePlayer pinned(1000, 8000, kRate * 4, kRate / 2, 8);
    TonePlayer moved(700, 8000, kRate, kRate / 10, 8);
    ASSERT_EQ(pinned.Open(DeviceWithKey(true, "sorn_six")), MMSYSERR_NOERROR);
    ASSERT_EQ(moved.Open(WAVE_MAPPER), MMSYSERR_NOERROR);
    ASSERT_EQ(pinned.Play(), MMSYSERR_NOERROR);
    ASSERT_EQ(moved.Play(), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return SinksOfOurStreams().size() == 2; }, 3s));

    server.Pactl("unload-module " + sinkModules[2]);
    server.Pactl("unload-module " + sinkModules[1]);
    ASSERT_TRUE(WaitFor([&] { return pinned.Completions().size() >= 8; }, 3s))
        << pinned.Completions().size() << " of 8 headers came back";
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    EXPECT_EQ(waveOutGetPosition(pinned.Handle(), &time, sizeof time), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutRestart(pinned.Handle()), MMSYSERR_NODRIVER);
    pinned.Close();

    EXPECT_TRUE(moved.WaitDone(5s)) << "the mapper stream stopped with its sink";
    EXPECT_EQ(waveOutGetPosition(moved.Handle(), &time, sizeof time), MMSYSERR_NOERROR);
    moved.Close();
    EXPECT_EQ(waveOutGetNumDevs(), 2u);
}

}  // namespace
