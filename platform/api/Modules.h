#pragma once
// Loadable modules with the platform's library services, on Linux's dynamic
// loader (dlopen).
//
// An HMODULE is the dynamic loader's handle of a loaded object (what dlopen
// returns), so a host may pass its own dlopen handles here and use these
// with dlsym. A handle must be null or one the loader gave and that has not
// been released; null is refused everywhere.
// Every operation is safe to call from any thread.
#include "platform/WinTypes.h"

// A library's entry point: the exported C function "DllMain", called with
// the library's handle, a reason and null. Only a symbol of the library's own
// file counts (never one of the libraries it depends on).
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;
typedef BOOL (*DLLMAINPROC)(HMODULE module, DWORD reason, void* reserved);

// Loads a library (dlopen with RTLD_NOW | RTLD_LOCAL; a path with a
// backslash has it read as a forward slash; a bare name is searched for as
// the dynamic loader searches). A relative path with a directory part is
// made absolute first (its directory resolved, its file name kept), so the
// module's file name stays true after the current directory changes.
// Loading an already loaded library returns its handle again and counts one
// more use. On the first use counted here, the library's entry point (when
// its own file defines one) is called with process attach; when it answers
// FALSE, it is called again with process detach, the library is unloaded and
// the answer is null with errno ECANCELED. Null on failure; unless the
// process error mode holds SEM_FAILCRITICALERRORS, the reason is then
// written to stderr (the platform's error box). Entry points are called one
// at a time.
SORN_WIN_API HMODULE LoadLibraryA(LPCSTR path);

// The address of an exported symbol of the module (dlsym), or null when it
// is absent. Only the module's own file counts: a symbol that dlsym finds
// in a library the module depends on is absent, as on the platform, whose
// look-up reads the module's own export table. Null for a null module
// (never a search of every object) and for a null name or a small integer
// (the platform's ordinals: Linux has none).
SORN_WIN_API void* GetProcAddress(HMODULE module, LPCSTR name);

// Counts one use of the module less; the loader unloads it after its last
// use. Before the last use counted by LoadLibraryA (and GetModuleHandleExA)
// goes, the entry point is called with process detach. TRUE on success,
// FALSE for a null handle or when the loader refuses.
SORN_WIN_API BOOL FreeLibrary(HMODULE module);

// Process error mode. The only bit with a meaning on Linux is
// SEM_FAILCRITICALERRORS: LoadLibraryA reports nothing on stderr while it
// is set. The mode is one process-wide value; SetErrorMode replaces it and
// returns the previous one.
constexpr UINT SEM_FAILCRITICALERRORS = 0x0001u;
constexpr UINT SEM_NOGPFAULTERRORBOX = 0x0002u;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000u;
SORN_WIN_API UINT SetErrorMode(UINT mode);
SORN_WIN_API UINT GetErrorMode();

// GetModuleHandleExA: the handle of a loaded module.
// - With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nameOrAddress is an address
//   inside the module (code or data); the module is the loaded object that
//   holds it (dladdr), the executable included.
// - Otherwise nameOrAddress is the module's name or path as it was loaded
//   (a loaded module is never loaded anew); null names the executable.
// Without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the module counts one
// more use, to be given back with FreeLibrary (the executable has no count).
// Writes the handle (null on failure) and returns TRUE or FALSE.
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x00000002u;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x00000004u;
SORN_WIN_API BOOL GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module);

// This module's own instance handle: one module-wide value. The library's
// entry code may set it; until then it is found on first use as the loaded
// object that holds this code (the module's shared library, or the
// executable when the code is linked into it). Safe from any thread.
HMODULE ModuleInstanceHandle();
void SetModuleInstanceHandle(HMODULE module);
