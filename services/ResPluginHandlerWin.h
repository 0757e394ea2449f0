#pragma once
// ResPluginHandlerWin: loads plug-in libraries and serves the resources that
// the last attached one supplies. One object, two faces: the plug-in handler
// (first base) and the resource handler (second base); destroying it through
// either face destroys the whole object.
//
// A plug-in exports, with C linkage, "GetResourceSize" and "LoadFromResource"
// (see _ResFuncs in core_contract/Handlers.h).
#include "core_contract/Handlers.h"
#include "sorn_win_export.h"
#include "threading/Mutex.h"

namespace SornData {

class SORN_WIN_API ResPluginHandlerWin : public IPluginHandler, public IResourceHandler {
public:
    ResPluginHandlerWin();
    // Copies the kept entry points.
    ResPluginHandlerWin(const ResPluginHandlerWin& other);
    ResPluginHandlerWin& operator=(const ResPluginHandlerWin& other);
    // Removes the plug-in handler and then the resource handler from the
    // registry (whatever is installed there). Attached libraries stay loaded.
    ~ResPluginHandlerWin() override;

    // Loads the library (no error output: the error mode is 1 meanwhile,
    // and 0 afterwards) and replaces both kept entry points with its
    // "GetResourceSize" and "LoadFromResource", looked up through this
    // object's own GetProcAddress; null where the library lacks one or could
    // not be loaded. Returns the library handle, null on failure. Earlier
    // libraries stay loaded.
    void* AttachPlugin(const SornStringA& path) override;
    // Unloads a library; 1 on success. When that was the last use of the
    // library that supplied the kept entry points, they are cleared: there is
    // nothing left to call. (A caller must not free a library while another
    // thread is still inside one of its functions.)
    int FreePlugin(void* library) override;
    // An exported function of the library by name; null when absent.
    void* GetProcAddress(void* library, char* name) override;

    // Pass through to the kept entry points. With no entry point to call,
    // LoadFromResource leaves its outputs untouched and GetResourceSize
    // gives 0.
    void LoadFromResource(unsigned int id, void** data, unsigned int* size) override;
    unsigned int GetResourceSize(unsigned int id) override;
    // The kept entry points, read under the same lock as every change.
    _ResFuncs GetResFuncs() override;

private:
    // Guards resFuncs (a member of the contract's base, which the analysis
    // does not see) and supplier_: an attach or a free may run while
    // another thread reads a resource.
    mutable sorn::Mutex funcsMutex_;
    // The library whose entry points are kept (null when none is).
    void* supplier_ SORN_GUARDED_BY(funcsMutex_) = nullptr;
};

}  // namespace SornData
