#pragma once
// The ways a host loads the module: the platform's loader everywhere, and on
// Linux also a plain dlopen (which cannot refuse a load).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ModuleTestSupport.h"
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

// Runs `body(path)` in a process of its own (RunAndExit) for every way of
// loading the module, each expected to exit 0: with no failed check.
template <typename Body>
void ExpectCleanStartOnEveryPath(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (Path path : Paths()) {
        SCOPED_TRACE(Name(path));
        EXPECT_EXIT(sorn::test::RunAndExit([&]() -> std::string { return body(path); }), ::testing::ExitedWithCode(0),
                    "");
    }
}

}  // namespace sorn::test::loading
