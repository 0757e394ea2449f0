// The module's start-up with the matching core, by every way a host loads
// it on this platform.
#include <gtest/gtest.h>

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

TEST(ModuleStartup, TheMatchingCoreGetsTheFourInstallationsInOrderAndOtherReasonsChangeNothing) {
    ExpectCleanStartOnEveryPath([](Path path) {
        Checks check;
        RegistryLog log;
        void* module = Load(path);
        check(module != nullptr, "the library loads");
        if (!module) return check.failures;

        const auto entries = log.Entries();
        const Event order[] = {Event::ErrorHandler, Event::ResourceHandler, Event::PluginHandler,
                               Event::CodecRegistered, Event::ClassFactory};
        bool inOrder = entries.size() == 5;
        for (std::size_t i = 0; inOrder && i < 5; ++i) inOrder = entries[i].event == order[i];
        check(inOrder, "error handler, resource handler, plug-in handler, \"wav\", class factory");
        if (!inOrder) return check.failures;
        check(entries[3].text == "wav", "the codec is registered under \"wav\"");
        IResourceHandler* resources = SornDataSys::ResourceHandler();
        IPluginHandler* plugins = SornDataSys::PluginHandler();
        check(entries[0].service == SornDataSys::ErrorHandler() && entries[0].service,
              "the error handler stays installed");
        check(resources && plugins && dynamic_cast<void*>(resources) == dynamic_cast<void*>(plugins),
              "one object in both roles");
        check(entries[4].service == SornDataSys::ClassFactory() &&
                  dynamic_cast<ISornClassFactory*>(SornDataSys::ClassFactory()),
              "the class factory is installed");
        check(SornDataSys::CodecHandler()->GetCodec("wav") != nullptr, "\"wav\" is registered");
        auto startup = reinterpret_cast<int (*)()>(Symbol(path, module, "SornModuleStartup"));
        check(startup && startup() == 1, "SornModuleStartup answers 1");

        // Start-up runs once per mapping: a further attach, then thread
        // attach and detach, then process detach answer 1 and change nothing.
        auto entry = reinterpret_cast<DLLMAINPROC>(Symbol(path, module, "DllMain"));
        check(entry != nullptr, "the entry point is exported");
        if (!entry) return check.failures;
        ISornInterface* factory = SornDataSys::ClassFactory();
        for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH}) {
            check(entry(static_cast<HMODULE>(module), reason, nullptr) == TRUE,
                  "reason " + std::to_string(reason) + " answers 1");
        }
        if (path == Path::PlatformLoader) {
            check(LoadLibraryA(SORN_TEST_MODULE) == module, "a second load gives the same handle");
            check(FreeLibrary(static_cast<HMODULE>(module)), "its use is given back");
        }
        check(log.Entries().size() == 5, "no further installation or report");
        check(SornDataSys::ClassFactory() == factory && SornDataSys::ResourceHandler() == resources &&
                  SornDataSys::PluginHandler() == plugins && SornDataSys::CodecHandler()->GetCodec("wav"),
              "the registry is as it was");
        return check.failures;
    });
}

}  // namespace
