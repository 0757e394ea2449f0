#pragma once
// The module's library entry point and what a host learns of its start-up.
//
// Loading on Linux. The entry point is the exported C function "DllMain"
// (the platform's reasons in platform/Modules.h).
// - Through the platform's LoadLibraryA: the loader maps the library, then
//   LoadLibraryA calls DllMain with process attach; on 0 it calls it with
//   process detach, unloads the library and returns null (errno ECANCELED).
//   FreeLibrary calls it with process detach before the last use goes.
// - Through a plain dlopen, or linked into a program: an ELF constructor
//   runs the same process attach once, as the library is mapped. The load
//   itself cannot be refused that way: a refused start-up leaves the
//   library mapped with no service installed, after reporting through
//   SornDataSys::Error. A host asks SornModuleStartup() (or finds
//   SornDataSys::ClassFactory() still null).
// Start-up runs once per mapping of the library: a later process attach
// (LoadLibraryA after the ELF constructor, say) answers what it answered. A
// process attach made on the starting thread while start-up runs (from a
// registry observer, say) answers TRUE at once; another thread's waits for
// start-up to end.
#include "platform/Modules.h"
#include "sorn_win_export.h"

// Writes the instance handle (ModuleInstanceHandle; null: found on first
// use), then, for process attach only, starts the module: the core's version
// must be exactly sorn::module::kCoreVersion, otherwise "Dll version
// conflict!" goes to SornDataSys::Error and the answer is FALSE with nothing
// created. Then the error handler, the plug-in and resource handler (as
// resource handler, then as plug-in handler) and the class factory (which
// registers "wav") are installed, in that order, and the answer is TRUE.
// When a service cannot be allocated, whatever was installed is removed and
// destroyed again, "Out of memory: the module's services were not created"
// goes to SornDataSys::Error and the answer is FALSE.
// Every other reason answers TRUE and does nothing: the registry keeps the
// services for the life of the process, so a started module must not be
// unloaded while they are installed.
extern "C" SORN_WIN_API BOOL DllMain(HMODULE instance, DWORD reason, void* reserved);

// This mapping's start-up: 1 the services are installed, 0 refused, -1 not
// run yet. Safe from any thread.
extern "C" SORN_WIN_API int SornModuleStartup();
