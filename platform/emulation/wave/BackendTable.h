#pragma once
// The system's table of backends: one row per backend it offers, in the
// order "auto" tries them. Selection (Selection.cpp), the backend list a host
// shows and the tests all read this table; adding a backend is one folder
// under platform/backends/ and one row in the system's table
// (platform/linux/Backends.cpp).
#include <memory>
#include <span>
#include <string>

#include "platform/emulation/wave/Backend.h"

namespace sorn::audio {

// What a probe found.
enum class Presence {
    Answers,  // the devices are there and answer: "auto" takes this backend
    Absent,  // nothing there (no server, no card): "auto" tries the next row
    Silent,  // something is there but does not answer in time (a stopped
             // server): "auto" fails with MMSYSERR_NODRIVER rather than
             // hide it behind a later row
};

struct BackendRow {
    // The name a selection starts with: "pulse" in "pulse:server=ADDRESS".
    const char* name;
    // How a selection of it is written, for help and messages:
    // "pulse[:server=ADDRESS]".
    const char* usage;
    // Whether "auto" may take it. A quick look that opens nothing lasting,
    // never spawns a server and never hangs (half a second at most). Null:
    // "auto" always takes it (the virtual device, the last row).
    Presence (*probe)();
    // Starts the backend with the text after "name:" (may be empty).
    // `explicitChoice` is true for a program's SelectBackend and false for
    // "auto" and SORN_AUDIO (the virtual device then keeps the state a
    // program gave it beforehand). Null with *error set on failure
    // (MMSYSERR_INVALPARAM for an unknown option).
    std::shared_ptr<Backend> (*open)(const std::string& options, bool explicitChoice, MMRESULT* error);
};

// The system's rows; defined by the system's table.
std::span<const BackendRow> SystemBackends();

// The row named `name`, or null.
const BackendRow* FindBackend(const std::string& name);

}  // namespace sorn::audio
