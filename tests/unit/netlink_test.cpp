// The TCP network connection object against peers written here, on the
// loopback interface only; and the client's two handlers against a fake
// object.
#include "client/netlink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "tarvik/tarvik.h"

#if defined(_WIN32)
// Winsock 2 before windows.h, which would otherwise bring in the old one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "client_probe.h"
#include "netlink/tcp_netlink.h"
#include "platform/inject.h"
#include "platform/platform.h"

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls cond until it holds or the time is up; true when it held.
[[maybe_unused]] bool WaitUntil(const std::function<bool()>& cond, int ms = 10000) {
    const auto end = Clock::now() + milliseconds(ms);
    while (!cond()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

[[maybe_unused]] int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// ---- The peers' sockets ------------------------------------------------------------
//
// Held as int on both systems: Winsock's handles are small numbers, and its
// INVALID_SOCKET is -1 as an int.

#if defined(_WIN32)
SOCKET S(int fd) {
    return static_cast<SOCKET>(fd);
}
int NewStreamSocket() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        return -1;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
// Readable (or hung up) within ms.
bool WaitIn(int fd, int ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(S(fd), &r);
    timeval t;
    t.tv_sec = ms / 1000;
    t.tv_usec = (ms % 1000) * 1000;
    return ::select(0, &r, nullptr, nullptr, &t) == 1;
}
int AcceptPeer(int fd) {
    const SOCKET s = ::accept(S(fd), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
long SendPeer(int fd, const void* p, size_t n) {
    return ::send(S(fd), static_cast<const char*>(p), static_cast<int>(n), 0);
}
long RecvPeer(int fd, void* p, size_t n) {
    return ::recv(S(fd), static_cast<char*>(p), static_cast<int>(n), 0);
}
void ClosePeer(int fd) {
    ::closesocket(S(fd));
}
#else
int NewStreamSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
bool WaitIn(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}
int AcceptPeer(int fd) {
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}
long SendPeer(int fd, const void* p, size_t n) {
    return static_cast<long>(::send(fd, p, n, MSG_NOSIGNAL));
}
long RecvPeer(int fd, void* p, size_t n) {
    return static_cast<long>(::recv(fd, p, n, 0));
}
void ClosePeer(int fd) {
    ::close(fd);
}
#endif

// ---- Peers on 127.0.0.1 ----------------------------------------------------------

class Listener {
  public:
    explicit Listener(int backlog = 16) {
        fd_ = NewStreamSocket();
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, backlog), 0);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { Stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }
    // An accepted connection within ms, or -1.
    int Accept(int ms = 5000) {
        if (!WaitIn(fd_, ms)) {
            return -1;
        }
        return AcceptPeer(fd_);
    }
    void Stop() {
        if (fd_ >= 0) {
            ClosePeer(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port with no listener behind it.
uint16_t DeadPort() {
    Listener l;
    return l.port();
}

bool WriteAll(int fd, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        const long r = SendPeer(fd, b, n);
        if (r <= 0) {
            return false;
        }
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// True when the peer sees the end of the stream within ms.
bool SeesEof(int fd, int ms = 5000) {
    const auto end = Clock::now() + milliseconds(ms);
    char c;
    while (Clock::now() < end) {
        if (WaitIn(fd, 100)) {
            const long r = RecvPeer(fd, &c, 1);
            if (r <= 0) {
                return true;
            }
        }
    }
    return false;
}

// Accepts one connection and echoes it until the end of the stream.
class EchoPeer {
  public:
    EchoPeer() : thread_([this] { Run(); }) {}
    ~EchoPeer() {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return listener_.port(); }

  private:
    void Run() {
        int fd = -1;
        while (!stop_ && fd < 0) {
            fd = listener_.Accept(50);
        }
        std::vector<uint8_t> buf(65536);
        while (!stop_ && fd >= 0) {
            if (!WaitIn(fd, 50)) {
                continue;
            }
            const long r = RecvPeer(fd, buf.data(), buf.size());
            if (r <= 0 || !WriteAll(fd, buf.data(), static_cast<size_t>(r))) {
                break;
            }
        }
        if (fd >= 0) {
            ClosePeer(fd);
        }
    }
    Listener listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#if !defined(_WIN32)
size_t CountEntries(const char* dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                ++n;
            }
        }
        ::closedir(d);
    }
    return n;
}
size_t OpenFds() {
    return CountEntries("/proc/self/fd");
}
size_t Threads() {
    return CountEntries("/proc/self/task");
}
#endif

// ---- What the handlers saw -------------------------------------------------------

struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint8_t> data;
    int dataCalls = 0;
    int events = 0;
    bool connectedInEvent = false;
    size_t bytesAtEvent = 0;
    std::vector<int32_t> reasons;  // the thread's last error in each event
    std::function<void(INetLink*)> onData;
    std::function<void(INetLink*)> onEvent;

    size_t Size() {
        std::lock_guard<std::mutex> l(m);
        return data.size();
    }
    int Events() {
        std::lock_guard<std::mutex> l(m);
        return events;
    }
    int DataCalls() {
        std::lock_guard<std::mutex> l(m);
        return dataCalls;
    }
};

void NETLINK_CALL OnData(INetLink* link, void* owner) {
    auto* r = static_cast<Recorder*>(owner);
    const int32_t n = link->GetAvailable();
    if (n <= 0) {
        return;
    }
    std::vector<uint8_t> buf(static_cast<size_t>(n));
    const int32_t got = link->Receive(buf.data(), n);
    EXPECT_EQ(got, n);
    {
        std::lock_guard<std::mutex> l(r->m);
        r->data.insert(r->data.end(), buf.begin(), buf.begin() + got);
        ++r->dataCalls;
    }
    if (r->onData) {
        r->onData(link);
    }
}

void NETLINK_CALL OnEvent(INetLink* link, void* owner) {
    const int32_t reason = plat::LastErrorCode();
    auto* r = static_cast<Recorder*>(owner);
    const bool up = link->IsConnected();
    {
        std::lock_guard<std::mutex> l(r->m);
        r->reasons.push_back(reason);
        ++r->events;
        r->connectedInEvent = up;
        r->bytesAtEvent = r->data.size();
    }
    if (r->onEvent) {
        r->onEvent(link);
    }
}

struct LinkDeleter {
    void operator()(INetLink* l) const { DestroyNetLink(l); }
};
using LinkPtr = std::unique_ptr<INetLink, LinkDeleter>;

LinkPtr MakeLink(Recorder* r) {
    LinkPtr link(CreateNetLink());
    EXPECT_NE(dynamic_cast<CTcpNetLink*>(link.get()), nullptr);
    link->SetOwner(r);
    link->SetReceiveHandler(&OnData);
    link->SetEventHandler(&OnEvent);
    return link;
}

// Connects `link` to `l` and returns the accepted end; -1 when either side
// fails.
int ConnectTo(INetLink* link, Listener& l) {
    if (!link->Connect("127.0.0.1", l.port())) {
        ADD_FAILURE() << "no connection to port " << l.port();
        return -1;
    }
    return l.Accept();
}

// A link connected to a listener of its own; `fd` is the accepted end, -1
// when the connection failed.
class NetLinkConnectedTest : public ::testing::Test {
  protected:
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    Listener l;
    const int fd = ConnectTo(link.get(), l);
};

// Sends everything, retrying short counts; false on an error.
bool SendAll(INetLink* link, const uint8_t* p, size_t n) {
    while (n > 0) {
        const int32_t r = link->Send(p, static_cast<int32_t>(std::min<size_t>(n, 1 << 20)));
        if (r < 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// ---- Connecting ------------------------------------------------------------------------

TEST(NetLinkTest, ConnectFailsOnDeadPortsAndBadArguments) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    const auto start = Clock::now();
    EXPECT_FALSE(link->Connect("127.0.0.1", DeadPort()));
    EXPECT_LT(MsSince(start), CTcpNetLink::kConnectTimeoutMs + 1000);
    EXPECT_FALSE(link->IsConnected());
    Listener l;
    EXPECT_FALSE(link->Connect(nullptr, l.port()));
    EXPECT_FALSE(link->Connect("", l.port()));
    EXPECT_FALSE(link->Connect("127.0.0.1", 0));
#if !defined(_WIN32)
    // Not on Windows: its resolver may ask a name server off this machine.
    EXPECT_FALSE(link->Connect("no-such-host.invalid", l.port()));
#endif
    EXPECT_EQ(link->Send("x", 1), -1);
    EXPECT_EQ(link->GetAvailable(), 0);
    // Each failure told the owner why, with the link down.
#if defined(_WIN32)
    const std::vector<int32_t> reasons = {WSAECONNREFUSED, WSAEDESTADDRREQ, WSAEDESTADDRREQ,
                                          WSAEDESTADDRREQ};
#else
    const std::vector<int32_t> reasons = {ECONNREFUSED, EDESTADDRREQ, EDESTADDRREQ, EDESTADDRREQ,
                                          NETLINK_ERR_NAME_NOT_FOUND};
#endif
    {
        std::lock_guard<std::mutex> g(rec.m);
        EXPECT_EQ(rec.reasons, reasons);
        EXPECT_FALSE(rec.connectedInEvent);
    }
    EXPECT_EQ(link->Reserved3() + link->Reserved6() + link->Reserved8() + link->Reserved12() +
                  link->Reserved13(),
              0);
}

TEST(NetLinkTest, ConnectsByNumberAndByNameAndReplacesTheOldConnection) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    Listener l;
    ASSERT_TRUE(link->Connect("127.0.0.1", l.port()));
    EXPECT_TRUE(link->IsConnected());
    const int first = l.Accept();
    ASSERT_GE(first, 0);

    // A Connect while connected ends the first connection.
    ASSERT_TRUE(link->Connect("localhost", l.port()));
    EXPECT_TRUE(link->IsConnected());
    const int second = l.Accept();
    ASSERT_GE(second, 0);
    EXPECT_TRUE(SeesEof(first));
    ClosePeer(first);

    ASSERT_TRUE(WriteAll(second, "abc", 3));
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() == 3; }));
    link->Close();
    EXPECT_FALSE(link->IsConnected());
    link->Close();  // idempotent
    EXPECT_TRUE(SeesEof(second));
    ClosePeer(second);
    EXPECT_EQ(rec.Events(), 0);  // a Close is not reported
}

TEST(NetLinkTest, ConnectPairTakesTheBackupWhenThePrimaryIsDead) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    Listener primary;
    Listener backup;
    const uint16_t dead = DeadPort();

    ASSERT_TRUE(link->ConnectPair("127.0.0.1", dead, "127.0.0.1", backup.port()));
    int fd = backup.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "b", 1));
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() == 1; }));
    ClosePeer(fd);

    ASSERT_TRUE(link->ConnectPair("127.0.0.1", primary.port(), "127.0.0.1", backup.port()));
    fd = primary.Accept();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(backup.Accept(100), -1);
    ClosePeer(fd);

    // A failed pair is one event, with the primary's reason. The connection
    // whose peer just closed is closed here first, so that its loss (reported
    // whenever the reader sees it) cannot count as the pair's event.
    link->Close();
    const int before = rec.Events();
    EXPECT_FALSE(link->ConnectPair("127.0.0.1", dead, "", backup.port()));
    EXPECT_FALSE(link->IsConnected());
    EXPECT_EQ(rec.Events(), before + 1);
    std::lock_guard<std::mutex> g(rec.m);
#if defined(_WIN32)
    EXPECT_EQ(rec.reasons.back(), WSAECONNREFUSED);
#else
    EXPECT_EQ(rec.reasons.back(), ECONNREFUSED);
#endif
}

TEST(NetLinkTest, TheLossOfAConnectionSaysWhetherThePeerSpokeThisProtocol) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    Listener l;
    // A web server answers the first bytes with its own and hangs up.
    int fd = ConnectTo(link.get(), l);
    ASSERT_GE(fd, 0);
    const char http[] = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(WriteAll(fd, http, sizeof http - 1));
    ClosePeer(fd);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 1; }));
    // A peer that says nothing and closes; one whose stream has the marker.
    int events = 1;
    for (const size_t garbage : {size_t{0}, size_t{5}}) {
        fd = ConnectTo(link.get(), l);
        ASSERT_GE(fd, 0);
        if (garbage > 0) {
            std::vector<uint8_t> bytes(garbage, 0x41);
            bytes.insert(bytes.end(), 8, 0x88);
            ASSERT_TRUE(WriteAll(fd, bytes.data(), bytes.size()));
        }
        ClosePeer(fd);
        ++events;
        ASSERT_TRUE(WaitUntil([&] { return rec.Events() == events; }));
    }
    std::lock_guard<std::mutex> g(rec.m);
    EXPECT_EQ(rec.reasons,
              (std::vector<int32_t>{NETLINK_ERR_NOT_THIS_PROTOCOL, NETLINK_ERR_PEER_CLOSED,
                                    NETLINK_ERR_PEER_CLOSED}));
}

// ---- Bytes -------------------------------------------------------------------------------

TEST(NetLinkTest, MegabyteRoundTripArrivesInOrderThroughTheHandler) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    EchoPeer echo;
    ASSERT_TRUE(link->Connect("127.0.0.1", echo.port()));

    std::mt19937 rng(12345);
    std::vector<uint8_t> payload(1 << 20);
    for (auto& b : payload) {
        b = static_cast<uint8_t>(rng());
    }
    // Sent in pieces of random length, so both sides split anywhere.
    size_t at = 0;
    while (at < payload.size()) {
        const size_t piece = std::min<size_t>(1 + rng() % 70000, payload.size() - at);
        ASSERT_TRUE(SendAll(link.get(), payload.data() + at, piece));
        at += piece;
    }
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() >= payload.size(); }, 20000));
    std::lock_guard<std::mutex> l(rec.m);
    ASSERT_EQ(rec.data.size(), payload.size());
    EXPECT_TRUE(rec.data == payload);
    EXPECT_EQ(rec.events, 0);
}

TEST_F(NetLinkConnectedTest, PeerCloseIsReportedOnceAfterTheLastBytes) {
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "last words", 10));
    ClosePeer(fd);

    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !link->IsConnected(); }));
    {
        std::lock_guard<std::mutex> g(rec.m);
        EXPECT_TRUE(rec.connectedInEvent);  // the handler can tell the link was up
        EXPECT_EQ(rec.bytesAtEvent, 10u);   // the bytes came first
    }
    EXPECT_LT(link->Send("x", 1), 0);
    link->Close();
    EXPECT_EQ(rec.Events(), 1);
    EXPECT_FALSE(link->IsConnected());

    // The object connects again after a loss.
    const int again = ConnectTo(link.get(), l);
    ASSERT_GE(again, 0);
    EXPECT_TRUE(link->IsConnected());
    ClosePeer(again);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 2; }));
}

TEST_F(NetLinkConnectedTest, SendTakesWhatItCanWithoutBlockingAndFailsOnceThePeerIsGone) {
    ASSERT_GE(fd, 0);

    // The peer reads nothing: the socket buffers fill and Send comes back
    // with a short count instead of waiting for the peer.
    std::vector<uint8_t> block(256 * 1024, 0x5a);
    const auto count = static_cast<int32_t>(block.size());
    int32_t last = count;
    int64_t slowest = 0;
    for (int i = 0; i < 1000 && last == count; ++i) {
        const auto start = Clock::now();
        last = link->Send(block.data(), count);
        slowest = std::max(slowest, MsSince(start));
    }
    EXPECT_GE(last, 0);
    EXPECT_LT(last, count);
    // Once the buffers stop growing, a Send takes nothing and says so.
    for (int i = 0; i < 1000 && last != 0; ++i) {
        const auto start = Clock::now();
        last = link->Send(block.data(), count);
        slowest = std::max(slowest, MsSince(start));
    }
    EXPECT_EQ(last, 0);
    EXPECT_LT(slowest, 3000);
    EXPECT_TRUE(link->IsConnected());

    // Unread bytes make the peer's close a reset.
    ClosePeer(fd);
    EXPECT_TRUE(WaitUntil([&] { return link->Send(block.data(), 1) < 0; }));
    EXPECT_TRUE(WaitUntil([&] { return rec.Events() == 1; }));
    EXPECT_FALSE(link->IsConnected());
}

TEST(NetLinkTest, SeveralSendersAndACloseFromAnotherThread) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    EchoPeer echo;
    ASSERT_TRUE(link->Connect("127.0.0.1", echo.port()));
    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            std::vector<uint8_t> msg(1000, static_cast<uint8_t>(t));
            for (;;) {
                if (link->Send(msg.data(), static_cast<int32_t>(msg.size())) < 0) {
                    ++failed;
                    return;
                }
            }
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() > 100000; }));
    link->Close();
    for (auto& s : senders) {
        s.join();
    }
    EXPECT_EQ(failed.load(), 4);
    EXPECT_FALSE(link->IsConnected());
    EXPECT_EQ(rec.Events(), 0);
}

// ---- Time bounds and Shutdown ---------------------------------------------------------

#if !defined(_WIN32)

// A listener whose accept queue is full drops new connection attempts, so a
// connect to it hangs: a black hole on this machine.
struct BlackHole {
    Listener listener{0};
    std::vector<int> fillers;
    bool ready = false;
    BlackHole() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(listener.port());
        for (int i = 0; i < 16 && !ready; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers.push_back(fd);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{fd, POLLOUT, 0};
            ready = ::poll(&p, 1, 300) == 0;  // this one hangs: the queue is full
        }
    }
    ~BlackHole() {
        for (int fd : fillers) {
            ClosePeer(fd);
        }
    }
};

TEST(NetLinkTest, ConnectToABlackHoleGivesUpAtTheTimeOut) {
    BlackHole hole;
    ASSERT_TRUE(hole.ready);
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    const auto start = Clock::now();
    EXPECT_FALSE(link->Connect("127.0.0.1", hole.listener.port()));
    const int64_t took = MsSince(start);
    EXPECT_GE(took, CTcpNetLink::kConnectTimeoutMs - 500);
    EXPECT_LT(took, CTcpNetLink::kConnectTimeoutMs + 3000);
    EXPECT_FALSE(link->IsConnected());
}

TEST(NetLinkTest, ShutdownCutsAConnectShortAndRefusesNewOnes) {
    BlackHole hole;
    ASSERT_TRUE(hole.ready);
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    const size_t fds = OpenFds();
    std::atomic<bool> done{false};
    std::atomic<bool> result{true};
    std::thread connector([&] {
        result = link->Connect("127.0.0.1", hole.listener.port());
        done = true;
    });
    // The connect is under way once its socket exists.
    ASSERT_TRUE(WaitUntil([&] { return OpenFds() > fds; }));
    const auto start = Clock::now();
    link->Shutdown();
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    EXPECT_LT(MsSince(start), CTcpNetLink::kConnectTimeoutMs / 2);
    connector.join();
    EXPECT_FALSE(result.load());

    Listener live;
    const auto again = Clock::now();
    EXPECT_FALSE(link->Connect("127.0.0.1", live.port()));
    EXPECT_FALSE(link->ConnectPair("127.0.0.1", live.port(), "127.0.0.1", live.port()));
    EXPECT_LT(MsSince(again), 1000);
    EXPECT_EQ(live.Accept(100), -1);
    link->Close();
}

#endif  // !_WIN32

TEST(NetLinkTest, AConnectionThatIsUpSurvivesShutdown) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    EchoPeer echo;
    ASSERT_TRUE(link->Connect("127.0.0.1", echo.port()));
    link->Shutdown();
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(link->Send("ping", 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() == 4; }));
    link->Close();
    EXPECT_FALSE(link->IsConnected());
}

// ---- Calls from inside the handlers -----------------------------------------------------

TEST(NetLinkTest, CloseFromInsideTheEventHandler) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    rec.onEvent = [](INetLink* l) { l->Close(); };
    Listener listener;
    const int fd = ConnectTo(link.get(), listener);
    ASSERT_GE(fd, 0);
    ClosePeer(fd);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return !link->IsConnected(); }));
    // The retired reader is joined by the next Connect and by destruction.
    const int next = ConnectTo(link.get(), listener);
    ASSERT_GE(next, 0);
    ClosePeer(next);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 2; }));
}

// The client's session thread may reach discovery, and close the object,
// while the reader reports a loss: the handler must still see its link up,
// or the loss goes unreported. The shutdown of the socket shows that the
// other thread's Close has taken the connection down.
TEST(NetLinkTest, LossIsStillUpInsideTheHandlerWhenAnotherThreadClosesMeanwhile) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    std::thread closer;
    std::atomic<bool> handled{false};
    bool upAfterClose = false;
    rec.onEvent = [&](INetLink* l) {
        const int64_t shutdowns = inject::testing::Calls(inject::kShutdown);
        closer = std::thread([l] { l->Close(); });
        WaitUntil([&] { return inject::testing::Calls(inject::kShutdown) > shutdowns; });
        upAfterClose = l->IsConnected();
        handled = true;
    };
    Listener listener;
    const int fd = ConnectTo(link.get(), listener);
    ASSERT_GE(fd, 0);
    ClosePeer(fd);
    ASSERT_TRUE(WaitUntil([&] { return handled.load(); }));
    closer.join();
    EXPECT_TRUE(upAfterClose);
    EXPECT_FALSE(link->IsConnected());
    EXPECT_EQ(rec.Events(), 1);
}

TEST(NetLinkTest, CloseFromInsideTheDataHandlerAndAStaleReaderStaysQuiet) {
    Recorder rec;
    LinkPtr link = MakeLink(&rec);
    std::atomic<bool> closeOnData{true};
    rec.onData = [&](INetLink* l) {
        if (closeOnData.exchange(false)) {
            l->Close();
        }
    };
    Listener listener;
    const int old = ConnectTo(link.get(), listener);
    ASSERT_GE(old, 0);
    ASSERT_TRUE(WriteAll(old, "x", 1));
    ASSERT_TRUE(WaitUntil([&] { return !link->IsConnected() && rec.DataCalls() == 1; }));
    EXPECT_TRUE(SeesEof(old));

    const int fresh = ConnectTo(link.get(), listener);
    ASSERT_GE(fresh, 0);
    ClosePeer(old);  // the first connection's end is nobody's business now
    ASSERT_TRUE(WriteAll(fresh, "yz", 2));
    ASSERT_TRUE(WaitUntil([&] { return rec.Size() == 3; }));
    EXPECT_TRUE(link->IsConnected());
    EXPECT_EQ(rec.Events(), 0);
    ClosePeer(fresh);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events() == 1; }));
}

// ---- Resources ---------------------------------------------------------------------------

#if !defined(_WIN32)

TEST(NetLinkTest, ConnectCloseCyclesLeaveNoThreadOrDescriptorBehind) {
    Listener listener(256);
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop) {
            const int fd = listener.Accept(20);
            if (fd >= 0) {
                ClosePeer(fd);
            }
        }
    });
    Recorder rec;
    LinkPtr warm = MakeLink(&rec);  // the resolver's first use opens what it keeps
    ASSERT_TRUE(warm->Connect("localhost", listener.port()));
    warm.reset();
    const size_t fds = OpenFds();
    const size_t threads = Threads();
    for (int i = 0; i < 200; ++i) {
        LinkPtr link = MakeLink(&rec);
        ASSERT_TRUE(link->Connect("127.0.0.1", listener.port())) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(link->Connect("127.0.0.1", listener.port())) << i;
        }
        link->Close();
        if (i % 3 == 0) {
            ASSERT_TRUE(link->Connect("localhost", listener.port())) << i;
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return Threads() == threads; }));
    EXPECT_EQ(OpenFds(), fds);
    stop = true;
    acceptor.join();
}

#endif  // !_WIN32

// ---- The client's handlers ------------------------------------------------------------

class FakeLink final : public INetLink {
  public:
    std::vector<uint8_t> bytes;
    int32_t shortBy = 0;  // Receive hands over this many fewer bytes
    bool connected = true;
    int availableCalls = 0;
    int receiveCalls = 0;

    void SetOwner(void*) override {}
    bool Connect(const char*, uint16_t) override { return false; }
    void Close() override { connected = false; }
    int32_t Reserved3() override { return 0; }
    int32_t Send(const void*, int32_t count) override { return count; }
    int32_t Receive(void* buffer, int32_t count) override {
        ++receiveCalls;
        const int32_t n = std::min<int32_t>(count, static_cast<int32_t>(bytes.size())) - shortBy;
        std::memset(buffer, 0xee, static_cast<size_t>(count));
        std::memcpy(buffer, bytes.data(), static_cast<size_t>(n));
        bytes.erase(bytes.begin(), bytes.begin() + n);
        return n;
    }
    int32_t Reserved6() override { return 0; }
    void SetReceiveHandler(NetDataCallback) override {}
    int32_t Reserved8() override { return 0; }
    void SetEventHandler(NetEventCallback) override {}
    bool IsConnected() override { return connected; }
    int32_t GetAvailable() override {
        ++availableCalls;
        return static_cast<int32_t>(bytes.size());
    }
    int32_t Reserved12() override { return 0; }
    int32_t Reserved13() override { return 0; }
    bool ConnectPair(const char*, uint16_t, const char*, uint16_t) override { return false; }
    void Shutdown() override {}
};

class NetHandlersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        client_ = ClientOf(TarvikCreateClient(0));
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        testing::FailNthAllocation(0);
        ClientProbe::LinkModeOf(client_) = MODE_NONE;
        ClientProbe::NetLink(client_) = nullptr;
        TarvikDestroyClient(client_);
    }
    std::vector<uint8_t> Stream() {
        std::vector<uint8_t> out(
            static_cast<size_t>(ClientProbe::ReceiveStream(client_).GetLength()));
        if (!out.empty()) {
            ClientProbe::ReceiveStream(client_).Read(out.data(), static_cast<int32_t>(out.size()));
        }
        return out;
    }
    // The states queued so far, in order.
    std::vector<int32_t> Posted() {
        std::vector<int32_t> states;
        while (NotifyEvent* e = ClientProbe::NotifyQueue(client_).Pop()) {
            if (e->type == NOTIFY_STATE) {
                states.push_back(e->count);
            }
            NotifyEventFree(e);
        }
        return states;
    }
    CTarvikClient* client_ = nullptr;
    FakeLink link_;
};

TEST_F(NetHandlersTest, DataHandlerMovesTheAnnouncedBytesIntoTheReceiveStream) {
    ClientProbe::DataHandler()(&link_, nullptr);  // no owner: the link is not touched
    EXPECT_EQ(link_.availableCalls, 0);

    ClientProbe::DataHandler()(&link_, client_);  // nothing there
    EXPECT_EQ(link_.receiveCalls, 0);

    link_.bytes = {1, 2, 3, 4, 5};
    ClientProbe::DataHandler()(&link_, client_);
    EXPECT_EQ(Stream(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // A short hand-over adds only the bytes really received.
    link_.bytes = {6, 7, 8};
    link_.shortBy = 1;
    ClientProbe::DataHandler()(&link_, client_);
    EXPECT_EQ(Stream(), (std::vector<uint8_t>{6, 7}));

    // Without memory the bytes stay with the link for the next call.
    link_.shortBy = 0;
    link_.bytes = {9, 10};
    const int64_t live = testing::LiveBlocks();
    testing::FailNthAllocation(1);
    ClientProbe::DataHandler()(&link_, client_);
    EXPECT_EQ(link_.bytes.size(), 2u);
    EXPECT_TRUE(Stream().empty());
    EXPECT_EQ(testing::LiveBlocks(), live);
}

TEST_F(NetHandlersTest, EventHandlerReportsABreakOnlyWhileTheLinkIsUp) {
    ClientProbe::EventHandler()(&link_, nullptr);
    ClientProbe::EventHandler()(&link_, client_);  // no remote link
    EXPECT_TRUE(Posted().empty());

    ClientProbe::LinkModeOf(client_) = MODE_REMOTE;
    ClientProbe::NetLink(client_) = &link_;
    link_.connected = false;
    ClientProbe::EventHandler()(&link_, client_);
    EXPECT_TRUE(Posted().empty());

    link_.connected = true;
    ClientProbe::EventHandler()(&link_, client_);
    EXPECT_EQ(Posted(), (std::vector<int32_t>{CONN_BROKEN}));
}

TEST_F(NetHandlersTest, EventHandlerRecordsTheReasonAsTheLastErrorText) {
    ClientProbe::LinkModeOf(client_) = MODE_REMOTE;
    ClientProbe::NetLink(client_) = &link_;
    link_.connected = false;
    char text[128];
    plat::SetLastErrorCode(NETLINK_ERR_NOT_THIS_PROTOCOL);
    ClientProbe::EventHandler()(&link_, client_);
    client_->GetLastErrorText(text, sizeof text);
    EXPECT_STREQ(text, "536870915 The peer does not speak this protocol (not a database server)");
#if !defined(_WIN32)
    plat::SetLastErrorCode(ECONNREFUSED);
    ClientProbe::EventHandler()(&link_, client_);
    client_->GetLastErrorText(text, sizeof text);
    EXPECT_STREQ(text, (std::to_string(ECONNREFUSED) + " Connection refused").c_str());
#endif
    EXPECT_TRUE(Posted().empty());  // only a text: the link was down
}

}  // namespace
}  // namespace tarvik
