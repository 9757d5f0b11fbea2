// How every command of the tool reaches its server: the server as the global
// options name it, the start of the connection, why a client failed, and the
// exit codes that tell it.
#ifndef TARVIK_CLI_CONNECT_H
#define TARVIK_CLI_CONNECT_H

#include <string>

#include "tarvik/tarvik.h"

namespace tarvik_cli {

// The tool's exit codes, for every command.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitUnknownItem = 2,
    kExitNoServer = 3,
    kExitRefused = 4,
    kExitRequest = 5,
    kExitClient = 6,
    kExitValueRefused = 7,
    kExitNotConfirmed = 8,
};

// The server to connect to: the local server "db", or host:port with an
// optional backup server.
struct Target {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string backup;  // HOST:PORT or ""
    bool local = false;
    int timeoutMs = 10000;

    // For messages: "the local server \"db\"" or "host:port[ or backup]".
    std::string Where() const;
};

// Sets the request time-out and starts connecting to the target; false when
// the client could not start (Reason tells why).
bool StartConnect(ITarvikClient* client, const Target& target);

// The client's last error ("code text") as ": code text", or "" when there is
// none: why the last connection attempt failed or the link went down.
std::string Reason(ITarvikClient* client);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_CONNECT_H
