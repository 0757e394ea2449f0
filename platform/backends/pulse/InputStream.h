#pragma once
// The record stream on the PulseAudio sound server. The server delivers
// fragments (read callback); while started they are pushed to the layer,
// which fills the queued headers and keeps what finds none until one is
// queued. Holes in the record stream are pushed as silence so the timing
// stays right.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/backends/pulse/PulseStream.h"

namespace sorn::audio::pulse {

// The server delivers fragments of this length.
constexpr unsigned kRecordFragmentMs = 20;
// Record: pushes what the server captured while started.
class InputStream final : public PulseStream {
public:
    using PulseStream::PulseStream;

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override;
    // A header was queued: what the server holds goes out at once.
    void DataQueued() override;

private:
    void SetUpCallbacks() override;
    int ConnectStream(const char* device, bool pinned) override;

    static void OnRead(pa_stream*, std::size_t, void* userdata);

    // Takes every fragment the stream holds; pushes it when `push`, drops
    // it otherwise.
    void TakeFragments(bool push);
    // Pushes whole frames; a hole (no data) is pushed as silence.
    void Deliver(const std::uint8_t* data, std::size_t size);
    std::vector<std::uint8_t> carried_;  // the start of a split frame
};

}  // namespace sorn::audio::pulse
