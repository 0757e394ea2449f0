#pragma once
// Internals of the wave layer that tests look at.
#include <cstddef>
#include <memory>

#include "platform/emulation/wave/Backend.h"

namespace sorn::audio::detail {

// How many waveOut / waveIn handles are open right now, all backends.
std::size_t OpenDeviceCount();

// The backend an open waveOut (Output) or waveIn (Input) handle plays or
// records on; null for a handle that is not open.
std::shared_ptr<Backend> BackendOf(Direction direction, const void* handle);
// The same, and the backend's device the handle is open on (kDefaultDevice
// for a stream the mapper opened), as waveOutGetID / waveInGetID give it.
std::shared_ptr<Backend> BackendOf(Direction direction, const void* handle, UINT* deviceId);

// How long reset, stop and close wait for outstanding deliveries, and how
// long stepping waits for the completions it caused.
constexpr unsigned kDeliveryTimeoutMs = 5000;

}  // namespace sorn::audio::detail
