#include "explore_live.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <random>
#include <set>
#include <stdexcept>

#include "explore_directory.h"

namespace tarvik_cli {

namespace {

// A page that stops reading its stream gets at most this many changes
// queued; older ones are dropped (and counted) rather than held without end.
constexpr size_t kMaxPending = 20000;
// Changes that arrive together (one heartbeat's worth) go out as one event.
constexpr std::chrono::milliseconds kGather(20);

std::string Trimmed(const char* text) {
    std::string s(text);
    while (!s.empty() &&
           (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) {
        s.pop_back();
    }
    return s;
}

std::string LastError(ITarvikClient* client) {
    char text[256] = {};
    client->GetLastErrorText(text, sizeof text);
    return Trimmed(text);
}

void Event(const char* name, const nlohmann::json& data, std::string* out) {
    *out += "event: ";
    *out += name;
    *out += "\ndata: ";
    *out += data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    *out += "\n\n";
}

}  // namespace

nlohmann::json ValueJson(const tarvik::Value& value) {
    switch (value.type()) {
        case tarvik::Value::Type::Integer:
            return value.asInteger();
        case tarvik::Value::Type::Double:
            return value.asDouble();  // NaN and infinities become null in JSON
        case tarvik::Value::Type::Text:
            return value.asText();
        case tarvik::Value::Type::None:
            break;
    }
    return nullptr;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct LiveHub::Core {
    struct Change {
        std::string item;
        int64_t ms = 0;
        nlohmann::json value;
    };
    struct Session {
        std::vector<std::string> items;
        std::deque<Change> pending;
        uint64_t dropped = 0;
        uint64_t stateSent = 0;
        bool greeted = false;
    };

    std::mutex mutex;
    std::condition_variable news;
    bool stopping = false;
    bool stateKnown = false;  // set by the first state callback
    StateInfo state;
    uint64_t stateSeq = 1;
    std::map<int64_t, Session> sessions;
    std::map<std::string, std::vector<int64_t>> watchers;  // item -> sessions
    Counters counters;

    void SetState(int32_t newState, std::string error) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (newState == CONN_READY && (state.state != CONN_READY || !stateKnown)) {
                ++state.epoch;  // the directory may have changed with the new login
            }
            if (newState != state.state || !stateKnown) {
                state.sinceMs = NowMs();
            }
            stateKnown = true;
            state.state = newState;
            state.error = std::move(error);
            ++stateSeq;
        }
        news.notify_all();
    }

    void Push(Session& s, Change change) {
        if (s.pending.size() >= kMaxPending) {
            s.pending.pop_front();
            ++s.dropped;
        }
        s.pending.push_back(std::move(change));
        ++counters.delivered;
    }

    void Deliver(const tarvik::Update& update) {
        const int64_t now = NowMs();
        nlohmann::json value = ValueJson(update.value);
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++counters.changes;
            const auto it = watchers.find(update.item);
            if (it == watchers.end()) {
                return;  // nobody watches it any more
            }
            for (int64_t id : it->second) {
                const auto s = sessions.find(id);
                if (s != sessions.end()) {
                    Push(s->second, Change{update.item, now, value});
                }
            }
        }
        news.notify_all();
    }

    // Takes the session off every item it watches; the items nobody watches
    // any more are added to *unwatched.
    void Unwatch(int64_t id, const std::vector<std::string>& items,
                 std::vector<std::string>* unwatched) {
        for (const std::string& item : items) {
            const auto it = watchers.find(item);
            if (it == watchers.end()) {
                continue;
            }
            auto& ids = it->second;
            ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
            if (ids.empty()) {
                watchers.erase(it);
                unwatched->push_back(item);
            }
        }
    }
};

LiveHub::LiveHub(tarvik::Client& client) : client_(client), core_(std::make_shared<Core>()) {
    std::weak_ptr<Core> weak = core_;
    ITarvikClient* raw = client.get();
    client.onStateChange([weak, raw](int32_t state) {
        if (const std::shared_ptr<Core> core = weak.lock()) {
            core->SetState(state, LastError(raw));
        }
    });
    // The state the hub starts from: GetState turns to a new state once its
    // callback has returned, and the connect waited for that.
    const int32_t state = client.state();
    std::string error = LastError(raw);
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (!core_->stateKnown) {
        core_->stateKnown = true;
        core_->state.state = state;
        core_->state.error = std::move(error);
        core_->state.epoch = state == CONN_READY ? 1 : 0;
        core_->state.sinceMs = NowMs();
    }
}

LiveHub::~LiveHub() {
    Stop();
    try {
        client_.onStateChange(tarvik::StateHandler());
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(watchMutex_);
    subscribed_.clear();  // each subscription ends with its last item
}

LiveHub::StateInfo LiveHub::State() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->state;
}

int64_t LiveHub::OpenSession() {
    // Random numbers, so that a page left open across a restart of the tool
    // cannot name another page's session; below 2^53 for JavaScript.
    static std::mt19937_64 rng{std::random_device{}()};
    std::lock_guard<std::mutex> lock(core_->mutex);
    int64_t id = 0;
    do {
        id = static_cast<int64_t>(rng() >> 11);
    } while (id == 0 || core_->sessions.count(id) > 0);
    core_->sessions[id];
    ++core_->counters.sessions;
    return id;
}

void LiveHub::CloseSession(int64_t id) {
    std::lock_guard<std::mutex> watchLock(watchMutex_);
    std::vector<std::string> unwatched;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        const auto it = core_->sessions.find(id);
        if (it == core_->sessions.end()) {
            return;
        }
        core_->Unwatch(id, it->second.items, &unwatched);
        core_->sessions.erase(it);
        --core_->counters.sessions;
    }
    core_->news.notify_all();
    std::vector<std::shared_ptr<tarvik::Subscription>> old = Release(unwatched);
    try {
        EnsureSubscribed();
    } catch (const std::exception&) {
        // The next change of a watch list tries again.
    }
    old.clear();  // the old subscriptions end here, after their items' new ones began
}

std::vector<std::shared_ptr<tarvik::Subscription>> LiveHub::Release(
    const std::vector<std::string>& unwatched) {
    std::vector<std::shared_ptr<tarvik::Subscription>> old;
    for (const std::string& item : unwatched) {
        const auto it = subscribed_.find(item);
        if (it != subscribed_.end() && std::find(old.begin(), old.end(), it->second) == old.end()) {
            old.push_back(it->second);
        }
    }
    // A subscription covers all its items: those still watched are taken
    // out of it, to be subscribed again without the others.
    for (auto it = subscribed_.begin(); it != subscribed_.end();) {
        if (std::find(old.begin(), old.end(), it->second) != old.end()) {
            it = subscribed_.erase(it);
        } else {
            ++it;
        }
    }
    return old;
}

void LiveHub::EnsureSubscribed() {
    std::vector<std::string> missing;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        for (const auto& w : core_->watchers) {
            if (subscribed_.count(w.first) == 0) {
                missing.push_back(w.first);
            }
        }
    }
    if (missing.empty()) {
        return;
    }
    // An item of another page that the directory lost since would fail the
    // whole request: only known ones are subscribed.
    const std::vector<KnownItem> known = LookUpItems(client_.get(), missing);
    std::vector<std::string> names;
    for (const KnownItem& k : known) {
        if (!k.name.empty()) {
            names.push_back(k.name);
        }
    }
    if (names.empty()) {
        return;
    }
    std::weak_ptr<Core> weak = core_;
    auto subscription = std::make_shared<tarvik::Subscription>(
        client_.subscribe(names, [weak](const tarvik::Update& update) {
            if (const std::shared_ptr<Core> core = weak.lock()) {
                core->Deliver(update);
            }
        }));
    for (const std::string& name : names) {
        subscribed_[name] = subscription;
    }
}

LiveHub::WatchResult LiveHub::Watch(int64_t id, const std::vector<std::string>& items) {
    std::lock_guard<std::mutex> watchLock(watchMutex_);
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->sessions.count(id) == 0) {
            throw std::out_of_range("unknown session");
        }
    }
    const std::vector<KnownItem> known = LookUpItems(client_.get(), items);
    WatchResult result;
    std::set<std::string> seen;
    for (size_t i = 0; i < items.size(); ++i) {
        if (known[i].name.empty()) {
            result.unknown.push_back(items[i]);
        } else if (seen.insert(known[i].name).second) {
            result.watched.push_back(known[i].name);
        }
    }

    std::vector<std::string> added;
    std::vector<std::string> unwatched;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        const auto it = core_->sessions.find(id);
        if (it == core_->sessions.end()) {
            throw std::out_of_range("unknown session");
        }
        Core::Session& session = it->second;
        std::vector<std::string> dropped;
        for (const std::string& item : session.items) {
            if (seen.count(item) == 0) {
                dropped.push_back(item);
            }
        }
        core_->Unwatch(id, dropped, &unwatched);
        const std::set<std::string> had(session.items.begin(), session.items.end());
        for (const std::string& item : result.watched) {
            if (had.count(item) == 0) {
                core_->watchers[item].push_back(id);
                added.push_back(item);
            }
        }
        session.items = result.watched;
    }
    std::vector<std::shared_ptr<tarvik::Subscription>> old = Release(unwatched);
    // Also subscribes what failed before (the session was not ready then).
    EnsureSubscribed();
    old.clear();

    if (!added.empty()) {
        const std::vector<tarvik::Value> values = client_.read(added);
        const int64_t now = NowMs();
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            const auto it = core_->sessions.find(id);
            if (it != core_->sessions.end()) {
                for (size_t i = 0; i < added.size() && i < values.size(); ++i) {
                    core_->Push(it->second, Core::Change{added[i], now, ValueJson(values[i])});
                }
            }
        }
        core_->news.notify_all();
    }
    return result;
}

bool LiveHub::Next(int64_t id, std::chrono::milliseconds wait, std::string* events) {
    events->clear();
    std::unique_lock<std::mutex> lock(core_->mutex);
    Core& core = *core_;
    auto news = [&] {
        if (core.stopping) {
            return true;
        }
        const auto it = core.sessions.find(id);
        return it == core.sessions.end() || !it->second.greeted ||
               it->second.stateSent != core.stateSeq || !it->second.pending.empty();
    };
    core.news.wait_for(lock, wait, news);
    if (core.stopping || core.sessions.count(id) == 0) {
        return false;
    }
    if (!core.sessions[id].pending.empty() && core.sessions[id].greeted) {
        // The rest of this heartbeat's changes.
        core.news.wait_for(lock, kGather, [&] { return core.stopping; });
        if (core.stopping || core.sessions.count(id) == 0) {
            return false;
        }
    }
    Core::Session& s = core.sessions[id];
    if (!s.greeted) {
        s.greeted = true;
        Event("hello", {{"session", id}}, events);
    }
    if (s.stateSent != core.stateSeq) {
        s.stateSent = core.stateSeq;
        Event("state",
              {{"state", core.state.state},
               {"name", tarvik::stateName(core.state.state)},
               {"error", core.state.error},
               {"epoch", core.state.epoch},
               {"since", core.state.sinceMs}},
              events);
    }
    if (!s.pending.empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (Core::Change& c : s.pending) {
            list.push_back({std::move(c.item), c.ms, std::move(c.value)});
        }
        s.pending.clear();
        Event("values", {{"v", std::move(list)}, {"dropped", s.dropped}}, events);
    }
    return true;
}

void LiveHub::Stop() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->stopping = true;
    }
    core_->news.notify_all();
}

LiveHub::Counters LiveHub::Stats() const {
    Counters counters;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        counters = core_->counters;
        counters.watched = core_->watchers.size();
    }
    return counters;
}

}  // namespace tarvik_cli
