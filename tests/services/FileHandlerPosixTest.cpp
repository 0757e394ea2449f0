// FileHandlerWin where POSIX file systems and loaders matter: links, the
// executable's path under /proc, the Linux temporary directory, dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ScopedEnv.h"
#include "ServicesTestSupport.h"
#include "TempDir.h"
#include "services/FileHandlerWin.h"

using SornData::FileHandlerWin;
using sorn::servicestest::DirectoryOf;
using sorn::servicestest::Text;

TEST(FileHandler, DeleteDirectoryDeletesLinksNeverWhatTheyLeadTo) {
    TempDir dir;
    dir.File("outside/kept");
    dir.File("outside/dir/kept");
    dir.File("doomed/file");
    std::filesystem::create_symlink(dir / "outside/kept", dir / "doomed/filelink");
    std::filesystem::create_symlink(dir / "outside/dir", dir / "doomed/dirlink");
    std::filesystem::create_symlink(dir / "nowhere", dir / "doomed/dangling");
    dir.File("doomed/back\\slash");  // a name the platform's paths cannot name

    FileHandlerWin handler;
    EXPECT_EQ(handler.DeleteDirectory((dir / "doomed").c_str()), 0);
    EXPECT_TRUE(Exists(dir / "outside/kept"));
    EXPECT_TRUE(Exists(dir / "outside/dir/kept"));
    EXPECT_FALSE(Exists(dir / "doomed/file"));
    EXPECT_FALSE(Exists(dir / "doomed/filelink"));
    EXPECT_FALSE(Exists(dir / "doomed/dirlink"));
    EXPECT_FALSE(Exists(dir / "doomed/dangling"));
    EXPECT_TRUE(Exists(dir / "doomed/back\\slash"));  // left alone, so the directory stays
}

TEST(FileHandler, StandardDirectories) {
    FileHandlerWin handler;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    // Cut at the first separator: a Linux path begins with it.
    EXPECT_EQ(Text(handler.ExeDirectory()), "");
    // Linked into this executable, this module is the executable.
    EXPECT_EQ(Text(handler.ModuleDirectory(nullptr)), DirectoryOf(exe));
    EXPECT_EQ(Text(handler.CurrentDirectory()), std::filesystem::current_path().string());
    {
        ScopedEnv tmpdir("TMPDIR", "/var/tmp");
        EXPECT_EQ(Text(handler.TempDirectory()), "/var/tmp/");
        ScopedEnv tooLong("TMPDIR", ("/" + std::string(300, 'x')).c_str());
        EXPECT_EQ(Text(handler.TempDirectory()), "");  // does not fit the platform's buffer
    }

    HMODULE plugin = LoadLibraryA(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(Text(handler.ModuleDirectory(plugin)), DirectoryOf(SORN_TEST_PLUGIN_FIRST));
    FreeLibrary(plugin);
}

TEST(FileHandler, ModuleDirectoryOfNoModuleNamesTheLibraryHoldingTheServices) {
    void* probe = ::dlopen(SORN_TEST_PROBE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << ::dlerror();
    auto ask = reinterpret_cast<void (*)(char*, unsigned)>(::dlsym(probe, "ProbeModuleDirectory"));
    ASSERT_NE(ask, nullptr);
    char directory[512];
    ask(directory, sizeof directory);
    EXPECT_EQ(std::string(directory), DirectoryOf(SORN_TEST_PROBE));
    EXPECT_NE(std::string(directory), DirectoryOf(std::filesystem::read_symlink("/proc/self/exe").string()));
    ::dlclose(probe);
}
