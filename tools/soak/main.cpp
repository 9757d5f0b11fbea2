// tarvik-soak: many clients against a misbehaving tarvik-sim for a long time.
//
// Starts tarvik-sim as a child process with random faults (lost, corrupted,
// split and garbled replies, dropped connections), and N clients, half over
// TCP and half over the local window transport. Each client's own thread
// reads, writes, subscribes, unsubscribes, reads history and now and then
// disconnects and connects again. Every report interval it prints this
// process's resident memory, open descriptors and threads, and the states
// the clients reached. At the end the faulty server is replaced by one
// without faults on the same port and registry; every client must come back
// to CONN_READY and read.
//
// Exit status 0 when all went well; 1 when a figure kept growing, a client
// did not come back, a callback saw an invalid state or value, or a call
// outlived its bound; 2 on a setup error.
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "checks.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"

namespace {

using tarvik::checks::CountEntries;
using tarvik::checks::ValidValue;
using Clock = std::chrono::steady_clock;

constexpr int32_t kReplyTimeoutMs = 1000;
constexpr int32_t kHeartbeatMs = 200;
constexpr int kStates = CONN_REJECTED + 1;
const char* const kStateNames[kStates] = {"ready",  "closed",  "pending", "broken",
                                          "no-srv", "refused", "rejected"};
// A request waits for its reply up to ten reply timeouts.
constexpr int64_t kRequestBoundMs = 10 * kReplyTimeoutMs + 2000;
// Subscription handles a client holds at most.
constexpr size_t kMaxHandles = 30;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- This process ---------------------------------------------------------------

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

struct Sample {
    double minute = 0;
    long rssKb = 0;
    int fds = 0;
    int threads = 0;
};

// ---- The server ---------------------------------------------------------------------

class SimProcess {
  public:
    ~SimProcess() { Stop(); }

    // Starts tarvik-sim; with port 0 it picks one and tells it on its first
    // line. false (and why in *error) when it does not come up.
    bool Start(const std::string& path, uint16_t port, const std::string& prefix, int faults,
               unsigned seed, std::string* error) {
        int out[2];
        if (::pipe(out) != 0) {
            *error = "pipe: " + std::string(std::strerror(errno));
            return false;
        }
        std::vector<std::string> args = {
            path,   "--local",    "--port", std::to_string(port), "--name-prefix",
            prefix, "--simulate", "500"};
        if (faults > 0) {
            for (const std::string& a :
                 {std::string("--faults"), std::to_string(faults), std::string("--fault-seed"),
                  std::to_string(seed), std::string("--max-faults"), std::string("4000000000")}) {
                args.push_back(a);
            }
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            *error = "fork: " + std::string(std::strerror(errno));
            return false;
        }
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(&a[0]);
            }
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            std::fprintf(stderr, "tarvik-soak: cannot run %s: %s\n", path.c_str(),
                         std::strerror(errno));
            ::_exit(127);
        }
        ::close(out[1]);
        // "listening on port N", then "registered as ...".
        std::string text;
        char c;
        int lines = 0;
        while (lines < 2 && ::read(out[0], &c, 1) == 1) {
            text.push_back(c);
            lines += c == '\n' ? 1 : 0;
        }
        ::close(out[0]);
        const size_t at = text.find("port ");
        if (lines < 2 || at == std::string::npos) {
            *error = "tarvik-sim did not come up (" + path + ")";
            Stop();
            return false;
        }
        port_ = static_cast<uint16_t>(std::strtoul(text.c_str() + at + 5, nullptr, 10));
        return true;
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// ---- The clients ------------------------------------------------------------------------

struct Totals {
    std::atomic<long> states[kStates] = {};
    std::atomic<long> dataCalls{0};
    std::atomic<long> invalid{0};
    std::atomic<long> slow{0};
    std::atomic<long> requests{0};
    std::atomic<long> failedRequests{0};
    std::atomic<long> reconnects{0};
};

Totals g_totals;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t state) {
    if (state < 0 || state >= kStates) {
        ++g_totals.invalid;
        return;
    }
    ++g_totals.states[state];
}

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                        const int32_t*, const VarValue* values) {
    ++g_totals.dataCalls;
    for (int32_t i = 0; i < count; ++i) {
        if (!ValidValue(values[i])) {
            ++g_totals.invalid;
        }
    }
}

void FreeValue(VarValue* v) {
    if (v->tag == VAL_STRING) {
        TarvikFree(v->u.strVal);
    }
    std::memset(v, 0, sizeof *v);
}

double OleNow() {
    return static_cast<double>(std::time(nullptr)) / 86400.0 + 25569.0;
}

class SoakClient {
  public:
    SoakClient(int index, bool local) : index_(index), local_(local), rng_(1000u + index) {}

    bool Create() {
        client_ = TarvikCreateClient(index_);
        if (client_ == nullptr) {
            return false;
        }
        client_->SetRequestTimeout(kReplyTimeoutMs);
        client_->SetHeartbeatInterval(kHeartbeatMs);
        client_->SetUserData(index_);
        client_->SetStateCallback(&OnState);
        client_->SetDataCallback(&OnData);
        return true;
    }
    void Destroy() {
        TarvikDestroyClient(client_);
        client_ = nullptr;
    }
    bool Connect(uint16_t port) {
        port_ = port;
        return local_ ? client_->ConnectLocal()
                      : client_->ConnectRemote(port, "127.0.0.1", nullptr, 0);
    }
    ITarvikClient* client() { return client_; }
    bool local() const { return local_; }

    // One step of the application's work.
    void Step() {
        if (client_->GetState() != CONN_READY) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return;
        }
        if (!Resolve()) {
            return;
        }
        unsigned pick = rng_() % 100;
        if (pick >= 55 && pick < 70 && handles_.size() >= kMaxHandles) {
            pick = 70;  // as many subscriptions as an application keeps: give some up
        }
        const auto start = Clock::now();
        int32_t r = 0;
        if (pick < 35) {
            VarValue values[3];
            std::memset(values, 0, sizeof values);
            r = client_->ReadValues(3, points_.data(), fields_.data(), values);
            for (VarValue& v : values) {
                if (r > 0 && !ValidValue(v)) {
                    ++g_totals.invalid;
                }
                FreeValue(&v);
            }
        } else if (pick < 55) {
            VarValue v;
            std::memset(&v, 0, sizeof v);
            v.tag = VAL_DOUBLE;
            v.u.dblVal = static_cast<double>(rng_() % 1000) / 10.0;
            r = client_->WriteValues(1, &points_[1], &fields_[1], &v);
        } else if (pick < 70) {
            int32_t users[3] = {1, 2, 3};
            int32_t handles[3] = {};
            r = client_->Advise(3, points_.data(), fields_.data(), users, handles);
            if (r > 0) {
                handles_.insert(handles_.end(), handles, handles + 3);
            }
        } else if (pick < 80) {
            if (handles_.empty()) {
                return;
            }
            const int32_t n = static_cast<int32_t>(std::min<size_t>(handles_.size(), 3));
            r = client_->Unadvise(static_cast<uint32_t>(n), handles_.data());
            if (r >= 0) {
                handles_.erase(handles_.begin(), handles_.begin() + n);
            }
        } else if (pick < 90) {
            double* times = nullptr;
            uint16_t* statuses = nullptr;
            double* values = nullptr;
            r = client_->ReadHistoryRaw(OleNow() - 0.01, OleNow(), points_[0], fields_[0], &times,
                                        &statuses, &values);
            TarvikFree(times);
            TarvikFree(statuses);
            TarvikFree(values);
        } else if (pick < 99) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        } else {
            // Disconnect and connect again (the subscriptions stay).
            client_->Disconnect();
            ++g_totals.reconnects;
            if (!Connect(port_)) {
                ++g_totals.failedRequests;
            }
            return;
        }
        ++g_totals.requests;
        if (r < 0) {
            ++g_totals.failedRequests;
        }
        if (MsSince(start) > kRequestBoundMs) {
            ++g_totals.slow;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng_() % 20));
    }

    // One read of a known item; 1 when it worked.
    int32_t ReadOnce() {
        if (!Resolve()) {
            return -1;
        }
        VarValue v;
        std::memset(&v, 0, sizeof v);
        const int32_t r = client_->ReadValues(1, points_.data(), fields_.data(), &v);
        FreeValue(&v);
        return r;
    }

  private:
    // TANK101.PV, TANK101.SP, PUMP101.SPEED of the demo plant.
    bool Resolve() {
        const char* names[3] = {"TANK101.PV", "TANK101.SP", "PUMP101.SPEED"};
        char slots[3][TARVIK_ITEM_NAME] = {};
        for (int i = 0; i < 3; ++i) {
            std::strncpy(slots[i], names[i], TARVIK_ITEM_NAME - 1);
        }
        int32_t indexes[3] = {-1, -1, -1};
        int32_t fields[3] = {-1, -1, -1};
        if (client_->ResolveItemNames(3, &slots[0][0], indexes, fields) != 3) {
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            if (indexes[i] < 0 || fields[i] < 0) {
                return false;
            }
            points_[i] = static_cast<uint32_t>(indexes[i]);
            fields_[i] = static_cast<uint32_t>(fields[i]);
        }
        return true;
    }

    int index_;
    bool local_;
    std::mt19937 rng_;
    ITarvikClient* client_ = nullptr;
    uint16_t port_ = 0;
    std::array<uint32_t, 3> points_{};
    std::array<uint32_t, 3> fields_{};
    std::vector<int32_t> handles_;
};

// Whether a figure kept growing: every sample of the second half above
// every sample of the first, by more than `slack`. The first sample (start-up)
// is left out.
bool KeepsGrowing(const std::vector<Sample>& samples, long (*figure)(const Sample&), long slack) {
    if (samples.size() < 5) {
        return false;
    }
    const size_t from = 1;
    const size_t mid = from + (samples.size() - from) / 2;
    long firstMax = 0;
    for (size_t i = from; i < mid; ++i) {
        firstMax = std::max(firstMax, figure(samples[i]));
    }
    long secondMin = figure(samples[mid]);
    for (size_t i = mid; i < samples.size(); ++i) {
        secondMin = std::min(secondMin, figure(samples[i]));
    }
    return secondMin > firstMax + slack;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tarvik-soak: many clients over both transports against tarvik-sim with random faults"};
    int clients = 16;
    double minutes = 10;
    double reportSeconds = 60;
    int faults = 5;
    unsigned seed = 1;
    std::string simPath;
    app.add_option("--clients,-n", clients, "number of clients, half of them local")
        ->capture_default_str()
        ->check(CLI::Range(1, 256));
    app.add_option("--minutes,-t", minutes, "how long the faults go on")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 10000.0));
    app.add_option("--report", reportSeconds, "seconds between two reports")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
    app.add_option("--faults", faults, "percent of replies that meet a fault")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
    app.add_option("--seed", seed, "seed of the faults and of the clients' choices")
        ->capture_default_str();
    app.add_option("--sim", simPath, "the tarvik-sim program (default: next to this one)");
    CLI11_PARSE(app, argc, argv);

    if (simPath.empty()) {
        const std::string self = argv[0];
        const size_t slash = self.rfind('/');
        simPath =
            (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/tarvik-sim";
    }
    const std::string prefix = "tarvik-soak-" + std::to_string(::getpid()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());
    ::signal(SIGPIPE, SIG_IGN);

    SimProcess sim;
    std::string error;
    if (!sim.Start(simPath, 0, prefix, faults, seed, &error)) {
        std::fprintf(stderr, "tarvik-soak: %s\n", error.c_str());
        return 2;
    }
    std::printf("tarvik-soak: %d clients (%d local), %.1f min, %d%% faults, server on port %u\n",
                clients, clients / 2, minutes, faults, static_cast<unsigned>(sim.port()));

    std::vector<std::unique_ptr<SoakClient>> soak;
    for (int i = 0; i < clients; ++i) {
        soak.push_back(std::make_unique<SoakClient>(i + 1, i % 2 == 1));
        if (!soak.back()->Create()) {
            std::fprintf(stderr, "tarvik-soak: client %d could not be created\n", i + 1);
            return 2;
        }
        if (!soak.back()->Connect(sim.port())) {
            char text[256] = {};
            soak.back()->client()->GetLastErrorText(text, sizeof text);
            std::fprintf(stderr, "tarvik-soak: client %d could not connect: %s\n", i + 1, text);
            return 2;
        }
    }

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& c : soak) {
        SoakClient* client = c.get();
        threads.emplace_back([client, &stop] {
            while (!stop.load()) {
                client->Step();
            }
        });
    }

    // Reports.
    std::vector<Sample> samples;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(minutes * 60000));
    auto nextReport = start;
    long lastStates[kStates] = {};
    std::printf("%7s %9s %5s %7s  %s\n", "minute", "rss_kb", "fds", "threads",
                "states reached since the last report; requests (failed)");
    for (;;) {
        const auto now = Clock::now();
        if (now >= nextReport) {
            Sample s;
            s.minute = static_cast<double>(MsSince(start)) / 60000.0;
            s.rssKb = RssKb();
            s.fds = CountEntries("/proc/self/fd");
            s.threads = CountEntries("/proc/self/task");
            samples.push_back(s);
            std::ostringstream states;
            for (int i = 0; i < kStates; ++i) {
                const long n = g_totals.states[i].load();
                states << kStateNames[i] << " " << n - lastStates[i] << "  ";
                lastStates[i] = n;
            }
            std::printf("%7.2f %9ld %5d %7d  %s; %ld (%ld)\n", s.minute, s.rssKb, s.fds, s.threads,
                        states.str().c_str(), g_totals.requests.load(),
                        g_totals.failedRequests.load());
            std::fflush(stdout);
            nextReport += std::chrono::milliseconds(static_cast<int64_t>(reportSeconds * 1000));
        }
        if (now >= end) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // The faults stop: the server is replaced by one without faults, on the
    // same port and in the same registry.
    const uint16_t port = sim.port();
    sim.Stop();
    SimProcess calm;
    if (!calm.Start(simPath, port, prefix, 0, seed, &error)) {
        std::fprintf(stderr, "tarvik-soak: the server without faults: %s\n", error.c_str());
        stop = true;
        for (std::thread& t : threads) {
            t.join();
        }
        return 2;
    }
    std::printf("faults stopped: server without faults on port %u\n", static_cast<unsigned>(port));
    stop = true;
    for (std::thread& t : threads) {
        t.join();
    }
    int notBack = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    for (size_t i = 0; i < soak.size(); ++i) {
        bool back = false;
        while (!back && Clock::now() < deadline) {
            back = soak[i]->client()->GetState() == CONN_READY && soak[i]->ReadOnce() == 1;
            if (!back) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (!back) {
            ++notBack;
            std::printf("client %zu (%s) did not come back to CONN_READY (state %d)\n", i + 1,
                        soak[i]->local() ? "local" : "tcp", soak[i]->client()->GetState());
        }
    }
    for (auto& c : soak) {
        c->client()->Disconnect();
        c->Destroy();
    }
    calm.Stop();

    bool ok = notBack == 0;
    struct Figure {
        const char* name;
        long (*get)(const Sample&);
        long slack;
    };
    const Figure figures[] = {
        {"resident memory", [](const Sample& s) { return s.rssKb; }, 4096},
        {"open descriptors", [](const Sample& s) { return static_cast<long>(s.fds); }, 4},
        {"threads", [](const Sample& s) { return static_cast<long>(s.threads); }, 2},
    };
    for (const Figure& f : figures) {
        if (KeepsGrowing(samples, f.get, f.slack)) {
            std::printf("FAIL: %s kept growing\n", f.name);
            ok = false;
        }
    }
    if (g_totals.invalid.load() > 0) {
        std::printf("FAIL: %ld invalid states or values in callbacks\n", g_totals.invalid.load());
        ok = false;
    }
    if (g_totals.slow.load() > 0) {
        std::printf("FAIL: %ld requests outlived their bound\n", g_totals.slow.load());
        ok = false;
    }
    std::printf(
        "%s: %ld requests (%ld failed), %ld data callbacks, %ld reconnections, "
        "%d of %d clients back to CONN_READY\n",
        ok ? "PASS" : "FAIL", g_totals.requests.load(), g_totals.failedRequests.load(),
        g_totals.dataCalls.load(), g_totals.reconnects.load(), clients - notBack, clients);
    return ok ? 0 : 1;
}
