#pragma once
// The wave devices of the sound server, for tests that play and record
// through the platform's API on a real device: on Linux the platform's
// sound-server backend, on Windows the system's own devices (Wine's, which
// play through the same sound server).
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/MMSystem.h"

namespace sorn::devicetest {

using Clock = std::chrono::steady_clock;

// The rate of the test streams and of the sound server's null sink.
constexpr unsigned kRate = 16000;

// 16-bit PCM at `rate` with `channels` channels.
inline WAVEFORMATEX Pcm16(DWORD rate = kRate, WORD channels = 1) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<WORD>(2 * channels);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.cbSize = 0;
    return format;
}

// Polls `done` every `poll` until it holds or `limit` passes.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit,
             std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// A sound server answers (on Linux the default PulseAudio server, probed
// without spawning one; on Windows the system has wave devices both ways).
bool ServerAnswers();
// Makes the sound server's devices the ones the wave API opens; false when
// they cannot be selected or lack a direction.
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

// The 16-bit little-endian samples of a raw file; empty when it cannot be read.
std::vector<std::int16_t> ReadRawSamples(const std::string& path);

}  // namespace sorn::devicetest
