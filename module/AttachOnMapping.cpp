// Linux: the module's process attach for a plain dlopen or a link, where no
// platform loader calls DllMain. Linked after every other object of the
// library, so the constructor runs once the rest of it is initialised.
#include "module/ModuleEntry.h"

namespace {

const char anchor = 0;  // an address inside this library

__attribute__((constructor)) void AttachOnMapping() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, &anchor,
                       &self);
    DllMain(self, DLL_PROCESS_ATTACH, nullptr);
}

}  // namespace
