// Failover between two servers: the client is given a primary and a backup.
// When the link to the one it uses fails, it looks again (primary first,
// then the backup), logs in and registers the subscriptions again on its
// own; the application follows the states and goes on receiving values.
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
#include <string>

#include "tarvik/tarvik.hpp"

int main(int argc, char** argv) {
    const std::string primary = argc > 1 ? argv[1] : "127.0.0.1";
    const int primaryPort = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string backup = argc > 3 ? argv[3] : "127.0.0.1";
    const int backupPort = argc > 4 ? std::atoi(argv[4]) : 4001;

    std::mutex mutex;
    std::condition_variable changed;
    int32_t state = CONN_CLOSED;
    bool lost = false;
    int failovers = 0;
    int changesSinceReady = 0;
    try {
        tarvik::Client client;
        // States come on the notification thread. The reason of a loss is
        // the client's last error ("111 Connection refused", ...).
        client.onStateChange([&](int32_t newState) {
            char reason[256] = {};
            if (newState == CONN_BROKEN || newState == CONN_NO_SERVER) {
                client.get()->GetLastErrorText(reason, sizeof reason);
                reason[std::strcspn(reason, "\r\n")] = '\0';
            }
            std::printf("state %s %s\n", tarvik::stateName(newState), reason);
            std::lock_guard<std::mutex> lock(mutex);
            lost = lost || newState == CONN_BROKEN || newState == CONN_NO_SERVER;
            if (newState == CONN_READY) {
                changesSinceReady = 0;
                if (lost) {
                    ++failovers;
                    lost = false;
                    std::printf("ready again; the subscriptions were registered again\n");
                }
            }
            std::fflush(stdout);
            state = newState;
            changed.notify_all();
        });
        // A shorter reply timeout notices a silent server sooner (the default
        // is 10 s; the link is taken down at the third time-out in a row).
        client.setRequestTimeout(std::chrono::seconds(3));
        client.connectRemote(primary, primaryPort, std::chrono::seconds(15), backup, backupPort);
        tarvik::Subscription subscription = client.subscribe("TANK101", [&](const tarvik::Update&) {
            std::lock_guard<std::mutex> lock(mutex);
            ++changesSinceReady;
            changed.notify_all();
        });

        std::unique_lock<std::mutex> lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(15),
                             [&] { return changesSinceReady >= 3; })) {
            std::printf("receiving values; stop the primary\n");
            std::fflush(stdout);
        }
        const bool done = changed.wait_for(lock, std::chrono::seconds(40), [&] {
            return failovers > 0 && state == CONN_READY && changesSinceReady >= 3;
        });
        if (done) {
            std::printf("%d changes after the failover\n", changesSinceReady);
        }
        return done ? 0 : 1;
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
