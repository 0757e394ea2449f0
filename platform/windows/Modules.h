#pragma once
// Loadable modules: the system's own, and this module's instance handle.
#include "platform/WinTypes.h"

// A library's entry point, as the loader calls it.
typedef BOOL (*DLLMAINPROC)(HMODULE module, DWORD reason, void* reserved);

// This module's own instance handle: one module-wide value. The library's
// entry point sets it; until then it is found on first use as the loaded
// module that holds this code. Safe from any thread.
HMODULE ModuleInstanceHandle();
void SetModuleInstanceHandle(HMODULE module);
