#pragma once
// The wave devices of the sound server, for tests that play and record
// through the platform's API on a real device: on Linux the platform's
// sound-server backend, on Windows the system's own devices (Wine's, which
// play through the same sound server).
#include <cstdint>
#include <string>
#include <vector>

namespace sorn::devicetest {

// Makes the sound server's devices the ones the wave API opens; false when
// no server answers (or the system has no wave devices both ways).
bool UseSoundServerDevices();
// Gives the devices back to the platform's own choice.
void ReleaseSoundServerDevices();

// True when SORN_REQUIRE_SOUND_SERVER=1: a missing server or speech tool
// fails the test instead of skipping it.
bool ServerRequired();

// `text` spoken by espeak-ng (its default voice), made 16 kHz mono 16-bit by
// sox; empty when that fails. A Windows program cannot start the host's
// tools: there the clip rendered from the same text at build time is read
// (SORN_TEST_SPEECH_DIR/<name>.raw, see tests/windows/CMakeLists.txt).
std::vector<std::int16_t> Speech(const std::string& name, const std::string& text);

}  // namespace sorn::devicetest
