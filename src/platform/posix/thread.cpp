// Threads on pthreads, with what the core expects of a Windows thread handle:
// a timed wait for the end, the exit code (STILL_ACTIVE while running) and a
// handle that can be closed while the thread still runs.
//
// The state that the thread and its handle share is reference-counted: the
// thread drops its reference as it ends, the handle as it is closed, and the
// last of the two frees it, so closing a running thread leaks nothing.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/admit.h"
#include "platform/platform.h"
#include "platform/posix/monotonic_wait.h"

namespace tarvik {
namespace plat {

namespace {

// Thread ids: a counter, handed to each thread on its first question (or at
// its creation for the threads started here). 0 is never an id.
std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

uint32_t NewThreadId() {
    uint32_t id;
    do {
        id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    } while (id == 0);
    return id;
}

struct ThreadState {
    pthread_mutex_t mutex;
    pthread_cond_t ended;  // on the monotonic clock
    bool done = false;
    uint32_t exitCode = kStillActive;
    std::atomic<int> refs{2};  // the thread and the handle
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    uint32_t id = 0;
    bool exempt = false;  // from failure injection, as its creator
};

ThreadState* NewState() {
    ThreadState* state = new (std::nothrow) ThreadState;
    if (state == nullptr) {
        return nullptr;
    }
    pthread_mutex_init(&state->mutex, nullptr);
    MonotonicCondInit(&state->ended);
    return state;
}

void DeleteState(ThreadState* state) {
    pthread_cond_destroy(&state->ended);
    pthread_mutex_destroy(&state->mutex);
    delete state;
}

void Release(ThreadState* state) {
    if (state->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        DeleteState(state);
    }
}

void* ThreadMain(void* raw) {
    ThreadState* state = static_cast<ThreadState*>(raw);
    t_threadId = state->id;
    inject::SetExempt(state->exempt);
    const uint32_t code = state->proc(state->arg);
    pthread_mutex_lock(&state->mutex);
    state->exitCode = code;
    state->done = true;
    pthread_cond_broadcast(&state->ended);
    pthread_mutex_unlock(&state->mutex);
    Release(state);
    return nullptr;
}

}  // namespace

struct Thread {
    pthread_t handle;
    ThreadState* state;
};

Thread* ThreadCreate(ThreadProc proc, void* arg, uint32_t* id) {
    if (!Admit(proc != nullptr, EINVAL, inject::kThread, EAGAIN)) {
        return nullptr;
    }
    Thread* thread = new (std::nothrow) Thread;
    ThreadState* state = thread != nullptr ? NewState() : nullptr;
    if (state == nullptr) {
        delete thread;
        SetLastErrorCode(ENOMEM);
        return nullptr;
    }
    state->proc = proc;
    state->arg = arg;
    state->id = NewThreadId();
    state->exempt = inject::IsExempt();
    const int rc = pthread_create(&thread->handle, nullptr, ThreadMain, state);
    if (rc != 0) {
        DeleteState(state);
        delete thread;
        SetLastErrorCode(rc);
        return nullptr;
    }
    thread->state = state;
    if (id != nullptr) {
        *id = state->id;
    }
    return thread;
}

bool ThreadWait(Thread* thread, int32_t milliseconds) {
    if (thread == nullptr) {
        SetLastErrorCode(EINVAL);
        return false;
    }
    ThreadState* state = thread->state;
    pthread_mutex_lock(&state->mutex);
    const bool done = WaitForFlag(&state->ended, &state->mutex, &state->done, milliseconds);
    pthread_mutex_unlock(&state->mutex);
    return done;
}

bool ThreadExitCode(Thread* thread, uint32_t* code) {
    if (thread == nullptr || code == nullptr) {
        SetLastErrorCode(EINVAL);
        return false;
    }
    ThreadState* state = thread->state;
    pthread_mutex_lock(&state->mutex);
    *code = state->done ? state->exitCode : kStillActive;
    pthread_mutex_unlock(&state->mutex);
    return true;
}

bool ThreadTerminate(Thread* thread, uint32_t exitCode) {
    (void)thread;
    (void)exitCode;
    // Cancelling or killing one thread of a process can leave locks held and
    // memory half-written; the caller keeps waiting instead.
    SetLastErrorCode(ENOTSUP);
    return false;
}

void ThreadClose(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    ThreadState* state = thread->state;
    pthread_mutex_lock(&state->mutex);
    const bool done = state->done;
    pthread_mutex_unlock(&state->mutex);
    if (done) {
        // It is past its procedure; joining only waits for its last steps.
        pthread_join(thread->handle, nullptr);
    } else {
        pthread_detach(thread->handle);
    }
    Release(state);
    delete thread;
}

uint32_t CurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = NewThreadId();
    }
    return t_threadId;
}

}  // namespace plat
}  // namespace tarvik
