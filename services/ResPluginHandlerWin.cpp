#include "services/ResPluginHandlerWin.h"

#include "core_contract/SornDataSys.h"
#include "platform/Modules.h"

namespace SornData {

ResPluginHandlerWin::ResPluginHandlerWin() = default;

ResPluginHandlerWin::ResPluginHandlerWin(const ResPluginHandlerWin& other)
    : IPluginHandler(other), IResourceHandler(other) {
    std::lock_guard<std::mutex> lock(other.funcsMutex_);
    resFuncs = other.resFuncs;
}

ResPluginHandlerWin& ResPluginHandlerWin::operator=(const ResPluginHandlerWin& other) {
    if (this == &other) return *this;
    _ResFuncs funcs{};
    {
        std::lock_guard<std::mutex> lock(other.funcsMutex_);
        funcs = other.resFuncs;
    }
    IPluginHandler::operator=(other);
    std::lock_guard<std::mutex> lock(funcsMutex_);
    resFuncs = funcs;
    return *this;
}

ResPluginHandlerWin::~ResPluginHandlerWin() {
    SornDataSys::PluginHandler(nullptr);
    SornDataSys::ResourceHandler(nullptr);
}

void* ResPluginHandlerWin::AttachPlugin(const SornStringA& path) {
    SetErrorMode(SEM_FAILCRITICALERRORS);
    HMODULE library = LoadLibraryA(path.ToChars());
    char sizeName[] = "GetResourceSize";
    char loadName[] = "LoadFromResource";
    // Through this object's own look-up, so that a derived handler's is used.
    const auto getResourceSize = reinterpret_cast<SornGetResourceSizeFn>(GetProcAddress(library, sizeName));
    const auto loadFromResource = reinterpret_cast<SornLoadFromResourceFn>(GetProcAddress(library, loadName));
    {
        std::lock_guard<std::mutex> lock(funcsMutex_);
        resFuncs.getResourceSize = getResourceSize;
        resFuncs.loadFromResource = loadFromResource;
    }
    SetErrorMode(0);
    return library;
}

int ResPluginHandlerWin::FreePlugin(void* library) {
    return FreeLibrary(static_cast<HMODULE>(library)) ? 1 : 0;
}

void* ResPluginHandlerWin::GetProcAddress(void* library, char* name) {
    return ::GetProcAddress(static_cast<HMODULE>(library), name);
}

void ResPluginHandlerWin::LoadFromResource(unsigned int id, void** data, unsigned int* size) {
    SornLoadFromResourceFn load = nullptr;
    {
        std::lock_guard<std::mutex> lock(funcsMutex_);
        load = resFuncs.loadFromResource;
    }
    if (load) load(id, data, size);
}

unsigned int ResPluginHandlerWin::GetResourceSize(unsigned int id) {
    SornGetResourceSizeFn getSize = nullptr;
    {
        std::lock_guard<std::mutex> lock(funcsMutex_);
        getSize = resFuncs.getResourceSize;
    }
    return getSize ? getSize(id) : 0;
}

}  // namespace SornData
