// mixer* as the platform documents it: devices, the speakers destination
// found by component type, its volume and mute records, a value round trip
// and the refusals of bad ids, flags and sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "conformance/ConformanceSupport.h"
#include "platform/Mixer.h"

namespace {

using sorn::conformance::OnWine;

HMIXEROBJ Object(UINT id) { return reinterpret_cast<HMIXEROBJ>(static_cast<UINT_PTR>(id)); }

MIXERLINEA LineRecord() {
    MIXERLINEA line{};
    line.cbStruct = sizeof(line);
    return line;
}

// The first mixer with a speakers destination, and that line.
bool FindSpeakers(UINT* mixer, MIXERLINEA* line) {
    for (UINT id = 0; id < mixerGetNumDevs(); ++id) {
        *line = LineRecord();
        line->dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
        const MMRESULT result =
            mixerGetLineInfoA(Object(id), line, MIXER_OBJECTF_MIXER | MIXER_GETLINEINFOF_COMPONENTTYPE);
        if (result == MMSYSERR_NOERROR) {
            *mixer = id;
            return true;
        }
        EXPECT_EQ(result, MIXERR_INVALLINE) << "mixer " << id;
    }
    return false;
}

MMRESULT ControlByType(UINT mixer, DWORD lineId, DWORD type, MIXERCONTROLA* control) {
    *control = MIXERCONTROLA{};
    control->cbStruct = sizeof(*control);
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof(query);
    query.dwLineID = lineId;
    query.dwControlType = type;
    query.cControls = 1;
    query.cbmxctrl = sizeof(*control);
    query.pamxctrl = control;
    return mixerGetLineControlsA(Object(mixer), &query, MIXER_OBJECTF_MIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE);
}

MIXERCONTROLDETAILS Details(DWORD controlId, void* values, DWORD size) {
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof(details);
    details.dwControlID = controlId;
    details.cChannels = 1;
    details.cbDetails = size;
    details.paDetails = values;
    return details;
}

// Device count and capabilities; an id past the last is refused.
TEST(MixerConformance, DevicesAndCapabilities) {
    CONFORMANCE_NEED_SERVER();
    const UINT count = mixerGetNumDevs();
    ASSERT_GE(count, 1u);
    for (UINT id = 0; id < count; ++id) {
        MIXERCAPSA caps{};
        ASSERT_EQ(mixerGetDevCapsA(id, &caps, sizeof(caps)), MMSYSERR_NOERROR);
        EXPECT_GE(caps.cDestinations, 1u) << id;
        EXPECT_LT(std::strlen(caps.szPname), sizeof(caps.szPname)) << id;
        HMIXER mixer = nullptr;
        ASSERT_EQ(mixerOpen(&mixer, id, 0, 0, MIXER_OBJECTF_MIXER), MMSYSERR_NOERROR);
        MIXERCAPSA byHandle{};
        EXPECT_EQ(mixerGetDevCapsA(reinterpret_cast<UINT_PTR>(mixer), &byHandle, sizeof(byHandle)),
                  MMSYSERR_NOERROR);
        EXPECT_STREQ(byHandle.szPname, caps.szPname);
        EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    }
    MIXERCAPSA caps{};
    EXPECT_EQ(mixerGetDevCapsA(count, &caps, sizeof(caps)), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mixerGetDevCapsA(0, nullptr, sizeof(caps)), MMSYSERR_INVALPARAM);
    HMIXER mixer = nullptr;
    EXPECT_EQ(mixerOpen(&mixer, count, 0, 0, MIXER_OBJECTF_MIXER), MMSYSERR_BADDEVICEID);
    // Wine's mixerClose takes any handle (platform/emulation/Conformance.md).
    EXPECT_EQ(mixerClose(nullptr), OnWine() ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE);
}

// CALLBACK_WINDOW names the window to notify: a handle that is no window is
// refused (MMSYSERR_INVALPARAM; on Linux there are no windows); without a
// handle the mixer opens.
TEST(MixerConformance, CallbackWindowThatIsNoWindowIsRefused) {
    CONFORMANCE_NEED_SERVER();
    HMIXER mixer = nullptr;
    const auto notAWindow = static_cast<DWORD_PTR>(0xDEADBEEFu);
    EXPECT_EQ(mixerOpen(&mixer, 0, notAWindow, 0, CALLBACK_WINDOW | MIXER_OBJECTF_MIXER), MMSYSERR_INVALPARAM);
    mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, CALLBACK_WINDOW | MIXER_OBJECTF_MIXER), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
}

// The cases on the speakers destination of the mixer that has one.
class MixerSpeakersConformance : public ::testing::Test {
protected:
    void SetUp() override {
        CONFORMANCE_NEED_SERVER();
        ASSERT_TRUE(FindSpeakers(&mixer, &line));
    }

    UINT mixer = 0;
    MIXERLINEA line{};
};

// A speakers destination, found by component type, answers the same by
// destination index and by line id, and targets wave output.
TEST_F(MixerSpeakersConformance, SpeakersDestinationRecord) {
    EXPECT_EQ(line.cbStruct, sizeof(line));
    EXPECT_EQ(line.dwComponentType, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS);
    EXPECT_EQ(line.fdwLine & MIXERLINE_LINEF_SOURCE, 0u);
    EXPECT_GE(line.cChannels, 1u);
    EXPECT_GE(line.cControls, 2u);
    // Wine leaves the target undefined (platform/emulation/Conformance.md).
    EXPECT_EQ(line.Target.dwType, OnWine() ? MIXERLINE_TARGETTYPE_UNDEFINED : MIXERLINE_TARGETTYPE_WAVEOUT);
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(mixer, &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_LT(line.dwDestination, caps.cDestinations);

    MIXERLINEA byIndex = LineRecord();
    byIndex.dwDestination = line.dwDestination;
    ASSERT_EQ(mixerGetLineInfoA(Object(mixer), &byIndex, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(byIndex.dwLineID, line.dwLineID);
    EXPECT_EQ(byIndex.dwComponentType, line.dwComponentType);
    MIXERLINEA byId = LineRecord();
    byId.dwLineID = line.dwLineID;
    ASSERT_EQ(mixerGetLineInfoA(Object(mixer), &byId, MIXER_GETLINEINFOF_LINEID), MMSYSERR_NOERROR);
    EXPECT_EQ(byId.dwDestination, line.dwDestination);
    EXPECT_STREQ(byId.szName, line.szName);
}

// The volume fader and the mute switch of the speakers: types, bounds,
// flags; the same records by type, by id and among all controls.
TEST_F(MixerSpeakersConformance, VolumeAndMuteControlRecords) {
    MIXERCONTROLA volume{};
    ASSERT_EQ(ControlByType(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, &volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume.cbStruct, sizeof(volume));
    EXPECT_EQ(volume.dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
    EXPECT_EQ(volume.Bounds.dwMinimum, 0u);
    EXPECT_EQ(volume.Bounds.dwMaximum, 65535u);
    EXPECT_EQ(volume.cMultipleItems, 0u);
    EXPECT_EQ(volume.fdwControl & (MIXERCONTROL_CONTROLF_MULTIPLE | MIXERCONTROL_CONTROLF_DISABLED), 0u);
    EXPECT_GT(volume.Metrics.cSteps, 0u);
    MIXERCONTROLA mute{};
    ASSERT_EQ(ControlByType(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_MUTE, &mute), MMSYSERR_NOERROR);
    EXPECT_EQ(mute.dwControlType, MIXERCONTROL_CONTROLTYPE_MUTE);
    EXPECT_EQ(mute.cMultipleItems, 0u);
    EXPECT_EQ(mute.fdwControl & (MIXERCONTROL_CONTROLF_MULTIPLE | MIXERCONTROL_CONTROLF_DISABLED), 0u);
    EXPECT_NE(mute.dwControlID, volume.dwControlID);

    std::vector<MIXERCONTROLA> all(line.cControls);
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof(query);
    query.dwLineID = line.dwLineID;
    query.cControls = line.cControls;
    query.cbmxctrl = sizeof(MIXERCONTROLA);
    query.pamxctrl = all.data();
    ASSERT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
    int found = 0;
    for (const MIXERCONTROLA& control : all)
        found += control.dwControlID == volume.dwControlID || control.dwControlID == mute.dwControlID;
    EXPECT_EQ(found, 2);

    MIXERCONTROLA byId{};
    query.dwControlID = volume.dwControlID;
    query.cControls = 1;
    query.pamxctrl = &byId;
    ASSERT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ONEBYID), MMSYSERR_NOERROR);
    EXPECT_EQ(byId.dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
    EXPECT_STREQ(byId.szName, volume.szName);
}

// The volume and the mute read back what was set; the old values are put back.
TEST_F(MixerSpeakersConformance, VolumeAndMuteRoundTrip) {
    MIXERCONTROLA volume{}, mute{};
    ASSERT_EQ(ControlByType(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, &volume), MMSYSERR_NOERROR);
    ASSERT_EQ(ControlByType(mixer, line.dwLineID, MIXERCONTROL_CONTROLTYPE_MUTE, &mute), MMSYSERR_NOERROR);

    MIXERCONTROLDETAILS_UNSIGNED level{};
    MIXERCONTROLDETAILS details = Details(volume.dwControlID, &level, sizeof(level));
    ASSERT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    const DWORD old = level.dwValue;
    const DWORD wanted = old > 32768 ? 16384 : 49152;
    level.dwValue = wanted;
    ASSERT_EQ(mixerSetControlDetails(Object(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    level.dwValue = 0;
    ASSERT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    EXPECT_NEAR(static_cast<double>(level.dwValue), wanted, 2.0);
    level.dwValue = old;
    EXPECT_EQ(mixerSetControlDetails(Object(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);

    MIXERCONTROLDETAILS_BOOLEAN muted{};
    details = Details(mute.dwControlID, &muted, sizeof(muted));
    ASSERT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    const LONG was = muted.fValue;
    muted.fValue = was ? 0 : 1;
    ASSERT_EQ(mixerSetControlDetails(Object(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    muted.fValue = was;
    ASSERT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
    EXPECT_EQ(muted.fValue != 0, was == 0);
    muted.fValue = was;
    EXPECT_EQ(mixerSetControlDetails(Object(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE), MMSYSERR_NOERROR);
}

// Bad line and control ids, bad query flags and wrong record sizes.
TEST_F(MixerSpeakersConformance, BadIdsFlagsAndSizes) {
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(mixer, &caps, sizeof(caps)), MMSYSERR_NOERROR);

    MIXERLINEA probe = LineRecord();
    probe.dwDestination = caps.cDestinations;
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), &probe, MIXER_GETLINEINFOF_DESTINATION), MIXERR_INVALLINE);
    probe = LineRecord();
    probe.dwLineID = 0x7FFF1234u;
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), &probe, MIXER_GETLINEINFOF_LINEID), MIXERR_INVALLINE);
    probe = LineRecord();
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), &probe, MIXER_GETLINEINFOF_QUERYMASK), MMSYSERR_INVALFLAG);
    probe = LineRecord();
    probe.cbStruct = sizeof(probe) - 4;
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), &probe, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mixerGetLineInfoA(Object(mixer), nullptr, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_INVALPARAM);
    probe = LineRecord();
    // A mixer id past the last; Wine calls it a bad handle
    // (platform/emulation/Conformance.md).
    EXPECT_EQ(mixerGetLineInfoA(Object(mixerGetNumDevs()), &probe, MIXER_GETLINEINFOF_DESTINATION),
              OnWine() ? MMSYSERR_INVALHANDLE : MMSYSERR_BADDEVICEID);

    MIXERCONTROLA control{};
    MIXERLINECONTROLSA query{};
    query.cbStruct = sizeof(query);
    query.dwLineID = line.dwLineID;
    query.dwControlID = 0x7FFF1234u;
    query.cControls = 1;
    query.cbmxctrl = sizeof(control);
    query.pamxctrl = &control;
    // Wine answers an unknown control id with MMSYSERR_NOTSUPPORTED
    // (platform/emulation/Conformance.md).
    EXPECT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ONEBYID),
              OnWine() ? MMSYSERR_NOTSUPPORTED : MIXERR_INVALCONTROL);
    query.dwLineID = 0x7FFF1234u;
    query.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    EXPECT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ONEBYTYPE), MIXERR_INVALLINE);
    query.dwLineID = line.dwLineID;
    EXPECT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_QUERYMASK), MMSYSERR_INVALFLAG);
    query.cbStruct = sizeof(query) - 4;
    EXPECT_EQ(mixerGetLineControlsA(Object(mixer), &query, MIXER_GETLINECONTROLSF_ONEBYTYPE), MMSYSERR_INVALPARAM);

    MIXERCONTROLDETAILS_UNSIGNED value{};
    MIXERCONTROLDETAILS details = Details(0x7FFF1234u, &value, sizeof(value));
    EXPECT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MIXERR_INVALCONTROL);
    EXPECT_EQ(mixerSetControlDetails(Object(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE), MIXERR_INVALCONTROL);
    details.cbStruct = sizeof(details) - 4;
    EXPECT_EQ(mixerGetControlDetailsA(Object(mixer), &details, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mixerGetControlDetailsA(Object(mixer), nullptr, MIXER_GETCONTROLDETAILSF_VALUE), MMSYSERR_INVALPARAM);
}

}  // namespace
