// The POSIX side of the platform seam: locks, events, threads, the clock,
// diagnostics, shared mappings and the named mutex.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/platform.h"

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

TEST(PlatformLock, ReentrantAndExclusive) {
    Counter counter;
    Thread* a = ThreadCreate(CountUnderLock, &counter, nullptr);
    Thread* b = ThreadCreate(CountUnderLock, &counter, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(ThreadWait(a, 30000));
    EXPECT_TRUE(ThreadWait(b, 30000));
    ThreadClose(a);
    ThreadClose(b);
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
    Thread* a = ThreadCreate(WaitBriefly, &shared, nullptr);
    Thread* b = ThreadCreate(WaitBriefly, &shared, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    shared.event.Set();
    EXPECT_TRUE(ThreadWait(a, 10000));
    EXPECT_TRUE(ThreadWait(b, 10000));
    ThreadClose(a);
    ThreadClose(b);
    // Whoever waited first took the signal; the other one timed out.
    EXPECT_EQ(shared.woken.load(), 1);
    EXPECT_FALSE(shared.event.Wait(0));
}

uint32_t SetEvent(void* arg) {
    static_cast<CEvent*>(arg)->Set();
    return 0;
}

TEST(PlatformEvent, TimedWait) {
    CEvent event;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(event.Wait(100));
    EXPECT_GE(MsSince(start), 95);

    Thread* setter = ThreadCreate(SetEvent, &event, nullptr);
    ASSERT_NE(setter, nullptr);
    EXPECT_TRUE(event.Wait(10000));  // woken by the other thread
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
    EXPECT_FALSE(ThreadTerminate(thread, 7));  // no forced end on POSIX
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
    EXPECT_EQ(LastErrorCode(), EINVAL);
}

// ---- Clock, diagnostics, errors -----------------------------------------------------------

uint32_t FakeTick() {
    return 0xFFFFFFF0u;
}

TEST(PlatformClock, TickSourceAndSleep) {
    SetTickSource(FakeTick);
    EXPECT_EQ(TickCount(), 0xFFFFFFF0u);
    SetTickSource(nullptr);

    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint32_t expected = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                                    static_cast<uint64_t>(now.tv_nsec) / 1000000u);
    const uint32_t first = TickCount();
    EXPECT_LT(static_cast<uint32_t>(first - expected), 1000u);  // the monotonic clock, in ms

    const Clock::time_point start = Clock::now();
    SleepMs(30);
    EXPECT_GE(MsSince(start), 29);
    EXPECT_GE(static_cast<uint32_t>(TickCount() - first), 29u);
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
    SetLastErrorCode(ENOENT);
    EXPECT_EQ(LastErrorCode(), ENOENT);
    int32_t other = -1;
    Thread* thread = ThreadCreate(ReadLastError, &other, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(ThreadWait(thread, 10000));
    ThreadClose(thread);
    EXPECT_EQ(other, 0);  // each thread has its own
    EXPECT_EQ(LastErrorCode(), ENOENT);

    std::string text;
    EXPECT_TRUE(SystemErrorText(ENOENT, &text));
    EXPECT_EQ(text, std::strerror(ENOENT));
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
        UmaskScope mask(077);
        created = MappingCreate(name, 2160, &existed);
    }
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_EQ(MappingSize(created), 2160u);
    EXPECT_EQ(ModeOf(ShmPath(name)), 0666u);
    unsigned char* a = static_cast<unsigned char*>(MappingView(created));
    a[0] = 0x5A;
    a[2159] = 0xA5;

    SharedMapping* opened = MappingOpen(name);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(MappingSize(opened), 2160u);
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
    MappingRemove(name);
    SetLastErrorCode(0);
    EXPECT_EQ(MappingOpen(name), nullptr);
    EXPECT_EQ(LastErrorCode(), ENOENT);
}

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

// ---- Named mutex --------------------------------------------------------------------------

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
    unlink(LockPath(name).c_str());
}

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

}  // namespace
}  // namespace plat
}  // namespace tarvik
