#include "platform/files/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorn::files {

// O_NONBLOCK keeps the open from waiting for a FIFO's writer; it is cleared
// again before reading.
std::FILE* OpenRegularFile(const char* path, unsigned long long& length) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        return nullptr;
    }
    length = static_cast<unsigned long long>(info.st_size);
    return file;
}

}  // namespace sorn::files
