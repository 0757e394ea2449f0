#include "services/ResPluginHandlerWin.h"

#include "core_contract/SornDataSys.h"
#include "platform/Modules.h"

namespace SornData {

ResPluginHandlerWin::ResPluginHandlerWin() = default;

ResPluginHandlerWin::ResPluginHandlerWin(const ResPluginHandlerWin& other)
    : IPluginHandler(other), IResourceHandler(other) {
    sorn::MutexLock lock(other.funcsMutex_);
    resFuncs = other.resFuncs;
    supplier_ = other.supplier_;
}

ResPluginHandlerWin& ResPluginHandlerWin::operator=(const ResPluginHandlerWin& other) {
    if (this == &other) return *this;
    _ResFuncs funcs{};
    void* supplier = nullptr;
    {
        sorn::MutexLock lock(other.funcsMutex_);
        funcs = other.resFuncs;
        supplier = other.supplier_;
    }
    IPluginHandler::operator=(other);
    sorn::MutexLock lock(funcsMutex_);
    resFuncs = funcs;
    supplier_ = supplier;
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
        sorn::MutexLock lock(funcsMutex_);
        resFuncs.getResourceSize = getResourceSize;
        resFuncs.loadFromResource = loadFromResource;
        supplier_ = library;
    }
    SetErrorMode(0);
    return library;
}

int ResPluginHandlerWin::FreePlugin(void* library) {
    if (!FreeLibrary(static_cast<HMODULE>(library))) return 0;
    sorn::MutexLock lock(funcsMutex_);
    if (library != supplier_) return 1;
    // Still loaded when the library held other uses: the entry points then
    // still lie in the module that supplied them.
    const void* kept = resFuncs.getResourceSize ? reinterpret_cast<const void*>(resFuncs.getResourceSize)
                                                : reinterpret_cast<const void*>(resFuncs.loadFromResource);
    HMODULE holder = nullptr;
    const bool loaded =
        kept &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(kept), &holder) &&
        holder == library;
    if (!loaded) {
        resFuncs = _ResFuncs{nullptr, nullptr};
        supplier_ = nullptr;
    }
    return 1;
}

void* ResPluginHandlerWin::GetProcAddress(void* library, char* name) {
    // A function address as data (the platform answers FARPROC on Windows).
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void ResPluginHandlerWin::LoadFromResource(unsigned int id, void** data, unsigned int* size) {
    SornLoadFromResourceFn load = nullptr;
    {
        sorn::MutexLock lock(funcsMutex_);
        load = resFuncs.loadFromResource;
    }
    if (load) load(id, data, size);
}

_ResFuncs ResPluginHandlerWin::GetResFuncs() {
    sorn::MutexLock lock(funcsMutex_);
    return resFuncs;
}

unsigned int ResPluginHandlerWin::GetResourceSize(unsigned int id) {
    SornGetResourceSizeFn getSize = nullptr;
    {
        sorn::MutexLock lock(funcsMutex_);
        getSize = resFuncs.getResourceSize;
    }
    return getSize ? getSize(id) : 0;
}

}  // namespace SornData
