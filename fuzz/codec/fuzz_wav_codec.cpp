// libFuzzer target: every input is a WAV file for DecodeFile (written to one
// temporary file per process, kept open for writing) and a sample buffer for
// DecodeBuffer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/codec/WavDecodeCheck.h"

namespace {

std::string& TempPath() {
    static std::string path;
    return path;
}

void RemoveTemp() {
    if (!TempPath().empty()) ::unlink(TempPath().c_str());
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_wav_codec: %s\n", what.c_str());
    std::abort();
}

int& TempFd() {
    static int fd = -1;
    return fd;
}

// Replaces the temporary file's contents in place: no open, no truncation
// to zero, so the file system does little work per input.
bool WriteAll(const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(TempFd(), data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return ::ftruncate(TempFd(), static_cast<off_t>(size)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/fuzz_wav_codec.XXXXXX";
    TempFd() = ::mkstemp(pattern.data());
    if (TempFd() < 0) Fail("cannot create a temporary file");
    TempPath() = pattern;
    std::atexit(RemoveTemp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static sornfuzz::WavDecodeCheck check;
    if (!WriteAll(data, size)) Fail("cannot write the temporary file");
    std::string broken = check.File(TempPath().c_str(), data, size);
    if (broken.empty()) broken = check.Buffer(data, size);
    if (!broken.empty()) Fail(broken);
    return 0;
}
