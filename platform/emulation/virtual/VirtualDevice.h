#pragma once
// The virtual sound device: output and input devices with no hardware
// behind them; one of each (both numbered 0, stereo) unless a selection
// ("virtual:outputs=1+2+6,inputs=...", VirtualOptions.h) or a test
// (AddDevice) makes more. Its clock runs in real time (a timer
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
    // silence, output to memory (emptied), one output ("Sorn virtual
    // output") and one input ("Sorn virtual input"), both numbered 0, stereo
    // at 48 kHz, and the defaults. Streams already open on the first device
    // of their direction (or on the mapper) stay open and follow the new
    // clock; those on devices the reset removes are lost, as by RemoveDevice.
    static void Reset(Clock clock);

    // Devices. Each direction numbers its devices from 0 in the order they
    // were made; removing one renumbers those after it, keeping their order.
    // The default is what WAVE_MAPPER opens: a stream opened on the mapper
    // plays to (or records from) whichever device is the default at each
    // moment, following SetDefault as the sound server moves such streams; a
    // stream opened on a number stays on that device.
    //
    // Appends a device (`output` false: an input) with this name, channel
    // count (1 to 8: what its capabilities report; streams open with any
    // format) and rate (1000 to 384000); returns its number, or kNoDevice
    // for a bad value or beyond 32 devices. The first device of a direction
    // becomes its default.
    static constexpr UINT kNoDevice = 0xFFFFFFFF;
    static UINT AddDevice(bool output, const char* name, std::uint16_t channels = 2, std::uint32_t rate = 48000);
    // Removes device `number`. Every stream on it is lost as the device goes:
    // queued headers come back done and later calls fail with
    // MMSYSERR_NODRIVER. When it was the default, the first remaining device
    // becomes the default and the mapper's streams move there (with none
    // left, they are lost too). Waits for the lost streams' deliveries as
    // Disconnect does. False for an unknown number.
    static bool RemoveDevice(bool output, UINT number, bool waitForDeliveries = true);
    // Makes device `number` the default; false for an unknown number.
    static bool SetDefault(bool output, UINT number);

    // Input: what an input stream captures (16-bit samples, interleaved for
    // the stream's channel count). Each input device has its own source; the
    // functions without a device number set the default input's.
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
    // What the default output plays, in the order played.
    static void SetInputLoopback();
    // The same for input device `input`: silence, samples, or what output
    // device `output` plays. False for an unknown number.
    static bool SetInputSilence(UINT input);
    static bool SetInputSamples(UINT input, std::vector<std::int16_t> samples, bool loop);
    static bool SetInputLoopback(UINT input, UINT output);

    // Output: what output streams play goes to memory (kept) or to a WAV
    // file, each output device's apart; the functions without a device
    // number act on the default output's.
    static void SetOutputMemory();
    // The samples played so far, then empties the memory. (Only the latest 16
    // million or so are kept when nobody takes them.)
    static std::vector<std::int16_t> TakeOutput();
    // The same for output device `output`; empty for an unknown number.
    static std::vector<std::int16_t> TakeOutput(UINT output);
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
    // Every open virtual stream is lost as if its device vanished mid-stream
    // (the devices stay listed): queued headers come back done, later calls
    // fail with MMSYSERR_NODRIVER.
    // By default it returns once those headers have been delivered; with
    // waitForDeliveries false it returns at once, as a sound server that
    // goes away does not wait for the client's callbacks.
    static void Disconnect(bool waitForDeliveries = true);
};

}  // namespace sorn::audio
