// Placeholder until the worker threads are built.
#include "platform/Threads.h"

HANDLE CreateThread(void*, std::size_t, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*) { return nullptr; }
DWORD ResumeThread(HANDLE) { return static_cast<DWORD>(-1); }
BOOL CloseHandle(HANDLE) { return FALSE; }
DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_FAILED; }
DWORD GetCurrentThreadId() { return 0; }
