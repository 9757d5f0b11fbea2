// The local window transport: a 100-byte copy-data round trip to a window
// served by another thread and by another process, beside a raw Unix-socket
// ping-pong of the same shape (100 bytes out, an 8-byte answer back) in the
// same run, and the cost of the liveness test.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"

namespace {

using namespace tarvik::plat;

constexpr const char* kBenchClass = "TarvikBenchWindow";
constexpr uint32_t kBlockBytes = 100;

intptr_t BenchProc(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == kMsgCopyData) {
        return static_cast<intptr_t>(reinterpret_cast<const CopyData*>(lParam)->cbData);
    }
    return WindowDefaultProc(window, message, wParam, lParam);
}

void EnsureClass() {
    if (!WindowClassIsKnown(kBenchClass)) {
        WindowClassRegister(kBenchClass, BenchProc);
    }
}

void Pump(WindowHandle window) {
    WindowMessage msg{};
    while (WindowGetMessage(&msg, window) > 0) {
        WindowDispatchMessage(&msg);
    }
    WindowDestroy(window);
}

// A window served by a thread of this process.
struct ThreadWindow {
    WindowHandle handle = 0;
    CEvent created;
    Thread* thread = nullptr;

    ThreadWindow() {
        EnsureClass();
        thread = ThreadCreate(
            [](void* arg) -> uint32_t {
                auto* self = static_cast<ThreadWindow*>(arg);
                self->handle = WindowCreate(kBenchClass, "bench");
                self->created.Set();
                Pump(self->handle);
                return 0;
            },
            this, nullptr);
        created.Wait(5000);
    }
    ~ThreadWindow() {
        WindowPostMessage(handle, kMsgQuit, 0, 0);
        ThreadWait(thread, 5000);
        ThreadClose(thread);
    }
};

// A window served by a child process.
struct ProcessWindow {
    WindowHandle handle = 0;
    pid_t pid = -1;

    ProcessWindow() {
        EnsureClass();
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const WindowHandle h = WindowCreate(kBenchClass, "bench");
            if (write(fds[1], &h, sizeof h) != static_cast<ssize_t>(sizeof h)) {
                _exit(1);
            }
            Pump(h);
            _exit(0);
        }
        close(fds[1]);
        if (read(fds[0], &handle, sizeof handle) != static_cast<ssize_t>(sizeof handle)) {
            handle = 0;
        }
        close(fds[0]);
    }
    ~ProcessWindow() {
        if (pid > 0) {
            WindowPostMessage(handle, kMsgQuit, 0, 0);
            int status;
            waitpid(pid, &status, 0);
        }
    }
};

ThreadWindow& SharedThreadWindow() {
    static ThreadWindow window;
    return window;
}

ProcessWindow& SharedProcessWindow() {
    static ProcessWindow window;
    return window;
}

void RoundTrip(benchmark::State& state, WindowHandle target) {
    if (target == 0) {
        state.SkipWithError("no window");
        return;
    }
    std::vector<uint8_t> block(kBlockBytes, 0x5A);
    CopyData data{1, kBlockBytes, block.data()};
    for (auto _ : state) {
        intptr_t result = 0;
        if (!WindowSendCopyData(target, 1047, &data, 5000, &result) || result != kBlockBytes) {
            state.SkipWithError("send failed");
            return;
        }
    }
}

void BM_CopyDataRoundTrip_Thread(benchmark::State& state) {
    RoundTrip(state, SharedThreadWindow().handle);
}
BENCHMARK(BM_CopyDataRoundTrip_Thread);

void BM_CopyDataRoundTrip_Process(benchmark::State& state) {
    RoundTrip(state, SharedProcessWindow().handle);
}
BENCHMARK(BM_CopyDataRoundTrip_Process);

// ---- The baseline: the same exchange on a bare socket pair ------------------

bool ReadAll(int fd, void* buffer, size_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Answers every 100 bytes with 8 until the other end closes.
void Echo(int fd) {
    uint8_t request[kBlockBytes];
    const uint64_t answer = kBlockBytes;
    while (ReadAll(fd, request, sizeof request)) {
        if (write(fd, &answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) {
            return;
        }
    }
}

void PingPong(benchmark::State& state, int fd) {
    uint8_t request[kBlockBytes] = {};
    for (auto _ : state) {
        uint64_t answer = 0;
        if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request) ||
            !ReadAll(fd, &answer, sizeof answer)) {
            state.SkipWithError("ping-pong failed");
            return;
        }
    }
}

void BM_RawSocketPingPong_Thread(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    Thread* echo = ThreadCreate(
        [](void* arg) -> uint32_t {
            Echo(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
            return 0;
        },
        reinterpret_cast<void*>(static_cast<intptr_t>(fds[1])), nullptr);
    PingPong(state, fds[0]);
    shutdown(fds[0], SHUT_RDWR);
    ThreadWait(echo, 5000);
    ThreadClose(echo);
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_RawSocketPingPong_Thread);

void BM_RawSocketPingPong_Process(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Echo(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    PingPong(state, fds[0]);
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
}
BENCHMARK(BM_RawSocketPingPong_Process);

// ---- Liveness test -----------------------------------------------------------

void BM_IsWindow_Remote(benchmark::State& state) {
    const WindowHandle target = SharedProcessWindow().handle;
    if (!WindowIsWindow(target)) {
        state.SkipWithError("no window");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(WindowIsWindow(target));
    }
}
BENCHMARK(BM_IsWindow_Remote);

void BM_IsWindow_Local(benchmark::State& state) {
    const WindowHandle target = SharedThreadWindow().handle;
    for (auto _ : state) {
        benchmark::DoNotOptimize(WindowIsWindow(target));
    }
}
BENCHMARK(BM_IsWindow_Local);

void BM_IsWindow_Gone(benchmark::State& state) {
    // A handle with no window behind it: one refused connection each time.
    for (auto _ : state) {
        benchmark::DoNotOptimize(WindowIsWindow(0x7FFFFFF0));
    }
}
BENCHMARK(BM_IsWindow_Gone);

}  // namespace

BENCHMARK_MAIN();
