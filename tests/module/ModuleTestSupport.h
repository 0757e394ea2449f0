#pragma once
// Pieces shared by the module's start-up and host tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "RegistryLog.h"

namespace sorn::test {

// The module's mapping, its start-up and the core's registry exist once per
// process (the library cannot be unloaded: the C++ runtime marks it so), so
// each start-up runs in a process of its own:
//   EXPECT_EXIT(sorn::test::RunAndExit(body), ::testing::ExitedWithCode(0), "");
// The body returns the failures it found, one per line; they are written to
// stderr, so they show in the test's report, and make the exit status 1.
[[noreturn]] inline void RunAndExit(const std::function<std::string()>& body) {
    const std::string failures = body();
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

// Collects failed checks inside such a process.
struct Checks {
    std::string failures;
    void operator()(bool ok, const std::string& what) {
        if (!ok) failures += "failed: " + what + "\n";
    }
};

}  // namespace sorn::test
