// The whole client against the in-process development server, each figure
// beside a raw baseline measured in the same run (read them as ratios):
//   - ReadValues of 1 and 1000 items over TCP and over the local transport,
//     beside a raw ping-pong of the same byte counts (TCP loopback; a Unix
//     socket pair between two threads);
//   - IsLinkUp while connected, beside an uncontended mutex;
//   - decoding a heartbeat push of 100,000 keyed values, beside a memcpy of
//     the payload;
//   - delivering a report of 100,000 changes to the DataCallback, beside a
//     memcpy of the callback's arrays;
// and, after the Google Benchmark cases, two measured runs printed as text:
//   - data-change delivery end to end: 100,000 subscribed items moved by the
//     server's random walk every 10 ms, 10 ms heartbeats, changes per second
//     reaching the callback and the delay from SetValue to the callback;
//   - Advise of 100,000 items in one call and one call at a time, and the
//     memory a subscription costs.
// Pass --custom_only to skip the Google Benchmark cases, --no_custom to skip
// the measured runs.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
#include "directory/notify_event.h"
#include "directory/subscription_table.h"
#include "platform/platform.h"
#include "session/message.h"
#include "sim/sim_db.h"
#include "sim/sim_server.h"
#include "tarvik/tarvik.h"

namespace {

using tarvik::ClientProbe;
using tarvik::CTarvikClient;
using namespace tarvik::bench;
using tarvik::sim::CSimServer;
using tarvik::sim::Database;
using tarvik::sim::ServerOptions;
using tarvik::sim::SimValue;
using Clock = std::chrono::steady_clock;

// ---- The database ----------------------------------------------------------------
//
// kProbePoints points of type PROBE (fields F0..F9, never moved by the random
// walk) come first, then kMeterPoints points of type METER with kMeterFields
// walked double fields: kItems distinct items.
constexpr int kProbePoints = 10;
constexpr int kMeterPoints = 25000;
constexpr int kMeterFields = 4;
constexpr int kItems = kMeterPoints * kMeterFields;  // 100,000
constexpr int kPointCount = kProbePoints + kMeterPoints;

Database BigDatabase() {
    return MakeDatabase(kMeterPoints, kMeterFields, true, kProbePoints);
}

// The i-th of the kItems meter items, as the client numbers them.
uint32_t ItemPoint(int i) {
    return static_cast<uint32_t>(kProbePoints + i / kMeterFields);
}
uint32_t ItemField(int i) {
    return static_cast<uint32_t>(i % kMeterFields);
}

// The first n meter items; with `users`, user value i for item i.
void FillItems(int n, std::vector<uint32_t>* points, std::vector<uint32_t>* fields,
               std::vector<int32_t>* users = nullptr) {
    points->resize(static_cast<size_t>(n));
    fields->resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        (*points)[static_cast<size_t>(i)] = ItemPoint(i);
        (*fields)[static_cast<size_t>(i)] = ItemField(i);
    }
    if (users != nullptr) {
        users->resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            (*users)[static_cast<size_t>(i)] = i;
        }
    }
}

// ---- Clients -------------------------------------------------------------------------

constexpr int kSlots = 8;
std::atomic<int32_t> g_state[kSlots];

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData user, int32_t state) {
    if (user >= 0 && user < kSlots) {
        g_state[user].store(state);
    }
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A client in `slot`, connected and ready; null on failure.
ITarvikClient* Connect(int slot, CSimServer* server, bool local, int32_t heartbeatMs) {
    ITarvikClient* c = TarvikCreateClient(slot);
    if (c == nullptr) {
        return nullptr;
    }
    g_state[slot].store(-1);
    c->SetUserData(slot);
    c->SetStateCallback(&OnState);
    c->SetRequestTimeout(30000);
    c->SetHeartbeatInterval(heartbeatMs);
    const bool ok =
        local ? c->ConnectLocal() : c->ConnectRemote(server->Port(), "127.0.0.1", nullptr, 0);
    if (!ok || !WaitForReady(g_state[slot], 20000, std::chrono::milliseconds(1))) {
        std::fprintf(stderr, "client %d: no CONN_READY (state %d)\n", slot,
                     static_cast<int>(g_state[slot].load()));
        TarvikDestroyClient(c);
        return nullptr;
    }
    return c;
}

// The shared server (TCP and local, no random walk) and one client per transport.
struct Env {
    std::unique_ptr<CSimServer> server;
    ITarvikClient* tcp = nullptr;
    ITarvikClient* local = nullptr;
};
Env g_env;

bool SetUpEnv() {
    g_env.server = std::make_unique<CSimServer>(BigDatabase());
    ServerOptions o;
    o.tcp = true;
    o.port = 0;
    o.local = true;
    std::string error;
    if (!g_env.server->Start(o, &error)) {
        std::fprintf(stderr, "server: %s\n", error.c_str());
        return false;
    }
    g_env.tcp = Connect(0, g_env.server.get(), false, 500);
    g_env.local = Connect(1, g_env.server.get(), true, 500);
    return g_env.tcp != nullptr && g_env.local != nullptr;
}

void TearDownEnv() {
    TarvikDestroyClient(g_env.tcp);
    TarvikDestroyClient(g_env.local);
    g_env.tcp = g_env.local = nullptr;
    if (g_env.server) {
        g_env.server->Stop();
    }
    g_env.server.reset();
}

// ---- Wire sizes of a ReadValues of n doubles ------------------------------------------

size_t RequestBytes(int n) {
    return tarvik::kHeaderSize + 4 + 8 * static_cast<size_t>(n);
}
size_t ReplyBytes(int n) {
    return tarvik::kHeaderSize + 4 + 10 * static_cast<size_t>(n);
}

// ---- 1. ReadValues and the raw ping-pongs ------------------------------------------------

void ReadValues(benchmark::State& state, ITarvikClient* c) {
    const int n = static_cast<int>(state.range(0));
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    FillItems(n, &points, &fields);
    std::vector<VarValue> values(static_cast<size_t>(n));
    std::memset(values.data(), 0, sizeof(VarValue) * values.size());
    int64_t i = 0;
    for (auto _ : state) {
        if (c->ReadValues(static_cast<uint32_t>(n), points.data(), fields.data(), values.data()) !=
            n) {
            state.SkipWithError("ReadValues failed");
            break;
        }
        if ((++i & 1023) == 0) {
            state.PauseTiming();
            g_env.server->ClearReceived();  // the server's log keeps every message
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(values.data());
    state.counters["request_B"] = static_cast<double>(RequestBytes(n));
    state.counters["reply_B"] = static_cast<double>(ReplyBytes(n));
}

void BM_ReadValues_Tcp(benchmark::State& state) {
    ReadValues(state, g_env.tcp);
}
void BM_ReadValues_Local(benchmark::State& state) {
    ReadValues(state, g_env.local);
}

// One side answers every `request` bytes with `reply` bytes until the peer closes.
void Answerer(int fd, size_t request, size_t reply) {
    std::vector<char> in(request);
    std::vector<char> out(reply, 0x42);
    while (ReadFull(fd, in.data(), request) && WriteFull(fd, out.data(), reply)) {
    }
}

void PingPong(benchmark::State& state, int fd, size_t request, size_t reply) {
    std::vector<char> out(request, 0x24);
    std::vector<char> in(reply);
    for (auto _ : state) {
        if (!WriteFull(fd, out.data(), request) || !ReadFull(fd, in.data(), reply)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    benchmark::DoNotOptimize(in.data());
    state.counters["request_B"] = static_cast<double>(request);
    state.counters["reply_B"] = static_cast<double>(reply);
}

// Raw TCP over loopback with the bytes of the framed messages (marker included).
void BM_RawTcpPingPong(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const size_t request = tarvik::kMarkerSize + RequestBytes(n);
    const size_t reply = tarvik::kMarkerSize + ReplyBytes(n);
    int fds[2];
    if (!SocketPair(true, fds)) {
        state.SkipWithError("loopback connection failed");
        return;
    }
    const int fd = fds[0];
    const int peer = fds[1];
    std::thread t(Answerer, peer, request, reply);
    PingPong(state, fd, request, reply);
    ::shutdown(fd, SHUT_RDWR);
    t.join();
    ::close(peer);
    ::close(fd);
}

// Raw Unix stream socket pair between two threads, the bytes of the messages.
void BM_RawUnixPingPong(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const size_t request = RequestBytes(n);
    const size_t reply = ReplyBytes(n);
    int sv[2];
    if (!SocketPair(false, sv)) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::thread t(Answerer, sv[1], request, reply);
    PingPong(state, sv[0], request, reply);
    ::shutdown(sv[0], SHUT_RDWR);
    t.join();
    ::close(sv[0]);
    ::close(sv[1]);
}

BENCHMARK(BM_ReadValues_Tcp)->Arg(1)->Arg(1000)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawTcpPingPong)->Arg(1)->Arg(1000)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_ReadValues_Local)->Arg(1)->Arg(1000)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawUnixPingPong)->Arg(1)->Arg(1000)->UseRealTime()->MinTime(1.0);

// ---- 2. IsLinkUp ---------------------------------------------------------------------------

void BM_IsLinkUp_Local(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_env.local->IsLinkUp());
    }
}
void BM_IsLinkUp_Tcp(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_env.tcp->IsLinkUp());
    }
}
// Baseline: one uncontended lock and unlock.
void BM_MutexLockUnlock(benchmark::State& state) {
    std::mutex m;
    for (auto _ : state) {
        m.lock();
        benchmark::ClobberMemory();
        m.unlock();
    }
}
BENCHMARK(BM_IsLinkUp_Local);
BENCHMARK(BM_IsLinkUp_Tcp);
BENCHMARK(BM_MutexLockUnlock);

// ---- 3. Decoding a heartbeat push ------------------------------------------------------------

// A code-20 payload of kItems keyed doubles: uint32 count, then per item the
// uint32 Key, type 2, length 8 and the 8 bytes.
std::vector<uint8_t> HeartbeatPayload() {
    std::vector<uint8_t> p(4 + 14 * static_cast<size_t>(kItems));
    tarvik::StoreU32(p.data(), kItems);
    uint8_t* q = p.data() + 4;
    for (int i = 0; i < kItems; ++i) {
        tarvik::StoreU32(q, ItemPoint(i) | (ItemField(i) << 24));
        q[4] = VAL_DOUBLE;
        q[5] = 8;
        const double v = 0.5 * i;
        std::memcpy(q + 6, &v, 8);
        q += 14;
    }
    return p;
}

CTarvikClient* NewIdleClient() {
    ITarvikClient* c = TarvikCreateClient(9);
    return c == nullptr ? nullptr : tarvik::ClientOf(c);
}

// The event a decode queued, taken off the notification queue.
tarvik::NotifyEvent* PopEvent(CTarvikClient* client) {
    tarvik::plat::CLockHold hold(ClientProbe::StateLock(client));
    return ClientProbe::NotifyQueue(client).Pop();
}

// Decoding a heartbeat push of kItems values; with `timeFree` the event is
// freed inside the timing (what the notification thread pays per push
// besides the delivery).
void HeartbeatDecode(benchmark::State& state, bool timeFree) {
    CTarvikClient* client = NewIdleClient();
    if (client == nullptr) {
        state.SkipWithError("no client");
        return;
    }
    const std::vector<uint8_t> payload = HeartbeatPayload();
    for (auto _ : state) {
        ClientProbe::HandleHeartbeatData(client, payload.data(), payload.size());
        if (!timeFree) {
            state.PauseTiming();
        }
        tarvik::NotifyEvent* event = PopEvent(client);
        const bool whole = event != nullptr && event->count == kItems;
        tarvik::NotifyEventFree(event);
        if (!whole) {
            state.SkipWithError("no event of 100,000 values");
            break;
        }
        if (!timeFree) {
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
    if (!timeFree) {
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(payload.size()));
    }
    TarvikDestroyClient(client);
}

void BM_HandleHeartbeatData_100k(benchmark::State& state) {
    HeartbeatDecode(state, false);
}
void BM_HandleHeartbeatDataAndFree_100k(benchmark::State& state) {
    HeartbeatDecode(state, true);
}

// Baseline: a memcpy of the payload (items counted as the records it holds).
void BM_MemcpyHeartbeatPayload_100k(benchmark::State& state) {
    const std::vector<uint8_t> payload = HeartbeatPayload();
    std::vector<uint8_t> copy(payload.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

BENCHMARK(BM_HandleHeartbeatData_100k)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_HandleHeartbeatDataAndFree_100k)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyHeartbeatPayload_100k)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// ---- 4a. DeliverDataChange of a prepared report -------------------------------------------

std::atomic<int64_t> g_directDelivered{0};

void TARVIK_CALL CountingCallback(ITarvikClient*, TarvikUserData, int32_t count,
                                  const int32_t* handles, const int32_t*, const VarValue* values) {
    benchmark::DoNotOptimize(handles);
    benchmark::DoNotOptimize(values);
    g_directDelivered.fetch_add(count, std::memory_order_relaxed);
}

// Enters kItems subscriptions straight into the table of an idle client.
bool FillTable(CTarvikClient* client) {
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    std::vector<int32_t> users;
    FillItems(kItems, &points, &fields, &users);
    std::vector<int32_t> handles(kItems);
    tarvik::plat::CLockHold hold(ClientProbe::StateLock(client));
    const int32_t fresh =
        ClientProbe::Advise(client).CountNewKeys(kItems, points.data(), fields.data());
    return ClientProbe::Advise(client).AddAdvise(fresh, kItems, points.data(), fields.data(),
                                                 users.data(), nullptr, handles.data(), kPointCount,
                                                 &ClientProbe::HandleCounter(client));
}

void BM_DeliverDataChange_100k(benchmark::State& state) {
    CTarvikClient* client = NewIdleClient();
    if (client == nullptr || !FillTable(client)) {
        state.SkipWithError("no client or table");
        TarvikDestroyClient(client);
        return;
    }
    client->SetDataCallback(&CountingCallback);
    tarvik::NotifyEvent* event = tarvik::NotifyEventCreate();
    event->type = tarvik::NOTIFY_DATA;
    event->count = kItems;
    event->keys = static_cast<uint32_t*>(tarvik::MemAlloc(sizeof(uint32_t) * kItems));
    event->values = tarvik::VarArrayCreate(kItems);
    event->valuesCapacity = kItems;
    for (int i = 0; i < kItems; ++i) {
        event->keys[i] = ItemPoint(i) | (ItemField(i) << 24);
        event->values[i].tag = VAL_DOUBLE;
        event->values[i].u.dblVal = 0.25 * i;
    }
    g_directDelivered.store(0);
    for (auto _ : state) {
        ClientProbe::DeliverDataChange(client, *event);
    }
    const int64_t delivered = g_directDelivered.load();
    if (delivered != static_cast<int64_t>(state.iterations()) * kItems) {
        state.SkipWithError("not every change reached the callback");
    }
    state.SetItemsProcessed(delivered);
    tarvik::NotifyEventFree(event);
    TarvikDestroyClient(client);
}

// Baseline: copying the callback's three arrays (handles, user values, values).
void BM_MemcpyDeliveryArrays_100k(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(kItems) * (4 + 4 + sizeof(VarValue));
    std::vector<uint8_t> from(bytes, 1);
    std::vector<uint8_t> to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kItems);
}

BENCHMARK(BM_DeliverDataChange_100k)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyDeliveryArrays_100k)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// ---- 4b. Delivery end to end -------------------------------------------------------------------

Delivery* g_delivery = nullptr;

void TARVIK_CALL DeliveryCallback(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                                  const int32_t* users, const VarValue* values) {
    g_delivery->Record(count, users, values);
}

// Advises every item of the lists in chunks; false on a failed call.
bool AdviseChunks(ITarvikClient* c, const std::vector<uint32_t>& points,
                  const std::vector<uint32_t>& fields, const std::vector<int32_t>& users,
                  size_t chunk) {
    std::vector<int32_t> handles(points.size());
    for (size_t at = 0; at < points.size(); at += chunk) {
        const size_t n = std::min(chunk, points.size() - at);
        if (c->Advise(static_cast<uint32_t>(n), points.data() + at, fields.data() + at,
                      users.data() + at, handles.data() + at) != static_cast<int32_t>(n)) {
            return false;
        }
    }
    return true;
}

void RunDeliveryEndToEnd() {
    std::printf(
        "\n== Data-change delivery end to end (TCP, 10 ms heartbeat, server walk every "
        "10 ms) ==\n");
    auto server = std::make_unique<CSimServer>(BigDatabase());
    ServerOptions o;
    o.tcp = true;
    o.local = false;
    o.simulateMs = 10;
    std::string error;
    if (!server->Start(o, &error)) {
        std::printf("server: %s\n", error.c_str());
        return;
    }
    auto delivery = std::make_unique<Delivery>();
    g_delivery = delivery.get();
    ITarvikClient* c = Connect(2, server.get(), false, 10);
    if (c == nullptr) {
        server->Stop();
        return;
    }
    c->SetDataCallback(&DeliveryCallback);
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    std::vector<int32_t> users;
    FillItems(kItems, &points, &fields, &users);
    for (int p = 0; p < kProbePoints; ++p) {
        for (int f = 0; f < kProbeFields; ++f) {
            points.push_back(static_cast<uint32_t>(p));
            fields.push_back(static_cast<uint32_t>(f));
            users.push_back(kProbeUserBase + p * kProbeFields + f);
        }
    }
    const auto adviseStart = Clock::now();
    if (!AdviseChunks(c, points, fields, users, 10000)) {
        std::printf("Advise failed\n");
        TarvikDestroyClient(c);
        server->Stop();
        return;
    }
    std::printf("advised %zu items in chunks of 10,000 in %.3f s\n", points.size(),
                Seconds(Clock::now() - adviseStart));

    // The probe driver: one probe item a millisecond gets the next sequence
    // number, stamped when SetValue returns.
    std::atomic<bool> driving{true};
    std::atomic<int64_t> probeSets{0};
    std::thread driver([&] {
        uint32_t seq = 1;
        while (driving.load() && seq < kMaxStamps) {
            const int k = static_cast<int>(seq % (kProbePoints * kProbeFields));
            const std::string point = "PRB" + std::to_string(k / kProbeFields);
            const std::string field = "F" + std::to_string(k % kProbeFields);
            if (server->SetValue(point, field, SimValue::Double(seq))) {
                delivery->stamps[seq].store(NowNs());
                probeSets.fetch_add(1);
            }
            ++seq;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // warm-up
    delivery->measuring.store(true);
    const int64_t changes0 = delivery->changes.load();
    const int64_t reports0 = delivery->reports.load();
    const uint64_t mark = server->Mark();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int64_t changes1 = delivery->changes.load();
    const int64_t reports1 = delivery->reports.load();
    const double window = Seconds(Clock::now() - t0);
    const size_t heartbeats = server->CountReceived(tarvik::CMD_HEARTBEAT_DATA, mark);
    delivery->measuring.store(false);
    driving.store(false);
    driver.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c->SetDataCallback(nullptr);
    TarvikDestroyClient(c);  // stops the notification thread: delaysMs is ours now
    server->Stop();

    const double perSecond = static_cast<double>(changes1 - changes0) / window;
    const double reportsPerSecond = static_cast<double>(reports1 - reports0) / window;
    std::printf("window %.2f s: %lld changes in %lld callbacks\n", window,
                static_cast<long long>(changes1 - changes0),
                static_cast<long long>(reports1 - reports0));
    std::printf("changes delivered to the DataCallback: %.3f million/s (target >= 2)\n",
                perSecond / 1e6);
    std::printf("callbacks: %.1f /s, %.0f changes per callback (of %d items)\n", reportsPerSecond,
                reports1 > reports0 ? static_cast<double>(changes1 - changes0) /
                                          static_cast<double>(reports1 - reports0)
                                    : 0.0,
                kItems + kProbePoints * kProbeFields);
    std::printf("code-20 heartbeats received by the server: %.1f /s (100 /s at 10 ms)\n",
                static_cast<double>(heartbeats) / window);
    std::printf(
        "probe SetValue -> callback delay: %zu samples of %lld sets, median %.2f ms, "
        "p99 %.2f ms, max %.2f ms\n",
        delivery->delaysMs.size(), static_cast<long long>(probeSets.load()),
        Percentile(delivery->delaysMs, 0.5), Percentile(delivery->delaysMs, 0.99),
        Percentile(delivery->delaysMs, 1.0));
    g_delivery = nullptr;
}

// ---- 5. Advise of 100,000 items and the memory of a subscription -----------------------------

// The node of CHashMap<uint32_t, int32_t> and its block header (next, key, value).
struct MapNodeMirror {
    void* next;
    uint32_t key;
    int32_t value;
};
constexpr size_t kMapBlockNodes = 10;  // CHashMap's default block size

template <typename Map>
size_t MapBytes(const Map& map) {
    const size_t count = static_cast<size_t>(map.GetCount());
    const size_t blocks = (count + kMapBlockNodes - 1) / kMapBlockNodes;
    const size_t table = map.HasTable() ? sizeof(void*) * map.GetHashTableSize() : 0;
    return table + blocks * (sizeof(void*) + kMapBlockNodes * sizeof(MapNodeMirror));
}

struct TableBytes {
    size_t items = 0;
    size_t pairs = 0;
    size_t keyMap = 0;
    size_t handleMap = 0;
    int32_t itemCount = 0;
    int32_t capacity = 0;
    int32_t handles = 0;
    size_t Total() const { return items + pairs + keyMap + handleMap; }
};

TableBytes MeasureTable(ITarvikClient* c) {
    CTarvikClient* client = tarvik::ClientOf(c);
    tarvik::plat::CLockHold hold(ClientProbe::StateLock(client));
    const tarvik::CSubscriptionTable& t = ClientProbe::Advise(client);
    TableBytes b;
    b.itemCount = t.ItemCount();
    b.capacity = t.ItemCapacity();
    b.handles = t.HandleCount();
    b.items = static_cast<size_t>(t.ItemCapacity()) * sizeof(tarvik::AdviseItem);
    for (int32_t i = 0; i < t.ItemCount(); ++i) {
        b.pairs += static_cast<size_t>(t.ItemAt(i)->PairCapacity) * sizeof(tarvik::AdvisePair);
    }
    b.keyMap = MapBytes(t.KeyMap());
    b.handleMap = MapBytes(t.HandleMap());
    return b;
}

void PrintTable(const char* what, const TableBytes& b, int64_t blocks, int64_t heapBytes) {
    std::printf("%s: %d items (capacity %d), %d handles\n", what, b.itemCount, b.capacity,
                b.handles);
    std::printf(
        "  table bytes: items %zu + pairs %zu + key map %zu + handle map %zu = %zu "
        "(%.1f B per subscription)\n",
        b.items, b.pairs, b.keyMap, b.handleMap, b.Total(),
        b.handles > 0 ? static_cast<double>(b.Total()) / b.handles : 0.0);
    std::printf(
        "  live library blocks +%lld (%.3f per subscription); heap in use +%lld B "
        "(%.1f B per subscription, glibc mallinfo2, whole process)\n",
        static_cast<long long>(blocks),
        b.handles > 0 ? static_cast<double>(blocks) / b.handles : 0.0,
        static_cast<long long>(heapBytes),
        b.handles > 0 ? static_cast<double>(heapBytes) / b.handles : 0.0);
}

int64_t HeapInUse() {
    return static_cast<int64_t>(mallinfo2().uordblks);
}

void RunAdvise() {
    std::printf("\n== Advise of %d items (TCP, same server as the cases above) ==\n", kItems);
    std::printf(
        "sizeof(AdviseItem) %zu, sizeof(AdvisePair) %zu, map node %zu, map block of %zu "
        "nodes %zu\n",
        sizeof(tarvik::AdviseItem), sizeof(tarvik::AdvisePair), sizeof(MapNodeMirror),
        kMapBlockNodes, sizeof(void*) + kMapBlockNodes * sizeof(MapNodeMirror));
    ITarvikClient* c = Connect(3, g_env.server.get(), false, 500);
    if (c == nullptr) {
        return;
    }
    std::vector<uint32_t> points;
    std::vector<uint32_t> fields;
    std::vector<int32_t> users;
    FillItems(kItems, &points, &fields, &users);
    std::vector<int32_t> handles(kItems);

    // One call.
    g_env.server->ClearReceived();
    malloc_trim(0);
    const int64_t blocks0 = tarvik::testing::LiveBlocks();
    const int64_t heap0 = HeapInUse();
    const auto t0 = Clock::now();
    const int32_t r = c->Advise(kItems, points.data(), fields.data(), users.data(), handles.data());
    const double one = Seconds(Clock::now() - t0);
    const int64_t blocks1 = tarvik::testing::LiveBlocks();
    const int64_t heap1 = HeapInUse();
    if (r != kItems) {
        std::printf("Advise in one call failed (%d)\n", static_cast<int>(r));
    } else {
        std::printf("one call: %.3f s, %.2f us per subscription\n", one, one * 1e6 / kItems);
        PrintTable("after one call", MeasureTable(c), blocks1 - blocks0, heap1 - heap0);
    }
    if (c->UnadviseAll() != 1) {
        std::printf("UnadviseAll failed\n");
    }

    // One call at a time, bounded: stop after kBudget and report what was done.
    g_env.server->ClearReceived();
    malloc_trim(0);
    const int64_t blocks2 = tarvik::testing::LiveBlocks();
    const int64_t heap2 = HeapInUse();
    const auto budget = std::chrono::seconds(25);
    const auto t1 = Clock::now();
    auto lap = t1;
    int done = 0;
    std::printf("one at a time, per 10,000 subscriptions:");
    for (; done < kItems; ++done) {
        const size_t i = static_cast<size_t>(done);
        if (c->Advise(1, &points[i], &fields[i], &users[i], &handles[i]) != 1) {
            std::printf("\nAdvise %d failed\n", done);
            break;
        }
        if ((done + 1) % 10000 == 0) {
            const auto now = Clock::now();
            std::printf(" %.1f", Seconds(now - lap) * 1e6 / 10000);
            std::fflush(stdout);
            lap = now;
            if (now - t1 > budget) {
                ++done;
                break;
            }
        }
    }
    const double each = Seconds(Clock::now() - t1);
    std::printf(" us\n");
    const int64_t blocks3 = tarvik::testing::LiveBlocks();
    const int64_t heap3 = HeapInUse();
    std::printf("one at a time: %d calls in %.3f s, %.2f us per subscription\n", done, each,
                done > 0 ? each * 1e6 / done : 0.0);
    PrintTable("after one at a time", MeasureTable(c), blocks3 - blocks2, heap3 - heap2);
    c->UnadviseAll();
    TarvikDestroyClient(c);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string prefix = "tarvik-bench-" + std::to_string(::getpid()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());
    bool customOnly = false;
    bool noCustom = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--custom_only") == 0) {
            customOnly = true;
        } else if (std::strcmp(argv[i], "--no_custom") == 0) {
            noCustom = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
        return 1;
    }
    if (!SetUpEnv()) {
        TearDownEnv();
        return 1;
    }
    if (!customOnly) {
        benchmark::RunSpecifiedBenchmarks();
    }
    if (!noCustom) {
        RunAdvise();
        RunDeliveryEndToEnd();
    }
    TearDownEnv();
    benchmark::Shutdown();
    return 0;
}
