// Subscribes to an item and prints its changes. The data callback runs on the
// library's notification thread: it only copies the values into the
// application's own queue; the main thread prints them.
//
//   subscribe [HOST PORT [ITEM [N]]]    default 127.0.0.1 4000 TANK101 10
//
// Exit code 0 after N changes.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "tarvik/tarvik.h"

namespace {

struct Change {
    int32_t userValue;
    double value;
};

std::mutex g_mutex;
std::condition_variable g_changed;
int32_t g_state = CONN_CLOSED;
std::deque<Change> g_changes;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t newState) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = newState;
    g_changed.notify_all();
}

// The arrays belong to the library and are gone when this returns: copy what
// is kept. Nothing may throw out of a callback.
void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                        const int32_t* userValues, const VarValue* values) {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (int32_t i = 0; i < count; ++i) {
            if (values[i].tag != VAL_DOUBLE) {
                continue;
            }
            double d;
            std::memcpy(&d, values[i].u.raw, sizeof d);
            g_changes.push_back({userValues[i], d});
        }
        g_changed.notify_all();
    } catch (...) {
    }
}

bool WaitReady(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, timeout, [] {
        return g_state == CONN_READY || g_state == CONN_REFUSED || g_state == CONN_REJECTED;
    });
    return g_state == CONN_READY;
}

}  // namespace

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "TANK101";
    const int wanted = argc > 4 ? std::atoi(argv[4]) : 10;

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == nullptr) {
        return 1;
    }
    client->SetStateCallback(OnState);
    client->SetDataCallback(OnData);
    client->ConnectRemote(port, host, nullptr, 0);
    if (!WaitReady(std::chrono::seconds(10))) {
        std::fprintf(stderr, "no ready session with %s:%d\n", host, port);
        TarvikDestroyClient(client);
        return 1;
    }

    char name[TARVIK_ITEM_NAME] = {};
    std::strncpy(name, item.c_str(), sizeof name - 1);
    int32_t point = -1, field = -1;
    client->ResolveItemNames(1, name, &point, &field);
    char canonical[TARVIK_ITEM_NAME] = {};
    client->FormatItemNames(1, &point, &field, canonical);  // "TANK101" -> "TANK101.PV"
    const uint32_t p = static_cast<uint32_t>(point), f = static_cast<uint32_t>(field);
    const int32_t userValue = 1;  // comes back with every change of this item
    int32_t handle = 0;
    if (point < 0 || field < 0 || client->Advise(1, &p, &f, &userValue, &handle) != 1) {
        std::fprintf(stderr, "cannot subscribe to %s\n", item.c_str());
        TarvikDestroyClient(client);
        return 1;
    }

    int seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::unique_lock<std::mutex> lock(g_mutex);
    while (seen < wanted && std::chrono::steady_clock::now() < deadline) {
        g_changed.wait_until(lock, deadline, [] { return !g_changes.empty(); });
        while (!g_changes.empty() && seen < wanted) {
            const Change c = g_changes.front();
            g_changes.pop_front();
            if (c.userValue == userValue) {
                std::printf("%s changed to %g\n", canonical, c.value);
                ++seen;
            }
        }
    }
    lock.unlock();
    std::printf("%d changes\n", seen);
    client->Unadvise(1, &handle);
    TarvikDestroyClient(client);
    return seen == wanted ? 0 : 1;
}
