#include "module/ModuleEntry.h"

#include <atomic>
#include <cstring>
#include <new>

#include "core_contract/SornDataSys.h"
#include "module/ClassFactoryWin.h"
#include "module/ModuleInfo.h"
#include "services/ErrorHandlerWin.h"
#include "services/ResPluginHandlerWin.h"
#include "threading/Mutex.h"

namespace {

// Serialises start-up: on Linux the ELF constructor (AttachOnMapping.cpp)
// runs under the dynamic loader's lock, but LoadLibraryA calls the entry
// point outside it.
sorn::Mutex startupLock;
std::atomic<int> startupResult{-1};
// This thread is inside start-up: a process attach that arrives meanwhile
// (from a registry observer, say) answers at once instead of waiting for
// the lock its own thread holds.
thread_local bool t_startingUp = false;

void Report(const char* text) {
    char message[64];
    std::strncpy(message, text, sizeof message - 1);
    message[sizeof message - 1] = '\0';
    SornDataSys::Error(message, nullptr, nullptr, nullptr, 0);
}

int StartUp() SORN_REQUIRES(startupLock) {
    const char* version = Versioning::GetVersion();
    if (!version || std::strcmp(version, sorn::module::kCoreVersion) != 0) {
        Report("Dll version conflict!");
        return 0;
    }
    auto* errors = new (std::nothrow) SornData::ErrorHandlerWin();
    if (errors) SornDataSys::ErrorHandler(errors);
    auto* plugins = errors ? new (std::nothrow) SornData::ResPluginHandlerWin() : nullptr;
    if (plugins) {
        SornDataSys::ResourceHandler(plugins);
        SornDataSys::PluginHandler(plugins);
    }
    auto* factory = plugins ? new (std::nothrow) SornFramework::ClassFactoryWin() : nullptr;
    if (!factory) {
        delete plugins;  // removes itself from both roles
        if (errors) {
            SornDataSys::ErrorHandler(nullptr);
            delete errors;
        }
        Report("Out of memory: the module's services were not created");
        return 0;
    }
    SornDataSys::ClassFactory(factory);
    return 1;
}

}  // namespace

BOOL DllMain(HMODULE instance, DWORD reason, void*) {
    SetModuleInstanceHandle(instance);
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    // Start-up is under way on this thread and gives the real answer when
    // it returns; until then the module is not refused.
    if (t_startingUp) return TRUE;
    sorn::MutexLock hold(startupLock);
    if (startupResult.load() < 0) {
        t_startingUp = true;
        startupResult.store(StartUp());
        t_startingUp = false;
    }
    return startupResult.load() ? TRUE : FALSE;
}

int SornModuleStartup() { return startupResult.load(); }
