#pragma once
// The fixture of the tests that play and record on the sound server's
// devices: each test starts with them selected and gives them back at its
// end. It skips when no server answers (fails instead when
// SORN_REQUIRE_SOUND_SERVER=1); a server that answers but whose devices
// cannot be selected fails the test.
#include <gtest/gtest.h>

#include "audio_device/SoundServerDevices.h"

namespace sorn::devicetest {

// Skips the running test when no sound server answers, or fails it when
// SORN_REQUIRE_SOUND_SERVER=1; the caller stops when the test is skipped or
// has failed.
inline void NeedServer() {
    if (ServerAnswers()) return;
    if (ServerRequired()) FAIL() << "no sound server answers (SORN_REQUIRE_SOUND_SERVER=1)";
    GTEST_SKIP() << "no sound server answers";
}

class SoundServerDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        NeedServer();
        if (Stopped()) return;
        ASSERT_TRUE(UseSoundServerDevices()) << "the sound server answers, but its devices cannot be used";
    }
    void TearDown() override { ReleaseSoundServerDevices(); }
    // For a fixture that does more in its SetUp: true when the test cannot
    // go on (skipped, or the server part failed).
    bool Stopped() const { return IsSkipped() || HasFatalFailure(); }
};

}  // namespace sorn::devicetest
