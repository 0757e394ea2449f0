#include "tools/cli/TakeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "riff/WavHeader.h"

namespace sorn::cli {
namespace {

// The most data a RIFF size field describes beside the rest of the header.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (wav::kHeaderBytes - 8);

// Writes all of `bytes` at the file's end; false with errno set when the
// file takes fewer. `written` counts what went in either way.
bool WriteAll(int fd, const unsigned char* bytes, std::size_t size, std::size_t& written) {
    written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TakeFile::~TakeFile() { Close(); }

bool TakeFile::Open(const std::string& path, unsigned rate, unsigned channels, std::string& why) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        why = path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    path_ = path;
    rate_ = rate;
    frameBytes_ = 2 * channels;
    frames_ = unsynced_ = 0;
    error_ = 0;
    unsigned char header[wav::kHeaderBytes];
    wav::WritePcm16Header(header, rate, static_cast<std::uint16_t>(channels), 0);
    std::size_t written = 0;
    if (!WriteAll(fd_, header, sizeof header, written)) {
        why = path + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    return true;
}

bool TakeFile::Append(const std::int16_t* samples, std::size_t frames) {
    if (fd_ < 0 || error_) return false;
    if (frames == 0) return true;
    if ((frames_ + frames) * std::uint64_t{frameBytes_} > kMaxDataBytes) {
        error_ = EFBIG;  // a WAV file describes at most 4 GiB of data
        return false;
    }
    std::size_t written = 0;
    const bool whole = WriteAll(fd_, reinterpret_cast<const unsigned char*>(samples), frames * frameBytes_, written);
    const int failure = errno;
    frames_ += written / frameBytes_;
    unsynced_ += written / frameBytes_;
    if (!whole) {
        // Keep whole frames only: a frame cut by the full disk is dropped.
        error_ = failure;
        const off_t kept = off_t{wav::kHeaderBytes} + static_cast<off_t>(frames_ * frameBytes_);
        if (::ftruncate(fd_, kept) == 0) ::lseek(fd_, kept, SEEK_SET);
        UpdateHeader();
        return false;
    }
    if (!UpdateHeader()) {
        error_ = errno;
        return false;
    }
    if (unsynced_ >= rate_) {
        ::fdatasync(fd_);
        unsynced_ = 0;
    }
    return true;
}

bool TakeFile::UpdateHeader() {
    const auto data = static_cast<std::uint32_t>(frames_ * frameBytes_);
    unsigned char field[4];
    wav::PutLe32(field, wav::kHeaderBytes - 8 + data);
    if (::pwrite(fd_, field, 4, 4) != 4) return false;
    wav::PutLe32(field, data);
    return ::pwrite(fd_, field, 4, wav::kHeaderBytes - 4) == 4;
}

bool TakeFile::Close() {
    if (fd_ < 0) return true;
    bool ok = ::fdatasync(fd_) == 0 || errno == EINVAL;  // EINVAL: a file that cannot be synced
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

void TakeFile::Discard() {
    Close();
    if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace sorn::cli
