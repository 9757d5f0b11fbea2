// Waiting on a condition with a deadline, as every test waits: never with a
// bare sleep.
#pragma once

#include <chrono>
#include <thread>

namespace tarvik {
namespace testwait {

// Polls cond until it holds or the deadline passes; the result of the last poll.
template <typename F>
bool WaitUntil(F cond, std::chrono::steady_clock::time_point deadline) {
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return cond();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The same, with the deadline `within` from now.
template <typename F>
bool WaitUntil(F cond, std::chrono::milliseconds within = std::chrono::seconds(5)) {
    return WaitUntil(cond, std::chrono::steady_clock::now() + within);
}

}  // namespace testwait
}  // namespace tarvik
