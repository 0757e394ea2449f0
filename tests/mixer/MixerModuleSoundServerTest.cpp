// The volume of the core's objects, made by the module a host loads, on a
// sound server of the test's own: after the user switches the default sink or
// source, a player's and a recorder's volume level set the new default.
// Skips when no server answers, unless SORN_REQUIRE_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/Wave.h"
#include "soundserver/SoundServerFixture.h"
#include "soundserver/SoundServerSupport.h"
#include "tools/ModuleHost.h"

namespace {

using namespace sorn::soundtest;
using namespace std::chrono_literals;

class MixerModuleTest : public SoundServerFixture {
protected:
    void SetUp() override {
        SoundServerFixture::SetUp();
        if (Stopped()) return;
        ASSERT_TRUE(server.Start(PrivateServer::SharedKind()));
    }

    // What a pactl command prints on the private server, its last newline cut.
    std::string Pactl(const std::string& arguments) {
        std::string text = server.Pactl(arguments);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // The raw value of each channel of a sink's or source's volume.
    std::vector<long> Volumes(const std::string& what, const std::string& name) {
        const std::string line = Pactl("get-" + what + "-volume " + name);
        std::vector<long> volumes;
        for (std::size_t at = line.find(": "); at != std::string::npos; at = line.find(": ", at + 1)) {
            char* end = nullptr;
            const long value = std::strtol(line.c_str() + at + 2, &end, 10);
            if (end != line.c_str() + at + 2 && std::string(end).starts_with(" /")) volumes.push_back(value);
        }
        return volumes;
    }
    bool SetDefault(const std::string& what, const std::string& name) {
        Pactl("set-default-" + what + " " + name);
        return WaitFor([&] { return Pactl("get-default-" + what) == name; }, 3s, 20ms);
    }

    PrivateServer server;
};

template <typename T>
void Release(T* object) {
    if (object) object->Delete();
}

TEST_F(MixerModuleTest, VolumeLevelsSetTheDefaultOfTheMoment) {
    for (const char* channels : {"1", "2"}) {
        ASSERT_FALSE(Pactl(std::string("load-module module-null-sink sink_name=sorn_vol") + channels +
                           " rate=16000 channels=" + channels)
                         .empty());
    }
    ASSERT_TRUE(WaitFor([&] { return Volumes("sink", "sorn_vol2").size() == 2; }, 3s, 20ms));
    ASSERT_TRUE(SetDefault("sink", "sorn_vol1"));
    ASSERT_TRUE(SetDefault("source", "sorn_vol1.monitor"));

    ::setenv("SORN_AUDIO", ("pulse:server=" + server.Address()).c_str(), 1);
    sorn::host::LoadedModule module;
    std::string error;
    ASSERT_TRUE(module.Load(SORN_TEST_MODULE, error)) << error;
    ISornClassFactory* factory = module.Factory();
    ASSERT_NE(factory, nullptr);
    IWaveOut* player = factory->CreateWaveOut();
    IWaveIn* recorder = factory->CreateWaveIn();
    ASSERT_NE(player, nullptr);
    ASSERT_NE(recorder, nullptr);

    player->VolumeLevel(0.5);
    EXPECT_EQ(Volumes("sink", "sorn_vol1"), std::vector<long>{32767});
    ASSERT_TRUE(SetDefault("sink", "sorn_vol2"));
    player->VolumeLevel(0.25);
    EXPECT_EQ(Volumes("sink", "sorn_vol2"), (std::vector<long>{16383, 16383})) << "the new default";
    EXPECT_EQ(Volumes("sink", "sorn_vol1"), std::vector<long>{32767}) << "the old one left alone";
    EXPECT_DOUBLE_EQ(player->VolumeLevel(), 16383 / 65535.0);

    recorder->VolumeLevel(0.5);
    EXPECT_EQ(Volumes("source", "sorn_vol1.monitor"), std::vector<long>{32767});
    ASSERT_TRUE(SetDefault("source", "sorn_vol2.monitor"));
    recorder->VolumeLevel(0.75);
    // Raw 49151 is the server's round(49151 * 65536 / 65535) = 49152.
    EXPECT_EQ(Volumes("source", "sorn_vol2.monitor"), (std::vector<long>{49152, 49152}));
    EXPECT_EQ(Volumes("source", "sorn_vol1.monitor"), std::vector<long>{32767});

    Release(player);
    Release(recorder);
}

}  // namespace
