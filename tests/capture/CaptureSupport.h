#pragma once
// Shared pieces of the capture tests: the stepped virtual device fed with a
// counting signal, a scripted detector, and a probe for the user callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/CWaveDevice.h"
#include "audio/CWaveIn.h"
#include "core_contract/SornVad.h"
#include "platform/emulation/virtual/VirtualDevice.h"
#include "platform/emulation/wave/Backend.h"
#include "threading/Mutex.h"

namespace capture_test {

using sorn::audio::VirtualDevice;
using SornMedia::SornAudio::CWaveDevice;
using SornMedia::SornAudio::CWaveIn;
using SornMedia::SornAudio::SpeechDetector;

// Every sample the virtual input produced, in order: what the device
// delivered, since the signal never repeats a frame.
struct Signal {
    sorn::Mutex mutex;
    std::vector<std::int16_t> produced SORN_GUARDED_BY(mutex);

    static std::int16_t Value(std::uint64_t index) { return static_cast<std::int16_t>(index % 32749 - 16000); }

    void Install() {
        {
            sorn::MutexLock lock(mutex);
            produced.clear();
        }
        VirtualDevice::SetInputGenerator([this](std::int16_t* out, std::size_t count, std::uint64_t first) {
            sorn::MutexLock lock(mutex);
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = Value(first + i);
                produced.push_back(out[i]);
            }
        });
    }
    std::vector<std::int16_t> Produced() {
        sorn::MutexLock lock(mutex);
        return produced;
    }
    void Forget() {
        sorn::MutexLock lock(mutex);
        produced.clear();
    }
};

// The detector as the test scripts it: every block is counted, and the
// verdict is "speech ended" from block `endAt` on (0: never). Objects the
// fixture opens after Install are given it; one detector serves them all.
struct ScriptedDetector : SpeechDetector {
    std::atomic<int> calls{0};
    std::atomic<int> endAt{0};
    std::atomic<bool> installed{false};
    sorn::Mutex mutex;
    std::thread::id thread SORN_GUARDED_BY(mutex);  // the thread the detector last ran on

    void Restart(unsigned) override {}
    SornVADFlag Detect(const short*, unsigned) override {
        {
            sorn::MutexLock lock(mutex);
            thread = std::this_thread::get_id();
        }
        const int call = ++calls;
        const int end = endAt.load();
        return end > 0 && call >= end ? SORN_VAD_SPEECH_END : SORN_VAD_SPEECH;
    }
    void Install() { installed = true; }
    std::thread::id Thread() {
        sorn::MutexLock lock(mutex);
        return thread;
    }
};

// A detector whose verdict is a function of the block's length alone.
struct VerdictByLength : SpeechDetector {
    explicit VerdictByLength(SornVADFlag (*rule)(unsigned count)) : verdict(rule) {}
    void Restart(unsigned) override {}
    SornVADFlag Detect(const short*, unsigned count) override { return verdict(count); }
    SornVADFlag (*const verdict)(unsigned count);
};

// The user callback: counts its calls, keeps the value and thread of the
// last one, and can collect the clip from inside the callback.
struct CallbackProbe {
    std::mutex mutex;
    std::condition_variable called;
    int count = 0;
    unsigned long user = 0;
    std::thread::id thread;
    CWaveIn* capture = nullptr;  // MakeWave is called on it inside the callback
    bool deleteInCallback = false;  // the callback destroys the capture object
    int recordsInCallback = 0;  // the callback starts this many new recordings
    std::vector<std::int16_t> clip;  // what MakeWave gave inside the callback
    bool clipNull = false;
    int recordingInCallback = -1;

    static inline std::atomic<CallbackProbe*> current{nullptr};
    static void Callback(unsigned long user) {
        CallbackProbe* self = current.load();
        std::lock_guard lock(self->mutex);
        self->thread = std::this_thread::get_id();
        self->user = user;
        if (self->capture) {
            self->recordingInCallback = self->capture->IsRecording();
            IWave* wave = self->capture->MakeWave();
            self->clipNull = wave == nullptr;
            if (wave) {
                const auto* data = static_cast<const std::int16_t*>(wave->GetBuffer());
                self->clip.assign(data, data + wave->GetNumSamples());
            } else {
                self->clip.clear();
            }
            if (self->recordsInCallback > 0) {
                --self->recordsInCallback;
                self->capture->Record();
            }
            if (self->deleteInCallback) {
                self->capture->Delete();
                self->capture = nullptr;
            }
        }
        ++self->count;
        self->called.notify_all();
    }
    bool WaitFor(int calls, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        return called.wait_for(lock, timeout, [&] { return count >= calls; });
    }
    int Count() {
        std::lock_guard lock(mutex);
        return count;
    }
};

// The clip's samples (empty for null).
inline std::vector<std::int16_t> Samples(IWave* wave) {
    if (!wave || !wave->GetBuffer()) return {};
    const auto* data = static_cast<const std::int16_t*>(wave->GetBuffer());
    return std::vector<std::int16_t>(data, data + wave->GetNumSamples());
}

// Every test starts from a clean stepped virtual device with the counting
// signal as input and no scripted detector.
class VirtualCapture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sorn::audio::SelectBackend("virtual:clock=stepped"), MMSYSERR_NOERROR);
        VirtualDevice::Reset(VirtualDevice::Clock::Stepped);
        signal.Install();
        CallbackProbe::current = &probe;
    }
    void TearDown() override {
        VirtualDevice::Reset(VirtualDevice::Clock::Stepped);
        CallbackProbe::current = nullptr;
    }

    // An object opened on the default device, blocks of `blockSamples`
    // 16-bit mono samples; its detector is `given`, else the scripted one
    // once installed, else the core's.
    CWaveIn* OpenCapture(unsigned blockSamples, std::shared_ptr<SpeechDetector> given = nullptr) {
        if (!given && detector.installed) given = scripted;
        auto* capture = new CWaveIn(nullptr, std::move(given));
        capture->SetDevice(&device);
        EXPECT_EQ(capture->Open(blockSamples * 2), 1);
        return capture;
    }

    // An object of 160-sample blocks reporting to the probe with user value
    // `user`, its scripted detector saying "ended" at block `endAt`.
    CWaveIn* OpenProbedCapture(int endAt, std::uintptr_t user) {
        detector.endAt = endAt;
        detector.Install();
        CWaveIn* capture = OpenCapture(160);
        probe.capture = capture;
        capture->SetWaveInCB(&CallbackProbe::Callback, user);
        return capture;
    }

    CWaveDevice device{0xFFFFFFFFu};
    Signal signal;
    std::shared_ptr<ScriptedDetector> scripted = std::make_shared<ScriptedDetector>();
    ScriptedDetector& detector = *scripted;
    CallbackProbe probe;
};

}  // namespace capture_test
