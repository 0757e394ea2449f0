// The module operations: loading, look-up and freeing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ServicesTestSupport.h"
#include "TempDir.h"

namespace {

std::string FileNameOf(HMODULE module) {
    char buffer[4096];
    const DWORD length = GetModuleFileNameA(module, buffer, sizeof buffer);
    return length ? std::string(buffer, length) : std::string();
}

}  // namespace

TEST(Modules, LoadLookUpAndFreeAPlugin) {
    HMODULE plugin = LoadLibraryA(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(plugin, nullptr);
    auto size = reinterpret_cast<unsigned (*)(unsigned)>(reinterpret_cast<void*>(GetProcAddress(plugin, "GetResourceSize")));
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size(7), 701u);
    EXPECT_EQ(GetProcAddress(plugin, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetProcAddress(plugin, nullptr), nullptr);
#ifdef _WIN32
    // An ordinal (a value in the low word) names an export by number: the
    // first one exists.
    EXPECT_NE(GetProcAddress(plugin, reinterpret_cast<LPCSTR>(std::uintptr_t{1})), nullptr);
#else
    EXPECT_EQ(GetProcAddress(plugin, reinterpret_cast<LPCSTR>(std::uintptr_t{1})), nullptr);  // no ordinals here
#endif
    EXPECT_EQ(FileNameOf(plugin), SORN_TEST_PLUGIN_FIRST);

    // The same library again: the same handle, one more use.
    HMODULE again = LoadLibraryA(SORN_TEST_PLUGIN_FIRST);
    EXPECT_EQ(again, plugin);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(plugin));
}

TEST(Modules, RefuseNullPathsHandlesAndFilesThatAreNoLibraries) {
    TempDir dir;
    dir.File("fake.so", "not a library\n");
    const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(LoadLibraryA((dir / "fake.so").c_str()), nullptr);
    EXPECT_EQ(LoadLibraryA((dir / "missing.so").c_str()), nullptr);
    EXPECT_EQ(LoadLibraryA(""), nullptr);  // never the executable
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    SetErrorMode(old);
    // A null handle is never a search of every loaded object.
    EXPECT_EQ(GetProcAddress(nullptr, "LoadLibraryA"), nullptr);
    EXPECT_EQ(GetProcAddress(static_cast<HMODULE>(INVALID_HANDLE_VALUE), "LoadLibraryA"), nullptr);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_FALSE(FreeLibrary(static_cast<HMODULE>(INVALID_HANDLE_VALUE)));
}

TEST(Modules, HandlesFoundByAddressAndByName) {
    const std::string exe = sorn::servicestest::ProgramPath();
    HMODULE module = nullptr;
    static const int here = 0;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(&here), &module));
    EXPECT_EQ(FileNameOf(module), exe);
    // Linked into this executable, the services code's module is the executable.
    EXPECT_EQ(FileNameOf(ModuleInstanceHandle()), exe);

    HMODULE plugin = LoadLibraryA(SORN_TEST_PLUGIN_SECOND);
    ASSERT_NE(plugin, nullptr);
    void* function = reinterpret_cast<void*>(GetProcAddress(plugin, "LoadFromResource"));
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCSTR>(function), &found));
    EXPECT_EQ(FileNameOf(found), SORN_TEST_PLUGIN_SECOND);
    EXPECT_TRUE(FreeLibrary(found));  // the use that lookup counted
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, SORN_TEST_PLUGIN_SECOND, &found));
    EXPECT_EQ(found, plugin);
    EXPECT_TRUE(FreeLibrary(plugin));
    // Unloaded: no longer found by name, and never loaded anew by the look-up.
    EXPECT_FALSE(GetModuleHandleExA(0, SORN_TEST_PLUGIN_SECOND, &found));
    EXPECT_EQ(found, nullptr);

    ASSERT_TRUE(GetModuleHandleExA(0, nullptr, &found));
    EXPECT_EQ(FileNameOf(found), exe);
#ifdef _WIN32
    // A null name gives the executable's handle, whatever the flags say.
    ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &found));
    EXPECT_EQ(FileNameOf(found), exe);
#else
    EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &found));
#endif
    EXPECT_FALSE(GetModuleHandleExA(0, nullptr, nullptr));
}
