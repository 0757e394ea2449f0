// ClassFactoryWin: engines, devices, the shared mixer manager and the "wav"
// codec's registration.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "audio/CWaveDevice.h"
#include "audio/CWaveIn.h"
#include "audio/CWaveOut.h"
#include "core_contract/Engine.h"
#include "core_contract/SornDataSys.h"
#include "mixer/MixerManager.h"
#include "module/ClassFactoryWin.h"
#include "pitch/ExtractPitch.h"
#ifndef _WIN32
#include <unistd.h>

#include "mixer/MixerTestSupport.h"
#include "module/ModuleTestSupport.h"
#endif

namespace SornMedia::SornAudio {

// The manager each object was given, and in which era.
struct CWaveInTestAccess {
    static MixerManager* Manager(const CWaveIn& in) { return in.mixerManager; }
    static std::uint64_t Era(const CWaveIn& in) { return in.mixerEra; }
};
struct CWaveOutTestAccess {
    static MixerManager* Manager(const CWaveOut& out) { return out.mixerManager; }
    static std::uint64_t Era(const CWaveOut& out) { return out.mixerEra; }
};

}  // namespace SornMedia::SornAudio

namespace {

using SornFramework::ClassFactoryWin;
using SornMedia::SornAudio::CWaveIn;
using SornMedia::SornAudio::CWaveInTestAccess;
using SornMedia::SornAudio::CWaveOut;
using SornMedia::SornAudio::CWaveOutTestAccess;
using SornMedia::SornAudio::MixerManager;

CWaveIn* In(IWaveIn* in) { return static_cast<CWaveIn*>(in); }
CWaveOut* Out(IWaveOut* out) { return static_cast<CWaveOut*>(out); }

TEST(ClassFactory, CreatesNewEnginesWithThePitchTrackerAndDevicesOnTheDefaultDevice) {
    auto* factory = new ClassFactoryWin();
    SornEngine::ISornEngine* first = factory->CreateEngine(SornStringA());
    SornEngine::ISornEngine* second = factory->CreateEngine(SornStringA("another name"));
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second) << "two calls, two engines";
    for (SornEngine::ISornEngine* engine : {first, second}) {
        auto* sph = dynamic_cast<SornEngine::SphEngine*>(engine);
        ASSERT_NE(sph, nullptr);
        EXPECT_EQ(sph->GetPitchCallback(), &ExtractPitch);
        engine->Delete();
    }
    IWaveDevice* device = factory->CreateWaveDevice();
    EXPECT_EQ(device->GetOutputDevice(), 0xFFFFFFFFu) << "the default device (WAVE_MAPPER), not device 0";
    EXPECT_EQ(device->GetInputDevice(), 0xFFFFFFFFu);
    device->Delete();
    IWave* clip = factory->CreateWave();
    EXPECT_NE(dynamic_cast<CWave*>(clip), nullptr) << "the core's clip";
    clip->Delete();
    factory->Delete();
}

TEST(ClassFactory, OneManagerPerFactoryReleasedAfterTheCodecIsUnregistered) {
    std::vector<std::string> codecEvents;
    std::uint64_t eraAtUnregistration = 0;
    SornDataSys::SetObserver([&](const SornDataSys::Report& report) {
        if (report.event == SornDataSys::Event::CodecRegistered) codecEvents.push_back(std::string("+") + report.text);
        if (report.event == SornDataSys::Event::CodecUnregistered) {
            codecEvents.push_back(std::string("-") + report.text);
            eraAtUnregistration = MixerManager::Era();
        }
    });

    auto* factory = new ClassFactoryWin();
    EXPECT_NE(SornDataSys::CodecHandler()->GetCodec("wav"), nullptr);
    IWaveIn* in1 = factory->CreateWaveIn();
    IWaveIn* in2 = factory->CreateWaveIn();
    IWaveOut* out = factory->CreateWaveOut();
    MixerManager* shared = CWaveInTestAccess::Manager(*In(in1));
    const std::uint64_t era = CWaveInTestAccess::Era(*In(in1));
    EXPECT_EQ(CWaveInTestAccess::Manager(*In(in2)), shared) << "one manager for every object";
    EXPECT_EQ(CWaveOutTestAccess::Manager(*Out(out)), shared);
    EXPECT_EQ(CWaveInTestAccess::Era(*In(in2)), era);
    EXPECT_EQ(CWaveOutTestAccess::Era(*Out(out)), era);
    const std::uint64_t eraBefore = MixerManager::Era();
    factory->Delete();

    EXPECT_EQ(codecEvents, (std::vector<std::string>{"+wav", "-wav"})) << "registered once, unregistered once";
    EXPECT_EQ(SornDataSys::CodecHandler()->GetCodec("wav"), nullptr);
    EXPECT_EQ(eraAtUnregistration, eraBefore) << "the codec goes while the manager is still there";
    EXPECT_GT(MixerManager::Era(), eraBefore) << "then the manager is released";
    {
        MixerManager::Use use(shared, era);
        EXPECT_EQ(use.get(), nullptr) << "the released manager is out of reach";
    }

    // A new factory: a new manager, in a new era.
    factory = new ClassFactoryWin();
    IWaveIn* in3 = factory->CreateWaveIn();
    EXPECT_GT(CWaveInTestAccess::Era(*In(in3)), era);
    {
        MixerManager::Use use(CWaveInTestAccess::Manager(*In(in3)), CWaveInTestAccess::Era(*In(in3)));
        EXPECT_EQ(use.get(), CWaveInTestAccess::Manager(*In(in3)));
    }
    in3->Delete();
    factory->Delete();
    SornDataSys::SetObserver({});
    in1->Delete();
    in2->Delete();
    out->Delete();
}

TEST(ClassFactory, CaptureAndPlaybackOutlivingTheirFactoryNeverTouchTheReleasedManager) {
    auto* factory = new ClassFactoryWin();
    IWaveIn* in = factory->CreateWaveIn();
    IWaveOut* out = factory->CreateWaveOut();
    factory->Delete();
    in->VolumeLevel(0.75);
    out->VolumeLevel(0.75);
    EXPECT_EQ(in->VolumeLevel(), 0.0) << "no manager any more: level 0.0, settings ignored";
    EXPECT_EQ(out->VolumeLevel(), 0.0);
    in->Delete();
    out->Delete();
}

#ifndef _WIN32  // the virtual mixer and its boxes are the Linux platform's

// Two factories on two threads: one creates playback objects and sets their
// volume while the other is created and destroyed (which releases the shared
// manager). An object is never left with a released manager that it takes
// for live (the sanitizers see any use of freed memory).
TEST(ClassFactory, AManagerReleasedByAnotherFactoryOnAnotherThreadIsNeverUsed) {
    sorn::mixertest::Boxes boxes;
    auto* creating = new ClassFactoryWin();
    std::atomic<bool> done{false};
    std::thread releasing([&] {
        while (!done) {
            auto* other = new ClassFactoryWin();
            other->CreateWaveIn()->Delete();
            other->Delete();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        IWaveOut* out = creating->CreateWaveOut();
        out->VolumeLevel(0.5);
        const double level = out->VolumeLevel();
        EXPECT_TRUE(level == 0.0 || level == 32767 / 65535.0) << level;
        out->Delete();
    }
    done = true;
    releasing.join();
    creating->Delete();
}

// While the mixer shows its "Mixer has no destinations!" box during the
// manager's set-up, other threads construct capture and playback objects and
// read their volume without waiting for the box; a box hook on the setting-up
// thread may construct a playback object, through the factory too.
TEST(ClassFactory, NoLockIsHeldWhileTheMixerShowsABox) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto body = [] {
        sorn::test::Checks check;
        alarm(20);  // a deadlock ends the process
        using namespace sorn::mixertest;
        sorn::audio::SelectBackend("virtual");
        VirtualMixer::SetDevices({VirtualMixerDevice{}});  // one mixer without destinations
        auto* factory = new ClassFactoryWin();
        IWaveOut* live = nullptr;
        int boxes = 0;
        struct Hook {
            ClassFactoryWin* factory;
            int* boxes;
            sorn::test::Checks* check;
        } hook{factory, &boxes, &check};
        SetMessageBoxAnswerProvider(
            [](void* context, HWND, LPCSTR, LPCSTR, UINT) {
                Hook& at = *static_cast<Hook*>(context);
                ++*at.boxes;
                auto other = std::async(std::launch::async, [] {
                    CWaveOut out(nullptr);
                    CWaveIn in(nullptr);
                    return out.VolumeLevel() + in.VolumeLevel();
                });
                (*at.check)(other.wait_for(std::chrono::seconds(5)) == std::future_status::ready,
                            "another thread's objects do not wait for the box");
                CWaveOut alert(nullptr);
                alert.VolumeLevel(0.5);
                IWaveOut* made = at.factory->CreateWaveOut();
                (*at.check)(Out(made) != nullptr && CWaveOutTestAccess::Manager(*Out(made)) == nullptr,
                            "a playback object made by the hook, without a manager");
                made->Delete();
                return IDOK;
            },
            &hook);
        live = factory->CreateWaveOut();
        SetMessageBoxAnswerProvider(nullptr, nullptr);
        check(boxes >= 1, "the box was shown");
        live->Delete();
        factory->Delete();
        VirtualMixer::Reset();
        return check.failures;
    };
    EXPECT_EXIT(sorn::test::RunAndExit(body), ::testing::ExitedWithCode(0), "");
}

#endif  // _WIN32

}  // namespace
