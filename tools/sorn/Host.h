#pragma once
// What every command of sorn shares: the loaded module and the core's
// objects, the exit statuses and the one line of a failure, and the audio
// backend a command runs on.
//
// Conventions: help on stdout with status 0; status 0 on success, 1 on a
// failure at run time, 2 on a usage error; every failure is one line on
// stderr ("sorn: COMMAND: what failed: why"). Arguments and files are checked
// before any device opens.
#include <chrono>
#include <cstdint>
#include <string>

#include "core_contract/ClassFactory.h"
#include "core_contract/Engine.h"
#include "core_contract/Wave.h"
#include "threading/Mutex.h"
#include "tools/ModuleHost.h"

namespace sorn::tool {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// The loaded module; every command but --version and --help needs it.
sorn::host::LoadedModule& Module();
ISornClassFactory* Factory();

// One line on stderr for a failure: status 1; for a usage error: status 2.
int Fail(const std::string& command, const std::string& what);
int UsageError(const std::string& command, const std::string& what);

// Objects the core owns are given back with Delete.
template <typename T>
void Release(T*& object) {
    if (object) object->Delete();
    object = nullptr;
}

// Counts the signals of a callback; the main thread waits for a count.
class Event {
public:
    void Signal() SORN_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        ++count_;
        cv_.NotifyAll();
    }
    bool WaitFor(int target, std::chrono::milliseconds timeout) SORN_EXCLUDES(mutex_) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        MutexLock lock(mutex_);
        while (count_ < target) {
            if (!cv_.WaitUntil(mutex_, deadline)) return count_ >= target;
        }
        return true;
    }

private:
    Mutex mutex_;
    CondVar cv_;
    int count_ SORN_GUARDED_BY(mutex_) = 0;
};

// A callback of the core's wave objects that signals the Event in `user`.
void SignalEvent(std::uintptr_t user);

// The text of a core error (which it deletes), or "no reason given".
std::string ErrorText(const SornStringA* text);

// "1.50 s".
std::string Seconds(double seconds);

// Whether path can be written, without leaving a file behind.
bool Writable(const std::string& path, std::string& why);

// A core clip of 16-bit samples, referring to them (not a copy): they must
// outlive the clip.
IWave* MakeClip(const std::int16_t* samples, std::uint64_t frames, std::uint32_t rate, std::uint16_t channels);

// The module's pitch tracker: the one its engine uses.
PitchCallback Tracker();

// --- the audio backend -------------------------------------------------------

// The backend asked for: --backend, else SORN_AUDIO, else "auto"; and where
// the choice came from.
struct BackendChoice {
    std::string selection = "auto";
    std::string source = "default";
};

BackendChoice ChooseBackend(const std::string& option);

// Checks the name against the module's table of backends (BackendUsage)
// before anything else happens: an unknown one is a usage error whose line
// lists what the table offers. Options are the module's to check.
bool CheckBackend(const std::string& command, const BackendChoice& choice, int& status);

// "no sound server answered at ADDRESS".
std::string NoServer(const BackendChoice& choice);

// Selects the backend and says on stderr which one is in use and why.
bool StartBackend(const std::string& command, const BackendChoice& choice, int& status);

// The same in two steps, for a command that checks more against the
// backend (a --device) before it says which one is in use.
bool SelectBackend(const std::string& command, const BackendChoice& choice, int& status);
void AnnounceBackend(const BackendChoice& choice);

}  // namespace sorn::tool
