#include "platform/backends/pulse/InputStream.h"

#include <algorithm>

namespace sorn::audio::pulse {

MMRESULT InputStream::Start() {
    Connection::Lock lock(*connection_);
    if (!Usable()) return kLost;
    if (!started_) {
        if (!Cork(false)) return kLost;
        started_ = true;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT InputStream::Stop() {
    Connection::Lock lock(*connection_);
    if (!Usable()) return kLost;
    if (started_) {
        TakeFragments(true);  // what has arrived so far still belongs to this take
        if (!Cork(true)) return kLost;
        started_ = false;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT InputStream::Flush() {
    Connection::Lock lock(*connection_);
    if (!Usable()) return kLost;
    TakeFragments(false);
    carried_.clear();
    pa_operation* operation = pa_stream_flush(stream_, nullptr, nullptr);
    if (operation == nullptr) return kLost;
    pa_operation_unref(operation);
    return MMSYSERR_NOERROR;
}

void InputStream::DataQueued() {
    Connection::Lock lock(*connection_);
    if (!Usable() || !started_) return;
    TakeFragments(true);
}

void InputStream::SetUpCallbacks() { pa_stream_set_read_callback(stream_, OnRead, this); }

int InputStream::ConnectStream(const char* device, bool pinned) {
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kRecordFragmentMs * PA_USEC_PER_MSEC, &spec_));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED |
                                                      (pinned ? PA_STREAM_DONT_MOVE : 0));
    return pa_stream_connect_record(stream_, device, &attributes, flags);
}

void InputStream::OnRead(pa_stream*, std::size_t, void* userdata) {
    auto* self = static_cast<InputStream*>(userdata);
    if (!self->Usable()) return;
    self->TakeFragments(self->started_);
}

void InputStream::TakeFragments(bool push) {
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t size = 0;
        if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0) return;
        if (push) Deliver(static_cast<const std::uint8_t*>(data), size);
        pa_stream_drop(stream_);
    }
}

void InputStream::Deliver(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t kSilence[4096] = {};
    auto advance = [&](std::size_t bytes) {
        if (data != nullptr) data += bytes;
        size -= bytes;
    };
    while (size > 0) {
        const std::uint8_t* source = data != nullptr ? data : kSilence;
        if (!carried_.empty() || size < frameBytes_) {
            // A frame split across fragments: complete it first.
            const std::size_t take = std::min(size, frameBytes_ - carried_.size());
            carried_.insert(carried_.end(), source, source + take);
            advance(take);
            if (carried_.size() == frameBytes_) {
                sink_->Push(carried_.data(), carried_.size());
                carried_.clear();
            }
            continue;
        }
        std::size_t chunk = size - size % frameBytes_;
        if (data == nullptr) {
            chunk = std::min(chunk, sizeof kSilence - sizeof kSilence % frameBytes_);
        }
        sink_->Push(source, chunk);
        advance(chunk);
    }
}

}  // namespace sorn::audio::pulse
