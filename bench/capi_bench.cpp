// The C++ side of the Python benchmark (bench/bench_python.py): the same
// operations through the C API against the same running server, so that the
// Python figures read as a cost over these.
//
//   tarvik-capi-bench PORT read ITEMS REPEAT NAME...   microseconds per read of
//                                                      the first ITEMS names
//   tarvik-capi-bench PORT watch SECONDS NAME...       changes per second that
//                                                      reach the data callback
//
// Prints one line "key value" per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tarvik/tarvik_c.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long long> g_changes{0};

void TARVIK_C_CALL OnData(tarvik_client*, TarvikUserData, int32_t count, const int32_t*,
                          const int32_t*, const VarValue*) {
    g_changes += count;
}

int Fail(const char* what) {
    std::fprintf(stderr, "tarvik-capi-bench: %s\n", what);
    return 1;
}

// Resolves the names into point indexes and field numbers; false when any is unknown.
bool Resolve(tarvik_client* client, const std::vector<std::string>& names,
             std::vector<uint32_t>* points, std::vector<uint32_t>* fields) {
    const int32_t n = static_cast<int32_t>(names.size());
    std::vector<char> slots(names.size() * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < names.size(); ++i) {
        std::strncpy(&slots[i * TARVIK_ITEM_NAME], names[i].c_str(), TARVIK_ITEM_NAME - 1);
    }
    std::vector<int32_t> p(names.size());
    std::vector<int32_t> f(names.size());
    if (tarvik_resolve_item_names(client, n, slots.data(), p.data(), f.data()) != n) {
        return false;
    }
    points->assign(p.begin(), p.end());
    fields->assign(f.begin(), f.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        return Fail(
            "usage: tarvik-capi-bench PORT read ITEMS REPEAT NAME... | PORT watch SECONDS NAME...");
    }
    const int port = std::atoi(argv[1]);
    const std::string mode = argv[2];
    tarvik_client* client = tarvik_create(0);
    if (client == nullptr) {
        return Fail("no client");
    }
    tarvik_set_data_callback(client, &OnData);
    tarvik_set_heartbeat_interval(client, 10);
    if (!tarvik_connect_remote(client, port, "127.0.0.1", nullptr, 0) ||
        !tarvik_wait_ready(client, 10000)) {
        tarvik_destroy(client);
        return Fail("no ready session");
    }
    int rc = 0;
    if (mode == "read" && argc >= 6) {
        const int items = std::atoi(argv[3]);
        const int repeat = std::max(1, std::atoi(argv[4]));
        std::vector<std::string> names(argv + 5, argv + argc);
        names.resize(std::min<size_t>(names.size(), static_cast<size_t>(items)));
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        if (!Resolve(client, names, &points, &fields)) {
            rc = Fail("unknown item");
        } else {
            const uint32_t n = static_cast<uint32_t>(names.size());
            std::vector<VarValue> values(n);
            std::memset(values.data(), 0, sizeof(VarValue) * n);
            double sum = 0.0;
            for (int warm = 0; warm < 10; ++warm) {
                tarvik_read_values(client, n, points.data(), fields.data(), values.data());
            }
            const auto start = Clock::now();
            for (int r = 0; r < repeat && rc == 0; ++r) {
                if (tarvik_read_values(client, n, points.data(), fields.data(), values.data()) !=
                    static_cast<int32_t>(n)) {
                    rc = Fail("read failed");
                }
                sum += values[0].u.dblVal;  // the value is used, as a caller would
            }
            const double us =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count() / repeat;
            tarvik_values_clear(static_cast<int32_t>(n), values.data());
            std::printf("read_us %.2f\nchecksum %g\n", us, sum);
        }
    } else if (mode == "watch") {
        const double seconds = std::atof(argv[3]);
        std::vector<std::string> names(argv + 4, argv + argc);
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        std::vector<int32_t> handles(names.size());
        if (!Resolve(client, names, &points, &fields) ||
            tarvik_advise(client, static_cast<uint32_t>(names.size()), points.data(), fields.data(),
                          nullptr, handles.data()) != static_cast<int32_t>(names.size())) {
            rc = Fail("subscribe failed");
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // settle
            const long long before = g_changes.load();
            const auto start = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            std::printf("changes_per_s %.0f\n", (g_changes.load() - before) / elapsed);
        }
    } else {
        rc = Fail("unknown mode");
    }
    tarvik_destroy(client);
    return rc;
}
