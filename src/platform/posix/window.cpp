// Windows and window messages on POSIX.
//
// A window is a listening Unix stream socket in the abstract namespace, named
// "tarvik-window-<handle>". The handle is a random positive int32; bind()
// refuses a name that a live socket holds, so a handle that binds is unique on
// the machine, and the name dies with its socket (and so with its process).
// Other threads and processes connect to that name. The thread that created
// the window accepts those connections and reads their frames inside
// GetMessage: that is the only place where a window procedure runs for a
// message from elsewhere, as on Windows, where sent messages are dispatched
// inside the receiving thread's GetMessage.
//
// Map of this file:
//   1. Frames on the connections
//   2. Process state: classes, local windows, thread queues, connections out
//   3. Fork and thread exit
//   4. Socket helpers
//   5. Classes; creating and destroying windows
//   6. The receiving side: GetMessage and dispatch
//   7. The sending side: post, send, IsWindow
//
// Why a stream socket rather than a sequenced-packet one: copy-data blocks
// reach tens of megabytes, far beyond one packet, so the frame would need
// chunking anyway; a length-prefixed frame on a stream covers every size with
// one code path.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/le.h"
#include "platform/admit.h"
#include "platform/platform.h"

namespace tarvik {
namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

// ---- 1. Frames ----------------------------------------------------------------
//
// Every frame starts with a 32-byte header, little-endian:
//   0 kind (kFrameSend, kFramePost)   4 message number
//   8 wParam (64 bits)               16 dwData of a send, lParam of a post
//  24 cbData: block bytes that follow (0 for a post)   28 zero
// A send is answered on the same connection by its 8-byte result; a post is
// not answered. A sender waits for each answer before it sends again, so an
// answer always belongs to the last send of its connection; a connection
// whose answer did not come in time is closed, never reused.

constexpr uint32_t kFrameSend = 1;
constexpr uint32_t kFramePost = 2;
constexpr size_t kFrameHeaderSize = 32;
constexpr size_t kReplySize = 8;
// The largest block either side accepts. The system's messages reach about
// 20 MB; a receiver must not be made to allocate whatever a header claims.
constexpr uint32_t kMaxBlockBytes = 64u << 20;
// How long a post may wait for room on its connection (a post never waits
// for the receiver itself).
constexpr uint32_t kPostTimeoutMs = 1000;
// Bytes read from a connection at a time while not inside a large block.
constexpr size_t kScratchBytes = 64 * 1024;
// Connections out are swept for dead windows when the cache reaches this size
// (then twice the live count), so the cache never grows without bound.
constexpr size_t kMinSweep = 64;
// Window-system errors as Windows numbers them.
constexpr int32_t kErrorClassNotFound = 1407;
// Attempts at a random handle before creation gives up.
constexpr int kHandleAttempts = 64;

// Connection lanes: sends wait for answers, posts must not queue behind them.
constexpr int64_t kLaneSend = 0;
constexpr int64_t kLanePost = 1;

struct FrameHeader {
    uint32_t kind = 0;
    uint32_t message = 0;
    uint64_t wParam = 0;
    uint64_t param = 0;
    uint32_t cbData = 0;
};

void EncodeHeader(uint8_t* out, const FrameHeader& h) {
    StoreU32(out + 0, h.kind);
    StoreU32(out + 4, h.message);
    StoreU64(out + 8, h.wParam);
    StoreU64(out + 16, h.param);
    StoreU32(out + 24, h.cbData);
    StoreU32(out + 28, 0);
}

FrameHeader DecodeHeader(const uint8_t* in) {
    FrameHeader h;
    h.kind = LoadU32(in + 0);
    h.message = LoadU32(in + 4);
    h.wParam = LoadU64(in + 8);
    h.param = LoadU64(in + 16);
    h.cbData = LoadU32(in + 24);
    return h;
}

bool IsAcceptableHeader(const FrameHeader& h) {
    if (h.kind == kFramePost) {
        return h.cbData == 0;
    }
    return h.kind == kFrameSend && h.message == kMsgCopyData && h.cbData <= kMaxBlockBytes;
}

// ---- 2. Process state ----------------------------------------------------------

// One accepted connection of a window, read by the window's thread only.
struct Peer {
    int fd = -1;
    uint8_t head[kFrameHeaderSize] = {};
    size_t headGot = 0;
    FrameHeader header;
    std::unique_ptr<uint8_t[]> body;
    size_t bodyGot = 0;
    // Complete sends waiting for the window procedure.
    struct Sent {
        FrameHeader header;
        std::unique_ptr<uint8_t[]> body;
    };
    std::deque<Sent> sent;

    ~Peer() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct ThreadQueue;

struct LocalWindow {
    WindowHandle handle = 0;
    WndProc proc = nullptr;
    uint32_t ownerThread = 0;
    // Never reset, so that a poster holding the window can reach the queue.
    std::shared_ptr<ThreadQueue> owner;
    // Owner thread only:
    int listenFd = -1;
    std::vector<std::shared_ptr<Peer>> peers;
    bool destroying = false;
    // Under owner->mutex: cleared as the window goes, so that no post lands
    // in the queue after its messages were purged.
    bool alive = true;
};

// The message queue of a thread that owns windows.
struct ThreadQueue {
    uint32_t threadId = 0;
    std::mutex mutex;
    // Under mutex: posters write to the wake descriptor while holding it,
    // and it is closed while holding it.
    int wakeFd = -1;
    bool closed = false;
    std::deque<WindowMessage> posted;
    // Owner thread only:
    std::vector<std::shared_ptr<LocalWindow>> windows;
    std::vector<uint8_t> scratch;
    std::vector<pollfd> pollSet;
    struct Target {
        std::shared_ptr<LocalWindow> window;  // null for the wake descriptor
        std::shared_ptr<Peer> peer;           // null for a listener
    };
    std::vector<Target> targets;
    // Set in a forked child, where the queue's thread no longer exists.
    bool orphaned = false;
};

// A connection of this process to a window (of any process).
struct Connection {
    int fd = -1;
    // One frame and its answer at a time: an auto-reset event used as a
    // lock with a timed wait (signalled = free).
    CEvent free;
    std::atomic<bool> dead{false};
    Connection() { free.Set(); }
    ~Connection() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct State {
    std::mutex mutex;  // guards everything below
    std::unordered_map<std::string, WndProc> classes;
    std::unordered_map<WindowHandle, std::shared_ptr<LocalWindow>> windows;
    // Key: handle * 2 + lane.
    std::unordered_map<int64_t, std::shared_ptr<Connection>> connections;
    std::unordered_set<ThreadQueue*> queues;
    size_t sweepAt = kMinSweep;
};

void ForkPrepare();
void ForkParent();
void ForkChild();

// Never destroyed: threads and static destructors may reach windows at exit.
State* g_state = nullptr;
std::once_flag g_stateOnce;

State& S() {
    std::call_once(g_stateOnce, [] {
        g_state = new State;
        pthread_atfork(ForkPrepare, ForkParent, ForkChild);
    });
    return *g_state;
}

int64_t ConnectionKey(WindowHandle window, int64_t lane) {
    return static_cast<int64_t>(window) * 2 + lane;
}

// ---- 3. Fork and thread exit -----------------------------------------------------

void ForkPrepare() {
    g_state->mutex.lock();
}

void ForkParent() {
    g_state->mutex.unlock();
}

// The child starts with no windows and no connections: the parent's windows
// are not its own (their names must die with the parent's sockets, so the
// inherited descriptors are closed), and the parent's connections would mix
// the two processes' frames. Classes stay registered. The old state is left
// allocated: its locks may be held by threads that do not exist here.
void ForkChild() {
    State* old = g_state;
    for (auto& entry : old->windows) {
        LocalWindow& w = *entry.second;
        if (w.listenFd >= 0) {
            close(w.listenFd);
            w.listenFd = -1;
        }
        for (auto& peer : w.peers) {
            if (peer->fd >= 0) {
                close(peer->fd);
                peer->fd = -1;
            }
        }
    }
    for (ThreadQueue* q : old->queues) {
        if (q->wakeFd >= 0) {
            close(q->wakeFd);
            q->wakeFd = -1;
        }
        q->closed = true;
        q->orphaned = true;
    }
    for (auto& entry : old->connections) {
        Connection& c = *entry.second;
        if (c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
        c.dead = true;
    }
    State* fresh = new (std::nothrow) State;
    if (fresh != nullptr) {
        fresh->classes = old->classes;
        g_state = fresh;
    }
}

void RemoveWindow(const std::shared_ptr<LocalWindow>& w);

// Windows do not outlive their thread: when a thread ends without destroying
// its windows, they go with it (without WM_DESTROY: their procedure may
// belong to code that is already gone).
struct ThreadOwner {
    std::shared_ptr<ThreadQueue> queue;
    ~ThreadOwner() {
        if (queue == nullptr || queue->orphaned) {
            return;
        }
        const std::vector<std::shared_ptr<LocalWindow>> windows = queue->windows;
        for (const auto& w : windows) {
            RemoveWindow(w);
        }
        {
            std::lock_guard<std::mutex> hold(queue->mutex);
            queue->closed = true;
            if (queue->wakeFd >= 0) {
                close(queue->wakeFd);
                queue->wakeFd = -1;
            }
            queue->posted.clear();
        }
        State& s = S();
        std::lock_guard<std::mutex> hold(s.mutex);
        s.queues.erase(queue.get());
    }
};

thread_local ThreadOwner t_owner;

// The calling thread's queue; with create, made on first use. Null on failure
// (last error set).
ThreadQueue* CurrentQueue(bool create) {
    if (t_owner.queue != nullptr && !t_owner.queue->orphaned) {
        return t_owner.queue.get();
    }
    if (!create) {
        return nullptr;
    }
    auto q = std::make_shared<ThreadQueue>();
    q->threadId = CurrentThreadId();
    q->wakeFd = inject::Fail(inject::kEvent) ? (errno = ENOMEM, -1)
                                             : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (q->wakeFd < 0) {
        SetLastErrorCode(errno);
        return nullptr;
    }
    q->scratch.resize(kScratchBytes);
    State& s = S();
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        s.queues.insert(q.get());
    }
    t_owner.queue = std::move(q);
    return t_owner.queue.get();
}

// ---- 4. Socket helpers ------------------------------------------------------------

socklen_t WindowAddress(WindowHandle window, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    // Abstract namespace: a leading zero byte, and no terminator.
    const int n = std::snprintf(addr->sun_path + 1, sizeof addr->sun_path - 1, "tarvik-window-%d",
                                static_cast<int>(window));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

WindowHandle RandomHandle() {
    uint32_t v = 0;
    if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
        // No random source: the clock and the process are still unlikely to
        // repeat, and bind() catches a collision anyway.
        static std::atomic<uint32_t> counter{0};
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        v = static_cast<uint32_t>(now.tv_nsec) * 2654435761u ^ static_cast<uint32_t>(getpid()) ^
            (counter.fetch_add(1) << 20);
    }
    return static_cast<WindowHandle>(v & 0x7FFFFFFFu);
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Whether the other end of a connection is still there: one poll, no wait.
bool IsAlive(int fd) {
    pollfd p{fd, static_cast<short>(POLLRDHUP), 0};
    const int rc = poll(&p, 1, 0);
    if (rc <= 0) {
        return true;  // nothing to report (or interrupted): still connected
    }
    return (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) == 0;
}

// Waits until fd reports `events` or the deadline passes.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc =
            inject::Fail(inject::kPoll) ? (errno = ENOMEM, -1) : poll(&p, 1, RemainingMs(deadline));
        if (rc > 0) {
            return true;  // ready, or an error the next call will report
        }
        if (rc == 0) {
            SetLastErrorCode(ETIMEDOUT);
            return false;
        }
        if (errno != EINTR) {
            SetLastErrorCode(errno);
            return false;
        }
    }
}

// One connection attempt; the descriptor, or -1 with *error set. EAGAIN means
// the window exists but its backlog is full.
int ConnectOnce(WindowHandle window, int* error) {
    const int fd = inject::Fail(inject::kSocket)
                       ? (errno = EMFILE, -1)
                       : socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    sockaddr_un addr;
    const socklen_t len = WindowAddress(window, &addr);
    if (inject::Fail(inject::kConnect)) {
        errno = ECONNREFUSED;
    } else if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
        return fd;
    }
    *error = errno;
    close(fd);
    return -1;
}

// Writes the header and block fully, or fails (time-out, hang-up).
bool WriteFrame(int fd, const uint8_t* head, const void* block, size_t blockBytes,
                Clock::time_point deadline) {
    iovec iov[2];
    iov[0].iov_base = const_cast<uint8_t*>(head);
    iov[0].iov_len = kFrameHeaderSize;
    iov[1].iov_base = const_cast<void*>(block);
    iov[1].iov_len = blockBytes;
    size_t first = 0;
    const size_t count = blockBytes > 0 ? 2 : 1;
    while (first < count) {
        msghdr m{};
        m.msg_iov = iov + first;
        m.msg_iovlen = count - first;
        const ssize_t n = inject::Fail(inject::kSend)
                              ? (errno = EPIPE, -1)
                              : sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                SetLastErrorCode(errno);
                return false;
            }
            if (!WaitFor(fd, POLLOUT, deadline)) {
                return false;
            }
            continue;
        }
        size_t done = static_cast<size_t>(n);
        while (first < count && done >= iov[first].iov_len) {
            done -= iov[first].iov_len;
            ++first;
        }
        if (first < count) {
            iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
    return true;
}

bool ReadReply(int fd, Clock::time_point deadline, intptr_t* result) {
    uint8_t reply[kReplySize];
    size_t got = 0;
    while (got < kReplySize) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t n = inject::Fail(inject::kRecv)
                              ? (errno = ECONNRESET, -1)
                              : recv(fd, reply + got, kReplySize - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            SetLastErrorCode(ECONNRESET);  // the window went away
            return false;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            SetLastErrorCode(errno);
            return false;
        }
    }
    if (result != nullptr) {
        *result = static_cast<intptr_t>(static_cast<int64_t>(LoadU64(reply)));
    }
    return true;
}

// Drops dead connections; the state lock is held.
void SweepLocked(State& s) {
    for (auto it = s.connections.begin(); it != s.connections.end();) {
        if (!IsAlive(it->second->fd)) {
            it->second->dead = true;
            it = s.connections.erase(it);
        } else {
            ++it;
        }
    }
    s.sweepAt = std::max(kMinSweep, 2 * s.connections.size());
}

// Caches a new connection unless another thread cached a live one meanwhile;
// returns the one to use.
std::shared_ptr<Connection> CacheConnection(int64_t key, std::shared_ptr<Connection> fresh) {
    State& s = S();
    std::lock_guard<std::mutex> hold(s.mutex);
    auto it = s.connections.find(key);
    if (it != s.connections.end()) {
        if (!it->second->dead && IsAlive(it->second->fd)) {
            return it->second;
        }
        it->second->dead = true;
        it->second = fresh;
        return fresh;
    }
    if (s.connections.size() + 1 >= s.sweepAt) {
        SweepLocked(s);
    }
    s.connections.emplace(key, fresh);
    return fresh;
}

// The cached live connection to the window's lane, or a new one.
std::shared_ptr<Connection> GetConnection(WindowHandle window, int64_t lane,
                                          Clock::time_point deadline) {
    const int64_t key = ConnectionKey(window, lane);
    State& s = S();
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        auto it = s.connections.find(key);
        if (it != s.connections.end()) {
            if (IsAlive(it->second->fd)) {
                return it->second;
            }
            it->second->dead = true;
            s.connections.erase(it);
        }
    }
    int error = 0;
    int fd;
    while ((fd = ConnectOnce(window, &error)) < 0) {
        if ((error != EAGAIN && error != EINTR) || RemainingMs(deadline) == 0) {
            SetLastErrorCode(error == EAGAIN ? ETIMEDOUT : error);
            return nullptr;
        }
        SleepMs(1);  // a full backlog: the window's thread is behind
    }
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    return CacheConnection(key, std::move(conn));
}

void DiscardConnection(int64_t key, const std::shared_ptr<Connection>& conn) {
    conn->dead = true;
    State& s = S();
    std::lock_guard<std::mutex> hold(s.mutex);
    auto it = s.connections.find(key);
    if (it != s.connections.end() && it->second == conn) {
        s.connections.erase(it);
    }
}

// One frame over the window's lane, and for a send its answer.
bool Transact(WindowHandle window, int64_t lane, const FrameHeader& header, const void* block,
              Clock::time_point deadline, intptr_t* result) {
    uint8_t head[kFrameHeaderSize];
    EncodeHeader(head, header);
    const int64_t key = ConnectionKey(window, lane);
    // A connection found dead after waiting for it is replaced once or twice.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::shared_ptr<Connection> conn = GetConnection(window, lane, deadline);
        if (conn == nullptr) {
            return false;
        }
        if (!conn->free.Wait(RemainingMs(deadline))) {
            SetLastErrorCode(ETIMEDOUT);
            return false;
        }
        struct Release {
            Connection& c;
            ~Release() { c.free.Set(); }
        } release{*conn};
        if (conn->dead) {
            continue;
        }
        const bool ok = WriteFrame(conn->fd, head, block, header.cbData, deadline) &&
                        (lane == kLanePost || ReadReply(conn->fd, deadline, result));
        if (!ok) {
            // A late answer would be taken for the next send's: never reuse.
            DiscardConnection(key, conn);
            return false;
        }
        return true;
    }
    SetLastErrorCode(ECONNRESET);
    return false;
}

std::shared_ptr<LocalWindow> FindLocal(WindowHandle window) {
    State& s = S();
    std::lock_guard<std::mutex> hold(s.mutex);
    auto it = s.windows.find(window);
    return it != s.windows.end() ? it->second : nullptr;
}

// ---- 5. Classes, creating and destroying ------------------------------------------

// Takes the window out of every table and closes its sockets: connected
// senders see the hang-up at once, and connections not yet accepted are reset
// with the listener. Runs on the owner thread.
void RemoveWindow(const std::shared_ptr<LocalWindow>& w) {
    std::vector<std::shared_ptr<Connection>> dropped;
    {
        State& s = S();
        std::lock_guard<std::mutex> hold(s.mutex);
        auto it = s.windows.find(w->handle);
        if (it != s.windows.end() && it->second == w) {
            s.windows.erase(it);
        }
        for (int64_t lane : {kLaneSend, kLanePost}) {
            auto c = s.connections.find(ConnectionKey(w->handle, lane));
            if (c != s.connections.end()) {
                c->second->dead = true;
                dropped.push_back(std::move(c->second));
                s.connections.erase(c);
            }
        }
    }
    ThreadQueue& q = *w->owner;
    {
        std::lock_guard<std::mutex> hold(q.mutex);
        w->alive = false;
        q.posted.erase(
            std::remove_if(q.posted.begin(), q.posted.end(),
                           [&](const WindowMessage& m) { return m.window == w->handle; }),
            q.posted.end());
    }
    if (w->listenFd >= 0) {
        close(w->listenFd);
        w->listenFd = -1;
    }
    w->peers.clear();
    q.windows.erase(std::remove(q.windows.begin(), q.windows.end(), w), q.windows.end());
}

// Binds a new listening socket to a fresh handle; false with last error set.
bool OpenEndpoint(int* fdOut, WindowHandle* handleOut) {
    const int fd = inject::Fail(inject::kSocket)
                       ? (errno = EMFILE, -1)
                       : socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorCode(errno);
        return false;
    }
    for (int attempt = 0; attempt < kHandleAttempts; ++attempt) {
        const WindowHandle handle = RandomHandle();
        if (handle == 0) {
            continue;
        }
        sockaddr_un addr;
        const socklen_t len = WindowAddress(handle, &addr);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
            if (listen(fd, SOMAXCONN) != 0) {
                SetLastErrorCode(errno);
                close(fd);
                return false;
            }
            *fdOut = fd;
            *handleOut = handle;
            return true;
        }
        if (errno != EADDRINUSE) {
            SetLastErrorCode(errno);
            close(fd);
            return false;
        }
    }
    SetLastErrorCode(EADDRINUSE);
    close(fd);
    return false;
}

// ---- 6. The receiving side ----------------------------------------------------------

void ClosePeer(LocalWindow& w, const std::shared_ptr<Peer>& peer) {
    w.peers.erase(std::remove(w.peers.begin(), w.peers.end(), peer), w.peers.end());
}

// A posted frame goes to the queue; a send waits for the procedure.
void FinishFrame(ThreadQueue& q, LocalWindow& w, Peer& peer) {
    if (peer.header.kind == kFramePost) {
        std::lock_guard<std::mutex> hold(q.mutex);
        if (w.alive) {
            q.posted.push_back(WindowMessage{w.handle, peer.header.message,
                                             static_cast<uintptr_t>(peer.header.wParam),
                                             static_cast<intptr_t>(peer.header.param)});
        }
    } else {
        peer.sent.push_back(Peer::Sent{peer.header, std::move(peer.body)});
    }
    peer.headGot = 0;
    peer.body.reset();
    peer.bodyGot = 0;
}

// Takes `n` bytes read from the peer; false on a frame it must refuse.
bool Feed(ThreadQueue& q, LocalWindow& w, Peer& peer, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        if (peer.headGot < kFrameHeaderSize) {
            const size_t take = std::min(n, kFrameHeaderSize - peer.headGot);
            std::memcpy(peer.head + peer.headGot, bytes, take);
            peer.headGot += take;
            bytes += take;
            n -= take;
            if (peer.headGot < kFrameHeaderSize) {
                break;
            }
            peer.header = DecodeHeader(peer.head);
            if (!IsAcceptableHeader(peer.header)) {
                return false;
            }
            if (peer.header.cbData == 0) {
                FinishFrame(q, w, peer);
                continue;
            }
            peer.body.reset(new (std::nothrow) uint8_t[peer.header.cbData]);
            if (peer.body == nullptr) {
                return false;
            }
            peer.bodyGot = 0;
            continue;
        }
        const size_t take = std::min(n, static_cast<size_t>(peer.header.cbData) - peer.bodyGot);
        std::memcpy(peer.body.get() + peer.bodyGot, bytes, take);
        peer.bodyGot += take;
        bytes += take;
        n -= take;
        if (peer.bodyGot == peer.header.cbData) {
            FinishFrame(q, w, peer);
        }
    }
    return true;
}

// One read from a readable peer; false when it is to be closed.
bool ReadPeer(ThreadQueue& q, LocalWindow& w, Peer& peer) {
    if (inject::Fail(inject::kRecv)) {
        return false;  // as a reset connection
    }
    const bool inBlock = peer.headGot == kFrameHeaderSize && peer.body != nullptr;
    if (inBlock && peer.header.cbData - peer.bodyGot >= kScratchBytes) {
        // Deep inside a large block: read straight into it.
        const ssize_t n = recv(peer.fd, peer.body.get() + peer.bodyGot,
                               peer.header.cbData - peer.bodyGot, MSG_DONTWAIT);
        if (n > 0) {
            peer.bodyGot += static_cast<size_t>(n);
            if (peer.bodyGot == peer.header.cbData) {
                FinishFrame(q, w, peer);
            }
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    const ssize_t n = recv(peer.fd, q.scratch.data(), q.scratch.size(), MSG_DONTWAIT);
    if (n > 0) {
        return Feed(q, w, peer, q.scratch.data(), static_cast<size_t>(n));
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

void AcceptAll(LocalWindow& w) {
    for (;;) {
        const int fd = inject::Fail(inject::kSocket)
                           ? (errno = EMFILE, -1)
                           : accept4(w.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // none left (or a connection reset before it was taken)
        }
        auto peer = std::make_shared<Peer>();
        peer->fd = fd;
        w.peers.push_back(std::move(peer));
    }
}

// Runs the procedure for one complete send, and answers it. false when none
// was waiting.
bool DispatchOneSent(ThreadQueue& q) {
    for (size_t i = 0; i < q.windows.size(); ++i) {
        std::shared_ptr<LocalWindow> w = q.windows[i];
        for (size_t j = 0; j < w->peers.size(); ++j) {
            std::shared_ptr<Peer> peer = w->peers[j];
            if (peer->sent.empty()) {
                continue;
            }
            Peer::Sent sent = std::move(peer->sent.front());
            peer->sent.pop_front();
            CopyData data;
            data.dwData = static_cast<uintptr_t>(sent.header.param);
            data.cbData = sent.header.cbData;
            data.lpData = sent.header.cbData > 0 ? sent.body.get() : nullptr;
            // The procedure may destroy the window (or others); w and peer
            // stay valid here, and the caller re-reads its lists after.
            const intptr_t result =
                w->proc(w->handle, kMsgCopyData, static_cast<uintptr_t>(sent.header.wParam),
                        reinterpret_cast<intptr_t>(&data));
            uint8_t reply[kReplySize];
            StoreU64(reply, static_cast<uint64_t>(static_cast<int64_t>(result)));
            if (peer->fd < 0 || inject::Fail(inject::kSend) ||
                send(peer->fd, reply, kReplySize, MSG_NOSIGNAL | MSG_DONTWAIT) !=
                    static_cast<ssize_t>(kReplySize)) {
                ClosePeer(*w, peer);  // its sender gave up, or went away
            }
            return true;
        }
    }
    return false;
}

bool HasSent(const ThreadQueue& q) {
    for (const auto& w : q.windows) {
        for (const auto& peer : w->peers) {
            if (!peer->sent.empty()) {
                return true;
            }
        }
    }
    return false;
}

bool Matches(const WindowMessage& m, WindowHandle window) {
    return window == 0 || m.window == window;
}

bool HasPosted(ThreadQueue& q, WindowHandle window) {
    std::lock_guard<std::mutex> hold(q.mutex);
    return std::any_of(q.posted.begin(), q.posted.end(),
                       [&](const WindowMessage& m) { return Matches(m, window); });
}

bool PopPosted(ThreadQueue& q, WindowHandle window, WindowMessage* msg) {
    std::lock_guard<std::mutex> hold(q.mutex);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (Matches(*it, window)) {
            *msg = *it;
            q.posted.erase(it);
            return true;
        }
    }
    return false;
}

// One wait over the wake descriptor and every socket of the thread's
// windows, and what it found: new connections accepted, frames read, peers
// that hung up closed. No procedure runs here. false on a poll error.
bool PollOnce(ThreadQueue& q, int timeoutMs) {
    q.pollSet.clear();
    q.targets.clear();
    q.pollSet.push_back(pollfd{q.wakeFd, POLLIN, 0});
    q.targets.push_back(ThreadQueue::Target{nullptr, nullptr});
    for (const auto& w : q.windows) {
        q.pollSet.push_back(pollfd{w->listenFd, POLLIN, 0});
        q.targets.push_back(ThreadQueue::Target{w, nullptr});
        for (const auto& peer : w->peers) {
            q.pollSet.push_back(pollfd{peer->fd, POLLIN, 0});
            q.targets.push_back(ThreadQueue::Target{w, peer});
        }
    }
    const int rc = inject::Fail(inject::kPoll)
                       ? (errno = ENOMEM, -1)
                       : poll(q.pollSet.data(), q.pollSet.size(), timeoutMs);
    if (rc < 0) {
        // The references taken for this wait go in every case: a window
        // they kept would keep its thread's queue, and the queue the window.
        const int error = errno;
        q.targets.clear();
        if (error == EINTR) {
            return true;
        }
        if (error == ENOMEM || error == EAGAIN) {
            // Short of kernel memory for a moment: a window's loop must not
            // end for that (GetMessage fails only for a bad window), so wait
            // a little and look again.
            SleepMs(1);
            return true;
        }
        SetLastErrorCode(error);
        return false;
    }
    for (size_t i = 0; i < q.pollSet.size() && rc > 0; ++i) {
        if (q.pollSet[i].revents == 0) {
            continue;
        }
        ThreadQueue::Target& t = q.targets[i];
        if (t.window == nullptr) {
            uint64_t count;
            while (read(q.wakeFd, &count, sizeof count) > 0) {
            }
        } else if (t.peer == nullptr) {
            AcceptAll(*t.window);
        } else if (!ReadPeer(q, *t.window, *t.peer)) {
            ClosePeer(*t.window, t.peer);
        }
    }
    q.targets.clear();  // drop the references taken for this wait
    return true;
}

bool OwnsWindow(const ThreadQueue& q, WindowHandle window) {
    return std::any_of(q.windows.begin(), q.windows.end(),
                       [&](const std::shared_ptr<LocalWindow>& w) { return w->handle == window; });
}

int32_t GetMessageImpl(WindowMessage* msg, WindowHandle window) {
    ThreadQueue* q = CurrentQueue(false);
    if (q == nullptr || (window != 0 && !OwnsWindow(*q, window))) {
        // Not a window of this thread: only its owner can take its messages.
        SetLastErrorCode(EINVAL);
        return -1;
    }
    for (;;) {
        if (q->orphaned || (window != 0 && !OwnsWindow(*q, window))) {
            SetLastErrorCode(EINVAL);  // destroyed by its own procedure
            return -1;
        }
        // Sent messages go first, as on Windows: they are dispatched before
        // a posted message is returned.
        if (DispatchOneSent(*q)) {
            continue;
        }
        const bool waiting = HasPosted(*q, window);
        if (!PollOnce(*q, waiting ? 0 : -1)) {
            return -1;
        }
        if (HasSent(*q)) {
            continue;
        }
        if (PopPosted(*q, window, msg)) {
            return msg->message == kMsgQuit ? 0 : 1;
        }
    }
}

}  // namespace

// ---- Classes -------------------------------------------------------------------------

bool WindowClassRegister(const char* className, WndProc proc) {
    if (className == nullptr || proc == nullptr) {
        SetLastErrorCode(EINVAL);
        return false;
    }
    try {
        State& s = S();
        std::lock_guard<std::mutex> hold(s.mutex);
        if (!s.classes.emplace(className, proc).second) {
            SetLastErrorCode(kErrorClassAlreadyExists);
            return false;
        }
        return true;
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return false;
    }
}

bool WindowClassIsKnown(const char* className) {
    if (className == nullptr) {
        return false;
    }
    try {
        State& s = S();
        std::lock_guard<std::mutex> hold(s.mutex);
        return s.classes.count(className) != 0;
    } catch (...) {
        return false;
    }
}

// ---- Creating and destroying ------------------------------------------------------------

WindowHandle WindowCreate(const char* className, const char* title) {
    (void)title;  // a hidden window's title is seen by no one here
    if (!Admit(className != nullptr, EINVAL, inject::kWindowCreate, ENOMEM)) {
        return 0;
    }
    try {
        WndProc proc = nullptr;
        {
            State& s = S();
            std::lock_guard<std::mutex> hold(s.mutex);
            auto it = s.classes.find(className);
            if (it != s.classes.end()) {
                proc = it->second;
            }
        }
        if (proc == nullptr) {
            SetLastErrorCode(kErrorClassNotFound);
            return 0;
        }
        ThreadQueue* q = CurrentQueue(true);
        if (q == nullptr) {
            return 0;
        }
        int fd = -1;
        WindowHandle handle = 0;
        if (!OpenEndpoint(&fd, &handle)) {
            return 0;
        }
        auto w = std::make_shared<LocalWindow>();
        w->handle = handle;
        w->proc = proc;
        w->ownerThread = q->threadId;
        w->owner = t_owner.queue;
        w->listenFd = fd;
        {
            State& s = S();
            std::lock_guard<std::mutex> hold(s.mutex);
            s.windows[handle] = w;
        }
        q->windows.push_back(w);
        if (proc(handle, kMsgCreate, 0, 0) == -1) {
            // The procedure refused its window.
            WindowDestroy(handle);
            SetLastErrorCode(ECANCELED);
            return 0;
        }
        return handle;
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return 0;
    }
}

void WindowHide(WindowHandle window) {
    (void)window;  // never shown
}

bool WindowDestroy(WindowHandle window) {
    try {
        std::shared_ptr<LocalWindow> w = FindLocal(window);
        if (w == nullptr) {
            SetLastErrorCode(EINVAL);
            return false;
        }
        if (w->ownerThread != CurrentThreadId()) {
            // Only its own thread may destroy a window, as on Windows: that
            // thread may be waiting on the window's sockets right now.
            SetLastErrorCode(EPERM);
            return false;
        }
        if (w->destroying) {
            return true;  // again from its own WM_DESTROY
        }
        w->destroying = true;
        w->proc(window, kMsgDestroy, 0, 0);
        RemoveWindow(w);
        return true;
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return false;
    }
}

// ---- The message loop ----------------------------------------------------------------------

int32_t WindowGetMessage(WindowMessage* msg, WindowHandle window) {
    if (msg == nullptr) {
        SetLastErrorCode(EINVAL);
        return -1;
    }
    try {
        return GetMessageImpl(msg, window);
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return -1;
    }
}

void WindowTranslateMessage(const WindowMessage* msg) {
    (void)msg;  // no keyboard here
}

intptr_t WindowDispatchMessage(const WindowMessage* msg) {
    if (msg == nullptr) {
        return 0;
    }
    WndProc proc = nullptr;
    try {
        std::shared_ptr<LocalWindow> w = FindLocal(msg->window);
        if (w == nullptr) {
            return 0;
        }
        proc = w->proc;
    } catch (...) {
        return 0;
    }
    return proc(msg->window, msg->message, msg->wParam, msg->lParam);
}

intptr_t WindowDefaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) {
    (void)window;
    (void)message;
    (void)wParam;
    (void)lParam;
    return 0;
}

// ---- 7. The sending side --------------------------------------------------------------------

bool WindowPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window <= 0) {
        SetLastErrorCode(EINVAL);
        return false;
    }
    if (!Admit(inject::kWindowSend, ENOMEM)) {
        return false;
    }
    try {
        std::shared_ptr<LocalWindow> w = FindLocal(window);
        if (w != nullptr) {
            ThreadQueue& q = *w->owner;
            std::lock_guard<std::mutex> hold(q.mutex);
            if (!w->alive || q.closed) {
                SetLastErrorCode(EINVAL);
                return false;
            }
            q.posted.push_back(WindowMessage{window, message, wParam, lParam});
            const uint64_t one = 1;
            (void)!write(q.wakeFd, &one, sizeof one);
            return true;
        }
        FrameHeader header;
        header.kind = kFramePost;
        header.message = message;
        header.wParam = wParam;
        header.param = static_cast<uint64_t>(static_cast<int64_t>(lParam));
        const auto deadline = Clock::now() + std::chrono::milliseconds(kPostTimeoutMs);
        return Transact(window, kLanePost, header, nullptr, deadline, nullptr);
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return false;
    }
}

bool WindowSendCopyData(WindowHandle target, uintptr_t wParam, const CopyData* data,
                        uint32_t timeoutMs, intptr_t* result) {
    if (target <= 0 || data == nullptr || (data->cbData > 0 && data->lpData == nullptr)) {
        SetLastErrorCode(EINVAL);
        return false;
    }
    if (data->cbData > kMaxBlockBytes) {
        SetLastErrorCode(EMSGSIZE);
        return false;
    }
    if (!Admit(inject::kWindowSend, ETIMEDOUT)) {
        return false;
    }
    try {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::shared_ptr<LocalWindow> w = FindLocal(target);
        if (w != nullptr && w->ownerThread == CurrentThreadId()) {
            // A window of the calling thread: its procedure is called
            // directly, as on Windows (a round trip would wait on itself).
            CopyData copy = *data;
            const intptr_t r =
                w->proc(target, kMsgCopyData, wParam, reinterpret_cast<intptr_t>(&copy));
            if (result != nullptr) {
                *result = r;
            }
            return true;
        }
        FrameHeader header;
        header.kind = kFrameSend;
        header.message = kMsgCopyData;
        header.wParam = wParam;
        header.param = data->dwData;
        header.cbData = data->cbData;
        return Transact(target, kLaneSend, header, data->lpData, deadline, result);
    } catch (...) {
        SetLastErrorCode(ENOMEM);
        return false;
    }
}

bool WindowIsWindow(WindowHandle window) {
    if (window <= 0) {
        return false;
    }
    try {
        const int64_t key = ConnectionKey(window, kLaneSend);
        State& s = S();
        {
            std::lock_guard<std::mutex> hold(s.mutex);
            if (s.windows.count(window) != 0) {
                return true;
            }
            auto it = s.connections.find(key);
            if (it != s.connections.end()) {
                if (IsAlive(it->second->fd)) {
                    return true;
                }
                it->second->dead = true;
                s.connections.erase(it);
            }
        }
        // No connection yet (or a dead one): one attempt, kept for the
        // sends and the next question.
        int error = 0;
        const int fd = ConnectOnce(window, &error);
        if (fd < 0) {
            return error == EAGAIN;  // a window whose backlog is full
        }
        auto conn = std::make_shared<Connection>();
        conn->fd = fd;
        CacheConnection(key, std::move(conn));
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace plat
}  // namespace tarvik
