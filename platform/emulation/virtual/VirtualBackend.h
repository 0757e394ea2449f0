#pragma once
// The virtual device as a backend. One process-wide engine
// (VirtualEngine.h) holds the clock, the input source, the output target,
// the injected faults and every open virtual stream (VirtualStream.h);
// VirtualDevice (platform/emulation/virtual/VirtualDevice.h, VirtualDevice.cpp) is its
// public face and VirtualOptions.h reads a selection's options.
#include <memory>
#include <string>

#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/wave/Backend.h"

namespace sorn::audio::virtualdev {

// The backend over the process-wide engine. `options` is the text after
// "virtual:" (may be empty): comma-separated clock=realtime|stepped,
// period=MS (1 to 100), out=memory|PATH, in=silence|loopback|PATH,
// outputs=LAYOUT, inputs=LAYOUT (VirtualOptions.h). With
// `resetFirst` the engine is reset first (VirtualDevice::Reset, real time
// unless the options say otherwise); without, the options are applied over
// its present state. On a bad option (an unreadable input file or an output
// file that cannot be created included) returns null, sets *error to
// MMSYSERR_INVALPARAM and leaves the engine as it was.
std::shared_ptr<Backend> CreateVirtualBackend(const std::string& options, bool resetFirst, MMRESULT* error);

}  // namespace sorn::audio::virtualdev
