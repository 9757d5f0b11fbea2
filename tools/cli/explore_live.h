// The explorer's live side: the connection state as the library reports it,
// and the watch lists of the open pages. Each page (a session, one event
// stream) has its own watch list; the tool subscribes every watched item once,
// whoever watches it, and hands each change to the sessions that watch it.
// Sessions read their news as server-sent events.
#ifndef TARVIK_CLI_EXPLORE_LIVE_H
#define TARVIK_CLI_EXPLORE_LIVE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tarvik/tarvik.hpp"

namespace tarvik_cli {

// A value for the page: a number, a text, or null for none.
nlohmann::json ValueJson(const tarvik::Value& value);

// Milliseconds since 1970 now.
int64_t NowMs();

class LiveHub {
  public:
    // Installs its state handler on the client (which must outlive the hub).
    explicit LiveHub(tarvik::Client& client);
    ~LiveHub();
    LiveHub(const LiveHub&) = delete;
    LiveHub& operator=(const LiveHub&) = delete;

    struct StateInfo {
        int32_t state = CONN_CLOSED;
        std::string error;    // the client's last-error text ("" for none)
        uint64_t epoch = 0;   // advanced whenever the session becomes ready again
        int64_t sinceMs = 0;  // when the state began
    };
    StateInfo State() const;

    // A session and its stream: the first news is a "hello" event naming it.
    int64_t OpenSession();
    // Ends the session; its items are unsubscribed when nobody else watches them.
    void CloseSession(int64_t session);

    struct WatchResult {
        std::vector<std::string> watched;  // as the server spells them
        std::vector<std::string> unknown;  // names the directory does not know
    };
    // Replaces the session's watch list. Items new to the session get their
    // current values first. Throws tarvik::Error when the session is not
    // ready or a request fails (the list is kept, and the next call tries the
    // subscriptions again), and std::out_of_range for an unknown session.
    WatchResult Watch(int64_t session, const std::vector<std::string>& items);

    // Waits up to `wait` for news of the session and puts it into *events as
    // server-sent events ("" when there is none). False once the session is
    // closed or the hub stops.
    bool Next(int64_t session, std::chrono::milliseconds wait, std::string* events);

    // Ends every wait in Next.
    void Stop();

    struct Counters {
        uint64_t changes = 0;    // changes the subscriptions delivered
        uint64_t delivered = 0;  // changes put into sessions' streams
        size_t watched = 0;      // items some session watches
        size_t sessions = 0;
    };
    Counters Stats() const;

    struct Core;

  private:
    // Under watchMutex_: takes the subscriptions of the unwatched items out of
    // the table (with their other items) and hands them back to be released
    // once EnsureSubscribed has subscribed what is still watched.
    std::vector<std::shared_ptr<tarvik::Subscription>> Release(
        const std::vector<std::string>& unwatched);
    // Under watchMutex_: subscribes, in one request, every watched item that
    // has no subscription.
    void EnsureSubscribed();

    tarvik::Client& client_;
    std::shared_ptr<Core> core_;  // shared with the library's callbacks
    std::mutex watchMutex_;       // one change of the watch lists at a time
    std::map<std::string, std::shared_ptr<tarvik::Subscription>> subscribed_;
};

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_EXPLORE_LIVE_H
