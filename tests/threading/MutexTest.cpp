// The lock types of threading/Mutex.h do what std::mutex and
// std::condition_variable do: a scoped lock gives its mutex up for a stretch
// and takes it back, a wait wakes on a notice, and a timed wait ends at its
// deadline with the lock held again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "threading/Mutex.h"

namespace {

using namespace std::chrono_literals;

// True when another thread can take `mutex` now.
bool FreeForOthers(sorn::Mutex& mutex) {
    bool taken = false;
    std::thread other([&] {
        if (mutex.try_lock()) {
            taken = true;
            mutex.unlock();
        }
    });
    other.join();
    return taken;
}

TEST(Mutex, ScopedLockHoldsGivesUpAndTakesBackItsMutex) {
    sorn::Mutex mutex;
    {
        sorn::MutexLock lock(mutex);
        EXPECT_FALSE(FreeForOthers(mutex));
        lock.Unlock();
        EXPECT_TRUE(FreeForOthers(mutex));
        lock.Lock();
        EXPECT_FALSE(FreeForOthers(mutex));
    }
    EXPECT_TRUE(FreeForOthers(mutex));
    {
        // Left unlocked at the end of its scope: not unlocked twice.
        sorn::MutexLock lock(mutex);
        lock.Unlock();
    }
    EXPECT_TRUE(FreeForOthers(mutex));
    // A recursive mutex is taken again by the thread that holds it (in a
    // function of its own: the analysis knows no recursion).
    sorn::RecursiveMutex recursive;
    auto takeAgain = [&] { sorn::RecursiveMutexLock inner(recursive); };
    {
        sorn::RecursiveMutexLock outer(recursive);
        takeAgain();
    }
}

struct Flag {
    sorn::Mutex mutex;
    sorn::CondVar changed;
    bool ready SORN_GUARDED_BY(mutex) = false;
};

TEST(CondVar, WaitsWakeOnANoticeAndTimedWaitsEndAtTheirDeadlineLocked) {
    Flag flag;
    std::thread notifier([&] {
        std::this_thread::sleep_for(20ms);
        sorn::MutexLock lock(flag.mutex);
        flag.ready = true;
        flag.changed.NotifyAll();
    });
    {
        sorn::MutexLock lock(flag.mutex);
        while (!flag.ready) flag.changed.Wait(flag.mutex);
        EXPECT_TRUE(flag.ready);
        EXPECT_FALSE(FreeForOthers(flag.mutex));  // held again on return
    }
    notifier.join();

    // No notice comes: the timed wait ends (false) once the deadline passed,
    // never before, with the mutex held; one already past ends at once.
    sorn::MutexLock lock(flag.mutex);
    const auto deadline = std::chrono::steady_clock::now() + 30ms;
    while (flag.changed.WaitUntil(flag.mutex, deadline)) {
    }
    EXPECT_GE(std::chrono::steady_clock::now(), deadline);
    EXPECT_FALSE(FreeForOthers(flag.mutex));
    EXPECT_FALSE(flag.changed.WaitFor(flag.mutex, -1ms));
}

}  // namespace
