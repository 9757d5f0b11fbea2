// Failure injection at the seam.
//
// Every call that the platform layer and the network component make to the
// operating system first asks Fail(kind). Unarmed, it only counts the call;
// a test arms a kind to make its n-th call fail, or every call from the n-th
// on, and the call site then fails as the system would (its error code set).
// The allocator's n-th-failure seam (client/allocator.h) does the same for
// memory. The shipped library never arms it: the table is internal, and
// only tests set it.
//
// Calls made on an exempt thread are neither counted nor failed: a test marks
// its own server's threads so (threads inherit the mark from the thread that
// creates them through the seam), and only the client's calls are counted.
//
// Header-only, so that the network component, which is a library of its own
// on Windows, needs nothing from the core; a program that links both
// statically has one table.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvik {
namespace inject {

enum Kind : int {
    kSocket,        // a socket made: socket, accept
    kConnect,       // connect
    kSend,          // send, sendmsg
    kRecv,          // recv
    kPoll,          // poll, select: waiting on sockets
    kShutdown,      // shutdown of a socket
    kThread,        // thread creation
    kEvent,         // event creation
    kMapping,       // opening or creating the shared mapping
    kNamedMutex,    // creating or locking the machine-wide mutex
    kWindowCreate,  // window creation
    kWindowSend,    // window messages sent or posted
    kKindCount
};

inline const char* KindName(int kind) {
    static const char* const names[kKindCount] = {
        "socket",          "connect",    "send",  "recv",           "poll",
        "shutdown",        "thread",     "event", "shared mapping", "named mutex",
        "window creation", "window send"};
    return kind >= 0 && kind < kKindCount ? names[kind] : "?";
}

struct Table {
    std::atomic<int64_t> calls[kKindCount];
    std::atomic<int64_t> failAt[kKindCount];  // 0: never
    std::atomic<bool> onward[kKindCount];
};

inline Table& TheTable() {
    static Table table{};
    return table;
}

inline bool& ExemptFlag() {
    static thread_local bool exempt = false;
    return exempt;
}

// Counts a call of `kind`; true when it is to fail.
inline bool Fail(Kind kind) {
    if (ExemptFlag()) {
        return false;
    }
    Table& t = TheTable();
    const int64_t n = t.calls[kind].fetch_add(1, std::memory_order_relaxed) + 1;
    const int64_t at = t.failAt[kind].load(std::memory_order_relaxed);
    if (at <= 0) {
        return false;
    }
    return t.onward[kind].load(std::memory_order_relaxed) ? n >= at : n == at;
}

// For thread creation: the new thread takes its creator's mark.
inline bool IsExempt() {
    return ExemptFlag();
}
inline void SetExempt(bool exempt) {
    ExemptFlag() = exempt;
}

namespace testing {

// Counts from zero again, nothing armed.
inline void Reset() {
    Table& t = TheTable();
    for (int k = 0; k < kKindCount; ++k) {
        t.failAt[k].store(0);
        t.onward[k].store(false);
        t.calls[k].store(0);
    }
}
// The n-th call of `kind` counted from the last Reset fails (n >= 1), or
// with onward every call from the n-th on; n = 0 disarms the kind.
inline void Arm(Kind kind, int64_t n, bool onward) {
    Table& t = TheTable();
    t.onward[kind].store(onward);
    t.failAt[kind].store(n < 0 ? 0 : n);
}
inline void DisarmAll() {
    for (int k = 0; k < kKindCount; ++k) {
        Arm(static_cast<Kind>(k), 0, false);
    }
}
inline int64_t Calls(Kind kind) {
    return TheTable().calls[kind].load();
}

// While it lives, the calling thread (and threads it creates) is exempt.
class Exempt {
  public:
    Exempt() : saved_(IsExempt()) { SetExempt(true); }
    ~Exempt() { SetExempt(saved_); }
    Exempt(const Exempt&) = delete;
    Exempt& operator=(const Exempt&) = delete;

  private:
    bool saved_;
};

}  // namespace testing
}  // namespace inject
}  // namespace tarvik
