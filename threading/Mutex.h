// A mutex the thread-safety analysis knows (threading/ThreadSafety.h), its
// scoped lock, and a condition variable that waits on it.
//
//   Mutex mutex_;
//   int count_ SORN_GUARDED_BY(mutex_) = 0;
//   CondVar changed_;
//
//   MutexLock lock(mutex_);
//   while (count_ == 0) changed_.Wait(mutex_);
//
// Waits are written as loops around Wait/WaitUntil rather than with a
// predicate: the analysis does not see into a lambda, so a predicate that
// reads guarded members would need the lock it cannot see.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "threading/ThreadSafety.h"

namespace sorn {

// std::mutex with the analysis' attributes. Not recursive.
class SORN_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() SORN_ACQUIRE() { mutex_.lock(); }
    void unlock() SORN_RELEASE() { mutex_.unlock(); }
    bool try_lock() SORN_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

    // Tells the analysis the lock is held where it cannot follow (a
    // callback run by code that took the lock); checks nothing at run time.
    void AssertHeld() const SORN_ASSERT_CAPABILITY(this) {}

private:
    friend class CondVar;
    std::mutex mutex_;
};

// std::recursive_mutex with the attributes. The analysis knows no recursion:
// a function that takes it again while held is written without
// SORN_EXCLUDES, and the recursion is the mutex's own business.
class SORN_CAPABILITY("mutex") RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() SORN_ACQUIRE() { mutex_.lock(); }
    void unlock() SORN_RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a mutex for its scope; Unlock and Lock give it up for a stretch
// (around a call that must run unlocked) and take it back.
template <class M>
class SORN_SCOPED_CAPABILITY BasicLock {
public:
    explicit BasicLock(M& mutex) SORN_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~BasicLock() SORN_RELEASE() {
        if (held_) mutex_.unlock();
    }
    BasicLock(const BasicLock&) = delete;
    BasicLock& operator=(const BasicLock&) = delete;

    void Unlock() SORN_RELEASE() {
        mutex_.unlock();
        held_ = false;
    }
    void Lock() SORN_ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }

private:
    M& mutex_;
    bool held_ = true;
};

using MutexLock = BasicLock<Mutex>;
using RecursiveMutexLock = BasicLock<RecursiveMutex>;

// std::condition_variable over Mutex: the caller holds the mutex, which is
// given up while waiting and held again on return (as the analysis sees
// it, held throughout).
class CondVar {
public:
    void Wait(Mutex& mutex) SORN_REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }
    // False when the deadline passed (the condition may still have come).
    template <class Clock, class Duration>
    bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) SORN_REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    template <class Rep, class Period>
    bool WaitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) SORN_REQUIRES(mutex) {
        return WaitUntil(mutex, std::chrono::steady_clock::now() + timeout);
    }
    void NotifyOne() noexcept { cv_.notify_one(); }
    void NotifyAll() noexcept { cv_.notify_all(); }

private:
    std::condition_variable cv_;
};

}  // namespace sorn
