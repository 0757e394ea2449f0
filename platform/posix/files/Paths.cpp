#include "platform/posix/files/FileHelpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sorn::files {

std::string NativePath(const char* path) {
    std::string native(path ? path : "");
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

unsigned CopyOut(const std::string& text, unsigned size, char* buffer) {
    const auto length = static_cast<unsigned>(text.size());
    if (!buffer || length >= size) return length + 1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return length;
}

bool IsUsableDirectory(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace sorn::files
