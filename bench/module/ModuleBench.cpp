// Module start-up as a host sees it, on the virtual device:
//   to_factory   dlopen of the module until its class factory is installed
//                in the core's registry
//   to_device    dlopen until the first playback object built by that
//                factory has its wave device open
// The library cannot be unloaded, so every load runs in a new process
// (fork); the times are measured inside it. Counters give medians (and the
// largest time to the device), in milliseconds.
// Run: build/plain/bench/module/module_bench
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Times {
    double factoryMs = -1;
    double deviceMs = -1;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// In the child: load, find the factory, open a playback device.
Times LoadOnce() {
    Times times;
    const auto start = Clock::now();
    void* module = ::dlopen(SORN_BENCH_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto* factory = module ? dynamic_cast<ISornClassFactory*>(SornDataSys::ClassFactory()) : nullptr;
    if (!factory) return times;
    times.factoryMs = Ms(Clock::now() - start);
    IWave* clip = factory->CreateWave();
    IWaveDevice* device = factory->CreateWaveDevice();
    IWaveOut* player = factory->CreateWaveOut();
    player->SetWave(clip);
    player->SetDevice(device);
    if (player->Open()) times.deviceMs = Ms(Clock::now() - start);
    player->Close();
    return times;
}

Times InNewProcess() {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const Times times = LoadOnce();
        [[maybe_unused]] const ssize_t written = ::write(fds[1], &times, sizeof times);
        ::_exit(0);
    }
    ::close(fds[1]);
    Times times;
    if (child < 0 || ::read(fds[0], &times, sizeof times) != static_cast<ssize_t>(sizeof times)) times = {};
    ::close(fds[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return times;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Both times come from the same loads; the iteration time is the one to the
// opened device.
void BM_ModuleStartUp(benchmark::State& state) {
    ::setenv("SORN_AUDIO", "virtual", 1);
    std::vector<double> factory, device;
    for (auto _ : state) {
        const Times times = InNewProcess();
        if (times.factoryMs < 0 || times.deviceMs < 0) {
            state.SkipWithError("the module did not load or the device did not open");
            return;
        }
        state.SetIterationTime(times.deviceMs / 1000.0);
        factory.push_back(times.factoryMs);
        device.push_back(times.deviceMs);
    }
    state.counters["to_factory_median_ms"] = Median(factory);
    state.counters["to_device_median_ms"] = Median(device);
    state.counters["to_device_max_ms"] = *std::max_element(device.begin(), device.end());
}

BENCHMARK(BM_ModuleStartUp)->UseManualTime()->Iterations(61)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
