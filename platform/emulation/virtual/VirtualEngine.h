#pragma once
// The virtual device's engine: one per process, holding the clock, the
// devices (each output's target, each input's source), the injected faults
// and every open stream.
//
// Its clock decides which frame each open stream has reached, as miniaudio's
// null backend does: in real time a timer thread wakes every few
// milliseconds and steps every running stream by the frames that elapsed
// since it started; in stepped mode only VirtualDevice::Advance moves time.
// A step of an output stream pulls the queued bytes for those frames and
// reports them played at once (they go to its device's memory or WAV file,
// and to the inputs that loop that device back); a step of an input stream
// pushes that many frames of its device's input source.
//
// Devices: numbered by position in their direction's list, each with a name,
// a channel count and a rate (what it reports; a stream opens with any
// format the layer takes, and its samples are kept as the stream plays
// them). A stream opened on a number stays on that device; one opened on
// the mapper (kDefaultDevice) plays to or records from whichever device is
// the default at each step, so it follows a switch of the default, as the
// sound server moves such streams. A device removed takes its streams with
// it (a device loss).
//
// Locks: `mutex` guards everything here (and every stream's state, see
// Holds) and is held while a step calls a stream's sink (which takes only the wave layer's short data lock). It is
// never held while waiting for deliveries, so a client callback may call
// back into the wave layer, and from there into the backend, freely.
#include <cassert>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/virtual/VirtualStream.h"
#include "platform/emulation/virtual/WavFile.h"
#include "threading/Mutex.h"

namespace sorn::audio::virtualdev {

// One device of the virtual backend, output or input. Its fields are guarded
// by the engine's mutex (a device is only reached through the engine's lists).
struct VirtualDeviceState {
    enum class Source { Silence, Samples, Generator, Loopback };

    std::uint64_t id = 0;  // never reused: streams and loopbacks name a device by it
    std::string name;
    std::uint16_t channels = 2;
    std::uint32_t rate = 48000;

    // Output: what it plays goes to memory, or to the WAV file when open.
    std::vector<std::int16_t> memory;
    WavWriter writer;

    // Input: what its streams capture.
    Source source = Source::Silence;
    std::vector<std::int16_t> samples;
    bool loopSamples = false;
    std::size_t samplePosition = 0;
    std::function<void(std::int16_t*, std::size_t, std::uint64_t)> generator;
    std::uint64_t generated = 0;
    std::uint64_t loopbackOf = 0;  // the output device heard (Source::Loopback)
    std::deque<std::int16_t> loopback;
};

class Engine {
public:
    using Clock = VirtualDevice::Clock;
    using Device = VirtualDeviceState;
    using Source = Device::Source;
    struct Fault {
        MMRESULT code;
        int count;
    };
    // A device as a layout gives it.
    struct DeviceShape {
        std::string name;
        std::uint16_t channels = 2;
        std::uint32_t rate = 48000;
    };
    // At most this many devices each way.
    static constexpr std::size_t kMostDevices = 32;

    // The process's engine; never destroyed (streams may outlive statics).
    static Engine& Get();

    Mutex mutex;
    Clock clock SORN_GUARDED_BY(mutex) = Clock::RealTime;
    unsigned periodMs SORN_GUARDED_BY(mutex) = 5;

    std::map<std::string, Fault> faults SORN_GUARDED_BY(mutex);

    std::vector<std::shared_ptr<VirtualStream>> streams SORN_GUARDED_BY(mutex);

    // ---- mutex held ----
    // A stream's state is guarded by the mutex it names, which is this
    // engine's: says so to the analysis (which cannot see that the two are
    // one) once `mutex` is held.
    void Holds(const VirtualStream& stream) const SORN_REQUIRES(mutex) SORN_ASSERT_CAPABILITY(stream.mutex) {
        assert(&stream.mutex == &mutex);
    }
    // Clock mode, no faults, one output and one input device (the first
    // ones kept, the rest removed), input silence, output to memory
    // (emptied).
    void ResetLocked(Clock newClock) SORN_REQUIRES(mutex);
    // Every stream counts its frames afresh from now.
    void RestartClocksLocked() SORN_REQUIRES(mutex);
    // Starts the timer when real time has streams to drive; returns a timer
    // thread that is no longer wanted, to be joined with the mutex released.
    std::thread ManageTimerLocked() SORN_REQUIRES(mutex);
    // Output: pulls and plays up to `frames`; returns the frames played.
    std::uint64_t StepOutput(VirtualStream& stream, std::uint64_t frames) SORN_REQUIRES(mutex);
    // Input: `count` samples of the input source of `device` (silence when
    // null).
    void Generate(Device* device, std::int16_t* out, std::size_t count) SORN_REQUIRES(mutex);

    // Devices. Numbers are positions in the list of their direction; the
    // default is kept by identity, so it stays when others come and go.
    std::vector<std::unique_ptr<Device>>& Devices(Direction direction) SORN_REQUIRES(mutex) {
        return direction == Direction::Output ? outputs_ : inputs_;
    }
    // Device `number` of `direction`, or its default for kDefaultDevice;
    // null when there is none.
    Device* FindLocked(Direction direction, UINT number) SORN_REQUIRES(mutex);
    // The default device, or null when the direction has no device.
    Device* DefaultLocked(Direction direction) SORN_REQUIRES(mutex);
    // The number of the device with `id`, or kDefaultDevice when it is gone.
    UINT NumberLocked(Direction direction, std::uint64_t id) SORN_REQUIRES(mutex);
    // The device a stream plays to or records from now: its own, or the
    // present default for a stream opened on the mapper; null when gone.
    Device* DeviceOfLocked(const VirtualStream& stream) SORN_REQUIRES(mutex);
    // Appends a device; returns its number.
    UINT AddLocked(Direction direction, const DeviceShape& shape) SORN_REQUIRES(mutex);
    // Makes device `number` the default.
    void SetDefaultLocked(Direction direction, UINT number) SORN_REQUIRES(mutex);
    // Removes device `number`: the streams on it are lost (their sinks are
    // told MMSYSERR_NODRIVER) and returned, so the caller can wait for their
    // deliveries with the mutex released. When it was the default, the first
    // remaining device becomes the default and the mapper's streams follow;
    // with none left they are lost too.
    std::vector<std::shared_ptr<VirtualStream>> RemoveLocked(Direction direction, UINT number) SORN_REQUIRES(mutex);
    // Gives `direction` these devices: those at the first positions keep
    // their identity (and open streams, and what they hold) under the new
    // name, channels and rate; the rest are removed as by RemoveLocked, new
    // ones added. The first becomes the default.
    std::vector<std::shared_ptr<VirtualStream>> SetLayoutLocked(Direction direction,
                                                                const std::vector<DeviceShape>& shapes)
        SORN_REQUIRES(mutex);
    // The layout of a fresh engine: one stereo device each way.
    static std::vector<DeviceShape> DefaultLayout(Direction direction);
    // The shapes with the names left empty filled in after their direction:
    // "Sorn virtual output" for a single device, "Sorn virtual output A",
    // "Sorn virtual output B", ... for several.
    static std::vector<DeviceShape> NamedLayout(Direction direction, std::vector<DeviceShape> shapes);

    // ---- mutex not held ----
    // The open streams as they are now.
    std::vector<std::shared_ptr<VirtualStream>> Snapshot() SORN_EXCLUDES(mutex);
    // Applies a clock mode, starting or ending the timer.
    void SetClock(Clock newClock) SORN_EXCLUDES(mutex);

private:
    Engine();

    // Played samples go to the output device's target and to every input
    // that loops it back.
    void Emit(Device& output, const std::int16_t* data, std::size_t count, const StreamFormat& format)
        SORN_REQUIRES(mutex);
    void StepInput(VirtualStream& stream, std::uint64_t frames) SORN_REQUIRES(mutex);
    void RunTimer(std::uint64_t generation) SORN_EXCLUDES(mutex);
    // Marks `stream` lost and tells its sink.
    void LoseLocked(VirtualStream& stream) SORN_REQUIRES(mutex);

    std::vector<std::unique_ptr<Device>> outputs_ SORN_GUARDED_BY(mutex);
    std::vector<std::unique_ptr<Device>> inputs_ SORN_GUARDED_BY(mutex);
    std::uint64_t defaultOutput_ SORN_GUARDED_BY(mutex) = 0;
    std::uint64_t defaultInput_ SORN_GUARDED_BY(mutex) = 0;
    std::uint64_t nextId_ SORN_GUARDED_BY(mutex) = 1;

    std::thread timer_ SORN_GUARDED_BY(mutex);
    std::uint64_t timerGeneration_ SORN_GUARDED_BY(mutex) = 0;
    CondVar timerWake_;
};

// Input-source helpers for a device (mutex held by the caller).
void SetSource(VirtualDeviceState& device, VirtualDeviceState::Source source);

}  // namespace sorn::audio::virtualdev
