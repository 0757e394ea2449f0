#pragma once
// The platform services the core calls through its registry.
#include "core_contract/IDelete.h"
#include "core_contract/SornString.h"

class SORN_CORE_API IErrorHandler : public IDelete {
public:
    virtual void LogError(SornStringA* a, SornStringA* b, SornStringA* c, SornStringA* d) = 0;
    // toDebugger non-zero: the text goes to the debugger output only;
    // otherwise the user sees an assertion box.
    virtual void DebugStringOutput(char* text, int toDebugger) = 0;
};

class SORN_CORE_API IFileHandler : public IDelete {
public:
    virtual SornStringA FindFile(const SornStringA& pattern) = 0;
    virtual SornStringA ExeDirectory() = 0;
    virtual SornStringA ModuleDirectory(void* module) = 0;
    virtual SornStringA TempDirectory() = 0;
    virtual SornStringA CurrentDirectory() = 0;
    virtual int IsDirectory(const SornStringA& path) = 0;
    virtual int MakeDirectory(const SornStringA& path) = 0;
    virtual int DeleteDirectory(const SornStringA& path) = 0;
    virtual int DelFile(const SornStringA& path) = 0;
    virtual int TempFileName(SornStringA& name) = 0;
};

class SORN_CORE_API IPluginHandler : public IDelete {
public:
    virtual void* AttachPlugin(const SornStringA& path) = 0;
    virtual int FreePlugin(void* library) = 0;
    virtual void* GetProcAddress(void* library, char* name) = 0;
};

// A plug-in's two exported entry points ("LoadFromResource", "GetResourceSize").
extern "C" {
typedef void (*SornLoadFromResourceFn)(unsigned int id, void** data, unsigned int* size);
typedef unsigned int (*SornGetResourceSizeFn)(unsigned int id);
}

struct _ResFuncs {
    SornLoadFromResourceFn loadFromResource;
    SornGetResourceSizeFn getResourceSize;
};

class SORN_CORE_API IResourceHandler : public IDelete {
public:
    IResourceHandler() : resFuncs{nullptr, nullptr} {}
    virtual void LoadFromResource(unsigned int id, void** data, unsigned int* size) = 0;
    virtual unsigned int GetResourceSize(unsigned int id) = 0;
    virtual _ResFuncs GetResFuncs() { return resFuncs; }

protected:
    _ResFuncs resFuncs;
};
