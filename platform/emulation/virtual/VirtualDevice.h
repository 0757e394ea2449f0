#pragma once
// The virtual sound device: one output and one input device (both numbered
// 0) with no hardware behind them. Its clock runs in real time (a timer
// thread, a few milliseconds per tick) or is stepped by the caller, which
// makes every test that drives it deterministic. Output goes to memory or to
// a WAV file; input comes from silence, samples, a generator, a WAV file or
// the virtual output itself (loopback). Faults can be injected.
//
// Select it with SORN_AUDIO=virtual[:options] or
// sorn::audio::SelectBackend("virtual:clock=stepped") (platform/emulation/wave/Backend.h);
// the latter also resets it. Without a selection, the first wave call picks a
// backend by the rule in Backend.h ("auto": the sound server when one answers).
// All functions are process-wide and safe from any thread; Advance and
// WaitIdle must not be called from inside a wave callback (they would wait
// for that very callback: they return after their timeout instead).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/MMSystem.h"

namespace sorn::audio {

class SORN_WIN_API VirtualDevice {
public:
    enum class Clock { RealTime, Stepped };
    // Puts the virtual backend in a clean state: clock mode, no faults, input
    // silence, output to memory (emptied), devices numbered 0 (one output,
    // one input). Streams already open stay open and follow the new clock.
    static void Reset(Clock clock);

    // Input: what an input stream captures (16-bit samples, interleaved for
    // the stream's channel count).
    static void SetInputSilence();
    // The samples once (or looped), then silence.
    static void SetInputSamples(std::vector<std::int16_t> samples, bool loop);
    // Called on the clock's thread (or Advance's caller) with the index of the
    // first sample wanted, counted from the generator's installation. It runs
    // under the virtual device's lock: it must not call VirtualDevice.
    static void SetInputGenerator(
        std::function<void(std::int16_t* out, std::size_t samples, std::uint64_t firstSample)> generator);
    // A 16-bit PCM WAV file, read whole, played once, then silence. False
    // (and the input unchanged) when the file cannot be read.
    static bool SetInputFile(const char* wavPath);
    // What the virtual output plays, in the order played.
    static void SetInputLoopback();

    // Output: what output streams play goes to memory (kept) or to a WAV file.
    static void SetOutputMemory();
    // The samples played so far, then empties the memory. (Only the latest 16
    // million or so are kept when nobody takes them.)
    static std::vector<std::int16_t> TakeOutput();
    // Played samples are appended to this WAV file (16-bit PCM, with the
    // format of the first stream that plays); the header is brought up to date
    // as samples arrive. False when the file cannot be created.
    static bool SetOutputFile(const char* wavPath);

    // Stepped clock: every open virtual stream advances by this many sample
    // frames: output consumes (plays) queued bytes, input fills queued
    // headers. Returns once the completions this step caused have been
    // delivered to the client callbacks (or a timeout of several seconds
    // passed). Headers that a callback queues during the step are consumed
    // within the same step; frames that find no queued header are lost
    // (output: silence; input: overrun).
    static void Advance(std::uint32_t frames);
    // Waits until every pending notification of every virtual device has been
    // delivered; false on timeout.
    static bool WaitIdle(std::uint32_t timeoutMs);

    // Faults: the next `count` calls of the named operation ("waveOutWrite",
    // "waveInPrepareHeader", "waveOutGetPosition", "waveOutOpen", ...) on
    // virtual devices fail with `code`.
    static void FailNext(const char* operation, MMRESULT code, int count = 1);
    // Every open virtual stream is lost as if the device vanished mid-stream:
    // queued headers come back done, later calls fail with MMSYSERR_NODRIVER.
    // By default it returns once those headers have been delivered; with
    // waitForDeliveries false it returns at once, as a sound server that
    // goes away does not wait for the client's callbacks.
    static void Disconnect(bool waitForDeliveries = true);
};

}  // namespace sorn::audio
