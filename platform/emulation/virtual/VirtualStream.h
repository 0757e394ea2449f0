#pragma once
// One open stream of the virtual device. Its state is the engine's, under
// the engine's mutex (`mutex` names it here); the engine's clock steps it
// (VirtualEngine.h).
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/emulation/wave/Backend.h"
#include "threading/Mutex.h"

namespace sorn::audio::virtualdev {

class Engine;

class VirtualStream : public Stream {
public:
    VirtualStream(Engine& streamEngine, Mutex& engineMutex, Direction streamDirection, bool onMapper,
                  std::uint64_t streamDevice, const StreamFormat& streamFormat, std::shared_ptr<StreamSink> streamSink)
        : engine(streamEngine), mutex(engineMutex), direction(streamDirection), followsDefault(onMapper),
          deviceId(streamDevice), format(streamFormat), sink(std::move(streamSink)) {}

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override { return MMSYSERR_NOERROR; }  // nothing is held between pull and play
    void Close() override;

    Engine& engine;
    Mutex& mutex;  // the engine's
    const Direction direction;
    const bool followsDefault;  // opened on the mapper: the default device at each step
    const std::uint64_t deviceId;  // otherwise the device's id (Engine::Device::id)
    const StreamFormat format;
    const std::shared_ptr<StreamSink> sink;
    bool running SORN_GUARDED_BY(mutex) = false;
    bool closed SORN_GUARDED_BY(mutex) = false;
    bool lost SORN_GUARDED_BY(mutex) = false;
    std::chrono::steady_clock::time_point since SORN_GUARDED_BY(mutex);
    std::uint64_t framesDone SORN_GUARDED_BY(mutex) = 0;
};

// Opens a stream on device `device` (a number, or kDefaultDevice) of the
// engine: the layer owns what *result holds, the engine keeps a shared
// reference to the stream until it is closed. MMSYSERR_BADDEVICEID when
// there is no such device (MMSYSERR_NODRIVER for the mapper without one).
MMRESULT OpenStream(Engine& engine, Direction direction, UINT device, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* result);

}  // namespace sorn::audio::virtualdev
