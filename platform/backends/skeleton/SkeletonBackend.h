#pragma once
// A backend to copy when adding one. To add backend NAME:
// 1. copy this folder to platform/backends/NAME, rename the files, the
//    functions and the part in CMakeLists.txt (sorn_module_part(
//    sorn_backend_NAME PLATFORM ...), as backends/pulse/ does);
// 2. fill in every function marked below, keeping to the contract in
//    platform/emulation/wave/Backend.h (and, for volume,
//    platform/emulation/mixer/MixerBackend.h);
// 3. add one row to platform/linux/Backends.cpp (name, usage, probe, open)
//    and link the part there (platform/linux/CMakeLists.txt);
// 4. the conformance suite (tests/conformance) and `sorn devices` then
//    reach it through the table: run them with SORN_AUDIO=NAME.
#include <memory>
#include <string>

#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/BackendTable.h"

namespace sorn::audio::skeleton {

// The row's probe: whether the devices are there and answer, within half a
// second, spawning nothing.
Presence Probe();

// The row's open: the backend with the text after "NAME:" (null with *error
// on a bad option).
std::shared_ptr<Backend> Open(const std::string& options, bool explicitChoice, MMRESULT* error);

}  // namespace sorn::audio::skeleton
