// The POSIX side of the platform seam: locks, events, threads, the clock,
// diagnostics, shared mappings and the named mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "child_process.h"
#include "platform/inject.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tarvik {
namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `done` until it holds or `ms` have passed.
template <typename Pred>
bool WaitFor(Pred done, int ms = 10000) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        SleepMs(1);
    }
    return true;
}

// The system's codes for "no such object" and "invalid argument".
#if defined(_WIN32)
constexpr int32_t kNotFound = ERROR_FILE_NOT_FOUND;
constexpr int32_t kInvalidArgument = ERROR_INVALID_PARAMETER;
#else
constexpr int32_t kNotFound = ENOENT;
constexpr int32_t kInvalidArgument = EINVAL;
#endif

#if !defined(_WIN32)
std::string ShmPath(const char* name) {
    return "/dev/shm/" + ObjectName(name);
}
std::string LockPath(const char* name) {
    return ShmPath(name) + ".lock";
}

// Sets the umask for one scope.
class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
    ~UmaskScope() { umask(old_); }

  private:
    mode_t old_;
};

mode_t ModeOf(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return info.st_mode & 0777;
}
#endif

// ---- Locks and events ---------------------------------------------------------------------

struct Counter {
    CLock lock;
    int64_t value = 0;
};

uint32_t CountUnderLock(void* arg) {
    Counter* counter = static_cast<Counter*>(arg);
    for (int i = 0; i < 20000; ++i) {
        CLockHold outer(counter->lock);
        CLockHold inner(counter->lock);  // the owner enters again
        counter->value = counter->value + 1;
    }
    return 0;
}

// Runs `proc` over `arg` on two threads at once, and `meanwhile` on this one
// once both have started; both must end within ms.
template <typename F>
void RunOnTwoThreads(ThreadProc proc, void* arg, uint32_t ms, F meanwhile) {
    Thread* a = ThreadCreate(proc, arg, nullptr);
    Thread* b = ThreadCreate(proc, arg, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    meanwhile();
    EXPECT_TRUE(ThreadWait(a, ms));
    EXPECT_TRUE(ThreadWait(b, ms));
    ThreadClose(a);
    ThreadClose(b);
}

TEST(PlatformLock, ReentrantAndExclusive) {
    Counter counter;
    RunOnTwoThreads(CountUnderLock, &counter, 30000, [] {});
    CLockHold hold(counter.lock);
    EXPECT_EQ(counter.value, 40000);
}

TEST(PlatformEvent, AutoResetConsumesOneSignal) {
    CEvent event;
    EXPECT_FALSE(event.Wait(0));  // starts not signalled
    event.Set();
    event.Set();  // signals do not add up
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

struct TwoWaiters {
    CEvent event;
    std::atomic<int> woken{0};
};

uint32_t WaitBriefly(void* arg) {
    TwoWaiters* shared = static_cast<TwoWaiters*>(arg);
    if (shared->event.Wait(300)) {
        shared->woken.fetch_add(1);
    }
    return 0;
}

TEST(PlatformEvent, OneSetWakesOneWaiter) {
    TwoWaiters shared;
    RunOnTwoThreads(WaitBriefly, &shared, 10000, [&] { shared.event.Set(); });
    // Whoever waited first took the signal; the other one timed out.
    EXPECT_EQ(shared.woken.load(), 1);
    EXPECT_FALSE(shared.event.Wait(0));
}

uint32_t SignalEvent(void* arg) {
    static_cast<CEvent*>(arg)->Set();
    return 0;
}

TEST(PlatformEvent, TimedWait) {
    CEvent event;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(event.Wait(100));
    EXPECT_GE(MsSince(start), 95);

    Thread* setter = ThreadCreate(SignalEvent, &event, nullptr);
    ASSERT_NE(setter, nullptr);
    EXPECT_TRUE(event.Wait(10000));  // woken by the other thread
    EXPECT_TRUE(ThreadWait(setter, 10000));
    ThreadClose(setter);
}

// Spinning watches the signal without consuming it: the wait that follows
// takes it, and a spin that sees nothing gives up and leaves a later signal
// for the wait.
TEST(PlatformEvent, SpinNeitherConsumesNorLosesTheSignal) {
    CEvent event;
    EXPECT_FALSE(event.Spin(200));
    event.Set();
    EXPECT_TRUE(event.Spin(0));
    EXPECT_TRUE(event.Spin(200));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Spin(0));

    Thread* setter = ThreadCreate(SignalEvent, &event, nullptr);
    ASSERT_NE(setter, nullptr);
    event.Spin(1000);  // sees the signal or gives up, on one CPU at once
    EXPECT_TRUE(event.Wait(10000));
    EXPECT_FALSE(event.Spin(0));
    EXPECT_TRUE(ThreadWait(setter, 10000));
    ThreadClose(setter);
}

// ---- Threads ------------------------------------------------------------------------------

struct Gate {
    CEvent open;
    std::atomic<uint32_t> seenId{0};
    std::atomic<bool> finished{false};
};

uint32_t WaitAtGate(void* arg) {
    Gate* gate = static_cast<Gate*>(arg);
    gate->seenId.store(CurrentThreadId());
    gate->open.Wait(-1);
    gate->finished.store(true);
    return 42;
}

TEST(PlatformThread, ExitCodeAndTimedWait) {
    Gate gate;
    uint32_t id = 0;
    Thread* thread = ThreadCreate(WaitAtGate, &gate, &id);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 0;
    EXPECT_TRUE(ThreadExitCode(thread, &code));
    EXPECT_EQ(code, kStillActive);
    EXPECT_FALSE(ThreadWait(thread, 20));
#if !defined(_WIN32)
    EXPECT_FALSE(ThreadTerminate(thread, 7));  // no forced end on POSIX
#endif
    EXPECT_TRUE(ThreadExitCode(thread, &code));
    EXPECT_EQ(code, kStillActive);

    gate.open.Set();
    EXPECT_TRUE(ThreadWait(thread, 10000));
    EXPECT_TRUE(ThreadWait(thread, 0));  // stays ended
    EXPECT_TRUE(ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 42u);

    // The id from ThreadCreate is the one the thread sees for itself.
    EXPECT_NE(id, 0u);
    EXPECT_EQ(gate.seenId.load(), id);
    EXPECT_NE(CurrentThreadId(), id);
    EXPECT_EQ(CurrentThreadId(), CurrentThreadId());
    ThreadClose(thread);
}

#if defined(_WIN32)
TEST(PlatformThread, TerminateEndsAHungThread) {
    Gate gate;  // never opened: the thread hangs
    Thread* thread = ThreadCreate(WaitAtGate, &gate, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(WaitFor([&] { return gate.seenId.load() != 0; }));
    EXPECT_TRUE(ThreadTerminate(thread, 7));
    EXPECT_TRUE(ThreadWait(thread, 10000));
    uint32_t code = 0;
    EXPECT_TRUE(ThreadExitCode(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(gate.finished.load());
    ThreadClose(thread);
}
#endif

TEST(PlatformThread, CloseWhileRunning) {
    Gate gate;
    Thread* thread = ThreadCreate(WaitAtGate, &gate, nullptr);
    ASSERT_NE(thread, nullptr);
    ThreadClose(thread);  // detached; the thread frees the shared state
    gate.open.Set();
    EXPECT_TRUE(WaitFor([&] { return gate.finished.load(); }));
}

TEST(PlatformThread, CreateFailureSetsLastError) {
    SetLastErrorCode(0);
    EXPECT_EQ(ThreadCreate(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(LastErrorCode(), kInvalidArgument);
}

// ---- Clock, diagnostics, errors -----------------------------------------------------------

uint32_t FakeTick() {
    return 0xFFFFFFF0u;
}

// The n-th call of a kind fails as the system would, or every call from the
// n-th on; exempt threads, and the threads they start, are not counted.
TEST(PlatformInjection, NthCallOnceOrOnwardAndExemptThreads) {
    inject::testing::Reset();
    inject::testing::Arm(inject::kThread, 2, false);
    auto proc = [](void*) -> uint32_t { return 5; };
    Thread* first = ThreadCreate(proc, nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ThreadCreate(proc, nullptr, nullptr), nullptr);
    EXPECT_NE(LastErrorCode(), 0);
    Thread* third = ThreadCreate(proc, nullptr, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(inject::testing::Calls(inject::kThread), 3);

    inject::testing::Arm(inject::kEvent, 2, true);
    CEvent kept;
    EXPECT_TRUE(kept.IsValid());
    for (int i = 0; i < 3; ++i) {
        CEvent failed;
        EXPECT_FALSE(failed.IsValid());
    }
    {
        inject::testing::Exempt exempt;
        CEvent spared;
        EXPECT_TRUE(spared.IsValid());
        // A thread started from an exempt one is exempt too.
        Thread* child = ThreadCreate(
            [](void*) -> uint32_t {
                CEvent inherited;
                return inherited.IsValid() ? 1 : 0;
            },
            nullptr, nullptr);
        ASSERT_NE(child, nullptr);
        uint32_t code = 0;
        EXPECT_TRUE(ThreadWait(child, 5000));
        EXPECT_TRUE(ThreadExitCode(child, &code));
        EXPECT_EQ(code, 1u);
        ThreadClose(child);
    }
    inject::testing::Reset();
    CEvent again;
    EXPECT_TRUE(again.IsValid());
    for (Thread* t : {first, third}) {
        ThreadWait(t, 5000);
        ThreadClose(t);
    }
}

TEST(PlatformClock, TickSourceAndSleep) {
    SetTickSource(FakeTick);
    EXPECT_EQ(TickCount(), 0xFFFFFFF0u);
    SetTickSource(nullptr);

#if defined(_WIN32)
    const uint32_t expected = GetTickCount();
#else
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint32_t expected = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                                    static_cast<uint64_t>(now.tv_nsec) / 1000000u);
#endif
    const uint32_t first = TickCount();
    EXPECT_LT(static_cast<uint32_t>(first - expected), 1000u);  // the system's tick, in ms

    const Clock::time_point start = Clock::now();
    SleepMs(30);
    EXPECT_GE(MsSince(start), 29);
#if defined(_WIN32)
    // GetTickCount moves in steps of the system timer (about 16 ms).
    EXPECT_GE(static_cast<uint32_t>(TickCount() - first), 29u - 16u);
#else
    EXPECT_GE(static_cast<uint32_t>(TickCount() - first), 29u);
#endif
}

std::string* g_captured = nullptr;
void CaptureDebug(const char* text) {
    g_captured->append(text);
}

TEST(PlatformDiagnostics, DebugSinkCapturesOutput) {
    std::string captured;
    g_captured = &captured;
    SetDebugSink(CaptureDebug);
    DebugOutput("session ended\n");
    DebugOutput(nullptr);
    SetDebugSink(nullptr);
    g_captured = nullptr;
    EXPECT_EQ(captured, "session ended\n");
}

uint32_t ReadLastError(void* arg) {
    *static_cast<int32_t*>(arg) = LastErrorCode();
    return 0;
}

TEST(PlatformDiagnostics, LastErrorAndItsText) {
    SetLastErrorCode(kNotFound);
    EXPECT_EQ(LastErrorCode(), kNotFound);
    int32_t other = -1;
    Thread* thread = ThreadCreate(ReadLastError, &other, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(ThreadWait(thread, 10000));
    ThreadClose(thread);
    EXPECT_EQ(other, 0);  // each thread has its own
    EXPECT_EQ(LastErrorCode(), kNotFound);

    std::string text;
    EXPECT_TRUE(SystemErrorText(kNotFound, &text));
#if defined(_WIN32)
    // The system's own wording, with the line break its texts end with.
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(LastErrorCode(), kNotFound);  // asking for a text sets no error
#else
    EXPECT_EQ(text, std::strerror(ENOENT));
#endif
    text = "untouched";
    EXPECT_FALSE(SystemErrorText(987654, &text));
    EXPECT_FALSE(SystemErrorText(-3, &text));
    EXPECT_EQ(text, "untouched");
}

// ---- Shared mapping -----------------------------------------------------------------------

TEST(PlatformMapping, CreateOpenShareAndRemove) {
    const char* name = "map-share";
    MappingRemove(name);
    SharedMapping* created;
    bool existed = true;
    {
#if !defined(_WIN32)
        UmaskScope mask(077);
#endif
        created = MappingCreate(name, 2160, &existed);
    }
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_EQ(MappingSize(created), 2160u);
#if !defined(_WIN32)
    EXPECT_EQ(ModeOf(ShmPath(name)), 0666u);
#endif
    unsigned char* a = static_cast<unsigned char*>(MappingView(created));
    a[0] = 0x5A;
    a[2159] = 0xA5;

    SharedMapping* opened = MappingOpen(name);
    ASSERT_NE(opened, nullptr);
#if defined(_WIN32)
    // An opened view is known by its region: the size rounded up to pages.
    EXPECT_GE(MappingSize(opened), 2160u);
#else
    EXPECT_EQ(MappingSize(opened), 2160u);
#endif
    unsigned char* b = static_cast<unsigned char*>(MappingView(opened));
    EXPECT_EQ(b[0], 0x5A);
    EXPECT_EQ(b[2159], 0xA5);
    b[100] = 7;
    EXPECT_EQ(a[100], 7);

    // A second creation opens the same bytes without clearing them.
    SharedMapping* again = MappingCreate(name, 2160, &existed);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(existed);
    EXPECT_EQ(static_cast<unsigned char*>(MappingView(again))[0], 0x5A);

    MappingClose(again);
    MappingClose(opened);
    MappingClose(created);
    MappingRemove(name);  // on Windows the last handle already dropped it
    SetLastErrorCode(0);
    EXPECT_EQ(MappingOpen(name), nullptr);
    EXPECT_EQ(LastErrorCode(), kNotFound);
}

#if defined(_WIN32)
TEST(PlatformMapping, ExistingMappingKeepsItsOwnSize) {
    // Another program's mapping of the name, smaller than ours: creation
    // opens it, and reports the size that is really there.
    const char* name = "map-small";
    const std::string full = ObjectName(name);
    HANDLE other =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, full.c_str());
    ASSERT_NE(other, nullptr);
    bool existed = false;
    SharedMapping* mapping = MappingCreate(name, 3 * 4096, &existed);
    ASSERT_NE(mapping, nullptr);
    EXPECT_TRUE(existed);
    EXPECT_GE(MappingSize(mapping), 100u);
    EXPECT_LT(MappingSize(mapping), 3u * 4096u);
    static_cast<unsigned char*>(MappingView(mapping))[MappingSize(mapping) - 1] = 1;
    MappingClose(mapping);
    CloseHandle(other);
}
#else

TEST(PlatformMapping, ExistingUnsizedObjectIsGrown) {
    // An object left empty (its creator died before sizing it) cannot be
    // opened, and a creation makes it usable instead of faulting past its end.
    const char* name = "map-empty";
    const std::string shmName = "/" + ObjectName(name);
    const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(MappingOpen(name), nullptr);

    bool existed = false;
    SharedMapping* mapping = MappingCreate(name, 2160, &existed);
    ASSERT_NE(mapping, nullptr);
    EXPECT_TRUE(existed);
    EXPECT_EQ(MappingSize(mapping), 2160u);
    static_cast<unsigned char*>(MappingView(mapping))[2159] = 1;
    MappingClose(mapping);
    MappingRemove(name);
}
#endif

// ---- Named mutex --------------------------------------------------------------------------

struct SharedMutexUse {
    NamedMutex* mutex;
    std::atomic<int> result{-1};
};

uint32_t TryLockOnce(void* arg) {
    SharedMutexUse* use = static_cast<SharedMutexUse*>(arg);
    const bool locked = NamedMutexLock(use->mutex, 20);
    if (locked) {
        NamedMutexUnlock(use->mutex);
    }
    use->result.store(locked ? 1 : 0);
    return 0;
}

// Whether another thread obtains `mutex` within 20 ms: 1 yes, 0 no.
[[maybe_unused]] int LockedByAnotherThread(NamedMutex* mutex) {
    SharedMutexUse use;
    use.mutex = mutex;
    Thread* thread = ThreadCreate(TryLockOnce, &use, nullptr);
    if (thread == nullptr) {
        return -1;
    }
    ThreadWait(thread, 10000);
    ThreadClose(thread);
    return use.result.load();
}

void RemoveLockFile(const char* name) {
#if defined(_WIN32)
    (void)name;  // the system drops a mutex with its last handle
#else
    unlink(LockPath(name).c_str());
#endif
}

#if defined(_WIN32)
TEST(PlatformNamedMutex, ObjectsOfOneNameExcludeEachOther) {
    // A Windows mutex belongs to a thread, not to a handle: the second object
    // is tried from another thread.
    const char* name = "mutex-pair";
    NamedMutex* first = NamedMutexCreate(name);
    NamedMutex* second = NamedMutexCreate(name);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_TRUE(NamedMutexLock(first, 0));
    EXPECT_TRUE(NamedMutexLock(first, 0));  // the owner takes it again
    EXPECT_EQ(LockedByAnotherThread(second), 0);
    NamedMutexUnlock(first);
    EXPECT_EQ(LockedByAnotherThread(second), 0);  // still held once
    NamedMutexUnlock(first);
    EXPECT_EQ(LockedByAnotherThread(second), 1);

    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(NamedMutexLock(second, 0));
    EXPECT_EQ(LockedByAnotherThread(first), 0);
    EXPECT_GE(MsSince(start), 19);  // the other thread waited its 20 ms
    NamedMutexUnlock(second);

    NamedMutexClose(second);
    NamedMutexClose(first);
}
#else
TEST(PlatformNamedMutex, ObjectsOfOneNameExcludeEachOther) {
    const char* name = "mutex-pair";
    NamedMutex* first;
    {
        UmaskScope mask(077);
        first = NamedMutexCreate(name);
    }
    NamedMutex* second = NamedMutexCreate(name);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ModeOf(LockPath(name)), 0666u);

    EXPECT_TRUE(NamedMutexLock(first, 0));
    EXPECT_TRUE(NamedMutexLock(first, 0));  // the owner takes it again
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(NamedMutexLock(second, 30));
    EXPECT_GE(MsSince(start), 29);
    NamedMutexUnlock(first);
    EXPECT_FALSE(NamedMutexLock(second, 0));  // still held once
    NamedMutexUnlock(first);
    EXPECT_TRUE(NamedMutexLock(second, 0));
    EXPECT_FALSE(NamedMutexLock(first, 0));
    NamedMutexUnlock(second);

    NamedMutexClose(second);
    NamedMutexClose(first);
    unlink(LockPath(name).c_str());
}
#endif

TEST(PlatformNamedMutex, ThreadsSharingOneObjectExcludeEachOther) {
    const char* name = "mutex-threads";
    SharedMutexUse use;
    use.mutex = NamedMutexCreate(name);
    ASSERT_NE(use.mutex, nullptr);
    ASSERT_TRUE(NamedMutexLock(use.mutex, 0));

    Thread* thread = ThreadCreate(TryLockOnce, &use, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(ThreadWait(thread, 10000));
    ThreadClose(thread);
    EXPECT_EQ(use.result.load(), 0);

    NamedMutexUnlock(use.mutex);
    thread = ThreadCreate(TryLockOnce, &use, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(ThreadWait(thread, 10000));
    ThreadClose(thread);
    EXPECT_EQ(use.result.load(), 1);

    NamedMutexClose(use.mutex);
    RemoveLockFile(name);
}

#if defined(_WIN32)
// The child's part: take the mutex, say so, and hang until killed.
int HoldMutex(const char* name) {
    NamedMutex* theirs = NamedMutexCreate(name);
    testchild::Tell(theirs != nullptr && NamedMutexLock(theirs, 0) ? 'L' : 'F');
    Sleep(INFINITE);
    return 0;
}
const testchild::RegisterRole kHoldMutex("hold-mutex", HoldMutex);

TEST(PlatformNamedMutex, HolderKilledReleasesIt) {
    const char* name = "mutex-killed";
    NamedMutex* mine = NamedMutexCreate(name);
    ASSERT_NE(mine, nullptr);
    testchild::ChildProcess child;
    ASSERT_TRUE(child.Start("hold-mutex", name));
    EXPECT_EQ(child.ReadByte(30000), 'L');
    EXPECT_FALSE(NamedMutexLock(mine, 0));

    ASSERT_TRUE(child.Kill());
    EXPECT_TRUE(NamedMutexLock(mine, 0));  // abandoned with its holder, and obtained
    NamedMutexUnlock(mine);
    NamedMutexClose(mine);
}
#else
TEST(PlatformNamedMutex, HolderKilledReleasesIt) {
    const char* name = "mutex-killed";
    NamedMutex* mine = NamedMutexCreate(name);
    ASSERT_NE(mine, nullptr);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedMutex* theirs = NamedMutexCreate(name);
        const char report = theirs != nullptr && NamedMutexLock(theirs, 0) ? 'L' : 'F';
        (void)!write(pipeFds[1], &report, 1);
        for (;;) {
            pause();
        }
    }
    close(pipeFds[1]);
    pollfd ready{pipeFds[0], POLLIN, 0};
    char report = 0;
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
    ASSERT_EQ(read(pipeFds[0], &report, 1), 1);
    close(pipeFds[0]);
    EXPECT_EQ(report, 'L');
    EXPECT_FALSE(NamedMutexLock(mine, 0));

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(NamedMutexLock(mine, 0));  // released with its holder
    NamedMutexUnlock(mine);

    NamedMutexClose(mine);
    unlink(LockPath(name).c_str());
}
#endif

}  // namespace
}  // namespace plat
}  // namespace tarvik
