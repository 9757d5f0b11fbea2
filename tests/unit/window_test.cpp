// The window seam: classes, posted messages, copy-data sends across threads
// and processes, time-outs, the liveness test and the end of a window.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/platform.h"
#include "wait_until.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarvik {
namespace plat {
namespace {

constexpr const char* kTestClass = "TarvikTestWindow";
// Block tags that make the test procedure act.
constexpr uintptr_t kTagHold = 0x484F4C44;     // wait for the recorder's release event
constexpr uintptr_t kTagDestroy = 0x44455354;  // destroy the window

// The last error of a send that timed out.
#if defined(_WIN32)
constexpr int32_t kTimedOut = 1460;  // ERROR_TIMEOUT
#else
constexpr int32_t kTimedOut = ETIMEDOUT;
#endif

uint32_t Fnv(const void* bytes, size_t n) {
    uint32_t h = 2166136261u;
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 16777619u;
    }
    return h;
}

// What the test procedure answers for a block: a function of all its bytes.
intptr_t Expected(const void* bytes, size_t n, uintptr_t dwData) {
    return static_cast<intptr_t>(Fnv(bytes, n) ^ static_cast<uint32_t>(dwData));
}

// What a window's procedure saw. The procedure runs on the window's thread
// only, so each thread points at its own recorder.
struct Recorder {
    std::mutex mutex;
    std::vector<WindowMessage> posted;
    std::vector<std::string> blocks;  // only blocks up to 4 KB are kept
    std::vector<uintptr_t> wParams;
    std::vector<uintptr_t> tags;
    int creates = 0;
    int destroys = 0;
    CEvent release;
    std::atomic<bool> holding{false};

    size_t BlockCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return blocks.size();
    }
    size_t PostedCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return posted.size();
    }
};

thread_local Recorder* t_recorder = nullptr;

intptr_t TestProc(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Recorder* rec = t_recorder;
    if (rec == nullptr) {
        return WindowDefaultProc(window, message, wParam, lParam);
    }
    switch (message) {
        case kMsgCreate: {
            std::lock_guard<std::mutex> hold(rec->mutex);
            ++rec->creates;
            return 0;
        }
        case kMsgDestroy: {
            std::lock_guard<std::mutex> hold(rec->mutex);
            ++rec->destroys;
            return 0;
        }
        case kMsgCopyData: {
            const auto* data = reinterpret_cast<const CopyData*>(lParam);
            if (data->dwData == kTagHold) {
                rec->holding = true;
                rec->release.Wait(-1);
                rec->holding = false;
            } else if (data->dwData == kTagDestroy) {
                WindowDestroy(window);
            }
            {
                std::lock_guard<std::mutex> hold(rec->mutex);
                if (data->cbData <= 4096) {
                    rec->blocks.emplace_back(static_cast<const char*>(data->lpData),
                                             data->lpData != nullptr ? data->cbData : 0);
                } else {
                    rec->blocks.emplace_back("<large>");
                }
                rec->wParams.push_back(wParam);
                rec->tags.push_back(data->dwData);
            }
            return Expected(data->lpData, data->cbData, data->dwData);
        }
        default:
            return WindowDefaultProc(window, message, wParam, lParam);
    }
}

void EnsureTestClass() {
    if (!WindowClassIsKnown(kTestClass)) {
        ASSERT_TRUE(WindowClassRegister(kTestClass, TestProc));
    }
}

using testwait::WaitUntil;

// A window on a thread of its own that pumps its messages until WM_QUIT.
class WindowThread {
  public:
    // gated: the thread waits for Open() before it pumps. destroyOnOpen: it
    // then destroys its window without pumping at all.
    explicit WindowThread(bool gated = false, bool destroyOnOpen = false)
        : gated_(gated), destroyOnOpen_(destroyOnOpen) {}
    ~WindowThread() { Stop(); }

    WindowHandle Start() {
        thread_ = ThreadCreate(&WindowThread::Main, this, nullptr);
        if (thread_ == nullptr || !created_.Wait(5000)) {
            return 0;
        }
        return handle_;
    }
    void Open() { gate_.Set(); }
    // Posts WM_QUIT (when still a window) and waits for the thread.
    bool Stop() {
        if (thread_ == nullptr) {
            return true;
        }
        if (gated_) {
            gate_.Set();
        }
        WindowPostMessage(handle_, kMsgQuit, 7, 0);
        const bool ended = ThreadWait(thread_, 10000);
        if (ended) {
            ThreadClose(thread_);
            thread_ = nullptr;
        }
        return ended;
    }
    bool Ended() { return thread_ == nullptr || ThreadWait(thread_, 0); }

    Recorder rec;
    WindowHandle handle_ = 0;
    int32_t lastGet = 99;
    uintptr_t quitWParam = 0;

  private:
    static uint32_t Main(void* arg) {
        auto* self = static_cast<WindowThread*>(arg);
        t_recorder = &self->rec;
        self->handle_ = WindowCreate(kTestClass, "test");
        self->created_.Set();
        if (self->handle_ == 0) {
            return 0;
        }
        if (self->gated_) {
            self->gate_.Wait(-1);
        }
        if (self->destroyOnOpen_) {
            WindowDestroy(self->handle_);
            return 0;
        }
        WindowMessage msg{};
        int32_t got;
        while ((got = WindowGetMessage(&msg, self->handle_)) > 0) {
            {
                std::lock_guard<std::mutex> hold(self->rec.mutex);
                self->rec.posted.push_back(msg);
            }
            WindowTranslateMessage(&msg);
            WindowDispatchMessage(&msg);
        }
        self->lastGet = got;
        self->quitWParam = msg.wParam;
        WindowDestroy(self->handle_);
        return 0;
    }

    bool gated_;
    bool destroyOnOpen_;
    CEvent created_;
    CEvent gate_;
    Thread* thread_ = nullptr;
};

bool SendBytes(WindowHandle window, const void* bytes, uint32_t n, uintptr_t tag,
               uint32_t timeoutMs, intptr_t* result) {
    CopyData data{tag, n, bytes};
    return WindowSendCopyData(window, 1047, &data, timeoutMs, result);
}

// What another process does with a window it knows by number: sends blocks
// of every size and posts one message. 0 when all went as expected.
int SendAndPostFromAnotherProcess(WindowHandle h) {
    if (!WindowIsWindow(h)) {
        return 10;
    }
    intptr_t r = 0;
    if (!SendBytes(h, "abc", 3, 5, 5000, &r) || r != Expected("abc", 3, 5)) {
        return 11;
    }
    if (!SendBytes(h, nullptr, 0, 6, 5000, &r) || r != Expected(nullptr, 0, 6)) {
        return 12;
    }
    std::vector<uint8_t> big(1u << 20, 0x5A);
    if (!SendBytes(h, big.data(), static_cast<uint32_t>(big.size()), 7, 10000, &r) ||
        r != Expected(big.data(), big.size(), 7)) {
        return 13;
    }
    if (!WindowPostMessage(h, 0x401, 5, 6)) {
        return 14;
    }
    return 0;
}

#if defined(_WIN32)
// Windows has no fork: the child is this program again, running a role on
// the window whose number it is given.
int SendAndPostRole(const char* arg) {
    return SendAndPostFromAnotherProcess(static_cast<WindowHandle>(std::atol(arg)));
}
const testchild::RegisterRole kSendAndPost("window-send-and-post", SendAndPostRole);

// Tells the parent whether the window is there, then waits until it is gone
// and checks that a send to it fails.
int WatchWindowRole(const char* arg) {
    const WindowHandle h = static_cast<WindowHandle>(std::atol(arg));
    testchild::Tell(WindowIsWindow(h) && WindowIsWindow(h) ? 'y' : 'n');
    if (!WaitUntil([h] { return !WindowIsWindow(h); }, std::chrono::milliseconds(20000))) {
        return 22;
    }
    intptr_t r = 0;
    return SendBytes(h, "z", 1, 1, 1000, &r) ? 23 : 0;
}
const testchild::RegisterRole kWatchWindow("window-watch", WatchWindowRole);
#else
// Runs body in a forked child; returns its exit code, or -1 when it crashed
// or did not end within the deadline.
template <typename F>
int RunChild(F&& body, uint32_t milliseconds = 20000) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    const uint32_t start = TickCount();
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (TickCount() - start > milliseconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        SleepMs(1);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { EnsureTestClass(); }
};

TEST_F(WindowTest, ClassRegistersOnceAndUnknownClassMakesNoWindow) {
    static int round = 0;
    const std::string name = "TarvikTwice" + std::to_string(++round);
    EXPECT_FALSE(WindowClassIsKnown(name.c_str()));
    EXPECT_TRUE(WindowClassRegister(name.c_str(), TestProc));
    EXPECT_TRUE(WindowClassIsKnown(name.c_str()));
    SetLastErrorCode(0);
    EXPECT_FALSE(WindowClassRegister(name.c_str(), TestProc));
    EXPECT_EQ(LastErrorCode(), kErrorClassAlreadyExists);

    EXPECT_EQ(WindowCreate("TarvikNoSuchClass", "x"), 0);
    EXPECT_NE(LastErrorCode(), 0);
}

TEST_F(WindowTest, PostedMessagesArriveInOrderAndQuitEndsTheLoop) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    for (uint32_t i = 0; i < 200; ++i) {
        ASSERT_TRUE(WindowPostMessage(h, 0x400 + i, i, -static_cast<intptr_t>(i)));
    }
    ASSERT_TRUE(WindowPostMessage(h, kMsgQuit, 7, 0));
    ASSERT_TRUE(WaitUntil([&] { return wt.Ended(); }));
    ASSERT_TRUE(wt.Stop());
    EXPECT_EQ(wt.lastGet, 0);
    EXPECT_EQ(wt.quitWParam, 7u);
    ASSERT_EQ(wt.rec.posted.size(), 200u);
    for (uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(wt.rec.posted[i].window, h);
        EXPECT_EQ(wt.rec.posted[i].message, 0x400 + i);
        EXPECT_EQ(wt.rec.posted[i].wParam, i);
        EXPECT_EQ(wt.rec.posted[i].lParam, -static_cast<intptr_t>(i));
    }
    // The window went with its loop; posts to it now fail.
    EXPECT_FALSE(WindowIsWindow(h));
    EXPECT_FALSE(WindowPostMessage(h, 0x400, 0, 0));
}

TEST_F(WindowTest, CopyDataFromOtherThreadsReachesTheProcedureAndItsAnswerComesBack) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);

    intptr_t result = 0;
    ASSERT_TRUE(SendBytes(h, "hello", 5, 1, 5000, &result));
    EXPECT_EQ(result, Expected("hello", 5, 1));
    ASSERT_TRUE(SendBytes(h, nullptr, 0, 1, 5000, &result));  // an empty block
    EXPECT_EQ(result, Expected(nullptr, 0, 1));
    {
        std::lock_guard<std::mutex> hold(wt.rec.mutex);
        ASSERT_EQ(wt.rec.blocks.size(), 2u);
        EXPECT_EQ(wt.rec.blocks[0], "hello");
        EXPECT_EQ(wt.rec.blocks[1], "");
        EXPECT_EQ(wt.rec.wParams[0], 1047u);
        EXPECT_EQ(wt.rec.tags[0], 1u);
        EXPECT_TRUE(wt.rec.posted.empty());  // sent messages are not posted ones
    }

    // Several threads at once on the one cached connection: every answer
    // belongs to its own request.
    struct Sender {
        WindowHandle target;
        int index;
        std::atomic<int>* wrong;
        static uint32_t Main(void* arg) {
            auto* s = static_cast<Sender*>(arg);
            for (int i = 0; i < 50; ++i) {
                std::string text = "s" + std::to_string(s->index) + "-" + std::to_string(i);
                intptr_t r = 0;
                if (!SendBytes(s->target, text.data(), static_cast<uint32_t>(text.size()),
                               static_cast<uintptr_t>(s->index), 5000, &r) ||
                    r != Expected(text.data(), text.size(), static_cast<uintptr_t>(s->index))) {
                    ++*s->wrong;
                }
            }
            return 0;
        }
    };
    std::atomic<int> wrong{0};
    Sender senders[4] = {{h, 0, &wrong}, {h, 1, &wrong}, {h, 2, &wrong}, {h, 3, &wrong}};
    Thread* threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = ThreadCreate(&Sender::Main, &senders[i], nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    for (Thread* t : threads) {
        EXPECT_TRUE(ThreadWait(t, 20000));
        ThreadClose(t);
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(wt.rec.BlockCount(), 2u + 4 * 50);
}

TEST_F(WindowTest, LargeBlockOfFiveMegabytes) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    std::vector<uint8_t> big(5u << 20);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 31 + (i >> 13));
    }
    intptr_t result = 0;
    ASSERT_TRUE(SendBytes(h, big.data(), static_cast<uint32_t>(big.size()), 9, 20000, &result));
    EXPECT_EQ(result, Expected(big.data(), big.size(), 9));
    // The connection is in step after it: a small block follows.
    ASSERT_TRUE(SendBytes(h, "x", 1, 2, 5000, &result));
    EXPECT_EQ(result, Expected("x", 1, 2));
}

TEST_F(WindowTest, AnotherProcessSendsAndPostsToAHandleItKnowsByNumber) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
#if defined(_WIN32)
    testchild::ChildProcess child;
    ASSERT_TRUE(child.Start("window-send-and-post", std::to_string(h)));
    const int code = child.Wait(30000);
#else
    const int code = RunChild([h] { return SendAndPostFromAnotherProcess(h); });
#endif
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(WaitUntil([&] { return wt.rec.PostedCount() == 1; }));
    std::lock_guard<std::mutex> hold(wt.rec.mutex);
    ASSERT_EQ(wt.rec.blocks.size(), 3u);
    EXPECT_EQ(wt.rec.blocks[0], "abc");
    EXPECT_EQ(wt.rec.tags[2], 7u);
    EXPECT_EQ(wt.rec.posted[0].window, h);
    EXPECT_EQ(wt.rec.posted[0].message, 0x401u);
    EXPECT_EQ(wt.rec.posted[0].wParam, 5u);
    EXPECT_EQ(wt.rec.posted[0].lParam, 6);
}

TEST_F(WindowTest, SendTimesOutWhileTheWindowThreadIsBusyAndTheLinkStaysInStep) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    struct Holder {
        WindowHandle target;
        bool ok = false;
        intptr_t result = 0;
        static uint32_t Main(void* arg) {
            auto* self = static_cast<Holder*>(arg);
            self->ok = SendBytes(self->target, "hold", 4, kTagHold, 20000, &self->result);
            return 0;
        }
    } holder{h};
    Thread* t = ThreadCreate(&Holder::Main, &holder, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return wt.rec.holding.load(); }));

    intptr_t result = 0;
    SetLastErrorCode(0);
    EXPECT_FALSE(SendBytes(h, "late", 4, 3, 100, &result));
    EXPECT_EQ(LastErrorCode(), kTimedOut);

    wt.rec.release.Set();
    ASSERT_TRUE(ThreadWait(t, 10000));
    ThreadClose(t);
    EXPECT_TRUE(holder.ok);
    EXPECT_EQ(holder.result, Expected("hold", 4, kTagHold));
    // The answer to the timed-out send is not taken for this one.
    ASSERT_TRUE(SendBytes(h, "next", 4, 4, 5000, &result));
    EXPECT_EQ(result, Expected("next", 4, 4));
}

TEST_F(WindowTest, SendTimesOutWhileNobodyPumpsAndSucceedsOnceTheLoopRuns) {
    WindowThread wt(/*gated=*/true);
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    EXPECT_TRUE(WindowIsWindow(h));
    intptr_t result = 0;
    EXPECT_FALSE(SendBytes(h, "a", 1, 1, 50, &result));
    wt.Open();
    ASSERT_TRUE(SendBytes(h, "b", 1, 1, 5000, &result));
    EXPECT_EQ(result, Expected("b", 1, 1));
}

TEST_F(WindowTest, IsWindowFollowsTheWindowInThisAndAnotherProcess) {
    EXPECT_FALSE(WindowIsWindow(0));
    EXPECT_FALSE(WindowIsWindow(-5));

    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    EXPECT_TRUE(WindowIsWindow(h));

#if defined(_WIN32)
    testchild::ChildProcess child;
    ASSERT_TRUE(child.Start("window-watch", std::to_string(h)));
    EXPECT_EQ(child.ReadByte(30000), 'y');
    ASSERT_TRUE(wt.Stop());
    EXPECT_FALSE(WindowIsWindow(h));
    EXPECT_EQ(child.Wait(30000), 0);
#else
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(toChild[1]);
        close(toParent[0]);
        const char yes = WindowIsWindow(h) && WindowIsWindow(h) ? 'y' : 'n';
        if (write(toParent[1], &yes, 1) != 1) {
            _exit(20);
        }
        char go;
        if (read(toChild[0], &go, 1) != 1) {
            _exit(21);
        }
        // The cached connection reports the hang-up at once.
        if (!WaitUntil([h] { return !WindowIsWindow(h); })) {
            _exit(22);
        }
        intptr_t r = 0;
        _exit(SendBytes(h, "z", 1, 1, 1000, &r) ? 23 : 0);
    }
    ASSERT_GT(pid, 0);
    close(toChild[0]);
    close(toParent[1]);
    char answer = 0;
    ASSERT_EQ(read(toParent[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    ASSERT_TRUE(wt.Stop());
    EXPECT_FALSE(WindowIsWindow(h));
    const char go = 'd';
    ASSERT_EQ(write(toChild[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(toChild[1]);
    close(toParent[0]);
#endif
}

TEST_F(WindowTest, DestroyingTheWindowFailsAPendingSendPromptly) {
    WindowThread wt(/*gated=*/true, /*destroyOnOpen=*/true);
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    struct Pending {
        WindowHandle target;
        std::atomic<bool> connected{false};
        bool ok = true;
        uint32_t took = 0;
        static uint32_t Main(void* arg) {
            auto* self = static_cast<Pending*>(arg);
            // Makes the connection (the window's thread does not pump yet),
            // so the send below waits on it for its answer.
            self->connected = WindowIsWindow(self->target);
            const uint32_t start = TickCount();
            intptr_t r = 0;
            self->ok = SendBytes(self->target, "p", 1, 1, 20000, &r);
            self->took = TickCount() - start;
            return 0;
        }
    } pending{h};
    Thread* t = ThreadCreate(&Pending::Main, &pending, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return pending.connected.load(); }));
    wt.Open();  // the thread destroys its window without ever pumping
    ASSERT_TRUE(ThreadWait(t, 15000));
    ThreadClose(t);
    EXPECT_FALSE(pending.ok);
    EXPECT_LT(pending.took, 10000u);  // well before its own time-out
    EXPECT_FALSE(WindowIsWindow(h));
}

TEST_F(WindowTest, AWindowWhoseThreadEndsWithoutDestroyingItGoesWithTheThread) {
    struct Abandon {
        WindowHandle handle = 0;
        static uint32_t Main(void* arg) {
            static_cast<Abandon*>(arg)->handle = WindowCreate(kTestClass, "left");
            return 0;
        }
    } abandon;
    Thread* t = ThreadCreate(&Abandon::Main, &abandon, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(ThreadWait(t, 5000));
    ThreadClose(t);
    ASSERT_GT(abandon.handle, 0);
    EXPECT_FALSE(WindowIsWindow(abandon.handle));
    intptr_t r = 0;
    EXPECT_FALSE(SendBytes(abandon.handle, "q", 1, 1, 1000, &r));
    EXPECT_FALSE(WindowPostMessage(abandon.handle, 0x400, 0, 0));
}

TEST_F(WindowTest, OwnThreadCallsItsProcedureDirectlyAndOnlyTheOwnerMayPumpOrDestroy) {
    Recorder rec;
    t_recorder = &rec;
    const WindowHandle h = WindowCreate(kTestClass, "mine");
    ASSERT_GT(h, 0);
    intptr_t result = 0;
    ASSERT_TRUE(SendBytes(h, "self", 4, 2, 0, &result));  // no wait at all
    EXPECT_EQ(result, Expected("self", 4, 2));

    struct Stranger {
        WindowHandle target;
        int32_t got = 0;
        bool destroyed = true;
        static uint32_t Main(void* arg) {
            auto* self = static_cast<Stranger*>(arg);
            WindowMessage msg{};
            self->got = WindowGetMessage(&msg, self->target);
            self->destroyed = WindowDestroy(self->target);
            return 0;
        }
    } stranger{h};
    Thread* t = ThreadCreate(&Stranger::Main, &stranger, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(ThreadWait(t, 5000));
    ThreadClose(t);
    EXPECT_EQ(stranger.got, -1);
    EXPECT_FALSE(stranger.destroyed);
    EXPECT_TRUE(WindowIsWindow(h));

    EXPECT_TRUE(WindowDestroy(h));
    EXPECT_FALSE(WindowIsWindow(h));
    EXPECT_FALSE(WindowDestroy(h));
    t_recorder = nullptr;
    EXPECT_EQ(rec.creates, 1);
    EXPECT_EQ(rec.destroys, 1);
    EXPECT_EQ(rec.blocks.size(), 1u);
}

TEST_F(WindowTest, AProcedureThatDestroysItsWindowStillAnswersAndEndsTheLoop) {
    WindowThread wt;
    const WindowHandle h = wt.Start();
    ASSERT_GT(h, 0);
    intptr_t result = 0;
    ASSERT_TRUE(SendBytes(h, "bye", 3, kTagDestroy, 5000, &result));
    EXPECT_EQ(result, Expected("bye", 3, kTagDestroy));
    ASSERT_TRUE(WaitUntil([&] { return wt.Ended(); }));
    EXPECT_TRUE(wt.Stop());
    EXPECT_EQ(wt.lastGet, -1);
    EXPECT_FALSE(WindowIsWindow(h));
    EXPECT_EQ(wt.rec.destroys, 1);
}

}  // namespace
}  // namespace plat
}  // namespace tarvik
