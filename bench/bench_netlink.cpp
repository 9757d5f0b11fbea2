// A 100-byte round trip through the network connection object to an echo
// peer on the loopback interface, beside the same round trip over a plain
// blocking socket (the floor the object is measured against).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "client/netlink.h"

namespace {

constexpr int kMessage = 100;

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Accepts one connection on 127.0.0.1 and echoes every byte back.
class EchoPeer {
  public:
    EchoPeer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 4);
        socklen_t n = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoPeer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    uint16_t port() const { return port_; }

  private:
    void Run() {
        int fd = -1;
        while (!stop_ && fd < 0) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                fd = ::accept(listen_, nullptr, nullptr);
            }
        }
        if (fd < 0) {
            return;
        }
        NoDelay(fd);
        char buf[4096];
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) {
                continue;
            }
            const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0 || ::send(fd, buf, static_cast<size_t>(r), MSG_NOSIGNAL) != r) {
                break;
            }
        }
        ::close(fd);
    }
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Arrivals {
    std::mutex m;
    std::condition_variable cv;
    int64_t bytes = 0;
};

void NETLINK_CALL OnData(tarvik::INetLink* link, void* owner) {
    auto* a = static_cast<Arrivals*>(owner);
    char buf[4096];
    int32_t n = link->GetAvailable();
    while (n > 0) {
        const int32_t take = n < static_cast<int32_t>(sizeof buf) ? n : sizeof buf;
        link->Receive(buf, take);
        n -= take;
        {
            std::lock_guard<std::mutex> l(a->m);
            a->bytes += take;
        }
    }
    a->cv.notify_one();
}

void NETLINK_CALL OnEvent(tarvik::INetLink*, void*) {}

void BM_NetLinkRoundTrip100(benchmark::State& state) {
    EchoPeer peer;
    Arrivals arrivals;
    tarvik::INetLink* link = CreateNetLink();
    if (link == nullptr) {
        state.SkipWithError("no network component");
        return;
    }
    link->SetOwner(&arrivals);
    link->SetReceiveHandler(&OnData);
    link->SetEventHandler(&OnEvent);
    if (!link->Connect("127.0.0.1", peer.port())) {
        state.SkipWithError("connect failed");
        DestroyNetLink(link);
        return;
    }
    char msg[kMessage];
    std::memset(msg, 0x42, sizeof msg);
    int64_t expected = 0;
    for (auto _ : state) {
        if (link->Send(msg, kMessage) != kMessage) {
            state.SkipWithError("short send");
            break;
        }
        expected += kMessage;
        std::unique_lock<std::mutex> l(arrivals.m);
        arrivals.cv.wait(l, [&] { return arrivals.bytes >= expected; });
    }
    link->Close();
    DestroyNetLink(link);
}
BENCHMARK(BM_NetLinkRoundTrip100)->UseRealTime();

void BM_RawTcpPingPong100(benchmark::State& state) {
    EchoPeer peer;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(peer.port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect failed");
        ::close(fd);
        return;
    }
    NoDelay(fd);
    char msg[kMessage];
    char back[kMessage];
    std::memset(msg, 0x42, sizeof msg);
    for (auto _ : state) {
        if (::send(fd, msg, kMessage, MSG_NOSIGNAL) != kMessage) {
            state.SkipWithError("short send");
            break;
        }
        int got = 0;
        while (got < kMessage) {
            const ssize_t r = ::recv(fd, back + got, static_cast<size_t>(kMessage - got), 0);
            if (r <= 0) {
                break;
            }
            got += static_cast<int>(r);
        }
        benchmark::DoNotOptimize(back);
    }
    ::close(fd);
}
BENCHMARK(BM_RawTcpPingPong100)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
