// Backend selection: SORN_AUDIO on first use, SelectBackend in code, and the
// virtual device's real-time clock. One test per process state: the
// environment is read only once, so the first test sets it before anything
// opens a device.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "WaveTestSupport.h"
#include "platform/emulation/wave/BackendTable.h"

using namespace wavetest;
using sorn::audio::SelectBackend;
using sorn::audio::SelectedBackendName;
using sorn::audio::VirtualDevice;

namespace {

struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    int done = 0;
};

// Counts the headers a device returns (WOM_DONE, WIM_DATA) in the Waiter
// that is its user value.
template <typename Handle>
void CountReturned(Handle, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message != WOM_DONE && message != WIM_DATA) return;
    auto* waiter = reinterpret_cast<Waiter*>(instance);
    std::lock_guard lock(waiter->mutex);
    ++waiter->done;
    waiter->cv.notify_all();
}

}  // namespace

TEST(BackendSelection, TheEnvironmentNamesTheBackendAndCodeCanChangeIt) {
    ::setenv("SORN_AUDIO", "virtual:clock=stepped", 1);
    ASSERT_STREQ(SelectedBackendName(), "virtual");
    // Stepped from the environment: nothing plays until Advance.
    WAVEFORMATEX format = Pcm16();
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block block(16);
    Queue(device, {&block});
    EXPECT_EQ(block.header.dwFlags & WHDR_DONE, 0u);
    VirtualDevice::Advance(16);
    EXPECT_EQ(block.header.dwFlags & WHDR_DONE, WHDR_DONE);

    // Bad selections change nothing.
    EXPECT_EQ(SelectBackend(nullptr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend("no-such-backend"), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend("virtual:clock=sideways"), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend("virtual:colour=blue"), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend("virtual:period=0"), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend("auto:x"), MMSYSERR_INVALPARAM);
    EXPECT_STREQ(SelectedBackendName(), "virtual");

    // The table: every row is written NAME[:OPTIONS] and selects by its
    // name alone; the virtual device, which needs nothing, comes last.
    std::vector<std::string> names;
    for (UINT i = 0; sorn::audio::BackendUsage(i); ++i) {
        const std::string usage = sorn::audio::BackendUsage(i);
        names.push_back(usage.substr(0, usage.find('[')));
    }
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "virtual");
    for (const std::string& row : names) EXPECT_NE(sorn::audio::FindBackend(row), nullptr) << row;

    // "auto" takes the first row that answers (a sound server if one does),
    // else the virtual device; either way it returns.
    ASSERT_EQ(SelectBackend("auto"), MMSYSERR_NOERROR);
    std::string name = SelectedBackendName();
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    // A device already open keeps its backend.
    VirtualDevice::Advance(16);
    waveOutUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST(BackendSelection, TheRealTimeClockPlaysAtTheStreamRate) {
    ASSERT_EQ(SelectBackend("virtual:clock=realtime,period=2"), MMSYSERR_NOERROR);
    Waiter waiter;
    WAVEFORMATEX format = Pcm16(16000, 1);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(OpenWithCallback(&device, format, &CountReturned<HWAVEOUT>, &waiter), MMSYSERR_NOERROR);
    Block a(800), b(800);  // 50 ms each
    auto start = std::chrono::steady_clock::now();
    Queue(device, {&a, &b});
    {
        std::unique_lock lock(waiter.mutex);
        ASSERT_TRUE(waiter.cv.wait_for(lock, std::chrono::seconds(20), [&] { return waiter.done == 2; }));
    }
    // A clock can run late on a loaded machine, never early.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(device, &time, sizeof time), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.sample, 1600u);
    std::vector<std::int16_t> played = VirtualDevice::TakeOutput();
    ASSERT_EQ(played.size(), 1600u);
    EXPECT_TRUE(std::equal(a.data.begin(), a.data.end(), played.begin()));
    for (Block* block : {&a, &b}) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST(BackendSelection, TheRealTimeClockCapturesAtTheStreamRate) {
    ASSERT_EQ(SelectBackend("virtual:clock=realtime"), MMSYSERR_NOERROR);
    VirtualDevice::SetInputGenerator([](std::int16_t* out, std::size_t count, std::uint64_t first) {
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>((first + i) % 1000);
    });
    Waiter waiter;
    WAVEFORMATEX format = Pcm16(8000, 1);
    HWAVEIN device = nullptr;
    ASSERT_EQ(OpenWithCallback(&device, format, &CountReturned<HWAVEIN>, &waiter), MMSYSERR_NOERROR);
    Block a(400), b(400);  // 50 ms each
    Queue(device, {&a, &b});
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
    {
        std::unique_lock lock(waiter.mutex);
        ASSERT_TRUE(waiter.cv.wait_for(lock, std::chrono::seconds(20), [&] { return waiter.done == 2; }));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    for (std::size_t i = 0; i < 400; ++i) {
        ASSERT_EQ(a.data[i], static_cast<std::int16_t>(i));
        ASSERT_EQ(b.data[i], static_cast<std::int16_t>(400 + i));
    }
    ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
    for (Block* block : {&a, &b}) waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST(BackendSelection, AFailedVirtualSelectionLeavesTheDeviceAsItWas) {
    ASSERT_EQ(SelectBackend("virtual:clock=stepped"), MMSYSERR_NOERROR);
    VirtualDevice::SetInputSamples({11, 12, 13, 14}, true);
    // Each fails on its input or output file, after options that would
    // otherwise have been applied (and a real-time clock that would run).
    const std::string missingIn = ::testing::TempDir() + "sorn-no-such-input.wav";
    const std::string badOut = ::testing::TempDir() + "sorn-no-such-folder/out.wav";
    EXPECT_EQ(SelectBackend(("virtual:clock=realtime,out=memory,in=" + missingIn).c_str()), MMSYSERR_INVALPARAM);
    EXPECT_EQ(SelectBackend(("virtual:in=silence,out=" + badOut).c_str()), MMSYSERR_INVALPARAM);

    // Still stepped, still the looped samples.
    WAVEFORMATEX format = Pcm16();
    HWAVEIN device = nullptr;
    ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block block(6);
    Queue(device, {&block});
    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
    EXPECT_EQ(block.header.dwFlags & WHDR_DONE, 0u);
    VirtualDevice::Advance(6);
    EXPECT_EQ(block.header.dwFlags & WHDR_DONE, WHDR_DONE);
    EXPECT_EQ(block.data, (std::vector<std::int16_t>{11, 12, 13, 14, 11, 12}));
    ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
    waveInUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}
