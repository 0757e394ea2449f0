#pragma once
// Audio backends: what stands behind the waveOut / waveIn operations.
//
// The wave layer (WaveLayer.cpp) implements every waveOut* and waveIn*
// operation of platform/MMSystem.h once, for all backends. A backend only
// moves bytes between the layer and a device. Adding one (ALSA, say) means a
// folder under platform/backends/ implementing the two classes below (and,
// for volume, platform/emulation/mixer/MixerBackend.h), and one row in the
// system's table (BackendTable.h, platform/linux/Backends.cpp).
// platform/backends/skeleton/ is a starting point to copy; the virtual
// device (platform/emulation/virtual/) is the simplest complete example.
//
// What the layer has already done before it calls a backend:
// - handles are checked against its table; a backend never sees a bad or
//   closed handle;
// - formats are 16-bit PCM with 1 to 8 channels, a rate of 1000 to 384000 Hz,
//   nBlockAlign = 2 * nChannels and nAvgBytesPerSec = rate * nBlockAlign;
// - device ids are below DeviceCount(), or kDefaultDevice (WAVE_MAPPER);
// - the header queues, header flags (WHDR_PREPARED / WHDR_INQUEUE /
//   WHDR_DONE), queue order, the position counter, the per-device
//   notification thread and every client callback are the layer's. A backend
//   never touches a WAVEHDR and never calls a client callback;
// - input that arrives while no header is queued is kept by the layer (up to
//   a second of it, oldest dropped first) and fills the next header queued,
//   so every backend keeps input the same way.
//
// What a backend still owes:
// - Device enumeration (DeviceCount, GetCaps) and a format question that
//   opens nothing (QueryFormat).
// - Formats. The layer never converts samples, rates or channel counts: a
//   stream carries the format the client opened, byte for byte. A backend
//   whose device lacks the format converts with the device's own means (the
//   sound server resamples and remixes; ALSA's plug layer would), or answers
//   WAVERR_BADFORMAT from QueryFormat and Open.
// - Clocking. An open output stream pulls bytes with StreamSink::Pull at the
//   pace of its device and reports with Played() how many frames the device
//   has actually played: consumed by its clock (written to the DAC, or read
//   by the server's sink), never merely buffered, and never ahead of it, so
//   that the position a client reads and the completion of a header follow
//   what is heard. An input stream, while started, pushes captured bytes with
//   Push() as the device delivers them.
//   Pull/Push copy whole frames only.
// - Start/Stop (input: capture on or off; output: the clock runs or is
//   paused, nothing is lost), Flush (output: drop whatever has been pulled
//   but not yet played; after a reset, played bytes restart from 0).
// - Failure: when the device or sound server dies mid-stream, Failed(code)
//   once (MMSYSERR_NODRIVER for a device lost); the layer then returns every
//   queued header and fails later calls. An underrun or overrun is not a
//   failure: the backend recovers and goes on.
// - Close: after Stream::Close returns, the stream never calls its sink
//   again (a call already in progress may finish; the sink ignores calls
//   that arrive after close).
// - Locks: the layer calls a backend holding at most its per-device
//   operation lock, which no sink method takes; the sink's methods take only
//   a short data lock of the layer's, which is never held while the backend
//   or a client is called, and they never call back into the backend. So a
//   backend may call its sink while holding its own lock (libpulse's
//   mainloop lock, say), but must not wait, while holding a lock, for
//   something that needs that lock on another thread, nor wait in a Stream
//   method for a client callback to finish.
// - Blocking. Nothing may hang: every wait in a backend has a timeout. A
//   probe answers within half a second; Open may wait for its device or
//   server up to about a second and then fails (MMSYSERR_NODRIVER); Start,
//   Stop, Flush and Close may wait for the device up to about a second;
//   DeviceCount, GetCaps and QueryFormat answer from what the backend knows
//   or within the same second. DataQueued never blocks (it is called with
//   the device's operation lock held, from any thread).
// - Thread safety: Backend methods may be called from any thread at any
//   time. Stream methods are called one at a time per stream (the layer
//   serialises them), from any thread, possibly from the notification
//   thread of a device (a client callback that resets a device, say).
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MMSystem.h"

namespace sorn::mixer {
class MixerBackend;
}

namespace sorn::audio {

enum class Direction { Output, Input };

// The device id a backend receives when the client asked for WAVE_MAPPER:
// the backend's own default device.
constexpr UINT kDefaultDevice = WAVE_MAPPER;

// The formats the layer opens: 16-bit PCM within these bounds.
constexpr std::uint16_t kMostChannels = 8;
constexpr std::uint32_t kLowestRate = 1000;
constexpr std::uint32_t kHighestRate = 384000;
// The platform's WAVE_FORMAT_* capability bits of the 16-bit formats (11.025,
// 22.05, 44.1, 48 and 96 kHz, mono and stereo), for a backend that takes them
// all.
constexpr std::uint32_t kSixteenBitFormats = WAVE_FORMAT_1M16 | WAVE_FORMAT_1S16 | WAVE_FORMAT_2M16 | WAVE_FORMAT_2S16 |
                                             WAVE_FORMAT_4M16 | WAVE_FORMAT_4S16 | WAVE_FORMAT_48M16 |
                                             WAVE_FORMAT_48S16 | WAVE_FORMAT_96M16 | WAVE_FORMAT_96S16;

// The stream format the layer has checked (16-bit PCM).
struct StreamFormat {
    std::uint32_t sampleRate = 16000;
    std::uint16_t channels = 1;
    std::uint16_t BlockAlign() const { return static_cast<std::uint16_t>(channels * 2); }
};

// What a host lists about one device.
struct DeviceCaps {
    std::string name;  // at most MAXPNAMELEN - 1 characters are shown
    std::uint16_t channels = 2;  // the most a stream may open with
    std::uint16_t deviceChannels = 2;  // the device's own
    std::uint32_t formats = 0;  // the platform's WAVE_FORMAT_* bits
    std::uint32_t rate = 0;  // the device's own rate; 0 when unknown
    bool monitor = false;  // an input that records what an output plays
    std::string key;  // the backend's own name for it ("alsa_output.usb-..."); may be empty
};

// The layer's side of one open stream, called by the backend from its own
// threads. Every method is thread-safe, short, and never calls the backend.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    // Output: copies up to `bytes` queued bytes (rounded down to whole frames)
    // into `out`, in queue order, and returns how many were copied; fewer
    // than asked means the queue ran dry (the backend plays silence for the
    // rest, which is not counted as played). 0 while paused or after close.
    virtual std::size_t Pull(void* out, std::size_t bytes) = 0;
    // Output: `frames` more of the pulled frames have been played. A header
    // completes once all its bytes are played.
    virtual void Played(std::uint64_t frames) = 0;
    // Output: how many more frames must be played (beyond those reported
    // with Played) before the oldest queued header completes; 0 when no
    // header waits. Lets a backend report Played right when a header ends
    // instead of at short regular intervals. kUnknownFrames when the sink
    // cannot tell.
    static constexpr std::uint64_t kUnknownFrames = ~std::uint64_t{0};
    virtual std::uint64_t FramesToCompletion() { return kUnknownFrames; }
    // Input: `bytes` captured; they fill the queued headers in order, and
    // what no header takes waits in the layer (up to a second) for the next
    // header queued. Returns how many were taken or kept; the rest is lost
    // (an overrun). 0 while stopped or after close.
    virtual std::size_t Push(const void* data, std::size_t bytes) = 0;
    // The device is lost: every queued header comes back done and later calls
    // fail with `code`. Called at most once; further calls are ignored.
    virtual void Failed(MMRESULT code) = 0;
    // Waits until no notification is pending or being delivered to the
    // client (including those that callbacks cause meanwhile); false on
    // timeout. Returns at once when called on this stream's own notification
    // thread. For backends that step time for tests.
    virtual bool WaitDelivered(std::uint32_t timeoutMs) = 0;
};

// One open stream of a backend.
class Stream {
public:
    virtual ~Stream() = default;
    // Output: the clock runs (called once right after open, and on restart).
    // Input: capture begins; Push calls follow.
    virtual MMRESULT Start() = 0;
    // Output: pause, nothing is lost. Input: capture stops; no Push follows.
    virtual MMRESULT Stop() = 0;
    // Output: drop what was pulled and not yet played (reset). Input: drop
    // anything captured and not yet pushed.
    virtual MMRESULT Flush() = 0;
    // Output: new bytes were queued (a hint for backends that wait for data).
    // Input: a header was queued (the layer has given it what it kept); a
    // backend that holds captured input of its own may push it now.
    virtual void DataQueued() {}
    // Ends the stream: no sink call follows once it returns.
    virtual void Close() = 0;
};

// A family of devices.
class Backend {
public:
    virtual ~Backend() = default;
    // "virtual", "pulse", ...
    virtual const char* Name() const = 0;
    virtual UINT DeviceCount(Direction direction) = 0;
    // Whether the devices are reachable now: MMSYSERR_NOERROR, or why not
    // (MMSYSERR_NODRIVER: no sound server answers). A reachable backend may
    // still have no device at all.
    virtual MMRESULT Answers() { return MMSYSERR_NOERROR; }
    // The numbered device kDefaultDevice stands for right now (the server's
    // default sink, say), or kDefaultDevice when the backend cannot tell.
    virtual UINT DefaultDevice(Direction direction) { return kDefaultDevice; }
    // `device` is below DeviceCount(direction) or kDefaultDevice.
    virtual MMRESULT GetCaps(Direction direction, UINT device, DeviceCaps* caps) = 0;
    // Whether `device` could open `format`; opens nothing. MMSYSERR_NOERROR,
    // WAVERR_BADFORMAT, MMSYSERR_BADDEVICEID, MMSYSERR_NODRIVER ...
    virtual MMRESULT QueryFormat(Direction direction, UINT device, const StreamFormat& format) = 0;
    // Opens a stream that reports to `sink`. The output clock starts with
    // Start(); input stays stopped until Start(). The backend keeps `sink`
    // alive for as long as it may call it (at least until Close returns).
    virtual MMRESULT Open(Direction direction, UINT device, const StreamFormat& format,
                          std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* stream) = 0;
    // Fault injection: a code to return instead of running the named wave
    // operation ("waveOutWrite", ...) on this backend; MMSYSERR_NOERROR to
    // run it. The layer asks once per call. Only the virtual device injects.
    virtual MMRESULT InjectedFault(const char* operation) { return MMSYSERR_NOERROR; }
    // The mixers that go with these devices (platform/emulation/mixer/MixerBackend.h);
    // null for a backend without any (mixerGetNumDevs then answers 0).
    virtual std::shared_ptr<mixer::MixerBackend> Mixers() { return nullptr; }
};

// The backend for devices opened from now on; selects from SORN_AUDIO on
// first use. Never null.
std::shared_ptr<Backend> CurrentBackend();

// Selects the backend for devices opened from now on:
//   "auto" (default)            the first backend of the system's table
//                               that answers (BackendTable.h): the sound
//                               server when one answers quickly, else the
//                               virtual device when none is there
//                               (MMSYSERR_NODRIVER: one is there but silent)
//   "pulse[:server=ADDRESS]"    the PulseAudio sound server (libpulse)
//   "virtual[:OPTION,...]"      the virtual device; options clock=realtime|stepped,
//                               period=MS, out=memory|FILE.wav,
//                               in=silence|loopback|FILE.wav (these two on
//                               the default devices), outputs=LAYOUT,
//                               inputs=LAYOUT: the devices, each its channel
//                               count with an optional @RATE, joined by '+'
//                               ("outputs=1+2+6", "inputs=2@44100+1"; the
//                               first is the default; one stereo device
//                               each way when left out)
// SelectBackend("virtual...") starts the virtual device afresh
// (VirtualDevice::Reset, then the options). The environment variable
// SORN_AUDIO holds the same text and is read on first use; it, like "auto",
// applies its options over the virtual device's present state, so settings a
// program made before its first wave call stay. Returns MMSYSERR_NOERROR, or MMSYSERR_INVALPARAM for an unknown
// name or option, or the backend's error when it cannot start; the selection
// is then unchanged. Devices already open keep their backend.
SORN_WIN_API MMRESULT SelectBackend(const char* selection);
// The backends this build offers, in the order "auto" tries them, each as a
// selection of it is written ("pulse[:server=ADDRESS]", "virtual[:OPTIONS]");
// null past the last.
SORN_WIN_API const char* BackendUsage(UINT index);
// "pulse" or "virtual": the backend devices open on now.
SORN_WIN_API const char* SelectedBackendName();
// Whether the selected backend's devices can be reached now (Backend::Answers):
// a host tells "no sound server" from "a server without devices" by it.
SORN_WIN_API MMRESULT BackendAnswers();
// The channel count of the device itself, as its backend knows it: the sound
// server's sink or source (1 for a mono null sink), the virtual device's
// own (2 unless a layout or a test says otherwise).
// deviceId as for waveOutGetDevCapsA / waveInGetDevCapsA (output false: an
// input). Whatever it says, a wave device opens with 1 to 8 channels: the
// backend converts; the capability record's wChannels keeps to the
// platform's 1 or 2.
SORN_WIN_API MMRESULT DeviceChannels(bool output, UINT_PTR deviceId, WORD* channels);

}  // namespace sorn::audio
