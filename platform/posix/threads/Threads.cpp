// Worker threads with the platform's thread services, over std::thread.
//
// A worker created suspended is a std::thread parked on a condition variable
// until its fate is decided: ResumeThread releases it to run the routine,
// CloseHandle of a never-resumed worker releases it to end without running
// it (and joins it, so nothing is left behind). A worker whose handle is
// closed while it runs is detached and ends on its own; one whose handle is
// closed after it ended is joined.
#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/Threads.h"
#include "threading/Mutex.h"

namespace {

enum class WorkerState { Suspended, Running, Ended, Abandoned };

struct Worker {
    sorn::Mutex mutex;
    sorn::CondVar changed;
    WorkerState state SORN_GUARDED_BY(mutex) = WorkerState::Suspended;
    LPTHREAD_START_ROUTINE routine = nullptr;
    void* parameter = nullptr;
    DWORD id = 0;
    std::thread thread;  // touched only under the table's lock
};

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;

// Handles of open workers. Never destroyed, so workers that outlive static
// destruction still find it.
struct WorkerTable {
    sorn::Mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Worker>> workers SORN_GUARDED_BY(mutex);
    std::uintptr_t nextHandle SORN_GUARDED_BY(mutex) = 0x7000;
};

WorkerTable& Table() {
    static WorkerTable* table = new WorkerTable();
    return *table;
}

std::shared_ptr<Worker> Find(HANDLE handle) {
    WorkerTable& table = Table();
    sorn::MutexLock lock(table.mutex);
    auto it = table.workers.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.workers.end() ? nullptr : it->second;
}

void WorkerMain(std::shared_ptr<Worker> worker) {
    currentThreadId = worker->id;
    {
        sorn::MutexLock lock(worker->mutex);
        while (worker->state == WorkerState::Suspended) worker->changed.Wait(worker->mutex);
        if (worker->state == WorkerState::Abandoned) return;
    }
    worker->routine(worker->parameter);
    sorn::MutexLock lock(worker->mutex);
    worker->state = WorkerState::Ended;
    worker->changed.NotifyAll();
}

}  // namespace

HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE routine, void* parameter, DWORD flags,
                    DWORD* threadId) {
    if (!routine) return nullptr;
    auto worker = std::make_shared<Worker>();
    worker->routine = routine;
    worker->parameter = parameter;
    worker->id = nextThreadId.fetch_add(1);
    if (!(flags & CREATE_SUSPENDED)) {
        sorn::MutexLock lock(worker->mutex);  // not yet shared: no one else takes it
        worker->state = WorkerState::Running;
    }

    WorkerTable& table = Table();
    sorn::MutexLock lock(table.mutex);
    try {
        worker->thread = std::thread(WorkerMain, worker);
    } catch (const std::system_error&) {
        return nullptr;  // no thread to be had
    }
    std::uintptr_t handle = table.nextHandle;
    table.nextHandle += 8;
    table.workers.emplace(handle, worker);
    if (threadId) *threadId = worker->id;
    return reinterpret_cast<HANDLE>(handle);
}

DWORD ResumeThread(HANDLE handle) {
    std::shared_ptr<Worker> worker = Find(handle);
    if (!worker) return static_cast<DWORD>(-1);
    sorn::MutexLock lock(worker->mutex);
    if (worker->state != WorkerState::Suspended) return 0;
    worker->state = WorkerState::Running;
    worker->changed.NotifyAll();
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<Worker> worker;
    std::thread thread;
    {
        WorkerTable& table = Table();
        sorn::MutexLock lock(table.mutex);
        auto it = table.workers.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == table.workers.end()) return FALSE;
        worker = it->second;
        thread = std::move(worker->thread);
        table.workers.erase(it);
    }
    bool join = false;
    {
        sorn::MutexLock lock(worker->mutex);
        if (worker->state == WorkerState::Suspended) {
            worker->state = WorkerState::Abandoned;
            worker->changed.NotifyAll();
            join = true;  // it ends at once without running the routine
        } else if (worker->state == WorkerState::Ended) {
            join = true;  // only its last few instructions are left
        }
    }
    if (join && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    } else {
        thread.detach();  // still running: it ends on its own
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<Worker> worker = Find(handle);
    if (!worker) return WAIT_FAILED;
    if (worker->id == currentThreadId) return WAIT_FAILED;  // waiting for itself
    sorn::MutexLock lock(worker->mutex);
    if (milliseconds == INFINITE) {
        while (worker->state != WorkerState::Ended) worker->changed.Wait(worker->mutex);
        return WAIT_OBJECT_0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (worker->state != WorkerState::Ended)
        if (!worker->changed.WaitUntil(worker->mutex, deadline)) break;
    return worker->state == WorkerState::Ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD GetCurrentThreadId() {
    if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(1);
    return currentThreadId;
}
