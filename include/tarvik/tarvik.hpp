/**
 * @file tarvik.hpp
 * @brief The Tarvik C++ layer: a header-only, C++17 way to use the client.
 *
 * It works over the public interface of tarvik.h alone, so it serves every
 * build of the library (libtarvik.so and both widths of tarvik.dll):
 *
 * @code
 * tarvik::Client client;
 * client.connectRemote("127.0.0.1", 5000, std::chrono::seconds(5));
 * double level = client.read("TANK101").asDouble();      // "TANK101" is TANK101.PV
 * client.write("TANK101.SP", 42.5);
 * auto subscription = client.subscribe("TANK101", [](const tarvik::Update& u) {
 *     std::cout << u.item << " = " << u.value.toString() << "\n";
 * });
 * @endcode
 *
 * - tarvik::Client owns its ITarvikClient and destroys it.
 * - Items are named "POINT.FIELD", or "POINT" for its PV field (case is
 *   ignored); values are tarvik::Value (none, integer, double or text), and
 *   no text block of the library is ever handed to the caller.
 * - Subscriptions call a std::function on the client's notification thread
 *   and end when their tarvik::Subscription goes away. Handlers may read,
 *   write and subscribe, but not connect or disconnect their own client (as
 *   for the callbacks of tarvik.h).
 * - Failures throw tarvik::Error, always in the caller's own thread and code:
 *   nothing is thrown inside a callback of the library. An exception that a
 *   handler of the application throws is caught there and dropped.
 *
 * The client installs its own state and data callbacks: use onStateChange and
 * subscribe instead of SetStateCallback and SetDataCallback on get().
 */
#ifndef TARVIK_TARVIK_HPP
#define TARVIK_TARVIK_HPP

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "tarvik/tarvik.h"

/** The Tarvik C++ layer. */
namespace tarvik {

/** What failed, as carried by tarvik::Error. */
enum class ErrorCode {
    CreateFailed,    /**< the library could not create a client (out of memory) */
    ConnectFailed,   /**< the client's threads or transport could not be started */
    UnknownItem,     /**< an item name is not in the server's directory */
    NotReady,        /**< the session is not ready (not connected, link down, ...) */
    Timeout,         /**< no reply, or no ready session, within the time-out */
    RequestFailed,   /**< the request failed: refused by the server or no usable reply */
    Refused,         /**< the server refused or rejected the client */
    InvalidArgument, /**< an argument the library cannot take (an empty list, a long text) */
    TypeMismatch     /**< a Value was read as a type it does not hold */
};

/** The exception of the C++ layer: a message that says what failed, and a code. */
class Error : public std::runtime_error {
  public:
    /**
     * @param code     what failed
     * @param message  the whole message, for what()
     */
    Error(ErrorCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    /** @return what failed */
    ErrorCode code() const noexcept { return code_; }

  private:
    ErrorCode code_;
};

/**
 * @param state  a connection state (CONN_*)
 * @return its name ("CONN_READY", ...; "unknown" for other values)
 */
inline const char* stateName(int32_t state) noexcept {
    switch (state) {
        case CONN_READY:
            return "CONN_READY";
        case CONN_CLOSED:
            return "CONN_CLOSED";
        case CONN_PENDING:
            return "CONN_PENDING";
        case CONN_BROKEN:
            return "CONN_BROKEN";
        case CONN_NO_SERVER:
            return "CONN_NO_SERVER";
        case CONN_REFUSED:
            return "CONN_REFUSED";
        case CONN_REJECTED:
            return "CONN_REJECTED";
        default:
            return "unknown";
    }
}

/** A value of an item: none, a 32-bit integer, a double or a text. */
class Value {
  public:
    /** The kinds of value. */
    enum class Type {
        None,    /**< no value */
        Integer, /**< a 32-bit signed integer (VAL_LONG) */
        Double,  /**< an IEEE 754 double (VAL_DOUBLE) */
        Text     /**< a text of at most 63 characters (VAL_STRING) */
    };

    /** No value. */
    Value() noexcept = default;
    /** @param v an integer */
    Value(int32_t v) noexcept : data_(v) {}  // NOLINT: implicit by design
    /** @param v a double */
    Value(double v) noexcept : data_(v) {}  // NOLINT
    /** @param v a text */
    Value(std::string v) : data_(std::move(v)) {}  // NOLINT
    /** @param v a zero-terminated text (null: an empty text) */
    Value(const char* v) : data_(std::string(v != nullptr ? v : "")) {}  // NOLINT

    /** @return the kind of value held */
    Type type() const noexcept { return static_cast<Type>(data_.index()); }
    /** @return whether no value is held */
    bool isNone() const noexcept { return type() == Type::None; }

    /** @return the integer; throws Error (TypeMismatch) for any other kind */
    int32_t asInteger() const {
        if (const int32_t* v = std::get_if<int32_t>(&data_)) {
            return *v;
        }
        throw Error(ErrorCode::TypeMismatch, "tarvik: value " + describe() + " is not an integer");
    }
    /** @return the number (an integer is widened); throws Error (TypeMismatch) otherwise */
    double asDouble() const {
        if (const double* v = std::get_if<double>(&data_)) {
            return *v;
        }
        if (const int32_t* v = std::get_if<int32_t>(&data_)) {
            return *v;
        }
        throw Error(ErrorCode::TypeMismatch, "tarvik: value " + describe() + " is not a number");
    }
    /** @return the text; throws Error (TypeMismatch) for any other kind */
    const std::string& asText() const {
        if (const std::string* v = std::get_if<std::string>(&data_)) {
            return *v;
        }
        throw Error(ErrorCode::TypeMismatch, "tarvik: value " + describe() + " is not a text");
    }

    /** @return the value as plain text: "" for none, digits for numbers, the text itself */
    std::string toString() const {
        switch (type()) {
            case Type::None:
                return std::string();
            case Type::Integer:
                return std::to_string(std::get<int32_t>(data_));
            case Type::Double:
                return formatDouble(std::get<double>(data_));
            case Type::Text:
                return std::get<std::string>(data_);
        }
        return std::string();
    }

    /** @return whether both hold the same kind and the same value */
    friend bool operator==(const Value& a, const Value& b) { return a.data_ == b.data_; }
    /** @return whether the kinds or the values differ */
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

    /**
     * @param v  a value of the library (its text block stays the caller's)
     * @return a copy of it
     */
    static Value fromVarValue(const VarValue& v) {
        switch (v.tag) {
            case VAL_LONG:
                return Value(v.u.lVal);
            case VAL_DOUBLE:
                return Value(v.u.dblVal);
            case VAL_STRING: {
                if (v.u.strVal == nullptr) {
                    return Value(std::string());
                }
                size_t n = 0;
                while (n < TARVIK_TEXT_MAX && v.u.strVal[n] != '\0') {
                    ++n;
                }
                return Value(std::string(v.u.strVal, n));
            }
            default:
                return Value();
        }
    }

  private:
    static std::string formatDouble(double v) {
        char text[40];
        std::snprintf(text, sizeof text, "%.15g", v);
        if (std::strtod(text, nullptr) != v) {
            std::snprintf(text, sizeof text, "%.17g", v);
        }
        return text;
    }
    std::string describe() const {
        return type() == Type::None ? std::string("(none)") : "\"" + toString() + "\"";
    }

    std::variant<std::monostate, int32_t, double, std::string> data_;
};

/** One changed value of a subscription. */
struct Update {
    std::string item; /**< the item's name, as given to Client::subscribe */
    Value value;      /**< its new value */
};

/** A record of an item's history. */
struct HistorySample {
    std::chrono::system_clock::time_point time; /**< when the value was recorded */
    uint16_t status = 0;                        /**< the status word of the record */
    double value = 0.0;                         /**< the value */
};

/** Called with each changed value of a subscription, on the notification thread. */
using UpdateHandler = std::function<void(const Update&)>;
/** Called with each new connection state (CONN_*), on the notification thread. */
using StateHandler = std::function<void(int32_t)>;

/** @cond TARVIK_INTERNAL */
namespace detail {

using Clock = std::chrono::steady_clock;

// One subscription's handler, found by the user value given to Advise (known
// before the request, so that no change can arrive ahead of its handler).
struct Handler {
    std::vector<std::string> items;
    std::vector<int32_t> handles;  // set once Advise has returned
    UpdateHandler callback;
};

// What a client shares with its callbacks and its subscriptions.
struct Shared {
    ITarvikClient* client = nullptr;
    std::mutex mutex;
    int32_t refusal = -1;  // CONN_REFUSED or CONN_REJECTED since the connect
    std::shared_ptr<StateHandler> onState;
    std::unordered_map<int32_t, std::shared_ptr<Handler>> handlers;
    int32_t nextId = 1;
};

// The length of a text in a fixed slot of `size` bytes.
inline size_t textLength(const char* text, size_t size) noexcept {
    size_t n = 0;
    while (n < size && text[n] != '\0') {
        ++n;
    }
    return n;
}

// The Shared object of each client: the callbacks receive only the client.
// Never destroyed, so that a callback running while the process exits still
// finds it.
inline std::mutex& registryMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

inline std::unordered_map<ITarvikClient*, std::weak_ptr<Shared>>& registry() {
    static auto* map = new std::unordered_map<ITarvikClient*, std::weak_ptr<Shared>>;
    return *map;
}

inline std::shared_ptr<Shared> find(ITarvikClient* client) noexcept {
    try {
        std::lock_guard<std::mutex> lock(registryMutex());
        const auto it = registry().find(client);
        return it == registry().end() ? nullptr : it->second.lock();
    } catch (...) {
        return nullptr;
    }
}

inline void TARVIK_CALL onState(ITarvikClient* client, TarvikUserData, int32_t state) {
    try {
        const std::shared_ptr<Shared> shared = find(client);
        if (!shared) {
            return;
        }
        std::shared_ptr<StateHandler> handler;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (state == CONN_REFUSED || state == CONN_REJECTED) {
                shared->refusal = state;
            }
            handler = shared->onState;
        }
        if (handler && *handler) {
            (*handler)(state);
        }
    } catch (...) {
        // Nothing is thrown into the library.
    }
}

inline void TARVIK_CALL onData(ITarvikClient* client, TarvikUserData, int32_t count,
                               const int32_t* handles, const int32_t* userValues,
                               const VarValue* values) {
    try {
        const std::shared_ptr<Shared> shared = find(client);
        if (!shared || handles == nullptr || userValues == nullptr || values == nullptr) {
            return;
        }
        for (int32_t i = 0; i < count; ++i) {
            std::shared_ptr<Handler> handler;
            std::string item;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                const auto it = shared->handlers.find(userValues[i]);
                if (it == shared->handlers.end()) {
                    continue;  // a subscription that is going away
                }
                handler = it->second;
                // The handles are in the order of the subscription's items.
                const auto& known = handler->handles;
                const auto at = std::find(known.begin(), known.end(), handles[i]);
                if (handler->items.size() == 1) {
                    item = handler->items[0];
                } else if (at != known.end()) {
                    item = handler->items[static_cast<size_t>(at - known.begin())];
                }
            }
            if (item.empty()) {
                // A change that came before Advise returned its handles.
                int32_t point = -1;
                int32_t field = -1;
                char name[TARVIK_ITEM_NAME] = {};
                if (client->GetAdviseInfoByHandle(1, &handles[i], &point, &field, nullptr) == 1 &&
                    client->FormatItemNames(1, &point, &field, name) == 1) {
                    item.assign(name, textLength(name, sizeof name));
                }
            }
            Update update{std::move(item), Value::fromVarValue(values[i])};
            try {
                if (handler->callback) {
                    handler->callback(update);
                }
            } catch (...) {
                // The application's exception stops here.
            }
        }
    } catch (...) {
    }
}

// Item names in the fixed slots of the interface; the first name that cannot
// be one is reported.
inline std::vector<char> nameSlots(const std::vector<std::string>& names) {
    std::vector<char> slots(names.size() * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.empty() || name.size() >= TARVIK_ITEM_NAME ||
            name.find('\0') != std::string::npos) {
            throw Error(ErrorCode::UnknownItem,
                        "tarvik: unknown item \"" + name + "\" (item names have 1 to " +
                            std::to_string(TARVIK_ITEM_NAME - 1) + " characters)");
        }
        std::memcpy(slots.data() + i * TARVIK_ITEM_NAME, name.data(), name.size());
    }
    return slots;
}

// "TANK101.PV", or "3 items (A, B, C, ...)" for messages.
inline std::string describeItems(const std::vector<std::string>& names) {
    if (names.size() == 1) {
        return names[0];
    }
    std::string text = std::to_string(names.size()) + " items (";
    for (size_t i = 0; i < names.size() && i < 3; ++i) {
        text += (i > 0 ? ", " : "") + names[i];
    }
    return text + (names.size() > 3 ? ", ...)" : ")");
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
inline int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline void civilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

constexpr int64_t kOleEpochDay = -25569;  // 1899-12-30, counted from 1970-01-01

}  // namespace detail
/** @endcond */

/**
 * A time as the server's OLE date: days since 1899-12-30 00:00 in local time,
 * the fraction being the time of day.
 * @param time  the time
 * @return the OLE date
 */
inline double toOleDate(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const time_t seconds = system_clock::to_time_t(time_point_cast<system_clock::duration>(time));
    const double rest = duration<double>(time - system_clock::from_time_t(seconds)).count();
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    const int64_t day =
        detail::daysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) -
        detail::kOleEpochDay;
    const double ofDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + rest;
    return static_cast<double>(day) + ofDay / 86400.0;
}

/**
 * An OLE date in local time (see toOleDate) as a time.
 * @param date  the OLE date
 * @return the time, to the millisecond
 */
inline std::chrono::system_clock::time_point fromOleDate(double date) {
    using namespace std::chrono;
    const double whole = std::trunc(date);
    int64_t ms = static_cast<int64_t>(std::llround(std::fabs(date - whole) * 86400000.0));
    int64_t day = static_cast<int64_t>(whole) + detail::kOleEpochDay;
    if (ms >= 86400000) {
        ms -= 86400000;
        day += 1;
    }
    int64_t y = 0;
    int64_t m = 0;
    int64_t d = 0;
    detail::civilFromDays(day, &y, &m, &d);
    std::tm local{};
    local.tm_year = static_cast<int>(y - 1900);
    local.tm_mon = static_cast<int>(m - 1);
    local.tm_mday = static_cast<int>(d);
    local.tm_hour = static_cast<int>(ms / 3600000);
    local.tm_min = static_cast<int>(ms / 60000 % 60);
    local.tm_sec = static_cast<int>(ms / 1000 % 60);
    local.tm_isdst = -1;
    const time_t seconds = std::mktime(&local);
    return system_clock::from_time_t(seconds) + milliseconds(ms % 1000);
}

/**
 * A subscription of one or more items. Its handler is called until the
 * subscription is ended: by unsubscribe(), or when the object goes away. It
 * may outlive its Client (it then does nothing more), but must not be
 * destroyed while another thread destroys that Client.
 */
class Subscription {
  public:
    /** An empty subscription (active() is false). */
    Subscription() noexcept = default;
    /** Ends the subscription; errors are ignored (call unsubscribe() to see them). */
    ~Subscription() {
        try {
            release(false);
        } catch (...) {
        }
    }
    /** @param other  a subscription, empty afterwards */
    Subscription(Subscription&& other) noexcept { swap(other); }
    /**
     * Ends this subscription and takes the other one's place.
     * @param other  a subscription, empty afterwards
     * @return this subscription
     */
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            Subscription gone(std::move(*this));
            swap(other);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;            /**< not copyable */
    Subscription& operator=(const Subscription&) = delete; /**< not copyable */

    /** @return whether the subscription is still on */
    bool active() const noexcept { return !handles_.empty(); }
    /** @return the interface's handles of the subscribed items, in their order */
    const std::vector<int32_t>& handles() const noexcept { return handles_; }

    /**
     * Ends the subscription now: its handler is not called any more once this
     * returns. Throws Error when the server did not confirm (the subscription
     * is ended on this side all the same).
     */
    void unsubscribe() { release(true); }

  private:
    friend class Client;
    Subscription(std::weak_ptr<detail::Shared> shared, int32_t id, std::vector<int32_t> handles)
        : shared_(std::move(shared)), id_(id), handles_(std::move(handles)) {}

    void swap(Subscription& other) noexcept {
        std::swap(shared_, other.shared_);
        std::swap(id_, other.id_);
        std::swap(handles_, other.handles_);
    }

    void release(bool report) {
        if (handles_.empty()) {
            return;
        }
        std::vector<int32_t> handles;
        handles.swap(handles_);
        const std::shared_ptr<detail::Shared> shared = shared_.lock();
        shared_.reset();
        if (!shared) {
            return;
        }
        ITarvikClient* client = nullptr;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->handlers.erase(id_);
            client = shared->client;
        }
        if (client == nullptr) {
            return;
        }
        const int32_t done =
            client->Unadvise(static_cast<uint32_t>(handles.size()), handles.data());
        if (done < 0 && report) {
            throw Error(
                client->GetState() == CONN_READY ? ErrorCode::RequestFailed : ErrorCode::NotReady,
                std::string("tarvik: unsubscribe failed (state ") + stateName(client->GetState()) +
                    ")");
        }
    }

    std::weak_ptr<detail::Shared> shared_;
    int32_t id_ = 0;
    std::vector<int32_t> handles_;
};

/** A client of the server: owns its ITarvikClient and destroys it. */
class Client {
  public:
    /**
     * Creates the client (not connected).
     * @param clientParameter  its low 16 bits go with the login
     */
    explicit Client(int32_t clientParameter = 0) : shared_(std::make_shared<detail::Shared>()) {
        ITarvikClient* client = TarvikCreateClient(clientParameter);
        if (client == nullptr) {
            throw Error(ErrorCode::CreateFailed, "tarvik: the library could not create a client");
        }
        try {
            std::lock_guard<std::mutex> lock(detail::registryMutex());
            detail::registry()[client] = shared_;
        } catch (...) {
            TarvikDestroyClient(client);
            throw;
        }
        shared_->client = client;
        client->SetStateCallback(&detail::onState);
        client->SetDataCallback(&detail::onData);
    }

    /** Disconnects and destroys the client; its subscriptions end with it. */
    ~Client() { destroy(); }

    /** @param other  a client, empty afterwards */
    Client(Client&& other) noexcept : shared_(std::move(other.shared_)) {}
    /**
     * Destroys this client and takes the other one's place.
     * @param other  a client, empty afterwards
     * @return this client
     */
    Client& operator=(Client&& other) noexcept {
        if (this != &other) {
            destroy();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    Client(const Client&) = delete;            /**< not copyable */
    Client& operator=(const Client&) = delete; /**< not copyable */

    /** @return the interface, for operations this layer does not offer */
    ITarvikClient* get() const noexcept { return shared_ ? shared_->client : nullptr; }

    /**
     * Connects over TCP and waits for the ready session. On failure the
     * client is disconnected again and Error is thrown (ConnectFailed,
     * Refused or Timeout).
     * @param host        the server's host name or address
     * @param port        the server's TCP port
     * @param timeout     longest wait for the ready session
     * @param backupHost  a backup server ("" for none)
     * @param backupPort  the backup server's port
     */
    void connectRemote(const std::string& host, int port,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       const std::string& backupHost = std::string(), int backupPort = 0) {
        ITarvikClient* client = need();
        beginConnect();
        const bool started =
            client->ConnectRemote(port, host.c_str(), backupHost.c_str(), backupPort);
        finishConnect(started, host + ":" + std::to_string(port), timeout);
    }

    /**
     * Connects to the server on this machine and waits for the ready
     * session; throws Error as connectRemote does.
     * @param timeout  longest wait for the ready session
     */
    void connectLocal(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        ITarvikClient* client = need();
        beginConnect();
        const bool started = client->ConnectLocal();
        finishConnect(started, "the local server", timeout);
    }

    /**
     * Waits for the ready session (the client keeps trying to reach the
     * server by itself, also after a broken link). Not from a handler of
     * this client: no state is delivered while a handler runs.
     * @param timeout  longest wait
     * @return true once the session is ready, false at the time-out
     */
    bool waitReady(std::chrono::milliseconds timeout) { return waitState(timeout) == CONN_READY; }

    /** Logs out and stops the client's threads; subscriptions stay for the next connect. */
    void disconnect() {
        if (ITarvikClient* client = get()) {
            client->Disconnect();
        }
    }

    /** @return the connection state (CONN_*) */
    int32_t state() const { return need()->GetState(); }
    /** @return whether the session is ready */
    bool ready() const { return state() == CONN_READY; }

    /**
     * Sets the handler of connection states (empty: none). It runs on the
     * client's notification thread.
     * @param handler  called with each new state
     */
    void onStateChange(StateHandler handler) {
        need();
        auto shared = std::make_shared<StateHandler>(std::move(handler));
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->onState = std::move(shared);
    }

    /** @param timeout  the reply timeout of requests */
    void setRequestTimeout(std::chrono::milliseconds timeout) {
        need()->SetRequestTimeout(static_cast<int32_t>(timeout.count()));
    }
    /** @return the reply timeout of requests */
    std::chrono::milliseconds requestTimeout() const {
        return std::chrono::milliseconds(need()->GetRequestTimeout());
    }

    /**
     * Reads an item's current value from the server.
     * @param item  "POINT.FIELD" or "POINT"
     * @return the value
     */
    Value read(const std::string& item) { return read(std::vector<std::string>{item}).front(); }

    /**
     * Reads current values from the server in one request.
     * @param items  item names
     * @return their values, in the same order
     */
    std::vector<Value> read(const std::vector<std::string>& items) {
        ITarvikClient* client = need();
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve(items, &points, &fields);
        std::vector<VarValue> raw(items.size());
        std::memset(raw.data(), 0, raw.size() * sizeof(VarValue));
        const auto start = detail::Clock::now();
        const int32_t done = client->ReadValues(static_cast<uint32_t>(items.size()), points.data(),
                                                fields.data(), raw.data());
        if (done < 0) {
            fail("read of " + detail::describeItems(items), start);
        }
        std::vector<Value> values;
        values.reserve(raw.size());
        for (VarValue& v : raw) {
            values.push_back(Value::fromVarValue(v));
            if (v.tag == VAL_STRING) {
                TarvikFree(v.u.strVal);
            }
        }
        return values;
    }

    /**
     * Reads current values from the server in one request.
     * @param items  item names, as in client.read({"TANK101", "TANK102.SP"})
     * @return their values, in the same order
     */
    std::vector<Value> read(std::initializer_list<std::string> items) {
        return read(std::vector<std::string>(items));
    }

    /**
     * Writes an item's value; the client converts it to the field's type.
     * @param item   "POINT.FIELD" or "POINT"
     * @param value  the value (a text has at most 63 characters)
     */
    void write(const std::string& item, const Value& value) { write({{item, value}}); }

    /**
     * Writes values in one request: all items must be known, or nothing is
     * written.
     * @param items  item names and their values
     */
    void write(const std::vector<std::pair<std::string, Value>>& items) {
        ITarvikClient* client = need();
        std::vector<std::string> names;
        names.reserve(items.size());
        for (const auto& item : items) {
            names.push_back(item.first);
        }
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve(names, &points, &fields);
        std::vector<VarValue> raw(items.size());
        std::memset(raw.data(), 0, raw.size() * sizeof(VarValue));
        for (size_t i = 0; i < items.size(); ++i) {
            const Value& value = items[i].second;
            switch (value.type()) {
                case Value::Type::None:
                    break;
                case Value::Type::Integer:
                    raw[i].tag = VAL_LONG;
                    raw[i].u.lVal = value.asInteger();
                    break;
                case Value::Type::Double:
                    raw[i].tag = VAL_DOUBLE;
                    raw[i].u.dblVal = value.asDouble();
                    break;
                case Value::Type::Text:
                    if (value.asText().size() > TARVIK_TEXT_MAX) {
                        throw Error(ErrorCode::InvalidArgument,
                                    "tarvik: text for " + names[i] + " has " +
                                        std::to_string(value.asText().size()) +
                                        " characters; at most " + std::to_string(TARVIK_TEXT_MAX) +
                                        " fit");
                    }
                    // The library only reads the caller's text.
                    raw[i].tag = VAL_STRING;
                    raw[i].u.strVal = const_cast<char*>(value.asText().c_str());
                    break;
            }
        }
        const auto start = detail::Clock::now();
        if (client->WriteValues(static_cast<uint32_t>(items.size()), points.data(), fields.data(),
                                raw.data()) < 0) {
            fail("write of " + detail::describeItems(names), start);
        }
    }

    /**
     * Subscribes to an item: handler is called on the notification thread
     * with each change the server reports (read() gives the current value).
     * @param item     "POINT.FIELD" or "POINT"
     * @param handler  called with each change
     * @return the subscription; keep it as long as the changes are wanted
     */
    Subscription subscribe(const std::string& item, UpdateHandler handler) {
        return subscribe(std::vector<std::string>{item}, std::move(handler));
    }

    /**
     * Subscribes to items in one request, with one handler for all of them
     * (Update::item tells which changed).
     * @param items    item names
     * @param handler  called with each change
     * @return the subscription
     */
    Subscription subscribe(const std::vector<std::string>& items, UpdateHandler handler) {
        ITarvikClient* client = need();
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve(items, &points, &fields);
        auto entry = std::make_shared<detail::Handler>();
        entry->items = items;
        entry->callback = std::move(handler);
        int32_t id = 0;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            id = shared_->nextId++;
            shared_->handlers[id] = entry;
        }
        std::vector<int32_t> ids(items.size(), id);
        std::vector<int32_t> handles(items.size(), 0);
        const auto start = detail::Clock::now();
        if (client->Advise(static_cast<uint32_t>(items.size()), points.data(), fields.data(),
                           ids.data(), handles.data()) < 0) {
            {
                std::lock_guard<std::mutex> lock(shared_->mutex);
                shared_->handlers.erase(id);
            }
            fail("subscription to " + detail::describeItems(items), start);
        }
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            entry->handles = handles;
        }
        return Subscription(shared_, id, std::move(handles));
    }

    /**
     * Subscribes to items in one request (see the overload for a vector).
     * @param items    item names, as in client.subscribe({"TANK101", "TANK102"}, handler)
     * @param handler  called with each change
     * @return the subscription
     */
    Subscription subscribe(std::initializer_list<std::string> items, UpdateHandler handler) {
        return subscribe(std::vector<std::string>(items), std::move(handler));
    }

    /**
     * Reads the stored history records of an item.
     * @param item  "POINT.FIELD" or "POINT"
     * @param from  first time
     * @param to    last time
     * @return the records, as the server sends them
     */
    std::vector<HistorySample> history(const std::string& item,
                                       std::chrono::system_clock::time_point from,
                                       std::chrono::system_clock::time_point to) {
        ITarvikClient* client = need();
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve({item}, &points, &fields);
        double* times = nullptr;
        uint16_t* statuses = nullptr;
        double* values = nullptr;
        const auto start = detail::Clock::now();
        const int32_t n = client->ReadHistoryRaw(toOleDate(from), toOleDate(to), points[0],
                                                 fields[0], &times, &statuses, &values);
        struct Blocks {
            void* a;
            void* b;
            void* c;
            ~Blocks() {
                TarvikFree(a);
                TarvikFree(b);
                TarvikFree(c);
            }
        } blocks{times, statuses, values};
        if (n < 0) {
            fail("history of " + item, start);
        }
        std::vector<HistorySample> samples;
        if (times == nullptr || statuses == nullptr || values == nullptr) {
            return samples;
        }
        samples.reserve(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            samples.push_back(HistorySample{fromOleDate(times[i]), statuses[i], values[i]});
        }
        return samples;
    }

    /**
     * Reads an item's history sampled at regular times.
     * @param item     "POINT.FIELD" or "POINT"
     * @param from     first time
     * @param to       last time
     * @param samples  number of samples (at least 1)
     * @return samples values
     */
    std::vector<double> sampledHistory(const std::string& item,
                                       std::chrono::system_clock::time_point from,
                                       std::chrono::system_clock::time_point to, uint32_t samples) {
        ITarvikClient* client = need();
        if (samples == 0) {
            throw Error(ErrorCode::InvalidArgument,
                        "tarvik: history of " + item + " needs samples");
        }
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve({item}, &points, &fields);
        std::vector<double> values(samples, 0.0);
        const auto start = detail::Clock::now();
        if (client->ReadHistory(toOleDate(from), toOleDate(to), samples, 1, points.data(),
                                fields.data(), values.data()) < 0) {
            fail("sampled history of " + item, start);
        }
        return values;
    }

    /**
     * Stores history records of an item on the server.
     * @param item     "POINT.FIELD" or "POINT"
     * @param records  the records
     */
    void writeHistory(const std::string& item, const std::vector<HistorySample>& records) {
        ITarvikClient* client = need();
        if (records.empty()) {
            throw Error(ErrorCode::InvalidArgument, "tarvik: no history records for " + item);
        }
        std::vector<uint32_t> points;
        std::vector<uint32_t> fields;
        resolve({item}, &points, &fields);
        std::vector<double> times;
        std::vector<uint16_t> statuses;
        std::vector<double> values;
        for (const HistorySample& r : records) {
            times.push_back(toOleDate(r.time));
            statuses.push_back(r.status);
            values.push_back(r.value);
        }
        const auto start = detail::Clock::now();
        if (client->WriteHistory(points[0], fields[0], static_cast<uint32_t>(records.size()),
                                 times.data(), statuses.data(), values.data()) < 0) {
            fail("history write of " + item, start);
        }
    }

    /** @return the names of the server's points, in directory order */
    std::vector<std::string> points() {
        ITarvikClient* client = need();
        const int32_t count = client->GetPointCount();
        if (count < 0) {
            throw notReady("point list");
        }
        std::vector<char> names(static_cast<size_t>(count) * TARVIK_POINT_NAME + 1, '\0');
        const int32_t n =
            count == 0 ? 0 : client->EnumPoints(count, nullptr, names.data(), nullptr, nullptr);
        if (n < 0) {
            throw notReady("point list");
        }
        std::vector<std::string> result;
        for (int32_t i = 0; i < n; ++i) {
            const char* slot = names.data() + static_cast<size_t>(i) * TARVIK_POINT_NAME;
            result.emplace_back(slot, detail::textLength(slot, TARVIK_POINT_NAME));
        }
        return result;
    }

  private:
    ITarvikClient* need() const {
        if (!shared_ || shared_->client == nullptr) {
            throw Error(ErrorCode::InvalidArgument, "tarvik: the client was moved away");
        }
        return shared_->client;
    }

    void destroy() noexcept {
        if (!shared_) {
            return;
        }
        ITarvikClient* client = nullptr;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            client = shared_->client;
            shared_->client = nullptr;  // subscriptions left over do nothing
            shared_->handlers.clear();
            shared_->onState.reset();
        }
        // Stops the client's threads (from one of its own callbacks the
        // library finishes that once the callback has returned).
        TarvikDestroyClient(client);
        try {
            std::lock_guard<std::mutex> lock(detail::registryMutex());
            detail::registry().erase(client);
        } catch (...) {
        }
        shared_.reset();
    }

    // Waits for the ready session; the last state seen. GetState is the
    // state: it reports CONN_READY once the state handler has returned, so
    // that every call the caller makes next sees the ready session. A refusal
    // does not end the wait: the client tries again by itself, and the server
    // may take it the next time.
    int32_t waitState(std::chrono::milliseconds timeout) {
        ITarvikClient* client = need();
        const auto deadline =
            detail::Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
        for (;;) {
            const int32_t state = client->GetState();
            const auto now = detail::Clock::now();
            if (state == CONN_READY || now >= deadline) {
                return state;
            }
            std::this_thread::sleep_for(
                std::min<detail::Clock::duration>(std::chrono::milliseconds(2), deadline - now));
        }
    }

    void beginConnect() {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->refusal = -1;  // the last session's news no longer hold
    }

    void finishConnect(bool started, const std::string& where, std::chrono::milliseconds timeout) {
        ITarvikClient* client = need();
        if (!started) {
            char text[256] = {};
            client->GetLastErrorText(text, sizeof text);
            disconnect();
            throw Error(ErrorCode::ConnectFailed,
                        "tarvik: could not start the connection to " + where +
                            (text[0] != '\0' ? std::string(": ") + text : std::string()));
        }
        int32_t state = waitState(timeout);
        if (state == CONN_READY) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->refusal >= 0) {
                state = shared_->refusal;
            }
        }
        disconnect();
        if (state == CONN_REFUSED || state == CONN_REJECTED) {
            throw Error(ErrorCode::Refused, std::string("tarvik: ") + where +
                                                (state == CONN_REFUSED ? " refused the client"
                                                                       : " rejected the login") +
                                                " (" + stateName(state) + ")");
        }
        throw Error(ErrorCode::Timeout, "tarvik: no ready session with " + where + " within " +
                                            std::to_string(timeout.count()) + " ms (state " +
                                            stateName(state) + ")");
    }

    void resolve(const std::vector<std::string>& items, std::vector<uint32_t>* points,
                 std::vector<uint32_t>* fields) {
        ITarvikClient* client = need();
        if (items.empty()) {
            throw Error(ErrorCode::InvalidArgument, "tarvik: no items given");
        }
        const std::vector<char> slots = detail::nameSlots(items);
        std::vector<int32_t> indexes(items.size(), -1);
        std::vector<int32_t> numbers(items.size(), -1);
        const auto count = static_cast<int32_t>(items.size());
        // The count of names found, or -1 without a directory (not logged in).
        if (client->ResolveItemNames(count, slots.data(), indexes.data(), numbers.data()) < 0) {
            throw notReady("look-up of " + detail::describeItems(items));
        }
        points->resize(items.size());
        fields->resize(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            if (indexes[i] < 0 || numbers[i] < 0) {
                throw Error(ErrorCode::UnknownItem, "tarvik: unknown item \"" + items[i] + "\"");
            }
            (*points)[i] = static_cast<uint32_t>(indexes[i]);
            (*fields)[i] = static_cast<uint32_t>(numbers[i]);
        }
    }

    Error notReady(const std::string& what) const {
        return Error(ErrorCode::NotReady, "tarvik: " + what +
                                              " failed: the session is not ready (" +
                                              stateName(need()->GetState()) + ")");
    }

    // A request returned -1: says whether the session was not ready, the
    // reply did not come in time, or the request itself failed.
    [[noreturn]] void fail(const std::string& what, detail::Clock::time_point start) const {
        ITarvikClient* client = need();
        const int32_t state = client->GetState();
        if (state != CONN_READY) {
            throw notReady(what);
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(detail::Clock::now() - start);
        const int32_t timeout = client->GetRequestTimeout();
        if (timeout > 0 && waited.count() >= timeout) {
            throw Error(ErrorCode::Timeout, "tarvik: " + what + " timed out after " +
                                                std::to_string(waited.count()) + " ms");
        }
        throw Error(ErrorCode::RequestFailed,
                    "tarvik: " + what + " failed (refused by the server or no usable reply)");
    }

    std::shared_ptr<detail::Shared> shared_;
};

}  // namespace tarvik

#endif  // TARVIK_TARVIK_HPP
