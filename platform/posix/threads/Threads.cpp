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
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/Threads.h"

namespace {

enum class WorkerState { Suspended, Running, Ended, Abandoned };

struct Worker {
    std::mutex mutex;
    std::condition_variable changed;
    WorkerState state = WorkerState::Suspended;
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
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Worker>> workers;
    std::uintptr_t nextHandle = 0x7000;
};

WorkerTable& Table() {
    static WorkerTable* table = new WorkerTable();
    return *table;
}

std::shared_ptr<Worker> Find(HANDLE handle) {
    WorkerTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.workers.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.workers.end() ? nullptr : it->second;
}

void WorkerMain(std::shared_ptr<Worker> worker) {
    currentThreadId = worker->id;
    {
        std::unique_lock lock(worker->mutex);
        worker->changed.wait(lock, [&] { return worker->state != WorkerState::Suspended; });
        if (worker->state == WorkerState::Abandoned) return;
    }
    worker->routine(worker->parameter);
    std::lock_guard lock(worker->mutex);
    worker->state = WorkerState::Ended;
    worker->changed.notify_all();
}

}  // namespace

HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE routine, void* parameter, DWORD flags,
                    DWORD* threadId) {
    if (!routine) return nullptr;
    auto worker = std::make_shared<Worker>();
    worker->routine = routine;
    worker->parameter = parameter;
    worker->id = nextThreadId.fetch_add(1);
    if (!(flags & CREATE_SUSPENDED)) worker->state = WorkerState::Running;

    WorkerTable& table = Table();
    std::lock_guard lock(table.mutex);
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
    std::lock_guard lock(worker->mutex);
    if (worker->state != WorkerState::Suspended) return 0;
    worker->state = WorkerState::Running;
    worker->changed.notify_all();
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<Worker> worker;
    std::thread thread;
    {
        WorkerTable& table = Table();
        std::lock_guard lock(table.mutex);
        auto it = table.workers.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == table.workers.end()) return FALSE;
        worker = it->second;
        thread = std::move(worker->thread);
        table.workers.erase(it);
    }
    bool join = false;
    {
        std::lock_guard lock(worker->mutex);
        if (worker->state == WorkerState::Suspended) {
            worker->state = WorkerState::Abandoned;
            worker->changed.notify_all();
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
    std::unique_lock lock(worker->mutex);
    auto ended = [&] { return worker->state == WorkerState::Ended; };
    if (milliseconds == INFINITE) {
        worker->changed.wait(lock, ended);
        return WAIT_OBJECT_0;
    }
    return worker->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended) ? WAIT_OBJECT_0
                                                                                          : WAIT_TIMEOUT;
}

DWORD GetCurrentThreadId() {
    if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(1);
    return currentThreadId;
}
