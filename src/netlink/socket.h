// The view of the operating system's TCP sockets: a handful of calls, and
// nothing else. The network component (tcp_netlink.cpp) uses the client's
// calls and the development server the serving ones; each
// system provides them in a file of its own (posix/socket.cpp, and a Winsock
// version for Windows), so the component itself never includes a system
// header.
//
// Every socket made here is non-blocking and is not inherited by child
// processes. Writes never raise a signal when the peer is gone.
#pragma once

#include <cstdint>

namespace tarvik {
namespace netsock {

// A socket: a file descriptor on POSIX, a SOCKET on Windows.
using Handle = intptr_t;
constexpr Handle kInvalid = -1;

// One resolved TCP address, opaque to the caller.
struct Address {
    alignas(8) unsigned char bytes[128];
    int32_t length;
    int32_t family;
};

// Results of SendSome and RecvSome beside a byte count.
constexpr int32_t kWouldBlock = -2;
constexpr int32_t kFailed = -1;

// Makes the system's socket layer usable (once per process; later calls do
// nothing). False when it cannot be started.
bool Startup();

// Resolves host (a name or a numeric address) and port for TCP; writes up to
// max addresses in the resolver's order and returns their number (0 when the
// host is unknown).
int32_t Resolve(const char* host, uint16_t port, Address* out, int32_t max);

// A new non-blocking stream socket of the address's family, or kInvalid.
Handle Open(const Address& address);

// Starts connecting: 1 connected at once, 0 in progress (wait for
// writability, then ask ConnectResult), -1 failed.
int32_t StartConnect(Handle socket, const Address& address);
// After writability: true when the connection was established.
bool ConnectResult(Handle socket);

// Waits up to milliseconds (0 = just look) for the socket to become readable
// (or writable). 1 ready (including a hang-up or an error that the next call
// reports), 0 timed out, -1 the wait itself failed.
int32_t WaitReadable(Handle socket, int32_t milliseconds);
int32_t WaitWritable(Handle socket, int32_t milliseconds);

// Turns off the send delay for small segments.
bool SetNoDelay(Handle socket);

// Writes what the socket takes now: the count written (> 0), kWouldBlock, or
// kFailed (the connection is broken).
int32_t SendSome(Handle socket, const void* bytes, int32_t count);
// Reads what is there: the count read (> 0), 0 at the end of the stream,
// kWouldBlock, or kFailed.
int32_t RecvSome(Handle socket, void* buffer, int32_t count);

// Why the calling thread's last socket call failed: errno or
// WSAGetLastError (Resolve leaves NETLINK_ERR_NAME_NOT_FOUND where the system
// has no code for an unknown name).
int32_t LastError();
// The system's codes for a connect that ran out of time and for an address
// that cannot be used (empty host, port 0).
int32_t TimedOutError();
int32_t BadAddressError();
// Sets the calling thread's last error, which the owner reads in its event
// handler: GetLastError on Windows; on POSIX the library's own record (the
// component is part of the library there).
void SetThreadError(int32_t code);

// ---- Serving (the development server's side) ------------------------------

// A listening socket on a numeric IPv4 address and port (0 picks a free one);
// *boundPort receives the port. kInvalid on failure, LastError says why.
Handle Listen(const char* address, uint16_t port, uint16_t* boundPort);
// A pending connection (non-blocking, no send delay), or kInvalid when none
// waits.
Handle Accept(Handle listener);
// Writes all count bytes, waiting up to timeoutMs each time the socket is
// full; false when the connection broke or stayed full that long.
bool SendAll(Handle socket, const void* bytes, int32_t count, int32_t timeoutMs);
// The system's text for an error code.
const char* ErrorText(int32_t error);

// Ends both directions: a thread waiting on the socket wakes up and every
// later call on it fails. The handle stays valid until CloseSocket.
void ShutdownBoth(Handle socket);
void CloseSocket(Handle socket);

}  // namespace netsock
}  // namespace tarvik
