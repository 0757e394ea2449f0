#pragma once
// The ways a host loads the module: the platform's loader everywhere, and on
// Linux also a plain dlopen (which cannot refuse a load).
#include <vector>

#include "platform/Modules.h"
#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace sorn::test::loading {

enum class Path { PlatformLoader, Dlopen };

inline std::vector<Path> Paths() {
#ifdef _WIN32
    return {Path::PlatformLoader};
#else
    return {Path::PlatformLoader, Path::Dlopen};
#endif
}

inline const char* Name(Path path) { return path == Path::PlatformLoader ? "LoadLibraryA" : "dlopen"; }

// Loads the module; null when the load failed or was refused.
inline void* Load(Path path) {
#ifndef _WIN32
    if (path == Path::Dlopen) return ::dlopen(SORN_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
#endif
    SetErrorMode(SEM_FAILCRITICALERRORS);
    return LoadLibraryA(SORN_TEST_MODULE);
}

// A symbol the module exports, as data.
inline void* Symbol(Path path, void* module, const char* name) {
#ifndef _WIN32
    if (path == Path::Dlopen) return ::dlsym(module, name);
#endif
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

}  // namespace sorn::test::loading
