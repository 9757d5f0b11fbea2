// Threads on CreateThread. The handle gives the timed wait, the exit code
// (STILL_ACTIVE while the thread runs) and the forced end that only Windows
// offers.

#include "platform/admit.h"
#include "platform/platform.h"

#include <windows.h>

#include <new>

namespace tarvik {
namespace plat {

static_assert(kStillActive == STILL_ACTIVE, "the core's still-active code is the system's");

struct Thread {
    HANDLE handle;
};

namespace {

// What the new thread needs to call the core's procedure; it frees this
// before the call. A thread terminated before it ran leaks these few bytes.
struct Start {
    ThreadProc proc;
    void* arg;
    bool exempt;  // from failure injection, as its creator
};

DWORD WINAPI ThreadMain(LPVOID raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    inject::SetExempt(start.exempt);
    return start.proc(start.arg);
}

}  // namespace

Thread* ThreadCreate(ThreadProc proc, void* arg, uint32_t* id) {
    if (!Admit(proc != nullptr, ERROR_INVALID_PARAMETER, inject::kThread,
               ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    Thread* thread = new (std::nothrow) Thread;
    Start* start =
        thread != nullptr ? new (std::nothrow) Start{proc, arg, inject::IsExempt()} : nullptr;
    if (start == nullptr) {
        delete thread;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD threadId = 0;
    thread->handle = CreateThread(nullptr, 0, ThreadMain, start, 0, &threadId);
    if (thread->handle == nullptr) {
        const DWORD error = GetLastError();
        delete start;
        delete thread;
        SetLastError(error);
        return nullptr;
    }
    if (id != nullptr) {
        *id = threadId;
    }
    return thread;
}

bool ThreadWait(Thread* thread, int32_t milliseconds) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(thread->handle, timeout) == WAIT_OBJECT_0;
}

bool ThreadExitCode(Thread* thread, uint32_t* code) {
    if (thread == nullptr || code == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeThread(thread->handle, &exitCode)) {
        return false;
    }
    *code = exitCode;
    return true;
}

bool ThreadTerminate(Thread* thread, uint32_t exitCode) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return TerminateThread(thread->handle, exitCode) != 0;
}

void ThreadClose(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    CloseHandle(thread->handle);  // a running thread goes on without its handle
    delete thread;
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

}  // namespace plat
}  // namespace tarvik
