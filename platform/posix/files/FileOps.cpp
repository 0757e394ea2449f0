// Directory and file changes, the standard directories and temporary names.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "platform/Files.h"
#include "platform/posix/files/FileHelpers.h"

using sorn::files::CopyOut;
using sorn::files::IsUsableDirectory;
using sorn::files::NativePath;

BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES*) {
    if (!path) return FALSE;
    return ::mkdir(NativePath(path).c_str(), 0777) == 0 ? TRUE : FALSE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    if (!path) return FALSE;
    return ::rmdir(NativePath(path).c_str()) == 0 ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (!path) return FALSE;
    // unlink removes a link itself and refuses directories (EISDIR).
    return ::unlink(NativePath(path).c_str()) == 0 ? TRUE : FALSE;
}

namespace {

std::string CurrentDirectory() {
    char* text = ::getcwd(nullptr, 0);  // allocated to fit, however long
    if (!text) return {};
    std::string directory(text);
    std::free(text);
    return directory;
}

std::string TempPath() {
    const char* variable = std::getenv("TMPDIR");
    std::string path = variable && *variable ? variable : "/tmp";
    if (path.back() != '/' && path.back() != '\\') path += '/';
    return path;
}

// A decimal number for a temporary name; each thread draws its own.
std::string RandomDigits() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::to_string(generator() % 10000000000ULL);
}

}  // namespace

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    const std::string directory = CurrentDirectory();
    if (directory.empty()) return 0;
    return CopyOut(directory, size, buffer);
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) { return CopyOut(TempPath(), size, buffer); }

char* TempNameA(LPCSTR directory, LPCSTR prefix) {
    std::string chosen;
    const char* tmp = std::getenv("TMP");
    if (tmp && IsUsableDirectory(NativePath(tmp))) {
        chosen = tmp;
    } else if (directory && IsUsableDirectory(NativePath(directory))) {
        chosen = directory;
    } else if (IsUsableDirectory(TempPath())) {
        chosen = TempPath();
    } else {
        chosen = CurrentDirectory();
        if (chosen.empty()) return nullptr;
    }
    if (chosen.back() != '/' && chosen.back() != '\\') chosen += '/';
    chosen += prefix ? prefix : "";

    // A name is free when nothing by that name exists, a dangling link
    // included (lstat does not follow it).
    constexpr int attempts = 1000;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::string name = chosen + RandomDigits();
        struct stat info {};
        if (::lstat(NativePath(name.c_str()).c_str(), &info) == 0) continue;
        if (errno != ENOENT) return nullptr;  // the directory cannot be searched
        char* copy = static_cast<char*>(std::malloc(name.size() + 1));
        if (copy) std::memcpy(copy, name.c_str(), name.size() + 1);
        return copy;
    }
    errno = EEXIST;
    return nullptr;
}
