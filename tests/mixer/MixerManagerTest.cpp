// The volume manager on virtual mixer trees.
#include <gtest/gtest.h>

#include <thread>

#include "mixer/MixerManager.h"
#include "mixer/MixerTestSupport.h"

namespace {

using namespace sorn::mixertest;
using SornMedia::SornAudio::MixerManager;

DWORD SpeakersVolume() { return VirtualMixer::ControlId(0, 0, -1, 0); }

TEST(MixerManager, OneDeviceServesBothRolesAndClosesOnce) {
    Boxes boxes;
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(MixerManager::GetInstance(), manager);
    EXPECT_EQ(VirtualMixer::OpenCount(), 1u) << "one mixer for both roles";
    EXPECT_DOUBLE_EQ(manager->GetInputVolume(), 1.0) << "the microphone source's volume";
    MixerManager::ReleaseInstance();
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);

    // Speakers without a volume control: no instance, the mixer closed.
    VirtualMixer::SetDevices({Device({}, {Volume({1, 2})})});
    EXPECT_EQ(MixerManager::GetInstance(), nullptr);
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);

    // No device: none, every time, without messages.
    VirtualMixer::SetDevices({});
    EXPECT_EQ(MixerManager::GetInstance(), nullptr);
    EXPECT_EQ(MixerManager::GetInstance(), nullptr);
    EXPECT_TRUE(boxes.Texts().empty());

    // Several devices: each role takes the mixer of the default wave device.
    VirtualMixer::SetDevices({Device({Volume({1, 2})}, {Volume({3, 4})}), Device({}, {})});
    manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(VirtualMixer::OpenCount(), 2u);
    MixerManager::ReleaseInstance();
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);
}

TEST(MixerManager, UnclampedScalingAndTheLargerChannel) {
    Boxes boxes;
    // A fader that takes any 32-bit value shows what the manager writes.
    ASSERT_TRUE(VirtualMixer::SetDevices({Device({Volume({1000, 30000}, 0xFFFFFFFFu)}, {Volume({1, 2})})}));
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 30000 / 65535.0);
    manager->SetOutputVolume(0.5);
    EXPECT_EQ(VirtualMixer::Values(0, SpeakersVolume()), (std::vector<DWORD>{32767, 32767}));
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 32767 / 65535.0);
    manager->SetOutputVolume(1.5);
    EXPECT_EQ(VirtualMixer::Values(0, SpeakersVolume()), (std::vector<DWORD>{98302, 98302}));
    manager->SetOutputVolume(-0.25);
    EXPECT_EQ(VirtualMixer::Values(0, SpeakersVolume()), (std::vector<DWORD>{4294950913u, 4294950913u}));
    MixerManager::ReleaseInstance();

    // The default fader (0..65535) refuses them: the old level stays.
    VirtualMixer::Reset();
    manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    manager->SetOutputVolume(1.5);
    manager->SetOutputVolume(-0.25);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 1.0);
    MixerManager::ReleaseInstance();
}

TEST(MixerManager, WhichControlsAreRecorded) {
    Boxes boxes;
    // A four-channel speakers volume does not fit two values: the wave-out
    // source's is used. Capture falls back to the microphone's volume.
    VirtualMixerDevice device = Device({Volume({9, 9, 9, 9})}, {}, 4);
    device.destinations[0].sources = {Line(MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 2, {Volume({100, 200})})};
    device.destinations[1].line.channels = 1;
    device.destinations[1].sources = {Line(MIXERLINE_COMPONENTTYPE_SRC_LINE, 1, {Volume({5})}),
                                      Line(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, {Volume({300})})};
    ASSERT_TRUE(VirtualMixer::SetDevices({device}));
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    EXPECT_DOUBLE_EQ(manager->GetOutputVolume(), 200 / 65535.0);
    EXPECT_DOUBLE_EQ(manager->GetInputVolume(), 300 / 65535.0);
    manager->SetOutputVolume(1.0);
    EXPECT_EQ(VirtualMixer::Values(0, VirtualMixer::ControlId(0, 0, -1, 0)), (std::vector<DWORD>{9, 9, 9, 9}));
    EXPECT_EQ(VirtualMixer::Values(0, VirtualMixer::ControlId(0, 0, 0, 0)), (std::vector<DWORD>{65535, 65535}));
    MixerManager::ReleaseInstance();
}

TEST(MixerManager, SharedInstanceAndLevelsFromManyThreads) {
    Boxes boxes;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i) {
                (t + i) % 2 ? (void)MixerManager::GetInstance() : MixerManager::ReleaseInstance();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    threads.clear();
    MixerManager* manager = MixerManager::GetInstance();
    ASSERT_NE(manager, nullptr);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([manager, t] {
            for (int i = 0; i < 20; ++i) {
                manager->SetOutputVolume(t / 4.0);
                manager->SetInputVolume(t / 4.0);
                manager->GetOutputVolume();
                manager->GetInputVolume();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    MixerManager::ReleaseInstance();
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);
}

}  // namespace
