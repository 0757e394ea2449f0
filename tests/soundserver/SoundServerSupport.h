#pragma once
// Helpers of the tests that run on a real sound server: the skip rule (the
// device tests'), a private daemon of the test's own, a continuous tone
// played through waveOut; the recorder on waveIn is the device tests'.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_device/Recorder.h"
#include "audio_device/SoundServerDevices.h"
#include "platform/MMSystem.h"

namespace sorn::soundtest {

using sorn::devicetest::Clock;
using sorn::devicetest::kRate;
using sorn::devicetest::Recorder;
using sorn::devicetest::WaitFor;

// The skip rule: SORN_REQUIRE_SOUND_SERVER=1, and whether the default server
// answers (libpulse, no autospawn).
using sorn::devicetest::ServerAnswers;
using sorn::devicetest::ServerRequired;

WAVEFORMATEX Format(unsigned rate = kRate, WORD channels = 1);

// The wave device whose server name (DescribeDevice's key) is `key`, or
// WAVE_MAPPER when there is none.
UINT DeviceWithKey(bool output, const std::string& key);

// The default server is PipeWire's pulse service (pactl info says so).
bool ServerIsPipeWire();

// A sound server of the test's own (scripts/sound-server.sh in a temporary
// folder), to be stalled, killed and started again. `kind` is "pulseaudio"
// or "pipewire"; by default the kind of the default server (SharedKind), so
// that a test covers both. A restart keeps the kind of the first start.
class PrivateServer {
public:
    ~PrivateServer();
    static std::string SharedKind();
    bool Start(const std::string& kind = "");  // false when it does not come up
    bool Kill();    // SIGKILL to all its processes, as a crash would; waits until they are gone
    bool Stall();   // SIGSTOP: it accepts connections and never answers
    bool Resume();  // SIGCONT
    void Stop();           // a clean stop, and the folder is removed
    std::string Address() const { return "unix:" + dir_ + "/runtime/pulse/native"; }
    bool IsPipeWire() const { return kind_ == "pipewire"; }
    // What `pactl ARGUMENTS` prints on this server (stdout; empty on failure).
    std::string Pactl(const std::string& arguments) const;

private:
    std::string dir_;
    std::string kind_;  // "pulseaudio" or "pipewire"
};

// A tone of `frequency` Hz and peak `amplitude`, phase-continuous over the
// whole stream, played from a ring of headers that the callback refills.
class TonePlayer {
public:
    TonePlayer(double frequency, double amplitude, std::uint64_t totalFrames,
               unsigned headerFrames = 1600, unsigned headerCount = 4);
    ~TonePlayer();
    MMRESULT Open(UINT device = WAVE_MAPPER);
    MMRESULT Play();  // queues the ring; the callback keeps it full
    bool WaitDone(std::chrono::milliseconds limit,
                  std::chrono::milliseconds poll = std::chrono::milliseconds(2));
    void Close();
    HWAVEOUT Handle() const { return device_; }
    // When each header came back, and the stream frame its data ended at.
    struct Completion {
        Clock::time_point when;
        std::uint64_t endFrame;
        DWORD positionAtCallback;
    };
    std::vector<Completion> Completions();

private:
    static void Proc(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    void Done(WAVEHDR* header);
    bool Fill(WAVEHDR* header);  // false when the tone is all queued

    const double step_;
    const double amplitude_;
    const std::uint64_t total_;
    const unsigned headerFrames_;
    HWAVEOUT device_ = nullptr;
    std::vector<std::vector<std::int16_t>> blocks_;
    std::vector<WAVEHDR> headers_;
    std::mutex mutex_;
    std::uint64_t generated_ = 0;  // under mutex_
    std::uint64_t returned_ = 0;   // headers back
    std::uint64_t queued_ = 0;     // headers queued
    std::vector<std::uint64_t> ends_;  // the end frame of each queued header, in order
    std::vector<Completion> completions_;
    std::atomic<bool> stopping_{false};
};

// The CPU time this process has used, user and system.
std::chrono::microseconds ProcessCpuTime();

}  // namespace sorn::soundtest
