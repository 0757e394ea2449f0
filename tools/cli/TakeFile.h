#pragma once
// A 16-bit PCM WAV file written while it is recorded, as arecord and sox
// write theirs: the canonical header first, then the frames as they come.
// After every append the header's sizes are brought up to date, so at any
// moment the file is a valid WAV of every frame written so far: a full disk,
// a killed process or a lost device keeps what came before. The data is
// flushed to the disk about once a second of audio, and at Close.
//
// Not thread-safe: one thread writes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace sorn::cli {

class TakeFile {
public:
    TakeFile() = default;
    TakeFile(const TakeFile&) = delete;
    TakeFile& operator=(const TakeFile&) = delete;
    ~TakeFile();

    // Creates (or truncates) `path` and writes the header of an empty take.
    // On failure: false, and `why` says what failed and why.
    bool Open(const std::string& path, unsigned rate, unsigned channels, std::string& why);
    // Appends `frames` interleaved frames. On a failed write: false, and the
    // file holds a valid take of the whole frames written before (Error()
    // tells why); later appends do nothing.
    bool Append(const std::int16_t* samples, std::size_t frames);
    // Flushes and closes; false when the last flush or close failed.
    bool Close();
    // Closes and removes the file (a take with nothing in it).
    void Discard();

    std::size_t Frames() const { return frames_; }
    double Seconds() const { return rate_ ? double(frames_) / rate_ : 0.0; }
    // errno of the failure that stopped the take, 0 while none has.
    int Error() const { return error_; }

private:
    bool UpdateHeader();

    int fd_ = -1;
    std::string path_;
    unsigned rate_ = 0;
    unsigned frameBytes_ = 0;
    std::size_t frames_ = 0;
    std::size_t unsynced_ = 0;  // frames written since the last flush to disk
    int error_ = 0;
};

}  // namespace sorn::cli
