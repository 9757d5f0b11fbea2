// Resolve, above each system's resolver (see resolve.h).
#include "netlink/resolve.h"

#include <cstdio>
#include <cstring>

namespace tarvik {
namespace netsock {

void AddressSink::Add(const void* address, size_t length, int32_t family) {
    if (Full() || address == nullptr || length == 0 || length > sizeof out_[count_].bytes) {
        return;
    }
    Address& a = out_[count_];
    std::memset(&a, 0, sizeof a);
    std::memcpy(a.bytes, address, length);
    a.length = static_cast<int32_t>(length);
    a.family = family;
    ++count_;
}

int32_t Resolve(const char* host, uint16_t port, Address* out, int32_t max) {
    if (host == nullptr || host[0] == '\0' || out == nullptr || max <= 0) {
        return 0;
    }
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    AddressSink sink(out, max);
    return LookUp(host, service, &sink) ? sink.Count() : 0;
}

}  // namespace netsock
}  // namespace tarvik
