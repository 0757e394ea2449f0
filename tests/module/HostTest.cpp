// A host that knows only the core's interfaces: it loads the built module
// and records, plays, tracks pitch and sets volume through the registered
// class factory. And the sorn host's answer to a refused start-up.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_contract/ClassFactory.h"
#include "core_contract/Engine.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/Wave.h"
#include "tools/ModuleHost.h"

namespace {

struct Signal {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    bool WaitFor(int target, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, timeout, [&] { return count >= target; });
    }
};

void Raise(unsigned long user) {
    auto* signal = reinterpret_cast<Signal*>(user);
    std::lock_guard<std::mutex> hold(signal->lock);
    ++signal->count;
    signal->changed.notify_all();
}

template <typename T>
void Release(T* object) {
    if (object) object->Delete();
}

TEST(ModuleHost, RecordsPlaysTracksPitchAndSetsVolumeThroughTheRegisteredFactory) {
    // The virtual device in real time, its input hearing its output.
    ::setenv("SORN_AUDIO", "virtual:clock=realtime,in=loopback", 1);
    sorn::host::LoadedModule module;
    std::string error;
    ASSERT_TRUE(module.Load(SORN_TEST_MODULE, error)) << error;
    ISornClassFactory* factory = module.Factory();
    ASSERT_EQ(factory, dynamic_cast<ISornClassFactory*>(SornDataSys::ClassFactory()));

    // 0.5 s of a 200 Hz tone, through the core's clip.
    constexpr unsigned kRate = 16000;
    std::vector<std::int16_t> tone(kRate / 2);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 200.0 * static_cast<double>(i) / kRate));
    IWave* clip = factory->CreateWave();
    ASSERT_TRUE(clip->SetBuffer(tone.data(), static_cast<unsigned long>(tone.size()), 1));

    // Pitch, through an engine the factory built.
    SornEngine::ISornEngine* engine = factory->CreateEngine(SornStringA("any"));
    SornEngine::SornSentEval* result = engine->EvaluationResult(clip, SornStringA());
    ASSERT_NE(result, nullptr);
    int near200 = 0;
    for (std::int32_t i = 0; i < result->pitchCount; ++i) near200 += std::abs(result->pitch[i] - 200) <= 5;
    EXPECT_GT(near200, result->pitchCount / 2) << "most frames track 200 Hz";
    engine->ReleaseSentEval(result);
    Release(engine);

    // Record while playing the clip.
    Signal played;
    IWaveDevice* device = factory->CreateWaveDevice();
    IWaveIn* recorder = factory->CreateWaveIn();
    IWaveOut* player = factory->CreateWaveOut();
    recorder->SetDevice(device);
    ASSERT_TRUE(recorder->Open(kRate / 50 * 2));  // 20 ms blocks
    ASSERT_TRUE(recorder->Record());
    player->SetWave(clip);
    player->SetDevice(device);
    player->SetWaveOutCB(&Raise, reinterpret_cast<unsigned long>(&played));
    ASSERT_TRUE(player->Open());
    ASSERT_TRUE(player->Play(0, 0xFFFFFFFFul, 0));
    EXPECT_TRUE(played.WaitFor(1, std::chrono::seconds(10))) << "the end of the range was reported";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(recorder->Stop());
    IWave* recorded = recorder->MakeWave();
    ASSERT_NE(recorded, nullptr);
    EXPECT_GT(recorded->GetNumSamples(), 0u);

    // Volume through both objects: a level in range (0.0 without a mixer).
    recorder->VolumeLevel(0.5);
    player->VolumeLevel(0.5);
    EXPECT_GE(recorder->VolumeLevel(), 0.0);
    EXPECT_LE(recorder->VolumeLevel(), 1.0);
    EXPECT_GE(player->VolumeLevel(), 0.0);
    EXPECT_LE(player->VolumeLevel(), 1.0);

    player->Close();
    recorder->Close();
    Release(player);
    Release(recorder);
    Release(device);
    Release(clip);
}

TEST(ModuleHost, SornReportsARefusedStartUpInOneLineAndExitStatus1) {
    // The core's version query is replaced by one reporting another version.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    const std::string command = std::string("SORN_AUDIO=virtual SORN_TEST_CORE_VERSION=2.0.455.2 ") +
                                "ASAN_OPTIONS='" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0' " +
                                "LD_PRELOAD=" SORN_TEST_VERSION_SHIM " " SORN_TEST_SORN " devices 2>&1 >/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find("refused to start: Dll version conflict!"), std::string::npos) << output;
    EXPECT_NE(output.find("2.0.455.2"), std::string::npos) << output;
}

}  // namespace
