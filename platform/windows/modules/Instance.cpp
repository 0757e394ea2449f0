#include <atomic>

#include "platform/Modules.h"

namespace {

std::atomic<HMODULE> instance{nullptr};

}  // namespace

HMODULE ModuleInstanceHandle() {
    HMODULE found = instance.load();
    if (found) return found;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&instance), &found);
    HMODULE expected = nullptr;
    instance.compare_exchange_strong(expected, found);
    return instance.load();
}

void SetModuleInstanceHandle(HMODULE module) { instance.store(module); }
