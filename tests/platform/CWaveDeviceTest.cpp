// CWaveDevice: the device id and the format questions.
#include "audio/CWaveDevice.h"

#include "WaveTestSupport.h"

using SornMedia::SornAudio::CWaveDevice;
using sorn::audio::VirtualDevice;

using CWaveDeviceTest = wavetest::SteppedDevice;

TEST_F(CWaveDeviceTest, IdsDefaultToTheMapperAndCopiesKeepThem) {
    CWaveDevice device;
    EXPECT_EQ(device.GetInputDevice(), 0xFFFFFFFFu);
    EXPECT_EQ(device.GetOutputDevice(), 0xFFFFFFFFu);
    CWaveDevice three(3);
    CWaveDevice copy(three);
    EXPECT_EQ(copy.GetInputDevice(), 3u);
    EXPECT_EQ(copy.GetOutputDevice(), 3u);
    device = three;
    EXPECT_EQ(device.GetOutputDevice(), 3u);
    IWaveDevice* owned = new CWaveDevice(0);
    EXPECT_EQ(owned->GetInputDevice(), 0u);
    owned->Delete();
}

TEST_F(CWaveDeviceTest, FormatsAreAskedAs16BitPcmWithoutOpeningAnything) {
    CWaveDevice device;
    SornAudioFormat mono(16000, 1, 2);
    EXPECT_EQ(device.IsOutputFormat(&mono), 1);
    EXPECT_EQ(device.IsInputFormat(&mono), 1);
    // A block align that says 8-bit is not consulted: still asked for 16-bit.
    SornAudioFormat eightBit(16000, 1, 1);
    EXPECT_EQ(device.IsOutputFormat(&eightBit), 1);
    EXPECT_EQ(device.IsInputFormat(&eightBit), 1);
    SornAudioFormat stereo(44100, 2, 4);
    EXPECT_EQ(CWaveDevice(0).IsOutputFormat(&stereo), 1);
    EXPECT_EQ(sorn::audio::detail::OpenDeviceCount(), 0u);
    // What the device refuses gives 0.
    SornAudioFormat noChannels(16000, 0, 2);
    EXPECT_EQ(device.IsOutputFormat(&noChannels), 0);
    SornAudioFormat tooSlow(10, 1, 2);
    EXPECT_EQ(device.IsInputFormat(&tooSlow), 0);
    EXPECT_EQ(device.IsOutputFormat(nullptr), 0);
}

TEST_F(CWaveDeviceTest, AnyPlatformErrorGivesNo) {
    CWaveDevice missing(7);
    SornAudioFormat mono;
    EXPECT_EQ(missing.IsOutputFormat(&mono), 0);
    EXPECT_EQ(missing.IsInputFormat(&mono), 0);
    CWaveDevice device;
    VirtualDevice::FailNext("waveOutOpen", MMSYSERR_ALLOCATED);
    EXPECT_EQ(device.IsOutputFormat(&mono), 0);
    EXPECT_EQ(device.IsOutputFormat(&mono), 1);
    VirtualDevice::FailNext("waveInOpen", MMSYSERR_NODRIVER);
    EXPECT_EQ(device.IsInputFormat(&mono), 0);
    EXPECT_EQ(device.IsInputFormat(&mono), 1);
}
