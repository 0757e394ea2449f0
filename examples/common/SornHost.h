#pragma once
// The few lines every Sorn host writes, shared by the examples: loading the
// module, waiting for its callbacks and reading its error texts. Each
// example is one .cpp file beside this header; read it first.
//
// A host links the core (libSornCore) and loads the platform module
// (libSornCoreWin) at run time. The module joins the core by itself as it is
// mapped: it checks the core's version and installs its services, among them
// the class factory. From then on the host talks only to the core's
// interfaces (core_contract/), never to the module's classes.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <sorn/core_contract/ClassFactory.h>
#include <sorn/core_contract/SornDataSys.h>

namespace example {

// Loads the module and returns the class factory it installed, or null after
// saying why on stderr. The module is looked for beside the core this program
// runs with (an install keeps both in one folder), then by its bare file
// name, as the dynamic loader finds libraries. SORN_MODULE_FILE is the
// module's file name ("libSornCoreWin.so.2"), given by the examples'
// CMakeLists from the package, so it follows the library's version.
inline ISornClassFactory* LoadModule() {
    std::string path = SORN_MODULE_FILE;
    Dl_info core{};
    if (::dladdr(reinterpret_cast<const void*>(&Versioning::GetVersion), &core) && core.dli_fname) {
        const std::string corePath = core.dli_fname;
        const std::size_t slash = corePath.rfind('/');
        if (slash != std::string::npos) path = corePath.substr(0, slash + 1) + SORN_MODULE_FILE;
    }
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) module = ::dlopen(SORN_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load the module: %s\n", ::dlerror());
        return nullptr;
    }
    // A module that refused to start (built for another core version, say)
    // installed nothing and has already reported why on stderr. The module
    // is never unloaded: its services stay installed until the process ends.
    auto* factory = dynamic_cast<ISornClassFactory*>(SornDataSys::ClassFactory());
    if (!factory) std::fprintf(stderr, "the module did not start (see the report above)\n");
    return factory;
}

// Reads a WAV file into a new clip, or returns null after saying why on
// stderr. The core picks the codec by the file's extension; the module
// registered its WAV codec under "wav" as it started. The caller deletes
// the clip with Delete().
inline IWave* LoadClip(ISornClassFactory* factory, const char* path, const char* program) {
    IWave* clip = factory->CreateWave();
    if (!clip->Load(SornStringA(path))) {  // the codec has said why on stderr, as a warning
        std::fprintf(stderr, "%s: cannot read %s as a 16-bit PCM WAV file\n", program, path);
        clip->Delete();
        return nullptr;
    }
    return clip;
}

// The reason an object gives for its last failure. GetError() hands over a
// new string, which the caller deletes (it is empty after a success).
template <typename Object>
std::string ErrorText(const Object* object) {
    const SornStringA* text = object->GetError();
    std::string result = text && !text->IsEmpty() ? text->ToChars() : "no reason given";
    delete text;
    return result;
}

// Counts callbacks. The module calls back on a thread of its own, so the
// count is kept under a lock and the main thread waits for it, with a time
// limit: every wait needs a way out in case a device never answers.
class Signal {
public:
    // The function to give the module as its callback, with `this` as the
    // user value: SetWaveOutCB(&Signal::Callback, signal.User()).
    static void Callback(std::uintptr_t user) { reinterpret_cast<Signal*>(user)->Raise(); }
    std::uintptr_t User() { return reinterpret_cast<std::uintptr_t>(this); }

    // True once `count` callbacks have come; false when `limit` passed first.
    bool WaitFor(int count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return raised_.wait_for(lock, limit, [&] { return count_ >= count; });
    }

private:
    void Raise() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        raised_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable raised_;
    int count_ = 0;
};

}  // namespace example
