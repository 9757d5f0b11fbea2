// The HTTP API of `tarvik explore` against an in-process server: the
// directory, values and history as JSON, the errors for unknown items and
// refused writes, the live stream of a watch list, the access rules, and a
// server that goes away and comes back.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "explore_server.h"
#include "session/message.h"
#include "sim/sim_server.h"
#include "tarvik/tarvik.hpp"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tarvik::sim::CSimServer;
using tarvik::sim::ServerOptions;
using tarvik::sim::SimValue;
using tarvik::testwait::WaitUntil;
using tarvik_cli::ExploreServer;
using tarvik_cli::ExploreSettings;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class ExploreApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim_.Start(ServerOptions{}, &error)) << error;
        client_.get()->SetHeartbeatInterval(50);
        client_.connectRemote("127.0.0.1", sim_.Port(), 5s);
    }
    void TearDown() override {
        if (explorer_) {
            explorer_->Stop();
        }
    }

    void Serve(bool allowWrite, const std::string& token = std::string()) {
        ExploreSettings settings;
        settings.port = 0;
        settings.allowWrite = allowWrite;
        settings.token = token;
        settings.server = "test";
        explorer_ = std::make_unique<ExploreServer>(client_, settings);
        std::string error;
        ASSERT_TRUE(explorer_->Start(&error)) << error;
        http_ = std::make_unique<httplib::Client>("127.0.0.1", explorer_->Port());
    }

    // Status and body of a GET.
    std::pair<int, json> Get(const std::string& path, const httplib::Headers& headers = {}) {
        auto res = http_->Get(path.c_str(), headers);
        if (!res) {
            return {0, json()};
        }
        return {res->status, json::parse(res->body, nullptr, false)};
    }
    std::pair<int, json> Post(const std::string& path, const json& body,
                              const httplib::Headers& headers = {}) {
        auto res = http_->Post(path.c_str(), headers, body.dump(), "application/json");
        if (!res) {
            return {0, json()};
        }
        return {res->status, json::parse(res->body, nullptr, false)};
    }

    CSimServer sim_;
    tarvik::Client client_;
    std::unique_ptr<ExploreServer> explorer_;
    std::unique_ptr<httplib::Client> http_;
};

TEST_F(ExploreApiTest, DirectoryValuesAndUnknownItems) {
    Serve(false);
    auto [status, dir] = Get("/api/directory");
    ASSERT_EQ(status, 200);
    const json& points = dir["points"];
    ASSERT_EQ(points["name"].size(), 36u);
    EXPECT_EQ(points["name"][0], "TANK101");
    EXPECT_EQ(points["aux"][0], 1);
    // TI101's type: UNIT at field number 10, ALARM at 255.
    const size_t ti = 32;
    ASSERT_EQ(points["name"][ti], "TI101");
    const int type = points["type"][ti];
    bool found = false;
    for (const json& t : dir["types"]) {
        if (t["id"] == type) {
            found = true;
            EXPECT_EQ(t["fields"][1], json({{"no", 10}, {"name", "UNIT"}, {"type", "text"}}));
            EXPECT_EQ(t["fields"][2], json({{"no", 255}, {"name", "ALARM"}, {"type", "long"}}));
        }
    }
    EXPECT_TRUE(found);

    auto [readStatus, read] = Get("/api/read?item=tank101&item=TI101.UNIT&item=PUMP101.RUN");
    ASSERT_EQ(readStatus, 200) << read.dump();
    EXPECT_EQ(read["values"][0]["item"], "TANK101.PV");
    EXPECT_EQ(read["values"][0]["value"], 50.0);
    EXPECT_EQ(read["values"][1]["value"], "degC");
    EXPECT_EQ(read["values"][2]["type"], "long");

    auto [unknownStatus, unknown] = Get("/api/read?item=TANK101&item=NOPE.PV");
    EXPECT_EQ(unknownStatus, 404);
    EXPECT_EQ(unknown["error"], "unknown item 'NOPE.PV'");
    EXPECT_EQ(Get("/api/read").first, 400);
    EXPECT_EQ(Get("/api/history-raw?item=TANK101.XX&from=0&to=1").first, 404);
    EXPECT_EQ(Get("/no-such-page").first, 404);
}

TEST_F(ExploreApiTest, HistorySampledAndRaw) {
    Serve(false);
    const int64_t from = NowMs() - 2000;
    ASSERT_TRUE(sim_.SetValue("TANK102", "PV", SimValue::Double(12.5)));
    ASSERT_TRUE(sim_.SetValue("TANK102", "PV", SimValue::Double(13.5)));
    const int64_t to = NowMs() + 2000;
    const std::string range = "&from=" + std::to_string(from) + "&to=" + std::to_string(to);

    auto [status, sampled] = Get("/api/history?item=TANK102&samples=3" + range);
    ASSERT_EQ(status, 200) << sampled.dump();
    ASSERT_EQ(sampled["times"].size(), 3u);
    EXPECT_EQ(sampled["times"][0], from);
    EXPECT_EQ(sampled["times"][2], to);
    EXPECT_EQ(sampled["items"][0]["item"], "TANK102.PV");
    EXPECT_EQ(sampled["items"][0]["values"][2], 13.5);

    auto [rawStatus, raw] = Get("/api/history-raw?item=TANK102.PV" + range);
    ASSERT_EQ(rawStatus, 200) << raw.dump();
    ASSERT_EQ(raw["records"].size(), 2u);
    const json& last = raw["records"][1];
    EXPECT_EQ(last[1], 0);  // status word
    EXPECT_EQ(last[2], 13.5);
    EXPECT_GE(last[0].get<int64_t>(), from - 1000);  // whole seconds on the wire

    EXPECT_EQ(Get("/api/history?item=TANK102&from=5&to=5").first, 400);
    EXPECT_EQ(Get("/api/history?item=TANK102&from=x&to=5").first, 400);
    EXPECT_EQ(Get("/api/history?item=TANK102&samples=0" + range).first, 400);
    EXPECT_EQ(Get("/api/history-raw?item=A&item=B" + range).first, 400);
}

TEST_F(ExploreApiTest, WritesAreCheckedAndOffByDefault) {
    const uint64_t mark = sim_.Mark();
    Serve(false);
    auto [checkStatus, plan] =
        Post("/api/write/check", {{"item", "tank101.sp"}, {"value", "62.5"}});
    ASSERT_EQ(checkStatus, 200) << plan.dump();
    EXPECT_EQ(plan["item"], "TANK101.SP");
    EXPECT_EQ(plan["now"], 50.0);
    EXPECT_EQ(plan["new"], 62.5);
    EXPECT_EQ(plan["allowWrite"], false);

    auto [offStatus, off] = Post("/api/write", {{"item", "TANK101.SP"}, {"value", "62.5"}});
    EXPECT_EQ(offStatus, 403);
    EXPECT_NE(off["error"].get<std::string>().find("--allow-write"), std::string::npos);
    SimValue v;
    ASSERT_TRUE(sim_.GetValue("TANK101", "SP", &v));
    EXPECT_EQ(v.d, 50.0);

    explorer_->Stop();
    Serve(true);
    // The CLI's own check: a value that is not of the field's type is refused.
    auto [badStatus, bad] = Post("/api/write", {{"item", "PUMP101.RUN"}, {"value", "1.5"}});
    EXPECT_EQ(badStatus, 422);
    EXPECT_EQ(bad["error"],
              "PUMP101.RUN is a long field: '1.5' has a fraction; nothing was written (convert "
              "sends it for the library to convert)");
    EXPECT_EQ(Post("/api/write", {{"item", "TANK101.SP"}, {"value", 62.5}}).first, 400);
    EXPECT_EQ(Post("/api/write", {{"item", "NOPE"}, {"value", "1"}}).first, 404);

    auto [okStatus, ok] = Post("/api/write", {{"item", "TANK101.SP"}, {"value", "62.5"}});
    ASSERT_EQ(okStatus, 200) << ok.dump();
    EXPECT_EQ(ok["old"], 50.0);
    EXPECT_EQ(ok["sentAs"], "double");
    ASSERT_TRUE(sim_.GetValue("TANK101", "SP", &v));
    EXPECT_EQ(v.d, 62.5);
    auto [convertStatus, converted] =
        Post("/api/write", {{"item", "PUMP101.RUN"}, {"value", "1.5"}, {"convert", true}});
    EXPECT_EQ(convertStatus, 200) << converted.dump();
    EXPECT_EQ(Post("/api/write", {{"item", "TANK101.STATE"}, {"value", "FILLING"}}).first, 200);
    ASSERT_TRUE(sim_.GetValue("TANK101", "STATE", &v));
    EXPECT_EQ(v.s, "FILLING");
    // It never writes history.
    EXPECT_EQ(sim_.CountReceived(tarvik::CMD_WRITE_HISTORY, mark), 0u);
}

// Reads an event stream on a thread of its own.
struct Stream {
    explicit Stream(int port) : http("127.0.0.1", port) {
        thread = std::thread([this] {
            http.Get("/api/events", [this](const char* data, size_t length) {
                std::lock_guard<std::mutex> lock(mutex);
                text.append(data, length);
                return true;
            });
        });
    }
    ~Stream() {
        http.stop();
        thread.join();
    }
    bool Has(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return text.find(part) != std::string::npos;
    }
    int64_t Session() {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t at = text.find("\"session\":");
        return at == std::string::npos ? 0 : std::stoll(text.substr(at + 10));
    }
    httplib::Client http;
    std::thread thread;
    std::mutex mutex;
    std::string text;
};

TEST_F(ExploreApiTest, WatchListStreamsChanges) {
    Serve(false);
    int64_t session = 0;
    {
        Stream stream(explorer_->Port());
        ASSERT_TRUE(WaitUntil([&] { return stream.Has("event: state"); }));
        EXPECT_TRUE(stream.Has("\"name\":\"CONN_READY\""));
        session = stream.Session();
        ASSERT_NE(session, 0);

        auto [status, watched] =
            Post("/api/watch", {{"session", session}, {"items", {"tank101", "NOPE", "FIC101"}}});
        ASSERT_EQ(status, 200) << watched.dump();
        EXPECT_EQ(watched["watched"], json({"TANK101.PV", "FIC101.PV"}));
        EXPECT_EQ(watched["unknown"], json({"NOPE"}));
        // The current values first, then the changes.
        EXPECT_TRUE(WaitUntil([&] { return stream.Has("[\"TANK101.PV\","); }));
        ASSERT_TRUE(sim_.SetValue("TANK101", "PV", SimValue::Double(77.25)));
        EXPECT_TRUE(WaitUntil([&] { return stream.Has(",77.25]"); }));
        EXPECT_EQ(explorer_->Hub().Stats().watched, 2u);

        // A shorter list ends what is no longer watched.
        const uint64_t mark = sim_.Mark();
        EXPECT_EQ(Post("/api/watch", {{"session", session}, {"items", {"FIC101"}}}).first, 200);
        EXPECT_EQ(explorer_->Hub().Stats().watched, 1u);
        EXPECT_TRUE(sim_.WaitForMessage(tarvik::CMD_UNSUBSCRIBE, 5000, nullptr, mark));
    }
    // The stream's end closes the session and its subscriptions.
    EXPECT_TRUE(WaitUntil([&] { return explorer_->Hub().Stats().sessions == 0; }));
    EXPECT_EQ(explorer_->Hub().Stats().watched, 0u);
    EXPECT_EQ(Post("/api/watch", {{"session", session}, {"items", {"TANK101"}}}).first, 404);
    EXPECT_EQ(Post("/api/watch", {{"items", {"TANK101"}}}).first, 400);
}

TEST_F(ExploreApiTest, AccessRules) {
    Serve(true);
    // Loopback: no token, but only loopback host names (a foreign name that
    // points here is another site's page) and JSON from our own origin.
    EXPECT_EQ(Get("/api/state").first, 200);
    EXPECT_EQ(Get("/api/state", {{"Host", "localhost:1"}}).first, 200);
    EXPECT_EQ(Get("/api/state", {{"Host", "evil.example"}}).first, 403);
    auto res = http_->Post("/api/write", "TANK101.SP=1", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(Post("/api/write", {{"item", "TANK101.SP"}, {"value", "1"}},
                   {{"Origin", "http://evil.example"}})
                  .first,
              403);
    SimValue v;
    ASSERT_TRUE(sim_.GetValue("TANK101", "SP", &v));
    EXPECT_EQ(v.d, 50.0);

    for (const char* address :
         {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(tarvik_cli::IsLoopbackAddress(address)) << address;
    }
    for (const char* address : {"0.0.0.0", "::", "192.168.1.2", "10.0.0.1", "example.com", ""}) {
        EXPECT_FALSE(tarvik_cli::IsLoopbackAddress(address)) << address;
    }
    EXPECT_EQ(tarvik_cli::NewToken().size(), 32u);
    EXPECT_NE(tarvik_cli::NewToken(), tarvik_cli::NewToken());
}

TEST_F(ExploreApiTest, TokenIsRequiredWhenSet) {
    const std::string token = tarvik_cli::NewToken();
    Serve(false, token);
    EXPECT_EQ(Get("/api/state").first, 403);
    EXPECT_EQ(Get("/api/state?token=" + token.substr(1) + "0").first, 403);
    EXPECT_EQ(http_->Get("/")->status, 403);
    auto page = http_->Get(("/?token=" + token).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    const std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find(token), std::string::npos);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_EQ(Get("/api/state", {{"Cookie", cookie.substr(0, cookie.find(';'))}}).first, 200);
    EXPECT_EQ(Get("/api/state", {{"X-Tarvik-Token", token}}).first, 200);
    EXPECT_NE(explorer_->Url().find("?token=" + token), std::string::npos);
}

TEST_F(ExploreApiTest, ServerRestart) {
    Serve(false);
    ASSERT_EQ(Get("/api/directory").first, 200);
    const uint16_t port = sim_.Port();
    sim_.Stop();
    ASSERT_TRUE(WaitUntil([&] { return Get("/api/state").second["state"] != CONN_READY; }));
    EXPECT_FALSE(Get("/api/state").second["error"].get<std::string>().empty());
    // Meanwhile the last directory serves, and requests say why they fail.
    EXPECT_EQ(Get("/api/directory").first, 200);
    auto [status, body] = Get("/api/read?item=TANK101");
    EXPECT_EQ(status, 503) << body.dump();

    ServerOptions options;
    options.port = port;
    std::string error;
    ASSERT_TRUE(sim_.Start(options, &error)) << error;
    // Requests work again by themselves once the client has logged in again.
    EXPECT_TRUE(WaitUntil([&] { return Get("/api/read?item=TANK101").first == 200; }, 20s));
    EXPECT_EQ(Get("/api/state").second["state"], CONN_READY);
    EXPECT_GE(Get("/api/state").second["epoch"], 2);
}

}  // namespace
