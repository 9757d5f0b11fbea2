// Many application threads on one client at once: reads, writes,
// subscriptions and their release from two threads each, while the server
// pushes value changes and the link is dropped and restored, over TCP and
// over the local window transport. Nothing may hang, no subscription handle
// may be lost or doubled, the callbacks all run on the client's own
// notification thread, and the session comes back ready when the faults stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_server.h"
#include "state_log.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

using namespace sim;
using namespace testlog;

constexpr int kStressMs = 5000;
constexpr int kFaultEveryMs = 900;

void Pace(std::mt19937& rng) {
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 2500));
}

// What the two callbacks saw. Checked after the run, when every handle that
// Advise returned is known.
struct CallbackLog {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<int32_t> states;
    std::vector<std::pair<int32_t, int32_t>> pairs;  // (handle, user value) reported
    size_t reports = 0;
    int badArrays = 0;
};

CallbackLog* g_log = nullptr;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t state) {
    std::lock_guard<std::mutex> lock(g_log->mutex);
    g_log->threads.insert(std::this_thread::get_id());
    g_log->states.push_back(state);
}

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t* handles,
                        const int32_t* userValues, const VarValue* values) {
    std::lock_guard<std::mutex> lock(g_log->mutex);
    g_log->threads.insert(std::this_thread::get_id());
    ++g_log->reports;
    if (count <= 0 || handles == nullptr || userValues == nullptr || values == nullptr) {
        ++g_log->badArrays;
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t tag = values[i].tag;
        if (tag != VAL_LONG && tag != VAL_DOUBLE && tag != VAL_STRING) {
            ++g_log->badArrays;
        }
        g_log->pairs.emplace_back(handles[i], userValues[i]);
    }
}

// The handles the application threads hold, and every handle ever returned.
struct HandleBook {
    std::mutex mutex;
    std::vector<int32_t> held;          // advised, not yet released
    std::set<int32_t> doubtful;         // Unadvise returned -1 after taking them
    std::map<int32_t, int32_t> issued;  // handle -> user value, every Advise result
    int zeroHandles = 0;
    int duplicates = 0;
};

struct Item {
    uint32_t point;
    uint32_t field;
};

class E2eConcurrency : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        g_log = &log_;
        ServerOptions o;
        o.tcp = true;
        o.local = IsLocal();
        std::string error;
        ASSERT_TRUE(server_.Start(o, &error)) << error;
        client_ = TarvikCreateClient(7);
        ASSERT_NE(client_, nullptr);
        client_->SetRequestTimeout(kReplyTimeoutMs);
        client_->SetHeartbeatInterval(kHeartbeatMs);
        client_->SetStateCallback(&OnState);
        client_->SetDataCallback(&OnData);
    }
    void TearDown() override {
        TarvikDestroyClient(client_);
        server_.Stop();
        g_log = nullptr;
    }

    bool IsLocal() const { return GetParam() == Transport::Local; }

    bool ReadyAndReading(const Item& probe) {
        if (client_->GetState() != CONN_READY) {
            return false;
        }
        VarValue v;
        std::memset(&v, 0, sizeof v);
        const int32_t n = client_->ReadValues(1, &probe.point, &probe.field, &v);
        FreeVar(&v);
        return n == 1;
    }

    uint32_t Point(const char* name) {
        char slot[TARVIK_POINT_NAME] = {};
        std::strncpy(slot, name, sizeof slot - 1);
        int32_t index = -1;
        client_->GetPointIndexesByName(1, slot, &index);
        EXPECT_GE(index, 0) << name;
        return static_cast<uint32_t>(index);
    }

    CallbackLog log_;
    CSimServer server_;
    ITarvikClient* client_ = nullptr;
};

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Tcp ? "Tcp" : "Local";
}

INSTANTIATE_TEST_SUITE_P(E2e, E2eConcurrency, ::testing::Values(Transport::Tcp, Transport::Local),
                         TransportName);

TEST_P(E2eConcurrency, EightThreadsUnderPushesAndLinkFaults) {
    ASSERT_TRUE(IsLocal() ? client_->ConnectLocal()
                          : client_->ConnectRemote(server_.Port(), "127.0.0.1", nullptr, 0));
    ASSERT_TRUE(WaitUntil([&] { return client_->GetState() == CONN_READY; }, After(5000)));
    const Item probe{Point("VALVE101"), 1};
    ASSERT_TRUE(ReadyAndReading(probe));

    // Subscribed items (few, so that subscriptions share them), items that
    // are read (a text among them) and items that are written.
    const std::vector<std::pair<const char*, const char*>> subscribedNames = {{"TANK101", "PV"},
                                                                              {"TANK101", "SP"},
                                                                              {"TANK102", "PV"},
                                                                              {"PUMP101", "SPEED"},
                                                                              {"FIC101", "PV"}};
    const std::vector<Item> subscribed = {{Point("TANK101"), 0},
                                          {Point("TANK101"), 1},
                                          {Point("TANK102"), 0},
                                          {Point("PUMP101"), 1},
                                          {Point("FIC101"), 0}};
    const std::vector<Item> readItems = {
        {Point("TANK101"), 0}, {Point("PUMP102"), 0}, {Point("VALVE101"), 1}, {Point("TI101"), 10}};
    const std::vector<std::function<bool(const VarValue&)>> readExpect = {
        [](const VarValue& v) { return v.tag == VAL_DOUBLE; },  // pushed, changes
        [](const VarValue& v) { return v.tag == VAL_LONG && v.u.lVal == 1; },
        [](const VarValue& v) {
            return v.tag == VAL_STRING && v.u.strVal != nullptr &&
                   std::strcmp(v.u.strVal, "AUTO") == 0;
        },
        [](const VarValue& v) {
            return v.tag == VAL_STRING && v.u.strVal != nullptr &&
                   std::strcmp(v.u.strVal, "degC") == 0;
        }};
    const std::vector<Item> writeItems = {{Point("TANK105"), 1},
                                          {Point("TANK106"), 2},
                                          {Point("TANK101"), 1},
                                          {Point("VALVE102"), 1}};

    HandleBook book;
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::atomic<int> reads{0}, writes{0}, advises{0}, unadvises{0}, failedUnadvises{0},
        releasedAnyway{0};
    std::atomic<int> badReads{0};
    std::mutex idsMutex;
    std::set<std::thread::id> appThreads = {std::this_thread::get_id()};
    // A deque: its threads are never moved as it grows (GCC 12 at -O3 warns
    // falsely about the moves of a growing vector of threads).
    std::deque<std::thread> threads;

    auto spawn = [&](auto body, uint32_t seed) {
        threads.emplace_back([&, body, seed] {
            {
                std::lock_guard<std::mutex> lock(idsMutex);
                appThreads.insert(std::this_thread::get_id());
            }
            std::mt19937 rng(seed);
            while (!stop.load()) {
                body(rng);
                Pace(rng);
            }
            ++finished;
        });
    };

    // Each read takes a run of the read items from a random start, so that a
    // reply handed to the wrong request shows as a wrong value.
    auto reader = [&](std::mt19937& rng) {
        const size_t size = readItems.size();
        const uint32_t n = 1 + rng() % static_cast<uint32_t>(size);
        const size_t first = rng() % size;
        std::vector<uint32_t> points, fields;
        for (uint32_t i = 0; i < n; ++i) {
            points.push_back(readItems[(first + i) % size].point);
            fields.push_back(readItems[(first + i) % size].field);
        }
        std::vector<VarValue> values(n);
        std::memset(values.data(), 0, sizeof(VarValue) * n);
        const int32_t r = client_->ReadValues(n, points.data(), fields.data(), values.data());
        if (r == static_cast<int32_t>(n)) {
            ++reads;
            for (uint32_t i = 0; i < n; ++i) {
                if (!readExpect[(first + i) % size](values[i])) {
                    ++badReads;
                }
            }
        } else if (r != -1) {
            ++badReads;
        }
        for (VarValue& v : values) {
            FreeVar(&v);
        }
    };

    auto writer = [&](std::mt19937& rng) {
        const Item& item = writeItems[rng() % writeItems.size()];
        VarValue v;
        std::memset(&v, 0, sizeof v);
        v.tag = VAL_DOUBLE;
        v.u.dblVal = static_cast<double>(rng() % 1000) / 10.0;
        if (client_->WriteValues(1, &item.point, &item.field, &v) == 1) {
            ++writes;
        }
    };

    std::atomic<int32_t> nextUser{1000};
    auto adviser = [&](std::mt19937& rng) {
        const uint32_t n = 1 + rng() % 3;
        std::vector<uint32_t> points, fields;
        std::vector<int32_t> users, handles(n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            const Item& item = subscribed[rng() % subscribed.size()];
            points.push_back(item.point);
            fields.push_back(item.field);
            users.push_back(nextUser++);
        }
        const int32_t r =
            client_->Advise(n, points.data(), fields.data(), users.data(), handles.data());
        if (r != static_cast<int32_t>(n)) {
            return;
        }
        ++advises;
        std::lock_guard<std::mutex> lock(book.mutex);
        for (uint32_t i = 0; i < n; ++i) {
            if (handles[i] == 0) {
                ++book.zeroHandles;
                continue;
            }
            if (!book.issued.emplace(handles[i], users[i]).second) {
                ++book.duplicates;
                continue;
            }
            book.held.push_back(handles[i]);
        }
    };

    // Handles of an Unadvise that failed were released or not, depending on
    // how far it got. A thread takes them out of the doubtful set to ask the
    // table (nobody else touches them then, so its answer stays true): those
    // it still has go back into use, the others are gone. When the table
    // cannot be asked (not logged in), they wait in the set for a later turn.
    auto settle = [&] {
        std::vector<int32_t> taken;
        {
            std::lock_guard<std::mutex> lock(book.mutex);
            taken.assign(book.doubtful.begin(), book.doubtful.end());
            book.doubtful.clear();
        }
        if (taken.empty()) {
            return;
        }
        std::vector<int32_t> points(taken.size(), -1);
        const int32_t found = client_->GetAdviseInfoByHandle(
            static_cast<int32_t>(taken.size()), taken.data(), points.data(), nullptr, nullptr);
        std::lock_guard<std::mutex> lock(book.mutex);
        for (size_t i = 0; i < taken.size(); ++i) {
            if (found < 0) {
                book.doubtful.insert(taken[i]);
            } else if (points[i] >= 0) {
                book.held.push_back(taken[i]);
            } else {
                ++releasedAnyway;
            }
        }
    };

    auto unadviser = [&](std::mt19937& rng) {
        settle();
        std::vector<int32_t> mine;
        {
            std::lock_guard<std::mutex> lock(book.mutex);
            // Keep a few subscriptions in force so that pushes keep coming.
            const size_t n = book.held.size() > 4 ? 1 + rng() % 3 : 0;
            for (size_t i = 0; i < n; ++i) {
                const size_t at = rng() % book.held.size();
                mine.push_back(book.held[at]);
                book.held.erase(book.held.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
        if (mine.empty()) {
            return;
        }
        const int32_t r = client_->Unadvise(static_cast<uint32_t>(mine.size()), mine.data());
        if (r == static_cast<int32_t>(mine.size())) {
            ++unadvises;
            return;
        }
        ++failedUnadvises;
        std::lock_guard<std::mutex> lock(book.mutex);
        book.doubtful.insert(mine.begin(), mine.end());
    };

    spawn(reader, 1);
    spawn(reader, 2);
    spawn(writer, 3);
    spawn(writer, 4);
    spawn(adviser, 5);
    spawn(adviser, 6);
    spawn(unadviser, 7);
    spawn(unadviser, 8);

    // The server moves the subscribed values.
    threads.emplace_back([&] {
        {
            std::lock_guard<std::mutex> lock(idsMutex);
            appThreads.insert(std::this_thread::get_id());
        }
        std::mt19937 rng(9);
        double value = 0.0;
        while (!stop.load()) {
            const auto& name = subscribedNames[rng() % subscribedNames.size()];
            value += 1.25;
            server_.SetValue(name.first, name.second, SimValue::Double(value));
            Pace(rng);
        }
        ++finished;
    });
    const int workers = static_cast<int>(threads.size());

    // Link faults, from this thread.
    int faults = 0;
    const auto end = After(kStressMs);
    while (Clock::now() < end) {
        WaitUntil([&] { return Clock::now() > end; }, After(kFaultEveryMs));
        if (Clock::now() > end) {
            break;
        }
        if (IsLocal()) {
            // The server leaves the registry and refuses the next message:
            // the link is down and the server cannot be found until it is
            // registered again.
            ASSERT_TRUE(server_.SetRegistered(false));
            server_.ScriptWindowAnswer(0, true);
            WaitUntil([&] { return !client_->IsLinkUp(); }, After(2000));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // pacing
            ASSERT_TRUE(server_.SetRegistered(true));
        } else {
            server_.DropAllConnections();
        }
        ++faults;
    }

    stop = true;
    if (!WaitUntil([&] { return finished.load() == workers; }, After(15000))) {
        // A worker hangs inside the library: joining would hang the suite.
        std::fprintf(stderr, "DEADLOCK: %d of %d threads still running 15 s after the stop\n",
                     workers - finished.load(), workers);
        std::abort();
    }
    for (std::thread& t : threads) {
        t.join();
    }
    server_.ScriptWindowAnswer(1, false);

    // Back to ready within seconds, and really so.
    ASSERT_TRUE(WaitUntil([&] { return ReadyAndReading(probe); }, After(8000)))
        << "state " << client_->GetState();

    EXPECT_GE(faults, 3);
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(writes.load(), 0);
    EXPECT_GT(advises.load(), 0);
    EXPECT_GT(unadvises.load(), 0);
    EXPECT_EQ(badReads.load(), 0);

    // Handles: each unique and nonzero, and the client holds exactly the ones
    // the threads still hold (a doubtful one counts if the client has it).
    EXPECT_EQ(book.zeroHandles, 0);
    EXPECT_EQ(book.duplicates, 0);
    std::set<int32_t> expected(book.held.begin(), book.held.end());
    EXPECT_EQ(expected.size(), book.held.size());
    int keptDoubtful = 0;
    for (int32_t h : book.doubtful) {
        int32_t point = -1;
        const int32_t found = client_->GetAdviseInfoByHandle(1, &h, &point, nullptr, nullptr);
        ASSERT_GE(found, 0);
        if (found == 1) {
            expected.insert(h);
            ++keptDoubtful;
        }
    }
    const int32_t count = client_->GetAdviseHandleCount();
    ASSERT_EQ(count, static_cast<int32_t>(expected.size()));
    std::vector<int32_t> handles(static_cast<size_t>(count) + 1, 0);
    std::vector<int32_t> users(static_cast<size_t>(count) + 1, 0);
    ASSERT_EQ(client_->EnumAdviseHandles(count, handles.data(), users.data()), count);
    handles.resize(static_cast<size_t>(count));
    EXPECT_EQ(std::set<int32_t>(handles.begin(), handles.end()), expected);
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(users[i], book.issued[handles[i]]) << "handle " << handles[i];
    }

    // Callbacks: one thread, none of the application's, with known handles.
    {
        std::lock_guard<std::mutex> lock(log_.mutex);
        EXPECT_EQ(log_.threads.size(), 1u);
        for (const std::thread::id& id : log_.threads) {
            EXPECT_EQ(appThreads.count(id), 0u);
        }
        EXPECT_GT(log_.reports, 0u);
        EXPECT_EQ(log_.badArrays, 0);
        int unknown = 0;
        for (const auto& p : log_.pairs) {
            auto it = book.issued.find(p.first);
            if (it == book.issued.end() || it->second != p.second) {
                ++unknown;
            }
        }
        EXPECT_EQ(unknown, 0) << "of " << log_.pairs.size() << " reported entries";
    }

    // The subscriptions are in force on the server: a change reaches a held handle.
    if (!expected.empty()) {
        const int32_t h = *expected.begin();
        int32_t point = -1, field = -1;
        ASSERT_EQ(client_->GetAdviseInfoByHandle(1, &h, &point, &field, nullptr), 1);
        char name[TARVIK_ITEM_NAME] = {};
        const int32_t index = point;
        const int32_t fieldNo = field;
        ASSERT_EQ(client_->FormatItemNames(1, &index, &fieldNo, name), 1);
        const std::string item(name);
        const size_t dot = item.find('.');
        const std::string pointName = dot == std::string::npos ? item : item.substr(0, dot);
        const std::string fieldName = dot == std::string::npos ? "PV" : item.substr(dot + 1);
        size_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(log_.mutex);
            seen = log_.pairs.size();
        }
        ASSERT_TRUE(server_.SetValue(pointName, fieldName, SimValue::Double(-7.5)));
        EXPECT_TRUE(WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(log_.mutex);
                for (size_t i = seen; i < log_.pairs.size(); ++i) {
                    if (log_.pairs[i].first == h) {
                        return true;
                    }
                }
                return false;
            },
            After(3000)))
            << item;
    }
    RecordProperty("faults", faults);
    RecordProperty("keptDoubtful", keptDoubtful);
    std::printf(
        "faults %d, reads %d, writes %d, advises %d, unadvises %d (failed %d, of them "
        "released anyway %d), held at the end %zu (doubtful %zu, kept %d), reports %zu\n",
        faults, reads.load(), writes.load(), advises.load(), unadvises.load(),
        failedUnadvises.load(), releasedAnyway.load(), book.held.size(), book.doubtful.size(),
        keptDoubtful, log_.reports);
}

}  // namespace
}  // namespace tarvik
