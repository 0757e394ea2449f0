// FindFirstFileA and a whole walk over a folder of many files.
// SORN_BENCH_FILES sets the number of files (default 200,000); the folder is
// made once under the temporary directory and removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Files.h"

namespace {

class Folder {
public:
    Folder() {
        const char* wanted = std::getenv("SORN_BENCH_FILES");
        count_ = wanted ? std::strtol(wanted, nullptr, 10) : 200000;
        std::string pattern = (std::filesystem::temp_directory_path() / "sorn-search-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
        for (long i = 0; i < count_; ++i) {
            const std::string name = path_ + "/file" + std::to_string(i) + ".wav";
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) std::abort();
            ::close(fd);
        }
    }
    ~Folder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    std::string Pattern() const { return path_ + "/*"; }
    long Count() const { return count_; }

private:
    std::string path_;
    long count_ = 0;
};

// Bytes allocated and not yet freed, the large (mapped) blocks included.
std::size_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

void BM_FirstAnswer(benchmark::State& state) {
    const std::string pattern = TheFolder().Pattern();
    WIN32_FIND_DATAA data;
    double heldBytes = 0;
    for (auto _ : state) {
        const auto before = HeapInUse();
        HANDLE search = FindFirstFileA(pattern.c_str(), &data);
        heldBytes = static_cast<double>(HeapInUse()) - static_cast<double>(before);
        benchmark::DoNotOptimize(data);
        FindClose(search);
    }
    state.counters["files"] = static_cast<double>(TheFolder().Count());
    state.counters["heap_held_MB"] = heldBytes / (1024.0 * 1024.0);
}
BENCHMARK(BM_FirstAnswer)->Unit(benchmark::kMillisecond);

void BM_WholeWalk(benchmark::State& state) {
    const std::string pattern = TheFolder().Pattern();
    WIN32_FIND_DATAA data;
    long found = 0;
    for (auto _ : state) {
        found = 0;
        HANDLE search = FindFirstFileA(pattern.c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do ++found;
            while (FindNextFileA(search, &data));
            FindClose(search);
        }
    }
    state.counters["entries"] = static_cast<double>(found);
}
BENCHMARK(BM_WholeWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
