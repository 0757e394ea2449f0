#include "platform/backends/skeleton/SkeletonBackend.h"

#include <utility>

namespace sorn::audio::skeleton {
namespace {

// One open stream. The layer calls these one at a time per stream; the
// device's own thread (or callback) calls the sink.
class SkeletonStream final : public Stream {
public:
    SkeletonStream(Direction direction, std::shared_ptr<StreamSink> sink)
        : direction_(direction), sink_(std::move(sink)) {}

    // Output: let the device's clock run; its thread then calls
    // sink_->Pull() for bytes to play (silence for what it does not get) and
    // sink_->Played() as the device consumes them. Input: begin capturing;
    // the thread calls sink_->Push() with what the device delivers.
    MMRESULT Start() override { return MMSYSERR_NOTSUPPORTED; }
    // Output: pause the clock, keeping what was pulled. Input: stop
    // capturing; no Push() follows.
    MMRESULT Stop() override { return MMSYSERR_NOTSUPPORTED; }
    // Output: drop what was pulled and not yet played. Input: drop what was
    // captured and not yet pushed.
    MMRESULT Flush() override { return MMSYSERR_NOTSUPPORTED; }
    // Stop the device's thread and wait for it (with a timeout): no sink call
    // may follow once this returns.
    void Close() override { sink_.reset(); }

private:
    [[maybe_unused]] Direction direction_;
    std::shared_ptr<StreamSink> sink_;
};

class SkeletonBackend final : public Backend {
public:
    const char* Name() const override { return "skeleton"; }
    // Enumerate the devices (every one the system has, in a stable order).
    UINT DeviceCount(Direction) override { return 0; }
    // Name and channel count of `device` (kDefaultDevice: the default one).
    MMRESULT GetCaps(Direction, UINT, DeviceCaps*) override { return MMSYSERR_BADDEVICEID; }
    // Whether the device takes `format`, directly or through the system's
    // own conversion; opens nothing.
    MMRESULT QueryFormat(Direction, UINT, const StreamFormat&) override { return MMSYSERR_BADDEVICEID; }
    // Open the device (within about a second, else MMSYSERR_NODRIVER;
    // MMSYSERR_ALLOCATED when another program holds it).
    MMRESULT Open(Direction direction, UINT, const StreamFormat&, std::shared_ptr<StreamSink> sink,
                  std::unique_ptr<Stream>* stream) override {
        *stream = std::make_unique<SkeletonStream>(direction, std::move(sink));
        return MMSYSERR_NOERROR;
    }
};

}  // namespace

Presence Probe() { return Presence::Absent; }

std::shared_ptr<Backend> Open(const std::string& options, bool, MMRESULT* error) {
    if (!options.empty()) {
        if (error) *error = MMSYSERR_INVALPARAM;
        return nullptr;
    }
    return std::make_shared<SkeletonBackend>();
}

}  // namespace sorn::audio::skeleton
