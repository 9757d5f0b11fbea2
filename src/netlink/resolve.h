// What Resolve does the same on every system: the checks on its arguments,
// the port as the resolver's service text, and the copy of each address found
// into the caller's array. Each system's socket file supplies only LookUp,
// the call to its resolver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netlink/socket.h"

namespace tarvik {
namespace netsock {

// The caller's array, filled in the resolver's order.
class AddressSink {
  public:
    AddressSink(Address* out, int32_t max) : out_(out), max_(max) {}
    bool Full() const { return count_ >= max_; }
    int32_t Count() const { return count_; }
    // Keeps one address the resolver found; skips one that does not fit an
    // Address, and any beyond the array's end.
    void Add(const void* address, size_t length, int32_t family);

  private:
    Address* out_;
    int32_t max_;
    int32_t count_ = 0;
};

// Asks the system's resolver for the TCP addresses of host and service (a
// decimal port) and adds them to sink. False, with the thread's last socket
// error set, when the host is unknown or the resolver failed.
bool LookUp(const char* host, const char* service, AddressSink* sink);

}  // namespace netsock
}  // namespace tarvik
