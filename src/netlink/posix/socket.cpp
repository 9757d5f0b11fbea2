// The socket calls of the network component on POSIX systems.
#include "netlink/socket.h"
#include "netlink/resolve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/netlink.h"
#include "platform/inject.h"
#include "platform/platform.h"

namespace tarvik {
namespace netsock {
namespace {

int32_t WaitFor(Handle socket, short events, int32_t milliseconds) {
    pollfd p{};
    p.fd = static_cast<int>(socket);
    p.events = events;
    for (;;) {
        if (inject::Fail(inject::kPoll)) {
            errno = ENOMEM;
            return -1;
        }
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
        // A signal cut the wait short; waiting the whole time again is
        // harmless for the component's short waits.
    }
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

bool Startup() {
    return true;
}

bool LookUp(const char* host, const char* service, AddressSink* sink) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host, service, &hints, &list);
    if (rc != 0 || list == nullptr) {
        if (rc != EAI_SYSTEM || errno == 0) {
            errno = NETLINK_ERR_NAME_NOT_FOUND;
        }
        return false;
    }
    for (const addrinfo* a = list; a != nullptr && !sink->Full(); a = a->ai_next) {
        sink->Add(a->ai_addr, a->ai_addrlen, a->ai_family);
    }
    ::freeaddrinfo(list);
    return true;
}

Handle Open(const Address& address) {
    if (inject::Fail(inject::kSocket)) {
        errno = EMFILE;
        return kInvalid;
    }
    const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd < 0 ? kInvalid : static_cast<Handle>(fd);
}

int32_t StartConnect(Handle socket, const Address& address) {
    if (address.length <= 0 || static_cast<size_t>(address.length) > sizeof address.bytes) {
        return -1;
    }
    sockaddr_storage target{};
    std::memcpy(&target, address.bytes, static_cast<size_t>(address.length));
    if (inject::Fail(inject::kConnect)) {
        errno = ECONNREFUSED;
        return -1;
    }
    const int r = ::connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(&target),
                            static_cast<socklen_t>(address.length));
    if (r == 0) {
        return 1;
    }
    return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
}

bool ConnectResult(Handle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return false;
    }
    if (error != 0) {
        errno = error;
        return false;
    }
    // Writable without an error can still mean "not connected" on some
    // systems; asking for the peer settles it.
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    return ::getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer),
                         &peerLength) == 0;
}

int32_t WaitReadable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, POLLIN, milliseconds);
}

int32_t WaitWritable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, POLLOUT, milliseconds);
}

bool SetNoDelay(Handle socket) {
    const int on = 1;
    return ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int32_t SendSome(Handle socket, const void* bytes, int32_t count) {
    for (;;) {
        if (inject::Fail(inject::kSend)) {
            errno = EPIPE;
            return kFailed;
        }
        const ssize_t r = ::send(static_cast<int>(socket), bytes, static_cast<size_t>(count),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            return static_cast<int32_t>(r);
        }
        if (r == 0) {
            return kWouldBlock;
        }
        if (errno == EINTR) {
            continue;
        }
        return WouldBlock(errno) ? kWouldBlock : kFailed;
    }
}

int32_t RecvSome(Handle socket, void* buffer, int32_t count) {
    for (;;) {
        if (inject::Fail(inject::kRecv)) {
            errno = ECONNRESET;
            return kFailed;
        }
        const ssize_t r =
            ::recv(static_cast<int>(socket), buffer, static_cast<size_t>(count), MSG_DONTWAIT);
        if (r >= 0) {
            return static_cast<int32_t>(r);
        }
        if (errno == EINTR) {
            continue;
        }
        return WouldBlock(errno) ? kWouldBlock : kFailed;
    }
}

Handle Listen(const char* address, uint16_t port, uint16_t* boundPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, address != nullptr ? address : "127.0.0.1", &a.sin_addr) != 1) {
        errno = EINVAL;
        return kInvalid;
    }
    if (inject::Fail(inject::kSocket)) {
        errno = EMFILE;
        return kInvalid;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return kInvalid;
    }
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int error = errno;
        ::close(s);
        errno = error;
        return kInvalid;
    }
    *boundPort = ntohs(a.sin_port);
    return static_cast<Handle>(s);
}

Handle Accept(Handle listener) {
    if (inject::Fail(inject::kSocket)) {
        errno = EMFILE;
        return kInvalid;
    }
    const int s =
        ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
        return kInvalid;
    }
    SetNoDelay(s);
    return static_cast<Handle>(s);
}

const char* ErrorText(int32_t error) {
    return std::strerror(error);
}

int32_t LastError() {
    return errno;
}

int32_t TimedOutError() {
    return ETIMEDOUT;
}

int32_t BadAddressError() {
    return EDESTADDRREQ;
}

void SetThreadError(int32_t code) {
    plat::SetLastErrorCode(code);
}

void ShutdownBoth(Handle socket) {
    if (socket != kInvalid && !inject::Fail(inject::kShutdown)) {
        ::shutdown(static_cast<int>(socket), SHUT_RDWR);
    }
}

void CloseSocket(Handle socket) {
    if (socket != kInvalid) {
        // The descriptor is gone after close even when it reports EINTR;
        // closing again could hit a descriptor another thread just opened.
        ::close(static_cast<int>(socket));
    }
}

}  // namespace netsock
}  // namespace tarvik
