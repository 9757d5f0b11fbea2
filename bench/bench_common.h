// What the benchmark programs share: the development server's database of
// probe and meter points, raw socket I/O for the baselines, percentiles and
// the log of pushed values that measures the delay from a change to its
// callback.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_db.h"
#include "tarvik/tarvik.h"

namespace tarvik::bench {

inline int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits until `state` is CONN_READY, looking every `poll`; false when it is
// not within `milliseconds`.
inline bool WaitForReady(const std::atomic<int32_t>& state, int milliseconds,
                         std::chrono::microseconds poll) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (state.load() != CONN_READY) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// The p-quantile (0..1) of v; -1 when v is empty.
// Sorts `v` in place (a copy here trips a false -Wfree-nonheap-object in
// GCC 12 at -O3).
inline double Percentile(std::vector<double>& v, double p) {
    if (v.empty()) {
        return -1.0;
    }
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// ---- The database ---------------------------------------------------------------------

constexpr int kProbeFields = 10;

// First `probes` points PRB<n> of type PROBE (fields F0..F9, never walked),
// then `points` points M<n> of type METER with `fields` double fields V0..,
// walked when `simulate`. Exits with the reason on a failure.
inline sim::Database MakeDatabase(int points, int fields, bool simulate, int probes) {
    sim::Database db;
    std::string error;
    // `count` double fields <prefix>0.., walked between 0 and 100 when `walk`.
    auto type = [](uint32_t id, const char* name, const char* prefix, int count, bool walk,
                   double initial) {
        sim::TypeInfo t;
        t.typeId = id;
        t.name = name;
        for (int f = 0; f < count; ++f) {
            sim::FieldInfo fi;
            fi.name = prefix + std::to_string(f);
            fi.fieldNo = static_cast<uint8_t>(f);
            fi.valueType = VAL_DOUBLE;
            fi.simulate = walk;
            fi.min = 0.0;
            fi.max = 100.0;
            fi.initial = sim::SimValue::Double(initial);
            t.fields.push_back(fi);
        }
        return t;
    };
    const sim::TypeInfo probe = type(1, "PROBE", "F", kProbeFields, false, 0.0);
    const sim::TypeInfo meter = type(2, "METER", "V", fields, simulate, 50.0);
    bool ok = db.AddType(probe, &error) && db.AddType(meter, &error);
    for (int p = 0; ok && p < probes; ++p) {
        ok = db.AddPoint("PRB" + std::to_string(p), 1, 0, &error);
    }
    if (!ok) {
        std::fprintf(stderr, "database: %s\n", error.c_str());
        std::exit(1);
    }
    // AddPoint looks every name up linearly; the bulk is appended directly
    // (the names are distinct by construction), as AddPoint would.
    const int meterType = db.TypeIndex(2);
    db.points.reserve(static_cast<size_t>(probes + points));
    for (int p = 0; p < points; ++p) {
        sim::PointInfo info;
        char name[16];
        std::snprintf(name, sizeof name, "M%07d", p);
        info.name = name;
        info.typeId = 2;
        info.typeIndex = meterType;
        for (const sim::FieldInfo& f : db.types[static_cast<size_t>(meterType)].fields) {
            info.values.push_back(f.initial);
            info.versions.push_back(0);
        }
        db.points.push_back(std::move(info));
    }
    return db;
}

// ---- Raw sockets ----------------------------------------------------------------------

inline bool ReadFull(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

inline bool WriteFull(int fd, const char* buf, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::send(fd, buf + sent, n - sent, MSG_NOSIGNAL);
        if (r <= 0) {
            return false;
        }
        sent += static_cast<size_t>(r);
    }
    return true;
}

// A connected pair of stream sockets: TCP over loopback (no Nagle) or Unix.
inline bool SocketPair(bool tcp, int fds[2]) {
    if (!tcp) {
        return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bool ok = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::listen(listener, 1) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    fds[0] = ok ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ok = ok && fds[0] >= 0 && ::connect(fds[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    fds[1] = ok ? ::accept(listener, nullptr, nullptr) : -1;
    if (listener >= 0) {
        ::close(listener);
    }
    if (!ok || fds[1] < 0) {
        if (fds[0] >= 0) {
            ::close(fds[0]);
        }
        return false;
    }
    const int on = 1;
    ::setsockopt(fds[0], IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fds[1], IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

// ---- Delivery delay -------------------------------------------------------------------
//
// A driver stamps sequence number n into stamps[n] when it sets a probe item
// to n; the data callback finds n among the pushed values of users at or
// above kProbeUserBase and logs the delay since the stamp.

constexpr int32_t kProbeUserBase = 1000000;
constexpr size_t kMaxStamps = 1 << 16;

struct Delivery {
    std::atomic<int64_t> changes{0};
    std::atomic<int64_t> reports{0};
    std::atomic<bool> measuring{false};
    std::atomic<int64_t> stamps[kMaxStamps];  // time of the probe's SetValue, ns
    std::vector<double> delaysMs;             // written by the notification thread only

    Delivery() {
        for (auto& s : stamps) {
            s.store(0);
        }
        delaysMs.reserve(kMaxStamps);
    }

    // Called from the data callback with its arguments.
    void Record(int32_t count, const int32_t* users, const VarValue* values) {
        const int64_t now = NowNs();
        changes.fetch_add(count, std::memory_order_relaxed);
        reports.fetch_add(1, std::memory_order_relaxed);
        if (!measuring.load(std::memory_order_relaxed)) {
            return;
        }
        for (int32_t i = 0; i < count; ++i) {
            if (users[i] < kProbeUserBase || values[i].tag != VAL_DOUBLE) {
                continue;
            }
            const double seq = values[i].u.dblVal;
            if (seq < 1 || seq >= static_cast<double>(kMaxStamps)) {
                continue;
            }
            const int64_t stamp = stamps[static_cast<size_t>(seq)].load();
            if (stamp != 0) {
                delaysMs.push_back(static_cast<double>(now - stamp) / 1e6);
            }
        }
    }
};

}  // namespace tarvik::bench
