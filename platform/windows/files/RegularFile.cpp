#include "platform/files/RegularFile.h"

#include <sys/stat.h>

namespace sorn::files {

std::FILE* OpenRegularFile(const char* path, unsigned long long& length) {
    if (!path) return nullptr;
    struct _stat64 info {};
    if (::_stat64(path, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    if (::_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        return nullptr;
    }
    length = static_cast<unsigned long long>(info.st_size);
    return file;
}

}  // namespace sorn::files
