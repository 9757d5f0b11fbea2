// The explorer's HTTP side: a single page and a JSON API over one connected
// client, on cpp-httplib.
//
//   GET  /api/state              connection state, last error, whether writing is on
//   GET  /api/directory          types, fields and points (fetched once by the page)
//   GET  /api/read?item=...      current values (item repeated for several)
//   GET  /api/history?item=...&from=MS&to=MS&samples=N   sampled history
//   GET  /api/history-raw?item=...&from=MS&to=MS         stored records with status words
//   GET  /api/events             server-sent events: hello, state, values
//   POST /api/watch              {"session": S, "items": [...]}: the session's watch list
//   POST /api/write/check        {"item", "value", "convert"}: what a write would send
//   POST /api/write              the same, written (only with --allow-write)
//
// Times are milliseconds since 1970. Errors are {"error": "..."} with 400
// (bad request), 403 (no token, or writing off), 404 (unknown item), 422 (a
// value not of its field's type), 502/504 (a request failed or timed out) or
// 503 (no ready session). It never writes history.
#ifndef TARVIK_CLI_EXPLORE_SERVER_H
#define TARVIK_CLI_EXPLORE_SERVER_H

#include <cstdint>
#include <memory>
#include <string>

#include "explore_live.h"
#include "tarvik/tarvik.hpp"

namespace tarvik_cli {

struct ExploreSettings {
    std::string bind = "127.0.0.1";
    int port = 8080;          // 0: a free port
    bool allowWrite = false;  // POST /api/write is refused without it
    std::string token;        // when not empty, every request must carry it
    std::string server;       // the server the client talks to, for the page
};

// Whether an address (or "localhost") is this machine's loopback.
bool IsLoopbackAddress(const std::string& address);
// 128 random bits as 32 hexadecimal digits.
std::string NewToken();

class ExploreServer {
  public:
    // The client must be connected and outlive the server.
    ExploreServer(tarvik::Client& client, ExploreSettings settings);
    ~ExploreServer();
    ExploreServer(const ExploreServer&) = delete;
    ExploreServer& operator=(const ExploreServer&) = delete;

    // Binds and serves on a thread of its own; false with the reason.
    bool Start(std::string* error);
    // Ends the event streams, then the server. Also done by the destructor.
    void Stop();
    int Port() const;
    // The address to open, token included.
    std::string Url() const;
    LiveHub& Hub();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_EXPLORE_SERVER_H
