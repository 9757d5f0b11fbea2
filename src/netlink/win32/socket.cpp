// The socket calls of the network component on Winsock.
#include "netlink/socket.h"
#include "netlink/resolve.h"

// Winsock 2 before windows.h, which would otherwise bring in the old one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/inject.h"

namespace tarvik {
namespace netsock {
namespace {

SOCKET ToSocket(Handle socket) {
    return static_cast<SOCKET>(socket);
}

// A non-blocking connect that fails is reported in the exception set, not
// the write set; both count as "ready", and the next call tells which.
int32_t WaitFor(Handle socket, bool forWrite, int32_t milliseconds) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(ToSocket(socket), &ready);
    FD_SET(ToSocket(socket), &failed);
    timeval timeout;
    const int32_t ms = milliseconds < 0 ? 0 : milliseconds;
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = (ms % 1000) * 1000;
    if (inject::Fail(inject::kPoll)) {
        ::WSASetLastError(WSAENOBUFS);
        return -1;
    }
    // The first argument is ignored by Winsock.
    const int r =
        ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &timeout);
    if (r > 0) {
        return 1;
    }
    return r == 0 ? 0 : -1;
}

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

std::once_flag g_startOnce;
bool g_started = false;

}  // namespace

bool Startup() {
    std::call_once(g_startOnce, [] {
        WSADATA data;
        g_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return g_started;
}

bool LookUp(const char* host, const char* service, AddressSink* sink) {
    if (!Startup()) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) {
        if (::WSAGetLastError() == 0) {
            ::WSASetLastError(WSAHOST_NOT_FOUND);
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
    if (!Startup()) {
        return kInvalid;
    }
    if (inject::Fail(inject::kSocket)) {
        ::WSASetLastError(WSAEMFILE);
        return kInvalid;
    }
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return kInvalid;
    }
    // Not inherited by child processes.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Handle>(s);
}

int32_t StartConnect(Handle socket, const Address& address) {
    if (address.length <= 0 || static_cast<size_t>(address.length) > sizeof address.bytes) {
        return -1;
    }
    sockaddr_storage target{};
    std::memcpy(&target, address.bytes, static_cast<size_t>(address.length));
    if (inject::Fail(inject::kConnect)) {
        ::WSASetLastError(WSAECONNREFUSED);
        return -1;
    }
    const int r =
        ::connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&target), address.length);
    if (r == 0) {
        return 1;
    }
    return WouldBlock(::WSAGetLastError()) ? 0 : -1;
}

bool ConnectResult(Handle socket) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(ToSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) != 0) {
        return false;
    }
    if (error != 0) {
        ::WSASetLastError(error);
        return false;
    }
    sockaddr_storage peer{};
    int peerLength = sizeof peer;
    return ::getpeername(ToSocket(socket), reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
}

int32_t WaitReadable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, false, milliseconds);
}

int32_t WaitWritable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, true, milliseconds);
}

bool SetNoDelay(Handle socket) {
    const BOOL on = TRUE;
    return ::setsockopt(ToSocket(socket), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

int32_t SendSome(Handle socket, const void* bytes, int32_t count) {
    if (inject::Fail(inject::kSend)) {
        ::WSASetLastError(WSAECONNRESET);
        return kFailed;
    }
    const int r = ::send(ToSocket(socket), static_cast<const char*>(bytes), count, 0);
    if (r > 0) {
        return r;
    }
    if (r == 0) {
        return kWouldBlock;
    }
    return WouldBlock(::WSAGetLastError()) ? kWouldBlock : kFailed;
}

int32_t RecvSome(Handle socket, void* buffer, int32_t count) {
    if (inject::Fail(inject::kRecv)) {
        ::WSASetLastError(WSAECONNRESET);
        return kFailed;
    }
    const int r = ::recv(ToSocket(socket), static_cast<char*>(buffer), count, 0);
    if (r >= 0) {
        return r;
    }
    return WouldBlock(::WSAGetLastError()) ? kWouldBlock : kFailed;
}

namespace {

// Non-blocking, and not inherited by child processes.
bool Prepare(SOCKET s) {
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        return false;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

Handle Listen(const char* address, uint16_t port, uint16_t* boundPort) {
    if (!Startup()) {
        ::WSASetLastError(WSANOTINITIALISED);
        return kInvalid;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    if (::inet_pton(AF_INET, address != nullptr ? address : "127.0.0.1", &a.sin_addr) != 1) {
        ::WSASetLastError(WSAEINVAL);
        return kInvalid;
    }
    if (inject::Fail(inject::kSocket)) {
        ::WSASetLastError(WSAEMFILE);
        return kInvalid;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    // SO_REUSEADDR on Windows would let another program take over the port;
    // the exclusive use is what a server wants.
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    int len = sizeof a;
    if (!Prepare(s) || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s, 64) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(error);
        return kInvalid;
    }
    *boundPort = ::ntohs(a.sin_port);
    return static_cast<Handle>(s);
}

Handle Accept(Handle listener) {
    if (inject::Fail(inject::kSocket)) {
        ::WSASetLastError(WSAEMFILE);
        return kInvalid;
    }
    const SOCKET s = ::accept(ToSocket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    if (!Prepare(s)) {
        ::closesocket(s);
        return kInvalid;
    }
    SetNoDelay(static_cast<Handle>(s));
    return static_cast<Handle>(s);
}

const char* ErrorText(int32_t error) {
    // Each thread has its own text.
    thread_local char text[256];
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    if (n == 0) {
        std::snprintf(text, sizeof text, "error %ld", static_cast<long>(error));
        return text;
    }
    // Without the line break the system puts at the end.
    DWORD end = n < sizeof text ? n : sizeof text - 1;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) {
        --end;
    }
    text[end] = '\0';
    return text;
}

int32_t LastError() {
    return ::WSAGetLastError();
}

int32_t TimedOutError() {
    return WSAETIMEDOUT;
}

int32_t BadAddressError() {
    return WSAEDESTADDRREQ;
}

void SetThreadError(int32_t code) {
    ::SetLastError(static_cast<DWORD>(code));
}

void ShutdownBoth(Handle socket) {
    if (socket != kInvalid && !inject::Fail(inject::kShutdown)) {
        ::shutdown(ToSocket(socket), SD_BOTH);
    }
}

void CloseSocket(Handle socket) {
    if (socket != kInvalid) {
        ::closesocket(ToSocket(socket));
    }
}

}  // namespace netsock
}  // namespace tarvik
