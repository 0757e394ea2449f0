#pragma once
// The fixture of the tests that run on the default sound server: each test
// starts with the PulseAudio backend selected, and skips when no server
// answers (fails instead when SORN_REQUIRE_SOUND_SERVER=1).
#include <gtest/gtest.h>

#include "platform/MMSystem.h"
#include "platform/audio/Backend.h"
#include "soundserver/SoundServerSupport.h"

namespace sorn::soundtest {

class SoundServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ServerAnswers()) {
            if (ServerRequired()) FAIL() << "no sound server answers (SORN_REQUIRE_SOUND_SERVER=1)";
            GTEST_SKIP() << "no sound server answers";
        }
        ASSERT_EQ(sorn::audio::SelectBackend("pulse"), MMSYSERR_NOERROR);
    }
    // For a fixture that does more in its SetUp: true when the test cannot
    // go on (skipped, or the server part failed).
    bool Stopped() const { return IsSkipped() || HasFatalFailure(); }
};

}  // namespace sorn::soundtest
