// The server's socket calls on POSIX systems.
#include "sim/sim_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvik {
namespace sim {
namespace sock {

namespace {

int32_t WaitFor(Handle socket, short events, int32_t milliseconds) {
    pollfd p{};
    p.fd = static_cast<int>(socket);
    p.events = events;
    for (;;) {
        const int r = ::poll(&p, 1, milliseconds < 0 ? 0 : milliseconds);
        if (r > 0) {
            return 1;
        }
        if (r == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace

Handle Listen(const char* address, uint16_t port, uint16_t* boundPort, int32_t* error) {
    *error = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, address != nullptr ? address : "127.0.0.1", &a.sin_addr) != 1) {
        *error = EINVAL;
        return kInvalid;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *error = errno;
        return kInvalid;
    }
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        *error = errno;
        ::close(s);
        return kInvalid;
    }
    *boundPort = ntohs(a.sin_port);
    return s;
}

Handle Accept(Handle listener) {
    const int s =
        ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
        return kInvalid;
    }
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

int32_t WaitReadable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, POLLIN, milliseconds);
}

int32_t Recv(Handle socket, void* buffer, int32_t count) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, static_cast<size_t>(count), 0);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
    }
}

bool SendAll(Handle socket, const void* bytes, int32_t count, int32_t timeoutMs) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::send(static_cast<int>(socket), p + done,
                                 static_cast<size_t>(count - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (WaitFor(socket, POLLOUT, timeoutMs) != 1) {
            return false;
        }
    }
    return true;
}

void Shutdown(Handle socket) {
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void Close(Handle socket) {
    ::close(static_cast<int>(socket));
}

const char* ErrorText(int32_t error) {
    return std::strerror(error);
}

}  // namespace sock
}  // namespace sim
}  // namespace tarvik
