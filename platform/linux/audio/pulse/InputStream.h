#pragma once
// The record stream on the PulseAudio sound server. The server delivers
// fragments (read callback); while started they are pushed to the layer,
// which fills the queued headers. What finds no header waits, up to
// kRecordBacklogMs, until one is queued (DataQueued). Holes in the record
// stream are pushed as silence so the timing stays right.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/audio/pulse/PulseStream.h"

namespace sorn::audio::pulse {

// The server delivers fragments of this length.
constexpr unsigned kRecordFragmentMs = 20;
// Captured input kept while no header is queued; beyond it input is lost.
constexpr unsigned kRecordBacklogMs = 1000;

// Record: pushes what the server captured while started. What finds no
// queued header (the server's fragments are longer than the client's
// blocks, or the client requeues late) waits in a bounded backlog and goes
// out, in order, as soon as a header is queued; only input that finds the
// backlog full is lost (an overrun).
class InputStream final : public PulseStream {
public:
    using PulseStream::PulseStream;

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override;
    // A header was queued: the backlog goes out first, then what the server
    // holds.
    void DataQueued() override;

private:
    void SetUpCallbacks() override;
    int ConnectStream(const char* device) override;

    static void OnRead(pa_stream*, std::size_t, void* userdata);

    // Takes every fragment the stream holds; pushes it when `push`, drops
    // it otherwise.
    void TakeFragments(bool push);
    // Pushes whole frames; a hole (no data) is pushed as silence.
    void Deliver(const std::uint8_t* data, std::size_t size);
    // Whole frames, in capture order: to the headers when nothing older
    // waits, the rest to the backlog.
    void Send(const std::uint8_t* data, std::size_t size);
    // Pushes as much of the backlog as the queued headers take.
    void SendBacklog();
    void DropBacklog();
    std::size_t backlogSize() const { return backlog_.size() - backlogStart_; }

    std::vector<std::uint8_t> carried_;  // the start of a split frame
    std::vector<std::uint8_t> backlog_;  // captured, not yet taken, from backlogStart_
    std::size_t backlogStart_ = 0;
    std::size_t backlogLimit_ = 0;  // bytes, whole frames
};

}  // namespace sorn::audio::pulse
