#include "platform/emulation/virtual/VirtualStream.h"

#include <algorithm>
#include <thread>

#include "platform/emulation/virtual/VirtualEngine.h"

namespace sorn::audio::virtualdev {

MMRESULT VirtualStream::Start() {
    MutexLock lock(mutex);
    if (lost || closed) return MMSYSERR_NODRIVER;
    running = true;
    since = std::chrono::steady_clock::now();
    framesDone = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT VirtualStream::Stop() {
    MutexLock lock(mutex);
    running = false;
    return MMSYSERR_NOERROR;
}

void VirtualStream::Close() {
    std::thread idle;
    {
        MutexLock lock(engine.mutex);
        engine.Holds(*this);
        closed = true;
        running = false;
        auto& list = engine.streams;
        list.erase(std::remove_if(list.begin(), list.end(), [this](auto& s) { return s.get() == this; }), list.end());
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
}

MMRESULT OpenStream(Engine& engine, Direction direction, UINT device, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* result) {
    std::shared_ptr<VirtualStream> stream;
    std::thread idle;
    {
        // Looked up and registered under one lock: a device removed
        // meanwhile is either not found or takes this stream with it.
        MutexLock lock(engine.mutex);
        Engine::Device* found = engine.FindLocked(direction, device);
        if (!found) return device == kDefaultDevice ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
        stream = std::make_shared<VirtualStream>(engine, engine.mutex, direction, device == kDefaultDevice, found->id,
                                                 format, std::move(sink));
        engine.streams.push_back(stream);
        idle = engine.ManageTimerLocked();
    }
    if (idle.joinable()) idle.join();
    struct Owner : Stream {
        std::shared_ptr<VirtualStream> stream;
        explicit Owner(std::shared_ptr<VirtualStream> s) : stream(std::move(s)) {}
        MMRESULT Start() override { return stream->Start(); }
        MMRESULT Stop() override { return stream->Stop(); }
        MMRESULT Flush() override { return stream->Flush(); }
        void Close() override { stream->Close(); }
    };
    *result = std::make_unique<Owner>(std::move(stream));
    return MMSYSERR_NOERROR;
}

}  // namespace sorn::audio::virtualdev
