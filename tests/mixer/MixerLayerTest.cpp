// The platform's mixer services on the virtual device, and the mixer access
// layer (CMixer) over them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "mixer/CMixer.h"
#include "mixer/MixerTestSupport.h"
#include "platform/Mixer.h"

namespace {

using namespace sorn::mixertest;

HMIXEROBJ Object(HMIXER mixer) { return reinterpret_cast<HMIXEROBJ>(mixer); }

TEST(MixerServices, DefaultTreeRecordChecksAndBounds) {
    Boxes boxes;
    ASSERT_EQ(mixerGetNumDevs(), 1u);
    HMIXER mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(reinterpret_cast<UINT_PTR>(mixer), &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.cDestinations, 2u);

    MIXERLINEA line{};
    line.cbStruct = 168;  // the 32-bit record is not ours
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), &line, MIXER_OBJECTF_HMIXER), MMSYSERR_INVALPARAM);
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
    ASSERT_EQ(mixerGetLineInfoA(Object(mixer), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE),
              MMSYSERR_NOERROR);
    EXPECT_EQ(line.dwDestination, 1u);
    EXPECT_EQ(line.cChannels, 1u);

    MIXERCONTROLA control{};
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof query;
    query.dwLineID = 0;  // the speakers
    query.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    query.cControls = 1;
    query.cbmxctrl = sizeof control;
    query.pamxctrl = &control;
    ASSERT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ONEBYTYPE), MMSYSERR_NOERROR);
    EXPECT_LT(control.dwControlID, 0x80000000u);
    EXPECT_EQ(control.Bounds.dwMaximum, 65535u);

    DWORD values[2] = {98302, 98302};  // above the fader's maximum: refused, nothing changes
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = 2;
    details.cbDetails = sizeof(DWORD);
    details.paDetails = values;
    EXPECT_EQ(mixerSetControlDetails(Object(mixer), &details, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(VirtualMixer::Values(0, control.dwControlID), (std::vector<DWORD>{65535, 65535}));
    values[0] = 1000;
    values[1] = 30000;
    EXPECT_EQ(mixerSetControlDetails(Object(mixer), &details, 0), MMSYSERR_NOERROR);
    details.cChannels = 1;  // one channel reads the larger
    EXPECT_EQ(mixerGetControlDetailsA(Object(mixer), &details, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(values[0], 30000u);
    details.cbStruct = 24;
    EXPECT_EQ(mixerGetControlDetailsA(Object(mixer), &details, 0), MMSYSERR_INVALPARAM);

    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);

    // The mixer of an open wave handle.
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
    HWAVEOUT wave = nullptr;
    ASSERT_EQ(waveOutOpen(&wave, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerOpen(&mixer, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(wave)), 0, 0,
                        MIXER_OBJECTF_HWAVEOUT),
              MMSYSERR_NOERROR);
    waveOutClose(wave);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    EXPECT_TRUE(boxes.Texts().empty());
}

// Preparation stops at the first meter; reads come before writes; sizes.
// A backend with one mixer serves every wave device with it: mixerGetID
// names mixer 0 for ids, the mapper and open handles, and refuses what
// names nothing.
TEST(MixerServices, OneMixerServesEveryWaveDevice) {
    Boxes boxes;
    ASSERT_EQ(mixerGetNumDevs(), 1u);
    ASSERT_GE(waveOutGetNumDevs(), 1u);
    auto id = [](std::uintptr_t object, DWORD flags, UINT* found) {
        return mixerGetID(reinterpret_cast<HMIXEROBJ>(object), found, flags);
    };
    UINT found = 12345;
    for (DWORD flags : {MIXER_OBJECTF_WAVEOUT, MIXER_OBJECTF_WAVEIN}) {
        for (std::uintptr_t wave : {std::uintptr_t{0}, std::uintptr_t{WAVE_MAPPER}}) {
            found = 12345;
            EXPECT_EQ(id(wave, flags, &found), MMSYSERR_NOERROR) << flags << " " << wave;
            EXPECT_EQ(found, 0u);
        }
    }
    found = 12345;
    EXPECT_EQ(id(waveOutGetNumDevs(), MIXER_OBJECTF_WAVEOUT, &found), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(id(1, MIXER_OBJECTF_MIXER, &found), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(id(0x6D0000, MIXER_OBJECTF_HMIXER, &found), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(id(0x1234, MIXER_OBJECTF_HWAVEOUT, &found), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(id(0, MIXER_OBJECTF_MIDIOUT, &found), MMSYSERR_NODRIVER);
    EXPECT_EQ(id(0, MIXER_OBJECTF_WAVEOUT | 1, &found), MMSYSERR_INVALFLAG);
    EXPECT_EQ(id(0, MIXER_OBJECTF_WAVEOUT, nullptr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(found, 12345u) << "a refusal leaves the id alone";

    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
    HWAVEOUT wave = nullptr;
    ASSERT_EQ(waveOutOpen(&wave, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(id(reinterpret_cast<std::uintptr_t>(wave), MIXER_OBJECTF_HWAVEOUT, &found), MMSYSERR_NOERROR);
    EXPECT_EQ(found, 0u);
    HMIXER mixer = nullptr;
    ASSERT_EQ(
        mixerOpen(&mixer, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(wave)), 0, 0, MIXER_OBJECTF_HWAVEOUT),
        MMSYSERR_NOERROR);
    found = 12345;
    EXPECT_EQ(id(reinterpret_cast<std::uintptr_t>(mixer), MIXER_OBJECTF_HMIXER, &found), MMSYSERR_NOERROR);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
}

TEST(MixerAccessLayer, PreparationReadBeforeWriteAndSizes) {
    Boxes boxes;
    VirtualMixerDevice device = Device({Meter(2), Volume({1, 2})}, {Volume({7})}, 2);
    device.destinations[1].line.channels = 1;
    device.destinations[1].line.controls[0].values = {7};
    ASSERT_TRUE(VirtualMixer::SetDevices({device}));
    CMixer mixer;
    ASSERT_EQ(mixer.Open(0, nullptr), 1) << "the device count";

    MIXERCONTROLA control{};
    EXPECT_EQ(mixer.GetDestinationControl(0, 1, &control), 2) << "the line's channel count";
    EXPECT_EQ(control.dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
    DWORD buffer[2] = {9, 9};
    DWORD size = sizeof buffer;
    EXPECT_EQ(mixer.GetDestinationControlValue(0, 1, buffer, &size), -1) << "behind a meter: no buffer";
    EXPECT_EQ(buffer[0], 0u);

    // The wave-in destination: one channel.
    const unsigned writes = VirtualMixer::WriteCount();
    size = sizeof buffer;
    EXPECT_EQ(mixer.SetDestinationControlValue(1, 0, buffer, &size), -1) << "never read";
    EXPECT_EQ(VirtualMixer::WriteCount(), writes) << "no platform call";
    buffer[1] = 9;
    EXPECT_EQ(mixer.GetDestinationControlValue(1, 0, buffer, &size), 0);
    EXPECT_EQ(buffer[0], 7u);
    EXPECT_EQ(buffer[1], 0u);
    buffer[0] = 5;
    EXPECT_EQ(mixer.SetDestinationControlValue(1, 0, buffer, &size), 0);
    EXPECT_EQ(VirtualMixer::Values(0, VirtualMixer::ControlId(0, 1, -1, 0)), std::vector<DWORD>{5});

    // A two-channel fader through a 4-byte buffer.
    ASSERT_TRUE(VirtualMixer::SetDevices({Device({Volume({1, 2})}, {Volume({3, 4})})}));
    CMixer stereo;
    ASSERT_EQ(stereo.Open(0, nullptr), 1);
    size = 4;
    EXPECT_LT(stereo.GetDestinationControlValue(0, 0, buffer, &size), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(stereo.GetDestinationControlValue(0, 0, buffer, &size), 0);
    EXPECT_EQ(buffer[1], 2u);
    EXPECT_EQ(stereo.OpenForWave(0x40000000u, WAVEFORMATEX{}, nullptr), -1);
    EXPECT_EQ(stereo.GetNumDestinations(), 2) << "the old tree stays, closed";
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST(MixerAccessLayer, MessagesForNoDestinationsAndFailedLineQuery) {
    Boxes boxes;
    VirtualMixerDevice empty;
    ASSERT_TRUE(VirtualMixer::SetDevices({empty}));
    {
        CMixer mixer;
        EXPECT_EQ(mixer.Open(0, nullptr), -1);
        EXPECT_EQ(VirtualMixer::OpenCount(), 1u) << "stays open until destroyed";
    }
    EXPECT_EQ(VirtualMixer::OpenCount(), 0u);
    VirtualMixerDevice faulty = Device({Volume({1, 2})}, {Volume({3, 4})});
    faulty.destinations[0].line.lineFault = MMSYSERR_ERROR;
    ASSERT_TRUE(VirtualMixer::SetDevices({faulty}));
    CMixer mixer;
    EXPECT_EQ(mixer.Open(0, nullptr), 1);
    EXPECT_EQ(mixer.GetNumDestinationControls(0), 0);
    EXPECT_EQ(mixer.GetNumDestinationControls(1), 1) << "the other destination is loaded";
    EXPECT_EQ(boxes.Texts(),
              (std::vector<std::string>{"Error: Mixer has no destinations!", "Error: mixerGetLineInfo call failed!"}));
}

}  // namespace
