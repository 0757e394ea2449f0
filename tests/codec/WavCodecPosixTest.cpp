// Inputs only a POSIX system has: FIFOs, permission bits, /proc's list of
// open files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "WavCodecFixture.h"

using namespace wavtest;
using SornMedia::SornAudio::WavCodec;

namespace {

TEST_F(WavCodecTest, NoPathLeavesAFileOpen) {
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const std::string good = folder.Write("good.wav", Canonical(1, 16000, Samples(8)));
    const std::string bad = folder.Write("bad.wav", Bytes{'R', 'I', 'F', 'F', 0, 0});
    const std::string pipe = folder.Path("pipe.wav");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const auto before = openFiles();
    for (const std::string& path : {good, bad, pipe, folder.Path("")}) {
        std::uint32_t size = 0;
        codec.DecodeFile(path.c_str(), nullptr, &size, nullptr);
        Read(path, 4);
    }
    EXPECT_EQ(openFiles(), before);
}

TEST_F(WavCodecTest, FifoIsRefusedWithoutWaitingForAWriter) {
    const std::string path = folder.Path("pipe.wav");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // On a thread of its own with its own copies, so that a blocked decode
    // can be left behind.
    std::packaged_task<int()> task([path] {
        WavCodec ownCodec;
        std::uint32_t size = 3;
        const int query = ownCodec.DecodeFile(path.c_str(), nullptr, &size, nullptr);
        unsigned char buffer[64];
        SornAudioFormat format;
        size = sizeof buffer;
        return query + ownCodec.DecodeFile(path.c_str(), buffer, &size, &format);
    });
    std::future<int> both = task.get_future();
    std::thread worker(std::move(task));
    if (both.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Give a blocked reader writers to return with, then fail.
        for (int i = 0; i < 100 && both.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready; ++i) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
        if (both.wait_for(std::chrono::seconds(0)) != std::future_status::ready) worker.detach();
        if (worker.joinable()) worker.join();
        FAIL() << "decoding a FIFO blocked";
    }
    worker.join();
    EXPECT_EQ(both.get(), 0);
    EXPECT_EQ(recorder.warnings.size(), 2u);
}

TEST_F(WavCodecTest, UnopenablePathsAreRefused) {
    const std::string file = folder.Write("plain.wav", Canonical(1, 16000, Samples(4)));
    const std::string under = file + "/inner.wav";  // a file is not a folder
    ExpectRefused(Read(under, 32), 32, under);
    if (::geteuid() != 0) {  // root reads whatever the permissions say
        ASSERT_EQ(::chmod(file.c_str(), 0), 0);
        recorder.warnings.clear();
        ExpectRefused(Read(file, 32), 32, file);
    }
}

}  // namespace
