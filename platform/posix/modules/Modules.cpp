// Loadable modules over the dynamic loader, and module file names.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/Files.h"
#include "platform/Modules.h"
#include "platform/posix/files/FileHelpers.h"
#include "threading/Mutex.h"

namespace {

std::atomic<UINT> errorMode{0};
std::atomic<HMODULE> instanceHandle{nullptr};

// An address inside this module, to find the module by.
const char moduleAnchor = 0;

// Handles the loader would read as its pseudo-handles (RTLD_DEFAULT is
// null, RTLD_NEXT is -1): never passed on.
bool IsPseudoHandle(HMODULE module) {
    const auto value = reinterpret_cast<std::uintptr_t>(module);
    return value == 0 || value == UINTPTR_MAX;
}

HMODULE ExecutableHandle() { return static_cast<HMODULE>(::dlopen(nullptr, RTLD_NOW)); }

// The loader's handle of an object it holds, under the name it holds it by.
HMODULE HandleOf(const char* loadedName, bool countUse) {
    void* handle = ::dlopen(loadedName, RTLD_NOW | RTLD_NOLOAD);
    if (handle && !countUse) ::dlclose(handle);  // the object stays: it was loaded before
    return static_cast<HMODULE>(handle);
}

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

std::string ModulePath(HMODULE module) {
    if (!module) return ExecutablePath();
    if (IsPseudoHandle(module)) return {};
    link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
    const std::string name = map->l_name;
    if (name.empty()) return ExecutablePath();  // the executable's own entry has no name
    if (name[0] == '/') return name;
    // Loaded by a relative path: the same file, named absolutely.
    char* absolute = ::realpath(name.c_str(), nullptr);
    if (!absolute) return name;
    std::string path(absolute);
    std::free(absolute);
    return path;
}

// A path with a directory part made absolute, so that the loader keeps a
// name that stays true after the current directory changes: the directory
// resolved, the file name as given. A bare name is left to the loader's
// search; a directory that cannot be resolved is left for the load to fail.
std::string AbsoluteLibraryPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (path.empty() || path[0] == '/' || slash == std::string::npos) return path;
    char* directory = ::realpath(path.substr(0, slash + 1).c_str(), nullptr);
    if (!directory) return path;
    std::string absolute(directory);
    std::free(directory);
    if (absolute.back() != '/') absolute += '/';
    return absolute + path.substr(slash + 1);
}

// Entry points. The uses counted by LoadLibraryA (and counted look-ups of
// a module it loaded) decide when the entry point sees process attach and
// detach. The lock stands for the platform's loader lock: recursive, since
// an entry point may load or free libraries itself.
struct EntryTable {
    sorn::RecursiveMutex lock;
    std::map<HMODULE, int> uses SORN_GUARDED_BY(lock);
};
EntryTable& Entries() {
    static EntryTable entries;
    return entries;
}

// The module's "DllMain" when its own file defines it.
DLLMAINPROC EntryPointOf(HMODULE module) { return reinterpret_cast<DLLMAINPROC>(GetProcAddress(module, "DllMain")); }

// One more use through LoadLibraryA; FALSE when the entry point refused
// (its use is then given back).
BOOL AttachUse(HMODULE module) {
    EntryTable& entries = Entries();
    sorn::RecursiveMutexLock hold(entries.lock);
    if (entries.uses[module]++ > 0) return TRUE;
    DLLMAINPROC entry = EntryPointOf(module);
    if (!entry || entry(module, DLL_PROCESS_ATTACH, nullptr)) return TRUE;
    entry(module, DLL_PROCESS_DETACH, nullptr);
    entries.uses.erase(module);
    return FALSE;
}

void DetachUse(HMODULE module) {
    EntryTable& entries = Entries();
    sorn::RecursiveMutexLock hold(entries.lock);
    auto it = entries.uses.find(module);
    if (it == entries.uses.end() || --it->second > 0) return;
    entries.uses.erase(it);
    if (DLLMAINPROC entry = EntryPointOf(module)) entry(module, DLL_PROCESS_DETACH, nullptr);
}

void CountLookUp(HMODULE module) {
    EntryTable& entries = Entries();
    sorn::RecursiveMutexLock hold(entries.lock);
    auto it = entries.uses.find(module);
    if (it != entries.uses.end()) ++it->second;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR path) {
    // An empty path would make dlopen give the executable.
    if (!path || !*path) {
        errno = ENOENT;
        return nullptr;
    }
    const std::string native = AbsoluteLibraryPath(sorn::files::NativePath(path));
    void* handle = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* message = ::dlerror();
        if (!(errorMode.load() & SEM_FAILCRITICALERRORS)) {
            std::fprintf(stderr, "sorn: cannot load library %s: %s\n", path, message ? message : "unknown error");
        }
        return nullptr;
    }
    if (!AttachUse(static_cast<HMODULE>(handle))) {
        ::dlclose(handle);
        if (!(errorMode.load() & SEM_FAILCRITICALERRORS)) {
            std::fprintf(stderr, "sorn: cannot load library %s: its start-up refused the load\n", path);
        }
        errno = ECANCELED;
        return nullptr;
    }
    return static_cast<HMODULE>(handle);
}

void* GetProcAddress(HMODULE module, LPCSTR name) {
    if (IsPseudoHandle(module) || reinterpret_cast<std::uintptr_t>(name) < 0x10000) return nullptr;
    void* symbol = ::dlsym(module, name);
    if (!symbol) return nullptr;
    // dlsym also searches the libraries the module depends on: keep only a
    // symbol that lies in the module's own file, as the platform's export
    // table would.
    link_map* own = nullptr;
    link_map* holder = nullptr;
    Dl_info info{};
    if (::dlinfo(module, RTLD_DI_LINKMAP, &own) != 0 || !own ||
        !::dladdr1(symbol, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) || holder != own) {
        return nullptr;
    }
    return symbol;
}

BOOL FreeLibrary(HMODULE module) {
    if (IsPseudoHandle(module)) return FALSE;
    DetachUse(module);
    return ::dlclose(module) == 0 ? TRUE : FALSE;
}

UINT SetErrorMode(UINT mode) { return errorMode.exchange(mode); }
UINT GetErrorMode() { return errorMode.load(); }

BOOL GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module) {
    if (!module) return FALSE;
    *module = nullptr;
    const bool countUse = !(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        link_map* map = nullptr;
        if (!nameOrAddress || !::dladdr1(nameOrAddress, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) ||
            !map || !map->l_name) {
            return FALSE;
        }
        *module = map->l_name[0] ? HandleOf(map->l_name, countUse) : ExecutableHandle();
    } else if (!nameOrAddress) {
        *module = ExecutableHandle();
    } else {
        *module = HandleOf(sorn::files::NativePath(nameOrAddress).c_str(), countUse);
    }
    if (*module && countUse) CountLookUp(*module);
    return *module ? TRUE : FALSE;
}

HMODULE ModuleInstanceHandle() {
    HMODULE module = instanceHandle.load();
    if (module) return module;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       &moduleAnchor, &module);
    HMODULE expected = nullptr;
    instanceHandle.compare_exchange_strong(expected, module);
    return instanceHandle.load();
}

void SetModuleInstanceHandle(HMODULE module) { instanceHandle.store(module); }

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (!buffer || size == 0) {
        errno = EINVAL;
        return 0;
    }
    const std::string path = ModulePath(module);
    if (path.empty()) {
        errno = ENOENT;
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    std::memcpy(buffer, path.c_str(), size - 1);
    buffer[size - 1] = '\0';
    errno = ENAMETOOLONG;
    return size;
}
