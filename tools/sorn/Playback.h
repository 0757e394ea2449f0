#pragma once
// Playing a range of a clip to its end, as play and demo do.
#include <string>

#include "core_contract/Wave.h"
#include "platform/MMSystem.h"

namespace sorn::tool {

// Plays frames [from, to) of clip on wave device `device` (WAVE_MAPPER: the
// default) and returns once the last piece has come
// back. The player cuts the range into pieces and keeps up to three in
// flight; when the range ends, every piece still in flight comes back with a
// callback, so a range of n pieces ends with min(n, 3) callbacks. On a
// terminal (`interactive`) a progress line shows the position and the space
// bar pauses. False with `why` when it did not play to the end.
bool PlayRange(const std::string& command, IWave* clip, unsigned long from, unsigned long to, UINT device,
               bool interactive, std::string& why);

}  // namespace sorn::tool
