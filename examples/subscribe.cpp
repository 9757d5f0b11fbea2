// Subscribes to an item and prints its changes. The handler runs on the
// client's notification thread: it only copies each change into the
// application's own queue; the main thread prints them.
//
//   subscribe [HOST PORT [ITEM [N]]]    default 127.0.0.1 4000 TANK101 10
//
// Exit code 0 after N changes.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

#include "tarvik/tarvik.hpp"

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "TANK101";
    const int wanted = argc > 4 ? std::atoi(argv[4]) : 10;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<tarvik::Update> updates;
    try {
        tarvik::Client client;
        client.connectRemote(host, port);
        // Keep the subscription as long as the changes are wanted: it ends
        // when the object goes away.
        tarvik::Subscription subscription =
            client.subscribe(item, [&](const tarvik::Update& update) {
                std::lock_guard<std::mutex> lock(mutex);
                updates.push_back(update);
                changed.notify_one();
            });

        int seen = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::unique_lock<std::mutex> lock(mutex);
        while (seen < wanted &&
               changed.wait_until(lock, deadline, [&] { return !updates.empty(); })) {
            while (!updates.empty() && seen < wanted) {
                const tarvik::Update update = updates.front();
                updates.pop_front();
                std::printf("%s changed to %s\n", update.item.c_str(),
                            update.value.toString().c_str());
                ++seen;
            }
        }
        lock.unlock();
        std::printf("%d changes\n", seen);
        subscription.unsubscribe();  // or let it go out of scope
        return seen == wanted ? 0 : 1;
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
