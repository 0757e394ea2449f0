#pragma once
// Pieces shared by the services tests: the test plug-ins' paths and path
// helpers that hold on every platform.
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "core_contract/SornString.h"
#include "platform/Files.h"
#include "platform/Modules.h"
#include "platform/files/Paths.h"

namespace sorn::servicestest {

inline std::string Text(const SornStringA& text) { return text.ToChars(); }

// The directory part of a path, with its last separator.
inline std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind(sorn::files::kSeparator) + 1);
}

// Whether name is what the temporary-name service makes in directory: the
// directory, a separator, the prefix, then a unique part of digits (the C
// runtime on Windows may write them in hexadecimal and add ".tmp").
inline bool IsTempName(const std::string& name, const std::string& directory, const std::string& prefix) {
    const std::string start = directory + sorn::files::kSeparator + prefix;
    if (name.compare(0, start.size(), start) != 0) return false;
    std::string unique = name.substr(start.size());
#ifdef _WIN32
    if (unique.size() > 4 && unique.compare(unique.size() - 4, 4, ".tmp") == 0) unique.resize(unique.size() - 4);
    const char* digits = "0123456789abcdefABCDEF";
#else
    const char* digits = "0123456789";
#endif
    return !unique.empty() && unique.find_first_not_of(digits) == std::string::npos;
}

// The program's own path, as the system names it apart from the module calls.
inline std::string ProgramPath() {
#ifdef _WIN32
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, length < MAX_PATH ? length : 0);
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}

// The path of a file in the folder that holds this program.
inline const char* BesideProgram(const char* name) {
    static std::mutex lock;
    static std::map<std::string, std::string> paths;  // its nodes never move
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    std::lock_guard<std::mutex> hold(lock);
    std::string& path = paths[name];
    if (path.empty()) path = DirectoryOf(std::string(buffer, length < MAX_PATH ? length : 0)) + name;
    return path.c_str();
}

}  // namespace sorn::servicestest

// On Windows the plug-ins are built beside the test program (the build tree's
// paths are not the program's); elsewhere the build names them.
#ifdef _WIN32
#define SORN_TEST_PLUGIN_FIRST ::sorn::servicestest::BesideProgram("services_plugin_first.dll")
#define SORN_TEST_PLUGIN_SECOND ::sorn::servicestest::BesideProgram("services_plugin_second.dll")
#define SORN_TEST_PLUGIN_LOAD_ONLY ::sorn::servicestest::BesideProgram("services_plugin_load_only.dll")
#define SORN_TEST_PLUGIN_WITH_DEPENDENCY ::sorn::servicestest::BesideProgram("services_plugin_with_dependency.dll")
#endif
