#pragma once
// A shared library a backend opens on the first call of one of its
// functions, so that a host loading the module maps it only when it uses
// that backend. The backend defines each function it calls with the
// library's own declaration and forwards to the real one (SORN_LAZY_FORWARD
// below), found with dlsym once and kept; without the library, or without
// the function, the forwarder answers its file's fallback for the return
// type instead.
#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace sorn::lazy {

class LazyLibrary {
public:
    // `file` as dlopen takes it ("libfoo.so.1"); nothing is opened yet.
    constexpr explicit LazyLibrary(const char* file) : file_(file) {}
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // The address of `name`, looked up on the first call and kept in
    // `slot`; null when the library or the name is missing.
    void* Resolve(std::atomic<void*>& slot, const char* name) {
        void* function = slot.load(std::memory_order_acquire);
        if (function) return function;
        void* library = Handle();
        function = library ? ::dlsym(library, name) : nullptr;
        slot.store(function, std::memory_order_release);
        return function;
    }

private:
    // The library, opened once (the first caller opens it, others wait).
    void* Handle() {
        std::call_once(once_, [this] { handle_ = ::dlopen(file_, RTLD_NOW | RTLD_LOCAL); });
        return handle_;
    }

    const char* const file_;
    std::once_flag once_;
    void* handle_ = nullptr;  // written once under once_
};

// The return type of a function, for the forwarder's fallback.
template <typename R, typename... P>
R ResultOf(R (*)(P...));

}  // namespace sorn::lazy

// The body of the forwarder of `name`: the real function in `library` (a
// LazyLibrary) called with the arguments that follow, or `fallback<R>()` for
// its return type R when it cannot be found.
#define SORN_LAZY_FORWARD(library, fallback, name, ...)                                \
    static std::atomic<void*> slot{nullptr};                                           \
    using Result = decltype(::sorn::lazy::ResultOf(&name));                            \
    auto function = reinterpret_cast<decltype(&name)>((library).Resolve(slot, #name)); \
    if (!function) return fallback<Result>();                                          \
    return function(__VA_ARGS__)
