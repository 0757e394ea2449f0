#include "services/FileHandlerWin.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Files.h"
#include "platform/Modules.h"
#include "platform/files/Paths.h"

namespace SornData {

namespace {

// A path the platform wrote into a MAX_PATH buffer, or empty when the call
// failed (0) or the path did not fit (MAX_PATH or more).
SornStringA Written(const char* buffer, DWORD length) {
    return length == 0 || length >= MAX_PATH ? SornStringA("") : SornStringA(buffer);
}

bool IsOwnOrParentEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

}  // namespace

FileHandlerWin::FileHandlerWin() = default;
FileHandlerWin::FileHandlerWin(const FileHandlerWin&) = default;
FileHandlerWin& FileHandlerWin::operator=(const FileHandlerWin&) = default;
FileHandlerWin::~FileHandlerWin() = default;

SornStringA FileHandlerWin::FindFile(const SornStringA& pattern) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.ToChars(), &data);
    if (search == INVALID_HANDLE_VALUE) return SornStringA(0);
    FindClose(search);
    return SornStringA(data.cFileName);
}

SornStringA FileHandlerWin::ExeDirectory() {
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return SornStringA("");
    std::string path = sorn::files::NativePath(buffer);
    const auto slash = path.find(sorn::files::kSeparator);
    if (slash != std::string::npos) path.erase(slash);
    return SornStringA(path.c_str());
}

SornStringA FileHandlerWin::ModuleDirectory(void* module) {
    char buffer[MAX_PATH];
    HMODULE target = module ? static_cast<HMODULE>(module) : ModuleInstanceHandle();
    const DWORD length = GetModuleFileNameA(target, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return SornStringA("");
    std::string path = sorn::files::NativePath(buffer);
    const auto slash = path.rfind(sorn::files::kSeparator);
    if (slash != std::string::npos) path.erase(slash + 1);
    return SornStringA(path.c_str());
}

SornStringA FileHandlerWin::TempDirectory() {
    char buffer[MAX_PATH];
    return Written(buffer, GetTempPathA(MAX_PATH, buffer));
}

SornStringA FileHandlerWin::CurrentDirectory() {
    char buffer[MAX_PATH];
    return Written(buffer, GetCurrentDirectoryA(MAX_PATH, buffer));
}

int FileHandlerWin::IsDirectory(const SornStringA& path) {
    const DWORD attributes = GetFileAttributesA(path.ToChars());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int FileHandlerWin::MakeDirectory(const SornStringA& path) {
    return CreateDirectoryA(path.ToChars(), nullptr) ? 1 : 0;
}

int FileHandlerWin::DeleteDirectory(const SornStringA& path) {
    if (path.IsEmpty()) return 0;  // "\*" alone would be the root directory
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((path + "\\*").ToChars(), &data);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        // The directory's own and parent entries are not its contents; a
        // name with a backslash would be read as a path below this one.
        if (IsOwnOrParentEntry(data.cFileName) || std::strchr(data.cFileName, '\\')) continue;
        DelFile(path + "\\" + data.cFileName);  // through the interface: a derived DelFile is used
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return RemoveDirectoryA(path.ToChars()) ? 1 : 0;
}

int FileHandlerWin::DelFile(const SornStringA& path) { return DeleteFileA(path.ToChars()) ? 1 : 0; }

int FileHandlerWin::TempFileName(SornStringA& name) {
    char* temporary = TempNameA(nullptr, "srn");
    if (!temporary) return 0;
    name = temporary;
    std::free(temporary);
    return 1;
}

}  // namespace SornData
