// The server's socket calls on Winsock.
#include "sim/sim_socket.h"

// Winsock 2 before windows.h, which would otherwise bring in the old one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace sim {
namespace sock {

namespace {

SOCKET ToSocket(Handle socket) {
    return static_cast<SOCKET>(socket);
}

std::once_flag g_startOnce;
int g_startError = 0;

// Winsock is started once per process and stays up until it ends.
bool Startup(int32_t* error) {
    std::call_once(g_startOnce, [] {
        WSADATA data;
        g_startError = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (g_startError != 0 && error != nullptr) {
        *error = g_startError;
    }
    return g_startError == 0;
}

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

// Non-blocking, and not inherited by child processes.
bool Prepare(SOCKET s) {
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        return false;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return true;
}

// 1 ready, 0 timed out, -1 failed. A socket in error counts as ready: the
// next call on it tells what happened.
int32_t WaitFor(Handle socket, bool forWrite, int32_t milliseconds) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(ToSocket(socket), &ready);
    FD_SET(ToSocket(socket), &failed);
    const int32_t ms = milliseconds < 0 ? 0 : milliseconds;
    timeval timeout;
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = (ms % 1000) * 1000;
    // The first argument is ignored by Winsock.
    const int r =
        ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &timeout);
    if (r > 0) {
        return 1;
    }
    return r == 0 ? 0 : -1;
}

}  // namespace

Handle Listen(const char* address, uint16_t port, uint16_t* boundPort, int32_t* error) {
    *error = 0;
    if (!Startup(error)) {
        return kInvalid;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    if (::inet_pton(AF_INET, address != nullptr ? address : "127.0.0.1", &a.sin_addr) != 1) {
        *error = WSAEINVAL;
        return kInvalid;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = ::WSAGetLastError();
        return kInvalid;
    }
    // SO_REUSEADDR on Windows would let another program take over the port;
    // the exclusive use is what a server wants.
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    int len = sizeof a;
    if (!Prepare(s) || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s, 64) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        *error = ::WSAGetLastError();
        ::closesocket(s);
        return kInvalid;
    }
    *boundPort = ::ntohs(a.sin_port);
    return static_cast<Handle>(s);
}

Handle Accept(Handle listener) {
    const SOCKET s = ::accept(ToSocket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        return kInvalid;
    }
    if (!Prepare(s)) {
        ::closesocket(s);
        return kInvalid;
    }
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return static_cast<Handle>(s);
}

int32_t WaitReadable(Handle socket, int32_t milliseconds) {
    return WaitFor(socket, false, milliseconds);
}

int32_t Recv(Handle socket, void* buffer, int32_t count) {
    const int n = ::recv(ToSocket(socket), static_cast<char*>(buffer), count, 0);
    if (n >= 0) {
        return n;
    }
    return WouldBlock(::WSAGetLastError()) ? kWouldBlock : kFailed;
}

bool SendAll(Handle socket, const void* bytes, int32_t count, int32_t timeoutMs) {
    const auto* p = static_cast<const char*>(bytes);
    int32_t done = 0;
    while (done < count) {
        const int n = ::send(ToSocket(socket), p + done, count - done, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && !WouldBlock(::WSAGetLastError())) {
            return false;
        }
        if (WaitFor(socket, true, timeoutMs) != 1) {
            return false;
        }
    }
    return true;
}

void Shutdown(Handle socket) {
    ::shutdown(ToSocket(socket), SD_BOTH);
}

void Close(Handle socket) {
    ::closesocket(ToSocket(socket));
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

}  // namespace sock
}  // namespace sim
}  // namespace tarvik
