// Start-up of the built module library, loaded by the platform's LoadLibraryA
// and by a plain dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>

#include "ModuleLoading.h"
#include "ModuleTestSupport.h"
#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"
#include "platform/Modules.h"

namespace {

using sorn::test::Checks;
using sorn::test::RegistryLog;
using Event = SornDataSys::Event;
using namespace sorn::test::loading;

// While it lives, the child processes the death tests start see the core
// report `version`: the stand-in version query (VersionShim.cpp) is
// preloaded into them, as a host would load another core.
class CoreVersionInChildren {
public:
    explicit CoreVersionInChildren(const char* version) {
        Save("SORN_TEST_CORE_VERSION", &version_);
        Save("LD_PRELOAD", &preload_);
        Save("ASAN_OPTIONS", &asan_);
        ::setenv("SORN_TEST_CORE_VERSION", version, 1);
        ::setenv("LD_PRELOAD", SORN_TEST_VERSION_SHIM, 1);
        const std::string asan = asan_.value_or("");
        ::setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    }
    ~CoreVersionInChildren() {
        Restore("SORN_TEST_CORE_VERSION", version_);
        Restore("LD_PRELOAD", preload_);
        Restore("ASAN_OPTIONS", asan_);
    }
    CoreVersionInChildren(const CoreVersionInChildren&) = delete;
    CoreVersionInChildren& operator=(const CoreVersionInChildren&) = delete;

private:
    static void Save(const char* name, std::optional<std::string>* value) {
        const char* text = std::getenv(name);
        if (text) *value = text;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::optional<std::string> version_;
    std::optional<std::string> preload_;
    std::optional<std::string> asan_;
};

bool NothingInstalled() {
    return !SornDataSys::ErrorHandler() && !SornDataSys::ResourceHandler() && !SornDataSys::PluginHandler() &&
           !SornDataSys::ClassFactory() && !SornDataSys::CodecHandler()->GetCodec("wav");
}

TEST(ModuleStartup, AnyOtherCoreVersionIsRefusedWithTheMessageAndNothingInstalled) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (Path path : {Path::PlatformLoader, Path::Dlopen}) {
        for (const char* version : {"2.0.455.10", "2.0.455", "2.0.455.2", "2.0.455.1 ", "2.0.455.I"}) {
            SCOPED_TRACE(std::string(Name(path)) + " with core " + version);
            const CoreVersionInChildren core(version);
            const auto body = [&] {
                Checks check;
                RegistryLog log;
                errno = 0;
                void* module = Load(path);
                const int loadErrno = errno;
                const auto entries = log.Entries();
                check(entries.size() == 1 && entries[0].event == Event::Error &&
                          entries[0].text == "Dll version conflict!",
                      "exactly one report, \"Dll version conflict!\"");
                check(NothingInstalled(), "nothing installed, no \"wav\" codec");
                if (path == Path::PlatformLoader) {
                    check(module == nullptr, "LoadLibraryA refuses the load");
                    check(loadErrno == ECANCELED, "errno says the start-up refused");
                } else {
                    // The loader cannot refuse a dlopen: the library is mapped
                    // and says that it refused.
                    check(module != nullptr, "dlopen maps the library");
                    auto startup = module ? reinterpret_cast<int (*)()>(::dlsym(module, "SornModuleStartup")) : nullptr;
                    check(startup && startup() == 0, "SornModuleStartup answers 0");
                }
                return check.failures;
            };
            EXPECT_EXIT(sorn::test::RunAndExit(body), ::testing::ExitedWithCode(0), "");
        }
    }
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ModuleStartup, ThePlatformLoaderCallsEntryPointsOnFirstLoadLastFreeAndRefusal) {
    const auto log = std::filesystem::temp_directory_path() / ("sorn-entry-" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(log);
    ::setenv("SORN_TEST_ENTRY_LOG", log.c_str(), 1);

    HMODULE probe = LoadLibraryA(SORN_TEST_ENTRY_PROBE);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(ReadAll(log), "1") << "process attach on the first load";
    EXPECT_EQ(LoadLibraryA(SORN_TEST_ENTRY_PROBE), probe);
    EXPECT_TRUE(FreeLibrary(probe));
    EXPECT_EQ(ReadAll(log), "1") << "nothing while a use remains";
    EXPECT_TRUE(FreeLibrary(probe));
    EXPECT_EQ(ReadAll(log), "10") << "process detach before the last use goes";
    EXPECT_EQ(::dlopen(SORN_TEST_ENTRY_PROBE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded";

    ::setenv("SORN_TEST_ENTRY_REFUSE", "1", 1);
    const UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    errno = 0;
    EXPECT_EQ(LoadLibraryA(SORN_TEST_ENTRY_PROBE), nullptr) << "a refused attach refuses the load";
    EXPECT_EQ(errno, ECANCELED);
    SetErrorMode(mode);
    EXPECT_EQ(ReadAll(log), "1010") << "attach, then detach";
    EXPECT_EQ(::dlopen(SORN_TEST_ENTRY_PROBE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded again";
    ::unsetenv("SORN_TEST_ENTRY_REFUSE");
    ::unsetenv("SORN_TEST_ENTRY_LOG");
    std::filesystem::remove(log);
}

// A registry observer that enters the entry point again with process attach
// while start-up installs the services gets an answer at once.
TEST(ModuleStartup, ProcessAttachReenteredDuringStartUpAnswersAtOnce) {
    ExpectCleanStartOnEveryPath([](Path path) {
        Checks check;
        alarm(5);  // a deadlock ends the process
        int answers = 0, reentries = 0;
        SornDataSys::SetObserver([&](const SornDataSys::Report& report) {
            if (report.event != Event::ErrorHandler || reentries++ > 0) return;
            void* self = ::dlopen(SORN_TEST_MODULE, RTLD_NOW | RTLD_NOLOAD);
            auto entry = self ? reinterpret_cast<BOOL (*)(HMODULE, DWORD, void*)>(::dlsym(self, "DllMain")) : nullptr;
            if (entry && entry(nullptr, DLL_PROCESS_ATTACH, nullptr) == TRUE) ++answers;
        });
        void* module = Load(path);
        SornDataSys::SetObserver({});
        check(module != nullptr, "the module loads");
        check(answers == 1, "the re-entered process attach answered TRUE");
        check(SornDataSys::ClassFactory() != nullptr, "the services are installed");
        return check.failures;
    });
}

}  // namespace
