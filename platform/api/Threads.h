#pragma once
// Worker threads with the platform's thread services: a worker can be created
// suspended and runs only once resumed.
//
// Contract, each point relied on by capture's auto-stop worker:
// - CreateThread with CREATE_SUSPENDED returns a handle; the routine does not
//   run until ResumeThread.
// - ResumeThread of a suspended worker lets it run and returns 1 (the
//   previous suspend count); of a running or ended worker it does nothing and
//   returns 0; of a bad handle it returns (DWORD)-1.
// - CloseHandle drops the handle. A worker that was never resumed is
//   abandoned: it never runs, and its thread ends and is reclaimed. A
//   running worker goes on and is reclaimed when it ends.
// - WaitForSingleObject waits (with a timeout in milliseconds, or INFINITE)
//   until the worker has ended. A worker never resumed never ends on its own.
// All functions are safe from any thread, including from inside the worker
// (a worker waiting for itself gets WAIT_FAILED at once).
#include "platform/WinTypes.h"

typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);

constexpr DWORD CREATE_SUSPENDED = 0x00000004u;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

SORN_WIN_API HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE routine, void* parameter,
                                 DWORD flags, DWORD* threadId);
SORN_WIN_API DWORD ResumeThread(HANDLE thread);
SORN_WIN_API BOOL CloseHandle(HANDLE handle);
SORN_WIN_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// The calling thread's identifier (the same numbering as CreateThread's).
SORN_WIN_API DWORD GetCurrentThreadId();
