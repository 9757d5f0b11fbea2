// The server's view of TCP: a listening socket and its accepted connections.
// Each system provides these in a file of its own (posix/sim_socket.cpp), so
// the server itself includes no system header. Every socket is non-blocking,
// not inherited by child processes, and writes never raise a signal.
#pragma once

#include <cstdint>

namespace tarvik {
namespace sim {
namespace sock {

using Handle = intptr_t;
constexpr Handle kInvalid = -1;
constexpr int32_t kWouldBlock = -2;
constexpr int32_t kFailed = -1;

// Listens on address:port (a numeric IPv4 address; port 0 picks a free one);
// *boundPort receives the port. kInvalid on failure, with *error set.
Handle Listen(const char* address, uint16_t port, uint16_t* boundPort, int32_t* error);
// A pending connection, or kInvalid when none waits.
Handle Accept(Handle listener);
// 1 readable (or hung up), 0 timed out, -1 failed.
int32_t WaitReadable(Handle socket, int32_t milliseconds);
// Bytes read (> 0), 0 at the end of the stream, kWouldBlock or kFailed.
int32_t Recv(Handle socket, void* buffer, int32_t count);
// Writes all count bytes, waiting up to timeoutMs for room in between.
bool SendAll(Handle socket, const void* bytes, int32_t count, int32_t timeoutMs);
// Ends both directions; a thread waiting on the socket wakes up.
void Shutdown(Handle socket);
void Close(Handle socket);
// The system's text for an error code.
const char* ErrorText(int32_t error);

}  // namespace sock
}  // namespace sim
}  // namespace tarvik
