// Worker threads: suspended creation, resume, abandonment, waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Threads.h"

namespace {

struct Job {
    std::atomic<int> runs{0};
    std::atomic<DWORD> idInside{0};
    std::atomic<DWORD> selfWait{0};
    HANDLE self = nullptr;
    // A worker that waits for the test's go.
    std::mutex mutex;
    std::condition_variable cv;
    bool go = false;
};

DWORD Count(void* parameter) {
    auto* job = static_cast<Job*>(parameter);
    job->idInside = GetCurrentThreadId();
    ++job->runs;
    return 0;
}

DWORD CountAndWaitForSelf(void* parameter) {
    auto* job = static_cast<Job*>(parameter);
    job->selfWait = WaitForSingleObject(job->self, 1000);
    ++job->runs;
    return 0;
}

DWORD WaitForGo(void* parameter) {
    auto* job = static_cast<Job*>(parameter);
    {
        std::unique_lock lock(job->mutex);
        job->cv.wait_for(lock, std::chrono::seconds(30), [&] { return job->go; });
    }
    ++job->runs;  // the last touch of the job
    return 0;
}

void Go(Job& job) {
    std::lock_guard lock(job.mutex);
    job.go = true;
    job.cv.notify_all();
}

}  // namespace

TEST(Threads, ASuspendedWorkerRunsOnlyOnceResumed) {
    Job job;
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, Count, &job, CREATE_SUSPENDED, &id);
    ASSERT_NE(worker, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(worker, 30), WAIT_TIMEOUT);  // it does not end on its own
    EXPECT_EQ(job.runs, 0);
    EXPECT_EQ(ResumeThread(worker), 1u);
    EXPECT_EQ(WaitForSingleObject(worker, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(job.runs, 1);
    EXPECT_EQ(job.idInside, id);  // the same numbering inside and out
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    EXPECT_EQ(ResumeThread(worker), 0u);  // ended: nothing happens
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);
    EXPECT_EQ(job.runs, 1);
    EXPECT_EQ(CloseHandle(worker), TRUE);
}

TEST(Threads, ResumingARunningWorkerDoesNothing) {
    Job job;
    HANDLE worker = CreateThread(nullptr, 0, WaitForGo, &job, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(ResumeThread(worker), 1u);
    EXPECT_EQ(ResumeThread(worker), 0u);
    EXPECT_EQ(ResumeThread(worker), 0u);
    Go(job);
    EXPECT_EQ(WaitForSingleObject(worker, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(job.runs, 1);
    CloseHandle(worker);
}

TEST(Threads, AWorkerClosedBeforeItWasResumedNeverRuns) {
    // Many of them: under the leak checker nothing may be left behind.
    Job job;
    for (int i = 0; i < 200; ++i) {
        HANDLE worker = CreateThread(nullptr, 0, Count, &job, CREATE_SUSPENDED, nullptr);
        ASSERT_NE(worker, nullptr);
        ASSERT_EQ(CloseHandle(worker), TRUE);
        EXPECT_EQ(ResumeThread(worker), static_cast<DWORD>(-1));  // the handle is gone
    }
    EXPECT_EQ(job.runs, 0);  // CloseHandle waited for each to end without running
}

TEST(Threads, AWorkerWhoseHandleIsClosedWhileRunningGoesOn) {
    Job job;
    HANDLE worker = CreateThread(nullptr, 0, WaitForGo, &job, 0, nullptr);  // runs at once
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(ResumeThread(worker), 0u);
    EXPECT_EQ(CloseHandle(worker), TRUE);
    Go(job);
    for (int i = 0; i < 3000 && job.runs == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(job.runs, 1);
}

TEST(Threads, AWorkerWaitingForItselfFailsAtOnce) {
    Job job;
    job.self = CreateThread(nullptr, 0, CountAndWaitForSelf, &job, CREATE_SUSPENDED, nullptr);
    ResumeThread(job.self);
    EXPECT_EQ(WaitForSingleObject(job.self, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(job.selfWait, WAIT_FAILED);
    CloseHandle(job.self);
}

TEST(Threads, BadHandles) {
    int local = 0;
    EXPECT_EQ(CloseHandle(nullptr), FALSE);
    EXPECT_EQ(CloseHandle(&local), FALSE);
    EXPECT_EQ(ResumeThread(nullptr), static_cast<DWORD>(-1));
    EXPECT_EQ(WaitForSingleObject(&local, 0), WAIT_FAILED);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    HANDLE worker = CreateThread(nullptr, 0, Count, nullptr, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(CloseHandle(worker), TRUE);
    EXPECT_EQ(CloseHandle(worker), FALSE);  // closed twice
}
