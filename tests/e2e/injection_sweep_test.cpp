// The failure-injection sweep: a whole session (create, connect, CONN_READY,
// read, subscribe, write, push, history, disconnect, destroy) against the
// in-process development server, over TCP and over the local window
// transport, once with every operating-system call of one kind made to fail
// at its n-th call, for every n up to the number of such calls a session
// makes; and once with every call of the kind failing from the n-th on for a
// while. The allocator's n-th failure is one more kind.
//
// Each run checks: no call of the client outlives its bound; the client
// either fails cleanly (null, false with a last-error text, -1, a state) or,
// once the calls succeed again, comes back to CONN_READY and reads; every
// state is a CONN_ state and every value a valid VarValue; and after the
// client is destroyed no block, descriptor or thread of it is left.
//
// The server's threads are exempt from the injection: only the client's
// calls are counted and failed. A watchdog names the run that hangs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "checks.h"
#include "client/allocator.h"
#include "client/client.h"
#include "client_probe.h"
#include "platform/inject.h"
#include "sim/sim_server.h"
#include "state_log.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

using namespace sim;
using namespace testlog;

constexpr int32_t kSweepReplyTimeoutMs = 200;
// A request waits for its reply up to ten reply timeouts.
constexpr int kRequestBoundMs = 10 * kSweepReplyTimeoutMs + 1000;
// The allocator is the kind after the system's; its sweep, the longest, is
// cut in two (odd and even n) so that each half stays well within a test's
// time limit under the sanitizers.
constexpr int kAllocKind = inject::kKindCount;
constexpr int kAllocEvenKind = inject::kKindCount + 1;
// How long every call of a kind fails in the onward runs.
constexpr int kOnwardHoldMs = 300;
// Onward runs per kind: from the first call, and from a few spread over the
// session.
constexpr int kOnwardRuns = 4;

const char* KindName(int kind) {
    return kind == kAllocKind       ? "allocation"
           : kind == kAllocEvenKind ? "allocation even"
                                    : inject::KindName(kind);
}

// What the open descriptors are, for a failure message.
std::string Descriptors() {
    std::string out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return out;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        out += std::string(e->d_name) + "=" + (n > 0 ? target : "?") + " ";
        if (n > 8 && std::strncmp(target, "socket:[", 8) == 0) {
            // A local socket's name, from the system's table.
            const std::string inode =
                " " + std::string(target + 8, static_cast<size_t>(n) - 9) + " ";
            std::ifstream table("/proc/net/unix");
            std::string line;
            while (std::getline(table, line)) {
                const size_t at = line.find(inode);
                if (at != std::string::npos) {
                    out += "(" + line.substr(at + inode.size()) + ") ";
                }
            }
        }
    }
    ::closedir(dir);
    return out;
}

double OleNow() {
    return static_cast<double>(std::time(nullptr)) / 86400.0 + 25569.0;
}

// Names the run in progress; aborts the process with that name when a run
// makes no progress for a minute (a hang), instead of a silent time-out.
class Watchdog {
  public:
    Watchdog() : thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        thread_.join();
    }
    void Step(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
        since_ = Clock::now();
    }

  private:
    void Run() {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
            if (Clock::now() - since_ > std::chrono::seconds(60)) {
                std::fprintf(stderr, "injection sweep: no progress in %s\n", what_.c_str());
                std::abort();
            }
        }
    }
    std::mutex mutex_;
    std::string what_ = "start";
    Clock::time_point since_ = Clock::now();
    bool stop_ = false;
    std::thread thread_;
};

struct Counts {
    int64_t calls[kAllocKind + 1] = {};
};

class InjectionSweep : public ::testing::TestWithParam<std::tuple<Transport, int>> {
  protected:
    void SetUp() override {
        ServerOptions o;
        o.tcp = true;
        o.local = Local();
        inject::testing::Exempt exempt;  // the server and every thread it starts
        ASSERT_TRUE(server_.Start(o));
    }
    void TearDown() override {
        inject::testing::Reset();
        tarvik::testing::FailNthAllocation(0);
        server_.Stop();
    }

    bool Local() const { return std::get<0>(GetParam()) == Transport::Local; }
    // The kind armed: both allocator halves arm the allocator.
    int Kind() const { return std::min(std::get<1>(GetParam()), kAllocKind); }

    bool Connect(ITarvikClient* c) {
        return Local() ? c->ConnectLocal()
                       : c->ConnectRemote(server_.Port(), "127.0.0.1", nullptr, 0);
    }

    static void Arm(int kind, int64_t n, bool onward) {
        if (kind == kAllocKind) {
            tarvik::testing::FailNthAllocation(n);
        } else {
            inject::testing::Arm(static_cast<inject::Kind>(kind), n, onward);
        }
    }
    static void Disarm() {
        inject::testing::DisarmAll();
        tarvik::testing::FailNthAllocation(0);
    }

    // One read of TANK101.SP; its result (1, or -1 on a clean failure).
    int32_t Read(ITarvikClient* c, uint32_t point) {
        const uint32_t field = 1;
        VarValue v;
        std::memset(&v, 0, sizeof v);
        const auto start = Clock::now();
        const int32_t r = c->ReadValues(1, &point, &field, &v);
        EXPECT_LE(MsSince(start), kRequestBoundMs) << tag_ << " read";
        EXPECT_TRUE(r == 1 || r == -1) << tag_ << " read " << r;
        FreeVar(&v);
        return r;
    }

    // A read of TANK101.SP without a verdict: 1, or -1.
    static int32_t ReadQuiet(ITarvikClient* c) {
        char name[TARVIK_POINT_NAME] = "TANK101";
        int32_t index = -1;
        if (c->GetPointIndexesByName(1, name, &index) != 1 || index < 0) {
            return -1;
        }
        const uint32_t point = static_cast<uint32_t>(index);
        const uint32_t field = 1;
        VarValue v;
        std::memset(&v, 0, sizeof v);
        const int32_t r = c->ReadValues(1, &point, &field, &v);
        FreeVar(&v);
        return r;
    }

    // The session's work once it is ready; every result may be a clean
    // failure, none may take longer than its bound.
    void Work(ITarvikClient* c, StateLog& log) {
        char name[TARVIK_POINT_NAME] = "TANK101";
        int32_t index = -1;
        if (c->GetPointIndexesByName(1, name, &index) != 1 || index < 0) {
            return;  // no directory: the login reply was lost
        }
        const uint32_t point = static_cast<uint32_t>(index);
        const uint32_t field = 1;
        watchdog_.Step(tag_ + " read");
        Read(c, point);

        watchdog_.Step(tag_ + " advise");
        int32_t user = 5;
        int32_t handle = 0;
        auto start = Clock::now();
        const int32_t advised = c->Advise(1, &point, &field, &user, &handle);
        EXPECT_LE(MsSince(start), kRequestBoundMs) << tag_ << " advise";
        EXPECT_TRUE(advised == 1 || advised == -1) << tag_ << " advise " << advised;

        watchdog_.Step(tag_ + " write");
        const size_t data = log.DataCalls();
        VarValue v;
        std::memset(&v, 0, sizeof v);
        v.tag = VAL_DOUBLE;
        v.u.dblVal = 40.0 + static_cast<double>(++writes_ % 50);
        start = Clock::now();
        const int32_t written = c->WriteValues(1, &point, &field, &v);
        EXPECT_LE(MsSince(start), kRequestBoundMs) << tag_ << " write";
        EXPECT_TRUE(written == 1 || written == -1) << tag_ << " write " << written;
        if (advised == 1 && written == 1) {
            // The push of the new value; faults may lose it, so no verdict.
            log.WaitForData(data + 1, After(500));
        }

        watchdog_.Step(tag_ + " history");
        double* times = nullptr;
        uint16_t* statuses = nullptr;
        double* values = nullptr;
        start = Clock::now();
        const int32_t records = c->ReadHistoryRaw(OleNow() - 1.0, OleNow() + 1.0, point, field,
                                                  &times, &statuses, &values);
        EXPECT_LE(MsSince(start), kRequestBoundMs) << tag_ << " history";
        EXPECT_GE(records, -1) << tag_ << " history";
        TarvikFree(times);
        TarvikFree(statuses);
        TarvikFree(values);
    }

    // One whole session with `kind` armed at n; returns the calls it made of
    // every kind.
    Counts Run(int kind, int64_t n, bool onward) {
        tag_ = std::string(Local() ? "local " : "tcp ") + KindName(kind) +
               (onward ? " from " : " #") + std::to_string(n);
        watchdog_.Step(tag_ + " begin");
        inject::testing::Reset();
        const int64_t allocBase = tarvik::testing::Allocations();
        const int64_t blocks = tarvik::testing::LiveBlocks();
        const int fds = checks::CountEntries("/proc/self/fd");
        const int threads = checks::CountEntries("/proc/self/task");
        Counts counts;

        StateLog log;
        if (n > 0) {
            Arm(kind, n, onward);
        }
        const auto armedAt = Clock::now();
        ITarvikClient* c = TarvikCreateClient(7);
        bool connected = false;
        plat::WindowHandle ownWindow = 0;
        if (c != nullptr) {
            c->SetRequestTimeout(kSweepReplyTimeoutMs);
            c->SetHeartbeatInterval(kHeartbeatMs);
            log.Attach(c);
            watchdog_.Step(tag_ + " connect");
            auto start = Clock::now();
            connected = Connect(c);
            {
                // For the failure message: whose descriptors are left.
                plat::CLockHold hold(ClientProbe::StateLock(ClientOf(c)));
                ownWindow = ClientProbe::OwnWindow(ClientOf(c));
            }
            EXPECT_LE(MsSince(start), Local() ? 21000 : 1000) << tag_ << " connect";
            if (!connected) {
                char text[256] = {};
                c->GetLastErrorText(text, sizeof text);
                EXPECT_NE(text[0], '\0') << tag_ << ": a failed connect without a reason";
            } else if (log.WaitForState(CONN_READY, After(onward ? kOnwardHoldMs : 2000))) {
                Work(c, log);
            }
        }
        if (onward) {
            // The calls succeed again. (A single failure stays armed to the
            // end, so that it can fall anywhere, the disconnect included.)
            std::this_thread::sleep_until(armedAt + std::chrono::milliseconds(kOnwardHoldMs));
            Disarm();
        }
        if (connected) {
            // Back to CONN_READY, and reads work. A loss found just now may
            // still be on its way to the application as a state: a read that
            // fails is tried again until the deadline.
            watchdog_.Step(tag_ + " recovery");
            const bool recovered = WaitUntil(
                [&] { return c->GetState() == CONN_READY && ReadQuiet(c) == 1; }, After(8000));
            EXPECT_TRUE(recovered) << tag_ << ": not back to CONN_READY and reading; states "
                                   << ::testing::PrintToString(log.States());
        }
        if (c != nullptr) {
            watchdog_.Step(tag_ + " disconnect");
            const auto start = Clock::now();
            c->Disconnect();
            TarvikDestroyClient(c);
            EXPECT_LE(MsSince(start), kRequestBoundMs + 2000) << tag_ << " disconnect";
        }
        for (int k = 0; k < inject::kKindCount; ++k) {
            counts.calls[k] = inject::testing::Calls(static_cast<inject::Kind>(k));
        }
        counts.calls[kAllocKind] = tarvik::testing::Allocations() - allocBase;
        Disarm();
        EXPECT_EQ(log.Invalid(), 0u) << tag_;
        watchdog_.Step(tag_ + " leaks");
        EXPECT_TRUE(WaitUntil([&] { return tarvik::testing::LiveBlocks() == blocks; }, After(3000)))
            << tag_ << ": " << tarvik::testing::LiveBlocks() - blocks << " blocks left";
        // The window layer's cache of connections may have been emptied by a
        // failure before this run, and be filled again by it: the limit is
        // what a warm process holds.
        const int fdLimit = std::max(fds, warmFds_);
        EXPECT_TRUE(warmFds_ < 0 ||
                    WaitUntil([&] { return checks::CountEntries("/proc/self/fd") <= fdLimit; },
                              After(3000)))
            << tag_ << ": descriptors left: " << Descriptors() << " (were " << fdLimit
            << "; client window " << ownWindow << ")";
        if (warmFds_ < 0) {
            warmFds_ = checks::CountEntries("/proc/self/fd");
        }
        EXPECT_TRUE(WaitUntil([&] { return checks::CountEntries("/proc/self/task") <= threads; },
                              After(3000)))
            << tag_ << ": threads left";
        return counts;
    }

    CSimServer server_;
    Watchdog watchdog_;
    std::string tag_;
    int writes_ = 0;
    // Descriptors after the first run: the window layer keeps its
    // connections to the server's window cached (a few, reused), so
    // descriptors are compared from the second run on.
    int warmFds_ = -1;
};

TEST_P(InjectionSweep, EveryCallOfTheKindFails) {
    const int kind = Kind();
    // The calls a whole session makes, from a run without faults.
    Run(kind, 0, false);
    const Counts clean = Run(kind, 0, false);
    const int64_t total = clean.calls[kind];
    std::printf("[ sweep    ] %s %s: %lld calls in a session\n", Local() ? "local" : "tcp",
                KindName(kind), static_cast<long long>(total));
    std::fflush(stdout);
    const int param = std::get<1>(GetParam());
    const int64_t first = param == kAllocEvenKind ? 2 : 1;
    const int64_t step = kind == kAllocKind ? 2 : 1;
    for (int64_t n = first; n <= total && !HasFatalFailure(); n += step) {
        Run(kind, n, false);
        if (HasFailure()) {
            return;  // the first run that fails tells enough
        }
    }
    if (kind == kAllocKind) {
        return;  // the allocator fails one call only
    }
    for (int i = 0; i < kOnwardRuns && total > 0; ++i) {
        Run(kind, 1 + total * i / kOnwardRuns, true);
        if (HasFailure()) {
            return;
        }
    }
}

std::string SweepName(const ::testing::TestParamInfo<std::tuple<Transport, int>>& info) {
    std::string name = std::string(std::get<0>(info.param) == Transport::Tcp ? "Tcp_" : "Local_") +
                       (std::get<1>(info.param) == kAllocKind ? "allocation odd"
                                                              : KindName(std::get<1>(info.param)));
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Seam, InjectionSweep,
                         ::testing::Combine(::testing::Values(Transport::Tcp, Transport::Local),
                                            ::testing::Range(0, kAllocEvenKind + 1)),
                         SweepName);

}  // namespace
}  // namespace tarvik
