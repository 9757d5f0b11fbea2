// tarvik-speed: where the client waits and what it costs, each figure beside a
// baseline measured in the same run, printed as one table with ratios.
//
//   round trips   ReadValues of 1 and 1000 items over TCP and over the local
//                 transport (in-process tarvik-sim), beside a raw ping-pong of
//                 the same bytes over the same kind of socket and beside a
//                 ping-pong whose reply goes through one hand-off (a reader
//                 thread wakes the waiting caller through a condition variable)
//   heartbeats    the intervals between heartbeats that the server saw, beside
//                 the interval asked for
//   pushes        100,000 subscribed items moved every 10 ms with 10 ms
//                 heartbeats: values/s reaching the DataCallback beside the
//                 values/s the server changed, and the delay from a change to
//                 its callback
//   login         ConnectRemote -> CONN_READY for 100,000 and 500,000 points,
//                 beside moving the login reply's bytes over loopback plus
//                 building the directory from them
//   subscribing   one item per Advise into an empty table and into a table of
//                 100,000 items (over TCP and on the table alone)
//   memory        bytes per point of the directory and per subscription
//
// Options: --quick (a smoke run of a few seconds with smaller sizes), --pin
// (every thread on CPU 0), --only SECTION (round, heartbeat, advise, login or
// push; may be repeated).
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "directory/point_directory.h"
#include "directory/subscription_table.h"
#include "platform/platform.h"
#include "session/message.h"
#include "sim/sim_db.h"
#include "sim/sim_server.h"
#include "tarvik/tarvik.h"

namespace {

using namespace tarvik::bench;
using tarvik::sim::CSimServer;
using tarvik::sim::Database;
using tarvik::sim::PointInfo;
using tarvik::sim::ServerOptions;
using tarvik::sim::SimValue;
using Clock = std::chrono::steady_clock;

bool g_quick = false;

// The sum of every field's change count: how many changes the server made.
uint64_t ServerChanges(const CSimServer& server) {
    uint64_t sum = 0;
    for (const PointInfo& p : server.Snapshot().points) {
        for (uint64_t v : p.versions) {
            sum += v;
        }
    }
    return sum;
}

// ---- The result table -------------------------------------------------------------

struct Row {
    std::string figure;
    std::string tarvik;
    std::string baseline;
    double ratio;  // < 0: none
    std::string target;
};
std::vector<Row> g_rows;

std::string Fmt(const char* format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

void AddRow(const std::string& figure, const std::string& tarvik, const std::string& baseline,
            double ratio, const std::string& target) {
    g_rows.push_back(Row{figure, tarvik, baseline, ratio, target});
    std::printf("  %-44s %-24s %-38s %s\n", figure.c_str(), tarvik.c_str(), baseline.c_str(),
                ratio >= 0 ? Fmt("%.2fx", ratio).c_str() : "");
    std::fflush(stdout);
}

void PrintTable() {
    std::printf("\n%-44s | %-24s | %-38s | %-7s | %s\n", "figure", "tarvik", "baseline, same run",
                "ratio", "target");
    std::printf("%s\n", std::string(150, '-').c_str());
    for (const Row& r : g_rows) {
        std::printf("%-44s | %-24s | %-38s | %-7s | %s\n", r.figure.c_str(), r.tarvik.c_str(),
                    r.baseline.c_str(), r.ratio >= 0 ? Fmt("%.2fx", r.ratio).c_str() : "",
                    r.target.c_str());
    }
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::printf("load average at the end: %.2f %.2f %.2f on %u CPUs\n", load[0], load[1],
                    load[2], std::thread::hardware_concurrency());
    }
}

constexpr int kProbes = 10;

// Item i of a database made with `fields` meter fields, as the client numbers it.
void MeterItems(int first, int n, int fields, std::vector<uint32_t>* points,
                std::vector<uint32_t>* fieldNos) {
    points->resize(static_cast<size_t>(n));
    fieldNos->resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        (*points)[static_cast<size_t>(i)] = static_cast<uint32_t>(kProbes + (first + i) / fields);
        (*fieldNos)[static_cast<size_t>(i)] = static_cast<uint32_t>((first + i) % fields);
    }
}

// ---- Clients ------------------------------------------------------------------------

constexpr int kSlots = 16;
std::atomic<int32_t> g_state[kSlots];
std::atomic<int64_t> g_readyNs[kSlots];

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData user, int32_t state) {
    if (user >= 0 && user < kSlots) {
        if (state == CONN_READY && g_readyNs[user].load() == 0) {
            g_readyNs[user].store(NowNs());
        }
        g_state[user].store(state);
    }
}

struct ClientDeleter {
    void operator()(ITarvikClient* c) const { TarvikDestroyClient(c); }
};
using ClientPtr = std::unique_ptr<ITarvikClient, ClientDeleter>;

// A client in `slot`, connected and ready; null (with the reason on stderr)
// on failure. *connectNs receives the time ConnectRemote/ConnectLocal began.
ClientPtr Connect(int slot, CSimServer* server, bool local, int32_t heartbeatMs,
                  int64_t* connectNs = nullptr) {
    ClientPtr c(TarvikCreateClient(slot));
    if (!c) {
        std::fprintf(stderr, "tarvik-speed: no client\n");
        return nullptr;
    }
    g_state[slot].store(-1);
    g_readyNs[slot].store(0);
    c->SetUserData(slot);
    c->SetStateCallback(&OnState);
    c->SetRequestTimeout(30000);
    c->SetHeartbeatInterval(heartbeatMs);
    const int64_t t0 = NowNs();
    const bool ok =
        local ? c->ConnectLocal() : c->ConnectRemote(server->Port(), "127.0.0.1", nullptr, 0);
    if (connectNs != nullptr) {
        *connectNs = t0;
    }
    if (!ok || !WaitForReady(g_state[slot], 60000, std::chrono::microseconds(200))) {
        std::fprintf(stderr, "tarvik-speed: client %d reached no CONN_READY (state %d)\n", slot,
                     static_cast<int>(g_state[slot].load()));
        return nullptr;
    }
    return c;
}

std::unique_ptr<CSimServer> StartServer(Database db, bool local, int32_t simulateMs) {
    auto server = std::make_unique<CSimServer>(std::move(db));
    ServerOptions o;
    o.tcp = true;
    o.local = local;
    o.simulateMs = simulateMs;
    std::string error;
    if (!server->Start(o, &error)) {
        std::fprintf(stderr, "tarvik-speed: server: %s\n", error.c_str());
        return nullptr;
    }
    return server;
}

// A ping-pong of `request` bytes answered by `reply` bytes. Raw: the caller
// reads the reply itself. One hand-off: a reader thread reads it and wakes
// the waiting caller through a condition variable.
class PingPong {
  public:
    PingPong(bool tcp, bool handOff, size_t request, size_t reply)
        : handOff_(handOff), out_(request, 0x24), in_(reply), reply_(reply) {
        ok_ = SocketPair(tcp, fds_);
        if (!ok_) {
            return;
        }
        answerer_ = std::thread([this, request] {
            std::vector<char> in(request);
            std::vector<char> out(reply_, 0x42);
            while (ReadFull(fds_[1], in.data(), in.size()) &&
                   WriteFull(fds_[1], out.data(), out.size())) {
            }
        });
        if (handOff_) {
            reader_ = std::thread([this] {
                std::vector<char> buf(reply_);
                while (ReadFull(fds_[0], buf.data(), buf.size())) {
                    std::lock_guard<std::mutex> hold(lock_);
                    std::memcpy(in_.data(), buf.data(), buf.size());
                    arrived_ = true;
                    cv_.notify_one();
                }
                std::lock_guard<std::mutex> hold(lock_);
                closed_ = true;
                cv_.notify_one();
            });
        }
    }
    ~PingPong() {
        if (!ok_) {
            return;
        }
        ::shutdown(fds_[0], SHUT_RDWR);
        ::shutdown(fds_[1], SHUT_RDWR);
        answerer_.join();
        if (reader_.joinable()) {
            reader_.join();
        }
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    bool ok() const { return ok_; }
    bool Once() {
        if (!WriteFull(fds_[0], out_.data(), out_.size())) {
            return false;
        }
        if (!handOff_) {
            return ReadFull(fds_[0], in_.data(), in_.size());
        }
        std::unique_lock<std::mutex> hold(lock_);
        cv_.wait(hold, [this] { return arrived_ || closed_; });
        const bool got = arrived_;
        arrived_ = false;
        return got;
    }

  private:
    bool handOff_;
    bool ok_ = false;
    int fds_[2] = {-1, -1};
    std::vector<char> out_;
    std::vector<char> in_;
    size_t reply_;
    std::thread answerer_;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable cv_;
    bool arrived_ = false;
    bool closed_ = false;
};

// ---- 1. Round trips -----------------------------------------------------------------

size_t RequestBytes(int n) {
    return tarvik::kHeaderSize + 4 + 8 * static_cast<size_t>(n);
}
size_t ReplyBytes(int n) {
    return tarvik::kHeaderSize + 4 + 10 * static_cast<size_t>(n);  // doubles: 10 B a record
}

struct Case {
    std::string name;
    std::function<bool()> once;
    std::vector<double> us;
    bool failed = false;
};

// Runs the cases in interleaved rounds so that they share the machine's
// conditions; returns false when one failed.
bool RunRounds(std::vector<Case>* cases, int rounds, int perRound) {
    for (Case& c : *cases) {
        for (int i = 0; i < perRound / 4 + 1; ++i) {  // warm-up
            c.once();
        }
    }
    for (int r = 0; r < rounds; ++r) {
        for (Case& c : *cases) {
            // A pause first, so that no case inherits how busy the one
            // before kept this thread: the scheduler places a woken thread
            // by the waker's recent load, which alone can move a raw
            // ping-pong between 14 and 50 us on a virtual machine.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (int i = 0; i < perRound && !c.failed; ++i) {
                const int64_t t0 = NowNs();
                if (!c.once()) {
                    c.failed = true;
                    std::fprintf(stderr, "tarvik-speed: %s failed\n", c.name.c_str());
                }
                c.us.push_back(static_cast<double>(NowNs() - t0) / 1e3);
            }
        }
        std::printf("  round %d of %d done\n", r + 1, rounds);
        std::fflush(stdout);
    }
    return std::none_of(cases->begin(), cases->end(), [](const Case& c) { return c.failed; });
}

double g_read1TcpUs = -1;

void RoundTrips(CSimServer* server, ITarvikClient* tcp, ITarvikClient* local) {
    std::printf("\n== Round trips (p50 of every call) ==\n");
    const int rounds = g_quick ? 1 : 5;
    const int perRound = g_quick ? 100 : 1000;
    for (int n : {1, 1000}) {
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        MeterItems(0, n, 4, &points, &fields);
        std::vector<VarValue> values(static_cast<size_t>(n));
        std::memset(values.data(), 0, sizeof(VarValue) * values.size());
        const size_t request = RequestBytes(n);
        const size_t reply = ReplyBytes(n);
        // Over TCP every message carries its 16-byte marker.
        PingPong rawTcp(true, false, tarvik::kMarkerSize + request, tarvik::kMarkerSize + reply);
        PingPong handTcp(true, true, tarvik::kMarkerSize + request, tarvik::kMarkerSize + reply);
        PingPong rawUnix(false, false, request, reply);
        PingPong handUnix(false, true, request, reply);
        if (!rawTcp.ok() || !handTcp.ok() || !rawUnix.ok() || !handUnix.ok()) {
            std::fprintf(stderr, "tarvik-speed: no socket pair\n");
            return;
        }
        int64_t calls = 0;
        auto read = [&](ITarvikClient* c) {
            if ((++calls & 1023) == 0) {
                server->ClearReceived();  // the server's log keeps every message
            }
            return c->ReadValues(static_cast<uint32_t>(n), points.data(), fields.data(),
                                 values.data()) == n;
        };
        std::vector<Case> cases;
        cases.push_back(Case{"tcp", [&] { return read(tcp); }, {}, false});
        cases.push_back(Case{"raw tcp", [&] { return rawTcp.Once(); }, {}, false});
        cases.push_back(Case{"hand-off tcp", [&] { return handTcp.Once(); }, {}, false});
        cases.push_back(Case{"local", [&] { return read(local); }, {}, false});
        cases.push_back(Case{"raw unix", [&] { return rawUnix.Once(); }, {}, false});
        cases.push_back(Case{"hand-off unix", [&] { return handUnix.Once(); }, {}, false});
        if (!RunRounds(&cases, rounds, perRound)) {
            return;
        }
        for (VarValue& v : values) {
            tarvik::VarEmpty(&v);
        }
        const double t = Percentile(cases[0].us, 0.5);
        const double rt = Percentile(cases[1].us, 0.5);
        const double ht = Percentile(cases[2].us, 0.5);
        const double l = Percentile(cases[3].us, 0.5);
        const double ru = Percentile(cases[4].us, 0.5);
        const double hu = Percentile(cases[5].us, 0.5);
        if (n == 1) {
            g_read1TcpUs = t;
        }
        const std::string items = n == 1 ? "1 item" : "1000 items";
        const std::string limit = n == 1 ? "<= 1.5x raw" : "<= 1.6x raw";
        AddRow("ReadValues " + items + ", TCP, p50", Fmt("%.1f us", t),
               "raw TCP ping-pong " + Fmt("%.1f us", rt), t / rt, limit);
        AddRow("  same, against one hand-off", Fmt("%.1f us", t),
               "one-hand-off TCP " + Fmt("%.1f us", ht), t / ht,
               n == 1 ? "<= 1.1x one hand-off" : "");
        AddRow("ReadValues " + items + ", local, p50", Fmt("%.1f us", l),
               "raw Unix ping-pong " + Fmt("%.1f us", ru), l / ru, limit);
        AddRow("  same, against one hand-off", Fmt("%.1f us", l),
               "one-hand-off Unix " + Fmt("%.1f us", hu), l / hu,
               n == 1 ? "<= 1.1x one hand-off" : "");
    }
}

// ---- 2. Heartbeat punctuality -------------------------------------------------------

void Heartbeats() {
    std::printf("\n== Heartbeats (TCP, no subscription, intervals the server saw) ==\n");
    auto server = StartServer(Database::DemoPlant(), false, 0);
    if (!server) {
        return;
    }
    const std::vector<int32_t> intervals =
        g_quick ? std::vector<int32_t>{10} : std::vector<int32_t>{5, 10, 50};
    for (int32_t interval : intervals) {
        ClientPtr c = Connect(4, server.get(), false, interval);
        if (!c) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t mark = server->Mark();
        std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 300 : 2000));
        std::vector<double> gaps;
        uint32_t last = 0;
        bool have = false;
        for (const auto& m : server->Received()) {
            if (m.index < mark || (m.command() != tarvik::CMD_HEARTBEAT &&
                                   m.command() != tarvik::CMD_HEARTBEAT_DATA)) {
                continue;
            }
            if (have) {
                gaps.push_back(static_cast<double>(m.tick - last));
            }
            last = m.tick;
            have = true;
        }
        c.reset();
        const double p50 = Percentile(gaps, 0.5);
        const double p99 = Percentile(gaps, 0.99);
        AddRow("heartbeat every " + std::to_string(interval) + " ms: p50 / p99 gap",
               Fmt("%.0f", p50) + Fmt(" / %.0f ms", p99),
               "interval asked " + std::to_string(interval) + " ms", p50 / interval,
               "within +-2 ms (ms ticks)");
        server->ClearReceived();
    }
    server->Stop();
}

// ---- 3. Push delivery ---------------------------------------------------------------

Delivery* g_delivery = nullptr;

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                        const int32_t* users, const VarValue* values) {
    g_delivery->Record(count, users, values);
}

void Pushes() {
    const int items = g_quick ? 10000 : 100000;
    std::printf("\n== Pushes: %d items walked every 10 ms, 10 ms heartbeats (TCP) ==\n", items);
    auto server = StartServer(MakeDatabase(items / 4, 4, true, kProbes), false, 10);
    if (!server) {
        return;
    }
    auto delivery = std::make_unique<Delivery>();
    g_delivery = delivery.get();
    ClientPtr c = Connect(5, server.get(), false, 10);
    if (!c) {
        return;
    }
    c->SetDataCallback(&OnData);
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    MeterItems(0, items, 4, &points, &fields);
    std::vector<int32_t> users(points.size());
    for (size_t i = 0; i < users.size(); ++i) {
        users[i] = static_cast<int32_t>(i);
    }
    for (int p = 0; p < kProbes; ++p) {
        for (int f = 0; f < 10; ++f) {
            points.push_back(static_cast<uint32_t>(p));
            fields.push_back(static_cast<uint32_t>(f));
            users.push_back(kProbeUserBase + p * 10 + f);
        }
    }
    std::vector<int32_t> handles(points.size());
    if (c->Advise(static_cast<uint32_t>(points.size()), points.data(), fields.data(), users.data(),
                  handles.data()) != static_cast<int32_t>(points.size())) {
        std::fprintf(stderr, "tarvik-speed: Advise of %zu items failed\n", points.size());
        return;
    }
    // One probe item a millisecond gets the next sequence number, stamped
    // when SetValue returns.
    std::atomic<bool> driving{true};
    std::thread driver([&] {
        for (uint32_t seq = 1; driving.load() && seq < kMaxStamps; ++seq) {
            const int k = static_cast<int>(seq % (kProbes * 10));
            if (server->SetValue("PRB" + std::to_string(k / 10), "F" + std::to_string(k % 10),
                                 SimValue::Double(seq))) {
                delivery->stamps[seq].store(NowNs());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 200 : 700));  // warm-up
    delivery->measuring.store(true);
    const uint64_t made0 = ServerChanges(*server);
    const int64_t changes0 = delivery->changes.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(g_quick ? 500 : 3000));
    const int64_t changes1 = delivery->changes.load();
    const double window = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t made1 = ServerChanges(*server);
    delivery->measuring.store(false);
    driving.store(false);
    driver.join();
    c->SetDataCallback(nullptr);
    c.reset();  // stops the notification thread: delaysMs is ours now
    server->Stop();
    g_delivery = nullptr;

    const double perSecond = static_cast<double>(changes1 - changes0) / window;
    // Every item every 10 ms would be items / 0.010 changes a second; what the
    // server made is the baseline (the probes' few are in both).
    const double made = static_cast<double>(made1 - made0) / window;
    AddRow("push values/s reaching the DataCallback", Fmt("%.2f M/s", perSecond / 1e6),
           "server made " + Fmt("%.2f M/s", made / 1e6) +
               Fmt(" (walk asks %.0f M/s)", static_cast<double>(items) / 0.010 / 1e6),
           perSecond / made, ">= 5 M/s at 100,000 items");
    AddRow("push delay change -> callback, p50 / p99",
           Fmt("%.1f", Percentile(delivery->delaysMs, 0.5)) +
               Fmt(" / %.1f ms", Percentile(delivery->delaysMs, 0.99)),
           "interval 10 ms", Percentile(delivery->delaysMs, 0.99) / 10.0, "p99 < 20 ms");
}

// ---- 4. Login -----------------------------------------------------------------------

// Moving `bytes` from one thread to another over a fresh loopback connection.
double TransferMs(size_t bytes) {
    int fds[2];
    if (!SocketPair(true, fds)) {
        return -1;
    }
    std::vector<char> data(bytes, 0x33);
    const int64_t t0 = NowNs();
    std::thread sender([&] { WriteFull(fds[1], data.data(), data.size()); });
    std::vector<char> in(bytes);
    ReadFull(fds[0], in.data(), in.size());
    const double ms = static_cast<double>(NowNs() - t0) / 1e6;
    sender.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return ms;
}

void Logins() {
    std::printf("\n== ConnectRemote -> CONN_READY (TCP) ==\n");
    const std::vector<int> sizes =
        g_quick ? std::vector<int>{20000} : std::vector<int>{100000, 500000};
    for (int points : sizes) {
        Database db = MakeDatabase(points, 4, false, 0);
        std::vector<int> visible(db.points.size());
        for (size_t i = 0; i < visible.size(); ++i) {
            visible[i] = static_cast<int>(i);
        }
        const std::vector<uint8_t> body = tarvik::sim::EncodeDirectory(db, visible, 0);
        auto server = StartServer(std::move(db), false, 0);
        if (!server) {
            return;
        }
        std::vector<double> ready;
        std::vector<double> transfer;
        std::vector<double> build;
        double bytesPerPoint = 0;
        for (int rep = 0; rep < (g_quick ? 1 : 3); ++rep) {
            int64_t t0 = 0;
            ClientPtr c = Connect(6, server.get(), false, 500, &t0);
            if (!c) {
                return;
            }
            ready.push_back(static_cast<double>(g_readyNs[6].load() - t0) / 1e6);
            c.reset();
            transfer.push_back(TransferMs(tarvik::kMarkerSize + tarvik::kHeaderSize + body.size()));
            // Built as the client builds it: on a thread of its own (the
            // network reader), whose allocator arena hands it memory fresh
            // from the system. On the main thread's warm heap the same build
            // takes about half the time.
            tarvik::CPointDirectory dir;
            int64_t b0 = 0;
            int64_t b1 = 0;
            bool built = false;
            std::thread([&] {
                b0 = NowNs();
                built = dir.Build(body.data(), body.size());
                b1 = NowNs();
            }).join();
            if (!built) {
                std::fprintf(stderr, "tarvik-speed: the directory did not build\n");
                return;
            }
            build.push_back(static_cast<double>(b1 - b0) / 1e6);
            bytesPerPoint = static_cast<double>(dir.MemoryBytes()) / dir.PointCount();
        }
        server->Stop();
        const double r = Percentile(ready, 0.5);
        const double t = Percentile(transfer, 0.5);
        const double b = Percentile(build, 0.5);
        AddRow("CONN_READY after ConnectRemote, " + std::to_string(points / 1000) + "k points",
               Fmt("%.1f ms", r),
               "transfer " + Fmt("%.1f", t) + " + build " + Fmt("%.1f", b) + " + 10 ms",
               r / (t + b + 10), "<= 1x (transfer + build + 10 ms)");
        // The figure to keep was taken at 500,000 points; the map's size
        // steps make other sizes differ a little.
        const bool kept = points == 500000;
        AddRow("  directory bytes per point (" + std::to_string(body.size() / 1000) + " kB reply)",
               Fmt("%.1f B", bytesPerPoint), kept ? "today 52.8 B" : "(52.8 B kept at 500k)",
               kept ? bytesPerPoint / 52.8 : -1, kept ? "not above today" : "");
    }
}

// ---- 5. Subscribing and memory ------------------------------------------------------

// One-item AddAdvise calls on the table alone, in batches of 200 (one growth
// each): into a table that starts empty and into one that starts with
// `prefill` items, batches interleaved. The medians of the batch means, us.
void TableAddUs(int prefill, int batches, double* emptyUs, double* fullUs) {
    constexpr int kBatch = 200;
    tarvik::CSubscriptionTable tables[2];
    int32_t counters[2] = {0, 0};
    const int total = prefill + batches * kBatch;
    const int pointCount = total / 4 + kProbes + 1;
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    MeterItems(0, total, 4, &points, &fields);
    std::vector<int32_t> handles(points.size());
    *emptyUs = *fullUs = -1;
    if (!tables[1].AddAdvise(prefill, static_cast<uint32_t>(prefill), points.data(), fields.data(),
                             nullptr, nullptr, handles.data(), pointCount, &counters[1])) {
        return;
    }
    std::vector<double> means[2];
    for (int b = 0; b < batches; ++b) {
        for (int t = 0; t < 2; ++t) {
            const int first = (t == 0 ? 0 : prefill) + b * kBatch;
            const int64_t t0 = NowNs();
            for (int i = first; i < first + kBatch; ++i) {
                const size_t k = static_cast<size_t>(i);
                if (!tables[t].AddAdvise(1, 1, &points[k], &fields[k], nullptr, nullptr,
                                         &handles[k], pointCount, &counters[t])) {
                    return;
                }
            }
            means[t].push_back(static_cast<double>(NowNs() - t0) / 1e3 / kBatch);
        }
    }
    *emptyUs = Percentile(means[0], 0.5);
    *fullUs = Percentile(means[1], 0.5);
}

// Mean microseconds of one-item Advise calls of the items [first, first + calls).
double AdviseEachUs(ITarvikClient* c, int first, int calls) {
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    MeterItems(first, calls, 4, &points, &fields);
    int32_t handle = 0;
    const int64_t t0 = NowNs();
    for (int i = 0; i < calls; ++i) {
        const size_t k = static_cast<size_t>(i);
        if (c->Advise(1, &points[k], &fields[k], nullptr, &handle) != 1) {
            return -1;
        }
    }
    return static_cast<double>(NowNs() - t0) / 1e3 / calls;
}

// Bytes of the subscription table's own structures.
double TableBytesPerSubscription(ITarvikClient* c) {
    using tarvik::CSubscriptionTable;
    tarvik::CTarvikClient* client = tarvik::ClientOf(c);
    tarvik::plat::CLockHold hold(tarvik::ClientProbe::StateLock(client));
    const CSubscriptionTable& t = tarvik::ClientProbe::Advise(client);
    const size_t chunks =
        (static_cast<size_t>(t.ItemCapacity()) + CSubscriptionTable::kChunkItems - 1) /
        CSubscriptionTable::kChunkItems;
    size_t bytes = chunks * CSubscriptionTable::kChunkItems * sizeof(tarvik::AdviseItem) +
                   chunks * sizeof(void*);
    for (int32_t i = 0; i < t.ItemCount(); ++i) {
        bytes += static_cast<size_t>(t.ItemAt(i)->PairCapacity) * sizeof(tarvik::AdvisePair);
    }
    // A map node holds next, key and value; nodes come in blocks of 10 behind
    // a pointer; every bucket is a pointer.
    constexpr size_t kNode = sizeof(void*) + 8;
    auto mapBytes = [&](const auto& m) {
        const size_t count = static_cast<size_t>(m.GetCount());
        return (m.HasTable() ? sizeof(void*) * m.GetHashTableSize() : 0) +
               (count + 9) / 10 * (sizeof(void*) + 10 * kNode);
    };
    bytes += mapBytes(t.KeyMap()) + mapBytes(t.HandleMap());
    return t.HandleCount() > 0 ? static_cast<double>(bytes) / t.HandleCount() : -1;
}

void Subscribing() {
    const int table = g_quick ? 20000 : 100000;
    const int calls = g_quick ? 400 : 2000;
    std::printf("\n== Advise, one item per call: into an empty table and one of %d items ==\n",
                table);
    double emptyTable = 0;
    double fullTable = 0;
    TableAddUs(table, g_quick ? 20 : 100, &emptyTable, &fullTable);
    AddRow("table alone: 1 item into " + std::to_string(table / 1000) + "k items",
           Fmt("%.3f us", fullTable), "from an empty table " + Fmt("%.3f us", emptyTable),
           fullTable / emptyTable, "<= 1.1x");

    // Over TCP, with a database of table + calls items.
    auto server = StartServer(MakeDatabase((table + calls) / 4 + 1, 4, false, kProbes), false, 0);
    if (!server) {
        return;
    }
    ClientPtr c = Connect(7, server.get(), false, 500);
    if (!c) {
        return;
    }
    const double empty = AdviseEachUs(c.get(), 0, calls);
    server->ClearReceived();
    if (c->UnadviseAll() != 1) {
        std::fprintf(stderr, "tarvik-speed: UnadviseAll failed\n");
        return;
    }
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    MeterItems(calls, table, 4, &points, &fields);
    std::vector<int32_t> handles(points.size());
    malloc_trim(0);
    const int64_t heap0 = static_cast<int64_t>(mallinfo2().uordblks);
    if (c->Advise(static_cast<uint32_t>(table), points.data(), fields.data(), nullptr,
                  handles.data()) != table) {
        std::fprintf(stderr, "tarvik-speed: Advise of %d items failed\n", table);
        return;
    }
    const int64_t heap1 = static_cast<int64_t>(mallinfo2().uordblks);
    const double perSubscription = TableBytesPerSubscription(c.get());
    const double full = AdviseEachUs(c.get(), 0, calls);
    server->ClearReceived();
    AddRow("Advise 1 item over TCP into " + std::to_string(table / 1000) + "k items",
           Fmt("%.1f us", full), "into an empty table " + Fmt("%.1f us", empty), full / empty,
           "<= 1.1x");
    if (g_read1TcpUs > 0) {
        AddRow("  same, against a 1-item ReadValues", Fmt("%.1f us", full),
               "ReadValues 1 item TCP " + Fmt("%.1f us", g_read1TcpUs), full / g_read1TcpUs, "");
    }
    AddRow("table bytes per subscription", Fmt("%.1f B", perSubscription),
           "today 101.7 B (heap grew " +
               Fmt("%.1f B/sub)", static_cast<double>(heap1 - heap0) / table),
           perSubscription / 101.7, "not above today");
}

}  // namespace

int main(int argc, char** argv) {
    bool pin = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            g_quick = true;
        } else if (std::strcmp(argv[i], "--pin") == 0) {
            pin = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only.push_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: tarvik-speed [--quick] [--pin] "
                         "[--only round|heartbeat|advise|login|push]...\n");
            return 2;
        }
    }
    const auto run = [&](const char* section) {
        return only.empty() || std::find(only.begin(), only.end(), section) != only.end();
    };
    if (pin) {
        // Every thread started from here on inherits the mask.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) {
            std::perror("tarvik-speed: sched_setaffinity");
            return 1;
        }
    }
    const std::string prefix = "tarvik-speed-" + std::to_string(::getpid()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());
    std::printf("tarvik-speed%s%s: every figure beside its baseline of this run\n",
                g_quick ? " --quick" : "", pin ? " --pin" : "");

    if (run("round")) {
        auto server = StartServer(MakeDatabase(1000, 4, false, kProbes), true, 0);
        if (!server) {
            return 1;
        }
        ClientPtr tcp = Connect(0, server.get(), false, 500);
        ClientPtr local = Connect(1, server.get(), true, 500);
        if (!tcp || !local) {
            return 1;
        }
        RoundTrips(server.get(), tcp.get(), local.get());
        tcp.reset();
        local.reset();
        server->Stop();
    }
    if (run("heartbeat")) {
        Heartbeats();
    }
    if (run("advise")) {
        Subscribing();
    }
    if (run("login")) {
        Logins();
    }
    if (run("push")) {
        Pushes();
    }
    PrintTable();
    return g_rows.empty() ? 1 : 0;
}
