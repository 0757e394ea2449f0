#pragma once
// Internals of the wave layer that tests look at.
#include <cstddef>

namespace sorn::audio::detail {

// How many waveOut / waveIn handles are open right now, all backends.
std::size_t OpenDeviceCount();

// How long reset, stop and close wait for outstanding deliveries, and how
// long stepping waits for the completions it caused.
constexpr unsigned kDeliveryTimeoutMs = 5000;

}  // namespace sorn::audio::detail
