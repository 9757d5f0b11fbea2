// Failover between two servers: the client is given a primary and a backup.
// When the link to the one it uses fails, it looks again (primary first,
// then the backup), logs in and registers the subscriptions again on its own;
// the application only follows the states and goes on receiving values.
//
//   failover [PRIMARY_HOST PRIMARY_PORT BACKUP_HOST BACKUP_PORT]
//
// Prints "stop the primary" once values come; exits 0 after three changes
// that came after a failover.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tarvik/tarvik.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int32_t g_state = CONN_CLOSED;
int g_failovers = 0;  // times the session was ready again after a loss
bool g_lost = false;
int g_changesSinceReady = 0;  // value changes since the session was last ready

const char* StateName(int32_t state) {
    switch (state) {
        case CONN_READY:
            return "CONN_READY";
        case CONN_CLOSED:
            return "CONN_CLOSED";
        case CONN_PENDING:
            return "CONN_PENDING";
        case CONN_BROKEN:
            return "CONN_BROKEN";
        case CONN_NO_SERVER:
            return "CONN_NO_SERVER";
        case CONN_REFUSED:
            return "CONN_REFUSED";
        case CONN_REJECTED:
            return "CONN_REJECTED";
        default:
            return "?";
    }
}

void TARVIK_CALL OnState(ITarvikClient* client, TarvikUserData, int32_t newState) {
    // Why a link went or no server was found, for the operator.
    char reason[256] = {};
    if (newState == CONN_BROKEN || newState == CONN_NO_SERVER) {
        client->GetLastErrorText(reason, sizeof reason);
        reason[std::strcspn(reason, "\r\n")] = '\0';
    }
    std::printf("state %s %s\n", StateName(newState), reason);
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (newState == CONN_BROKEN || newState == CONN_NO_SERVER) {
        g_lost = true;
    }
    if (newState == CONN_READY) {
        g_changesSinceReady = 0;
        if (g_lost) {
            ++g_failovers;
            g_lost = false;
            std::printf("ready again; the subscriptions were registered again\n");
        }
    }
    g_state = newState;
    g_changed.notify_all();
}

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                        const int32_t*, const VarValue*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_changesSinceReady += count;
    g_changed.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
    const char* primary = argc > 1 ? argv[1] : "127.0.0.1";
    const int primaryPort = argc > 2 ? std::atoi(argv[2]) : 4000;
    const char* backup = argc > 3 ? argv[3] : "127.0.0.1";
    const int backupPort = argc > 4 ? std::atoi(argv[4]) : 4001;

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == nullptr) {
        return 1;
    }
    client->SetStateCallback(OnState);
    client->SetDataCallback(OnData);
    // A shorter reply timeout notices a silent server sooner (the default is
    // 10 s, and the link is taken down at the third time-out in a row).
    client->SetRequestTimeout(3000);
    client->ConnectRemote(primaryPort, primary, backup, backupPort);

    std::unique_lock<std::mutex> lock(g_mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    if (!g_changed.wait_until(lock, deadline, [] { return g_state == CONN_READY; })) {
        std::fprintf(stderr, "no ready session\n");
        lock.unlock();
        TarvikDestroyClient(client);
        return 1;
    }
    lock.unlock();
    // The same item has the same numbers on both servers when both serve the
    // same directory; otherwise resolve again after a failover.
    char name[TARVIK_ITEM_NAME] = "TANK101.PV";
    int32_t point = -1, field = -1;
    client->ResolveItemNames(1, name, &point, &field);
    const uint32_t p = static_cast<uint32_t>(point), f = static_cast<uint32_t>(field);
    int32_t handle = 0;
    if (point < 0 || client->Advise(1, &p, &f, nullptr, &handle) != 1) {
        std::fprintf(stderr, "cannot subscribe\n");
        TarvikDestroyClient(client);
        return 1;
    }

    lock.lock();
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    if (g_changed.wait_until(lock, deadline, [] { return g_changesSinceReady >= 3; })) {
        std::printf("receiving values; stop the primary\n");
        std::fflush(stdout);
    }
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    const bool done = g_changed.wait_until(lock, deadline, [] {
        return g_failovers > 0 && g_state == CONN_READY && g_changesSinceReady >= 3;
    });
    if (done) {
        std::printf("%d changes after the failover\n", g_changesSinceReady);
    }
    lock.unlock();
    TarvikDestroyClient(client);
    return done ? 0 : 1;
}
