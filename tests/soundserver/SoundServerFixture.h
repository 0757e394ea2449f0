#pragma once
// The fixture of the tests that run on the default sound server: each test
// starts with the PulseAudio backend selected (see SoundServerDeviceTest for
// the skip rule).
#include "audio_device/SoundServerDeviceTest.h"
#include "platform/MMSystem.h"
#include "platform/emulation/wave/Backend.h"
#include "soundserver/SoundServerSupport.h"

namespace sorn::soundtest {

using SoundServerFixture = sorn::devicetest::SoundServerDeviceTest;

}  // namespace sorn::soundtest
