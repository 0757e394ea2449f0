#pragma once
// One scratch file per fuzzing process, for targets whose code under test
// reads a path: made once in TMPDIR (else /tmp), removed at exit, and
// rewritten in place for every input (no open, no truncation to zero, so
// the file system does little work per input).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sornfuzz {

class ScratchFile {
public:
    // Creates the file; a target calls it from LLVMFuzzerInitialize.
    static bool Create(const char* target) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + target + ".XXXXXX";
        Fd() = ::mkstemp(pattern.data());
        if (Fd() < 0) return false;
        Path() = pattern;
        std::atexit([] { ::unlink(Path().c_str()); });
        return true;
    }

    static const std::string& Name() { return Path(); }

    // Makes the file hold exactly these bytes.
    static bool Write(const unsigned char* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(Fd(), data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return ::ftruncate(Fd(), static_cast<off_t>(size)) == 0;
    }

private:
    static std::string& Path() {
        static std::string path;
        return path;
    }
    static int& Fd() {
        static int fd = -1;
        return fd;
    }
};

}  // namespace sornfuzz
