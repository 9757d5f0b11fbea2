// A C++ program on the C++ layer: connects to the server on 127.0.0.1:PORT,
// reads, writes, subscribes and waits for a pushed change. Prints "ok".
//
//   cpp_consumer PORT
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <tarvik/tarvik.hpp>
#include <tarvik/tarvik_version.h>
#include <thread>

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    if (argc != 2) {
        std::cerr << "usage: cpp_consumer PORT\n";
        return 2;
    }
    try {
        std::cout << "tarvik " << TARVIK_VERSION_STRING << "\n";
        tarvik::Client client;
        client.connectRemote("127.0.0.1", std::atoi(argv[1]), 10s);
        std::cout << "TANK101.PV = " << client.read("TANK101").toString() << "\n";
        client.write("TANK103.SP", 12.5);
        std::cout << "TANK103.SP = " << client.read("TANK103.SP").asDouble() << "\n";

        std::atomic<bool> pushed{false};
        tarvik::Subscription subscription =
            client.subscribe("TANK103.SP", [&](const tarvik::Update& update) {
                if (update.value == tarvik::Value(25.0)) {
                    std::cout << "pushed " << update.item << " = " << update.value.toString()
                              << "\n";
                    pushed = true;
                }
            });
        client.write("TANK103.SP", 25.0);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!pushed && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (!pushed) {
            std::cerr << "cpp_consumer: no pushed change within 10 s\n";
            return 1;
        }
    } catch (const tarvik::Error& e) {
        std::cerr << "cpp_consumer: " << e.what() << "\n";
        return 1;
    }
    std::cout << "ok\n";
    return 0;
}
