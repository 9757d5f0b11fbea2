#include "explore_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

#include "explore_assets.h"
#include "explore_directory.h"
#include "output.h"
#include "tarvik/tarvik_version.h"
#include "write_value.h"

namespace tarvik_cli {

namespace {

using httplib::Request;
using httplib::Response;
using Json = nlohmann::json;

constexpr int kMaxSamples = 10000;
constexpr size_t kMaxWatched = 20000;
constexpr size_t kMaxBody = 1u << 20;
// One thread serves one connection; each open page holds one for its event
// stream, and a browser keeps up to six more for its requests.
constexpr size_t kThreads = 24;
// An idle event stream checks this often whether its page is still there,
// and says something now and then, so that proxies keep it open and a page
// that went away frees its thread.
constexpr std::chrono::milliseconds kStreamCheck(250);
constexpr int kChecksPerComment = 40;

// An error answered to the page: the HTTP status and what to tell the user.
struct HttpError {
    int status;
    std::string message;
};

[[noreturn]] void Refuse(int status, const std::string& message) {
    throw HttpError{status, message};
}

// With a charset the server does not compress: compressing a directory of
// half a million points takes seconds (brotli tens of seconds), sending it
// takes a fraction of one.
const char kJson[] = "application/json; charset=utf-8";

void SendJson(Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), kJson);
}

int StatusOf(tarvik::ErrorCode code) {
    switch (code) {
        case tarvik::ErrorCode::UnknownItem:
            return 404;
        case tarvik::ErrorCode::NotReady:
            return 503;
        case tarvik::ErrorCode::Timeout:
            return 504;
        case tarvik::ErrorCode::InvalidArgument:
        case tarvik::ErrorCode::TypeMismatch:
            return 400;
        default:
            return 502;
    }
}

// The messages of the C++ layer start with "tarvik: "; the page has its own
// heading.
std::string Plain(const std::string& message) {
    const std::string prefix = "tarvik: ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

// Runs a handler and turns what it throws into a JSON error.
template <typename F>
void Guard(Response& res, F handler) {
    try {
        handler();
    } catch (const HttpError& e) {
        SendJson(res, e.status, {{"error", e.message}});
    } catch (const tarvik::Error& e) {
        SendJson(res, StatusOf(e.code()), {{"error", Plain(e.what())}});
    } catch (const Json::exception& e) {
        SendJson(res, 400,
                 {{"error", std::string("the request's JSON is not usable: ") + e.what()}});
    } catch (const std::exception& e) {
        SendJson(res, 500, {{"error", e.what()}});
    }
}

const char* ValueTypeName(const tarvik::Value& v) {
    switch (v.type()) {
        case tarvik::Value::Type::Integer:
            return TagName(VAL_LONG);
        case tarvik::Value::Type::Double:
            return TagName(VAL_DOUBLE);
        case tarvik::Value::Type::Text:
            return TagName(VAL_STRING);
        case tarvik::Value::Type::None:
            break;
    }
    return TagName(VAL_NONE);
}

tarvik::Value FromTyped(const TypedValue& typed) {
    switch (typed.tag) {
        case VAL_LONG:
            return tarvik::Value(typed.l);
        case VAL_DOUBLE:
            return tarvik::Value(typed.d);
        default:
            return tarvik::Value(typed.text);
    }
}

std::vector<std::string> Params(const Request& req, const char* name) {
    std::vector<std::string> values;
    const size_t n = req.get_param_value_count(name);
    for (size_t i = 0; i < n; ++i) {
        values.push_back(req.get_param_value(name, i));
    }
    return values;
}

// An integer query parameter in [low, high]; `fallback` when it is absent.
int64_t IntParam(const Request& req, const char* name, int64_t low, int64_t high,
                 const int64_t* fallback) {
    if (!req.has_param(name)) {
        if (fallback != nullptr) {
            return *fallback;
        }
        Refuse(400, std::string(name) + " is missing");
    }
    const std::string text = req.get_param_value(name);
    bool integer = false;
    if (!IsDecimalNumber(text, &integer) || !integer || text.size() > 18) {
        Refuse(400, std::string(name) + " must be an integer: '" + text + "'");
    }
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v < low || v > high) {
        Refuse(400, std::string(name) + " must be " + std::to_string(low) + " to " +
                        std::to_string(high) + ": " + text);
    }
    return v;
}

// Times the server's dates can hold: 1970 up to the year 9999.
constexpr int64_t kMaxMs = 253402300799000LL;

std::chrono::system_clock::time_point TimeOf(int64_t ms) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

int64_t MsOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// The items of a request as the server spells them; unknown ones are a 404.
std::vector<KnownItem> Known(ITarvikClient* client, const std::vector<std::string>& names) {
    if (names.empty()) {
        Refuse(400, "item is missing");
    }
    std::vector<KnownItem> items = LookUpItems(client, names);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].name.empty()) {
            Refuse(404, "unknown item '" + names[i] + "'");
        }
    }
    return items;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// The host of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string HostPart(const std::string& host) {
    if (!host.empty() && host[0] == '[') {
        const size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(1, end - 1);
    }
    return host.substr(0, host.find(':'));
}

bool SameText(const std::string& a, const std::string& b) {
    // Constant time for equal lengths: a token is not guessed byte by byte.
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

std::string CookieValue(const Request& req, const std::string& name) {
    const std::string cookies = req.get_header_value("Cookie");
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos) {
            end = cookies.size();
        }
        std::string pair = cookies.substr(at, end - at);
        const size_t first = pair.find_first_not_of(' ');
        pair = first == std::string::npos ? std::string() : pair.substr(first);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name) {
            return pair.substr(eq + 1);
        }
        at = end + 1;
    }
    return std::string();
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
    std::string a = address;
    if (a.size() >= 2 && a.front() == '[' && a.back() == ']') {
        a = a.substr(1, a.size() - 2);
    }
    if (Lower(a) == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, a.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, a.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

std::string NewToken() {
    std::random_device random;
    std::string token;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 4; ++i) {
        const uint32_t word = random();
        for (int k = 0; k < 8; ++k) {
            token += digits[(word >> (4 * k)) & 0xF];
        }
    }
    return token;
}

struct ExploreServer::Impl {
    Impl(tarvik::Client& c, ExploreSettings s) : client(c), settings(std::move(s)), hub(c) {}

    tarvik::Client& client;
    ExploreSettings settings;
    LiveHub hub;
    httplib::Server http;
    std::thread thread;
    int port = 0;
    bool running = false;

    // The directory's JSON, built once per login.
    std::mutex directoryMutex;
    uint64_t directoryEpoch = 0;
    std::shared_ptr<const std::string> directory;

    std::string CookieName() const { return "tarvik_explore_" + std::to_string(port); }

    // Why a request may not be served ("" when it may).
    std::string Refusal(const Request& req) const {
        if (!settings.token.empty()) {
            std::string given = req.get_param_value("token");
            if (given.empty()) {
                given = req.get_header_value("X-Tarvik-Token");
            }
            if (given.empty()) {
                given = CookieValue(req, CookieName());
            }
            if (!SameText(given, settings.token)) {
                return "this explorer needs its access token: open the whole address that "
                       "'tarvik explore' printed (it ends in ?token=...)";
            }
        } else if (req.has_header("Host") &&
                   !IsLoopbackAddress(HostPart(req.get_header_value("Host")))) {
            // A page of another site whose name was made to point here.
            return "this explorer answers only to a loopback address such as 127.0.0.1";
        }
        if (req.method == "POST") {
            // A form of another site cannot send JSON, nor claim our origin.
            if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
                return "requests that change something must be sent as application/json";
            }
            const std::string origin = req.get_header_value("Origin");
            if (!origin.empty() && origin != "http://" + req.get_header_value("Host")) {
                return "requests that change something must come from the explorer's own page";
            }
        }
        return std::string();
    }

    std::shared_ptr<const std::string> Directory() {
        const LiveHub::StateInfo state = hub.State();
        std::lock_guard<std::mutex> lock(directoryMutex);
        if (directory && (directoryEpoch == state.epoch || state.state != CONN_READY)) {
            return directory;  // while the server is away, the last directory serves
        }
        directory = std::make_shared<const std::string>(DirectoryJson(client.get(), state.epoch));
        directoryEpoch = state.epoch;
        return directory;
    }

    Json StateJson() const {
        const LiveHub::StateInfo s = hub.State();
        return {{"state", s.state},
                {"name", tarvik::stateName(s.state)},
                {"error", s.error},
                {"epoch", s.epoch},
                {"since", s.sinceMs},
                {"server", settings.server},
                {"allowWrite", settings.allowWrite},
                {"version", TARVIK_VERSION_STRING}};
    }

    struct WritePlan {
        KnownItem item;
        std::string text;
        TypedValue typed;
    };

    // The write a request asks for, checked against the field's type as
    // `tarvik write` checks it.
    WritePlan Plan(const Request& req) {
        const Json body = Json::parse(req.body);
        if (!body.is_object() || !body.contains("item") || !body["item"].is_string() ||
            !body.contains("value") || !body["value"].is_string()) {
            Refuse(400, "expected {\"item\": \"POINT.FIELD\", \"value\": \"text as typed\"}");
        }
        const bool convert = body.value("convert", false);
        WritePlan plan;
        plan.item = Known(client.get(), {body["item"].get<std::string>()})[0];
        plan.text = body["value"].get<std::string>();
        std::string why;
        const bool ok = convert ? ValueAsTyped(plan.text, &plan.typed, &why)
                                : ValueForField(plan.text, plan.item.valueType, &plan.typed, &why);
        if (!ok) {
            Refuse(422, plan.item.name + " is a " + TagName(plan.item.valueType) + " field: '" +
                            plan.text + "' " + why + "; nothing was written" +
                            (convert ? "" : " (convert sends it for the library to convert)"));
        }
        return plan;
    }

    void Routes();
};

void ExploreServer::Impl::Routes() {
    http.Get("/api/state", [this](const Request&, Response& res) {
        Guard(res, [&] { SendJson(res, 200, StateJson()); });
    });

    http.Get("/api/directory", [this](const Request&, Response& res) {
        Guard(res, [&] {
            const std::shared_ptr<const std::string> json = Directory();
            res.set_content(*json, kJson);
        });
    });

    http.Get("/api/read", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            const std::vector<KnownItem> items = Known(client.get(), Params(req, "item"));
            std::vector<std::string> names;
            for (const KnownItem& item : items) {
                names.push_back(item.name);
            }
            const std::vector<tarvik::Value> values = client.read(names);
            Json list = Json::array();
            for (size_t i = 0; i < items.size(); ++i) {
                list.push_back({{"item", names[i]},
                                {"field", TagName(items[i].valueType)},
                                {"type", ValueTypeName(values[i])},
                                {"value", ValueJson(values[i])}});
            }
            SendJson(res, 200, {{"time", NowMs()}, {"values", std::move(list)}});
        });
    });

    http.Get("/api/history", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            const int64_t from = IntParam(req, "from", 0, kMaxMs, nullptr);
            const int64_t to = IntParam(req, "to", 0, kMaxMs, nullptr);
            const int64_t fallback = 500;
            const auto samples =
                static_cast<uint32_t>(IntParam(req, "samples", 1, kMaxSamples, &fallback));
            if (to <= from) {
                Refuse(400, "to must be later than from");
            }
            const std::vector<KnownItem> items = Known(client.get(), Params(req, "item"));
            // The server spreads the samples evenly from `from` to `to`, both included.
            Json times = Json::array();
            for (uint32_t k = 0; k < samples; ++k) {
                times.push_back(samples > 1 ? from + (to - from) * static_cast<int64_t>(k) /
                                                         static_cast<int64_t>(samples - 1)
                                            : from);
            }
            Json list = Json::array();
            for (const KnownItem& item : items) {
                const std::vector<double> values =
                    client.sampledHistory(item.name, TimeOf(from), TimeOf(to), samples);
                list.push_back({{"item", item.name}, {"values", values}});
            }
            SendJson(res, 200,
                     {{"from", from}, {"to", to}, {"times", std::move(times)}, {"items", list}});
        });
    });

    http.Get("/api/history-raw", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            const int64_t from = IntParam(req, "from", 0, kMaxMs, nullptr);
            const int64_t to = IntParam(req, "to", 0, kMaxMs, nullptr);
            if (to < from) {
                Refuse(400, "to must not be earlier than from");
            }
            const std::vector<std::string> names = Params(req, "item");
            if (names.size() > 1) {
                Refuse(400, "raw records are read for one item at a time");
            }
            const KnownItem item = Known(client.get(), names)[0];
            const std::vector<tarvik::HistorySample> records =
                client.history(item.name, TimeOf(from), TimeOf(to));
            Json list = Json::array();
            for (const tarvik::HistorySample& r : records) {
                list.push_back({MsOf(r.time), r.status, r.value});
            }
            SendJson(res, 200,
                     {{"item", item.name}, {"from", from}, {"to", to}, {"records", list}});
        });
    });

    http.Get("/api/events", [this](const Request&, Response& res) {
        const int64_t session = hub.OpenSession();
        res.set_header("X-Accel-Buffering", "no");
        auto idle = std::make_shared<int>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, session, idle](size_t, httplib::DataSink& sink) {
                std::string events;
                if (!hub.Next(session, kStreamCheck, &events)) {
                    sink.done();
                    return true;
                }
                if (events.empty()) {
                    if (++*idle < kChecksPerComment) {
                        return sink.is_writable();
                    }
                    events = ": idle\n\n";
                }
                *idle = 0;
                return sink.write(events.data(), events.size());
            },
            [this, session](bool) { hub.CloseSession(session); });
    });

    http.Post("/api/watch", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            const Json body = Json::parse(req.body);
            if (!body.is_object() || !body.contains("session") ||
                !body["session"].is_number_integer() || !body.contains("items") ||
                !body["items"].is_array()) {
                Refuse(400, "expected {\"session\": N, \"items\": [\"POINT.FIELD\", ...]}");
            }
            std::vector<std::string> items;
            for (const Json& item : body["items"]) {
                if (!item.is_string()) {
                    Refuse(400, "items must be names");
                }
                items.push_back(item.get<std::string>());
            }
            if (items.size() > kMaxWatched) {
                Refuse(400, "at most " + std::to_string(kMaxWatched) + " items can be watched");
            }
            LiveHub::WatchResult result;
            try {
                result = hub.Watch(body["session"].get<int64_t>(), items);
            } catch (const std::out_of_range&) {
                Refuse(404, "unknown session: the page's event stream has ended");
            }
            SendJson(res, 200, {{"watched", result.watched}, {"unknown", result.unknown}});
        });
    });

    http.Post("/api/write/check", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            const WritePlan plan = Plan(req);
            const tarvik::Value now = client.read(plan.item.name);
            const tarvik::Value next = FromTyped(plan.typed);
            SendJson(res, 200,
                     {{"item", plan.item.name},
                      {"field", TagName(plan.item.valueType)},
                      {"now", ValueJson(now)},
                      {"new", ValueJson(next)},
                      {"sentAs", TagName(plan.typed.tag)},
                      {"allowWrite", settings.allowWrite}});
        });
    });

    http.Post("/api/write", [this](const Request& req, Response& res) {
        Guard(res, [&] {
            if (!settings.allowWrite) {
                Refuse(403, "writing is off: start 'tarvik explore' with --allow-write to write");
            }
            const WritePlan plan = Plan(req);
            const tarvik::Value before = client.read(plan.item.name);
            const tarvik::Value next = FromTyped(plan.typed);
            client.write(plan.item.name, next);
            SendJson(res, 200,
                     {{"item", plan.item.name},
                      {"field", TagName(plan.item.valueType)},
                      {"old", ValueJson(before)},
                      {"new", ValueJson(next)},
                      {"sentAs", TagName(plan.typed.tag)}});
        });
    });

    // The page's own files.
    http.Get(R"(/[A-Za-z0-9._-]*)", [this](const Request& req, Response& res) {
        const ExploreAsset* asset = FindExploreAsset(req.path);
        if (asset == nullptr) {
            SendJson(res, 404, {{"error", "no such page: " + req.path}});
            return;
        }
        if (req.path == "/" && !settings.token.empty() && req.has_param("token")) {
            // The page's own requests then carry the token without showing it.
            res.set_header("Set-Cookie", CookieName() + "=" + settings.token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
        }
        res.set_content(reinterpret_cast<const char*>(asset->data), asset->size,
                        std::string(asset->type) + "; charset=utf-8");
    });
}

ExploreServer::ExploreServer(tarvik::Client& client, ExploreSettings settings)
    : impl_(std::make_unique<Impl>(client, std::move(settings))) {}

ExploreServer::~ExploreServer() {
    Stop();
}

bool ExploreServer::Start(std::string* error) {
    Impl& s = *impl_;
    httplib::Server& http = s.http;
    http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    // SO_REUSEADDR only: no second process may listen on the same port.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    http.set_payload_max_length(kMaxBody);
    http.set_keep_alive_timeout(5);
    http.set_default_headers({
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:"},
    });
    http.set_pre_routing_handler([&s](const Request& req, Response& res) {
        const std::string why = s.Refusal(req);
        if (why.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        SendJson(res, 403, {{"error", why}});
        return httplib::Server::HandlerResponse::Handled;
    });
    http.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        SendJson(res, 500, {{"error", "the explorer failed on this request"}});
    });
    s.Routes();

    errno = 0;
    const std::string where = s.settings.bind + ":" + std::to_string(s.settings.port);
    if (s.settings.port == 0) {
        s.port = http.bind_to_any_port(s.settings.bind);
    } else {
        s.port = http.bind_to_port(s.settings.bind, s.settings.port) ? s.settings.port : -1;
    }
    if (s.port <= 0) {
        const int code = errno;
        *error = "cannot listen on " + where +
                 (code == EADDRINUSE ? std::string(": the port is in use")
                  : code != 0        ? ": " + std::string(std::strerror(code))
                                     : std::string(": not an address of this machine"));
        return false;
    }
    s.running = true;
    s.thread = std::thread([&http] { http.listen_after_bind(); });
    // stop() only ends a server that runs: Stop must not come before that.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!http.is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ExploreServer::Stop() {
    Impl& s = *impl_;
    if (!s.running) {
        return;
    }
    s.running = false;
    s.hub.Stop();  // the event streams end, and with them their threads
    s.http.stop();
    if (s.thread.joinable()) {
        s.thread.join();
    }
}

int ExploreServer::Port() const {
    return impl_->port;
}

std::string ExploreServer::Url() const {
    const Impl& s = *impl_;
    std::string host = s.settings.bind;
    if (host == "0.0.0.0" || host == "::" || host.empty()) {
        char name[256] = {};
        host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
    }
    if (host.find(':') != std::string::npos && host.front() != '[') {
        host = "[" + host + "]";
    }
    return "http://" + host + ":" + std::to_string(s.port) + "/" +
           (s.settings.token.empty() ? "" : "?token=" + s.settings.token);
}

LiveHub& ExploreServer::Hub() {
    return impl_->hub;
}

}  // namespace tarvik_cli
