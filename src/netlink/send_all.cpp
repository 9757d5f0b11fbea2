// The part of the socket layer that needs no system call of its own.
#include "netlink/socket.h"

namespace tarvik {
namespace netsock {

bool SendAll(Handle socket, const void* bytes, int32_t count, int32_t timeoutMs) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    int32_t done = 0;
    while (done < count) {
        const int32_t n = SendSome(socket, p + done, count - done);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n != kWouldBlock || WaitWritable(socket, timeoutMs) != 1) {
            return false;
        }
    }
    return true;
}

}  // namespace netsock
}  // namespace tarvik
