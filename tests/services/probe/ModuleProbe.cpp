// The services code in a library of its own: what ModuleDirectory(null)
// names from inside a shared library.
#include <cstring>

#include "services/FileHandlerWin.h"

extern "C" __attribute__((visibility("default"))) void ProbeModuleDirectory(char* buffer, unsigned size) {
    SornData::FileHandlerWin handler;
    const SornStringA directory = handler.ModuleDirectory(nullptr);
    std::strncpy(buffer, directory.ToChars(), size - 1);
    buffer[size - 1] = '\0';
}
