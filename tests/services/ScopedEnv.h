#pragma once
// Sets (or, with null, unsets) an environment variable for one scope.
#include <stdlib.h>

#include <optional>
#include <string>

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        Set(name, value);
    }
    ~ScopedEnv() { Set(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    static void Set(const char* name, const char* value) {
#ifdef _WIN32
        // The C runtime passes the change on to the process's environment
        // block, which the system's own calls read; "" removes the variable.
        ::_putenv_s(name, value ? value : "");
#else
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
#endif
    }
    std::string name_;
    std::optional<std::string> old_;
};
