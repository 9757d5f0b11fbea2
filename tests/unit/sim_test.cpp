// The development server: the directory body, a raw TCP session with
// hand-built messages, value conversion on writes, pushes, history, scripted
// misbehaviour and the local transport.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "session/message.h"
#include "sim/history_store.h"
#include "sim/sim_db.h"
#include "sim/sim_server.h"

namespace tarvik {
namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// Type 7 with PV (double, 0) and ST (text, 3); the point A1 with Aux 5.
Database TinyDb() {
    TypeInfo t;
    t.typeId = 7;
    FieldInfo pv;
    pv.name = "PV";
    pv.fieldNo = 0;
    pv.valueType = VAL_DOUBLE;
    pv.initial = SimValue::Double(1.5);
    FieldInfo st;
    st.name = "ST";
    st.fieldNo = 3;
    st.valueType = VAL_STRING;
    st.initial = SimValue::Text("OK");
    t.fields = {pv, st};
    Database db;
    EXPECT_TRUE(db.AddType(t, nullptr));
    EXPECT_TRUE(db.AddPoint("A1", 7, 5, nullptr));
    return db;
}

// TinyDb with a long field CNT (5) and a second point B2.
Database TinyDbWithCount() {
    Database db = TinyDb();
    FieldInfo cnt;
    cnt.name = "CNT";
    cnt.fieldNo = 5;
    cnt.valueType = VAL_LONG;
    TypeInfo t = db.types[0];
    t.fields.push_back(cnt);
    Database out;
    EXPECT_TRUE(out.AddType(t, nullptr));
    EXPECT_TRUE(out.AddPoint("A1", 7, 5, nullptr));
    EXPECT_TRUE(out.AddPoint("B2", 7, 6, nullptr));
    return out;
}

// The directory of TinyDb, written out by hand.
const Bytes kTinyDirectory = {
    0x21, 0x00, 0x00, 0x00,  // L = 33: the point count stands at 42
    0x01, 0x00,              // one type
    0x07, 0x00, 0x00, 0x00,  // TypeId 7
    0x02, 0x00, 0x00, 0x00,  // two fields
    0x02, 'P',  'V',  0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,  // double PV, no 0
    0x04, 'S',  'T',  0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03,  // text ST, no 3
    0x01, 0x00, 0x00, 0x00,                                   // one point
    0x05, 0x00, 0x00, 0x00,                                   // Aux 5
    0x07, 0x00, 0x00, 0x00,                                   // TypeId 7
    'A',  '1',  0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0,
};

TEST(SimDirectory, TinyDatabaseBytes) {
    const Database db = TinyDb();
    EXPECT_EQ(EncodeDirectory(db, {0}, 0), kTinyDirectory);

    // A gap of 3 bytes moves the point count and L by 3; the type blocks stay.
    const Bytes gapped = EncodeDirectory(db, {0}, 3);
    ASSERT_EQ(gapped.size(), kTinyDirectory.size() + 3);
    EXPECT_EQ(LoadI32(gapped.data()), 36);
    EXPECT_TRUE(
        std::equal(kTinyDirectory.begin() + 4, kTinyDirectory.begin() + 42, gapped.begin() + 4));
    EXPECT_EQ(Bytes(gapped.begin() + 42, gapped.begin() + 45), Bytes(3, 0));
    EXPECT_EQ(LoadI32(gapped.data() + 36 + 9), 1);

    // No points and no types: L = -3 puts the count right behind N.
    EXPECT_EQ(EncodeDirectory(Database(), {}, 0),
              (Bytes{0xFD, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(SimDirectory, DemoPlantIsValid) {
    const Database db = Database::DemoPlant();
    EXPECT_GE(db.points.size(), 30u);
    EXPECT_GE(db.types.size(), 4u);
    const int tank = db.PointIndex("tank101");
    ASSERT_GE(tank, 0);
    const TypeInfo& t = db.TypeOf(tank);
    for (const char* f : {"PV", "SP", "HI", "LO", "STATE"}) {
        EXPECT_GE(t.FieldByName(f), 0) << f;
    }
    EXPECT_EQ(t.fields[t.FieldByName("STATE")].valueType, VAL_STRING);
}

TEST(SimDatabase, JsonLoadingAndErrors) {
    Database db;
    std::string error;
    ASSERT_TRUE(Database::ParseJson(R"({
      "types": [{"id": 3, "name": "pump", "fields": [
          {"name": "RUN", "no": 0, "type": "long"},
          {"name": "SPEED", "no": 9, "type": "double", "simulate": true, "min": 0, "max": 10},
          {"name": "MODE", "type": "text", "no": 2, "initial": "AUTO"}]}],
      "points": [{"name": "P1", "type": "pump", "aux": 12, "values": {"RUN": 1, "SPEED": 2.5}}]
    })",
                                    &db, &error))
        << error;
    ASSERT_EQ(db.points.size(), 1u);
    EXPECT_EQ(db.points[0].aux, 12);
    const TypeInfo& t = db.TypeOf(0);
    EXPECT_EQ(t.fields[t.FieldByName("SPEED")].fieldNo, 9);
    EXPECT_EQ(db.points[0].values[t.FieldByName("RUN")], SimValue::Long(1));
    EXPECT_EQ(db.points[0].values[t.FieldByName("MODE")], SimValue::Text("AUTO"));

    EXPECT_FALSE(Database::ParseJson("{", &db, &error));
    // A syntax error is placed by line and column (characters, not bytes).
    EXPECT_FALSE(Database::ParseJson("{\n  \"types\": [\n    {\"name\": \"\xc3\xa9\", \"id\": 1,,",
                                     &db, &error));
    EXPECT_EQ(error.rfind("not valid JSON: line 3, column 27: ", 0), 0u) << error;
    EXPECT_FALSE(Database::ParseJson(
        R"({"types":[{"id":1,"fields":[{"name":"A","no":1,"type":"long"},
                                       {"name":"B","no":1,"type":"long"}]}]})",
        &db, &error));
    EXPECT_NE(error.find("used twice"), std::string::npos) << error;
    EXPECT_FALSE(Database::ParseJson(
        R"({"types":[{"id":1,"fields":[]}],"points":[{"name":"TWENTY_CHARACTERS_XX","type":1}]})",
        &db, &error));
    EXPECT_FALSE(Database::ParseJson(
        R"({"types":[{"id":1,"fields":[{"name":"A","type":"blob"}]}]})", &db, &error));
}

TEST(SimDatabase, Conversions) {
    EXPECT_EQ(ConvertValue(SimValue::Double(2.5), VAL_LONG), SimValue::Long(3));
    EXPECT_EQ(ConvertValue(SimValue::Double(2.4), VAL_LONG), SimValue::Long(2));
    EXPECT_EQ(ConvertValue(SimValue::Double(-2.5), VAL_LONG), SimValue::Long(-2));
    EXPECT_EQ(ConvertValue(SimValue::Double(1e300), VAL_LONG), SimValue::Long(INT32_MAX));
    EXPECT_EQ(ConvertValue(SimValue::Double(std::nan("")), VAL_LONG), SimValue::Long(0));
    EXPECT_EQ(ConvertValue(SimValue::Text("12abc"), VAL_LONG), SimValue::Long(12));
    EXPECT_EQ(ConvertValue(SimValue::Text("abc"), VAL_LONG), SimValue::Long(0));
    EXPECT_EQ(ConvertValue(SimValue::Text("99999999999"), VAL_LONG), SimValue::Long(INT32_MAX));
    EXPECT_EQ(ConvertValue(SimValue::Text("1.5e2"), VAL_DOUBLE), SimValue::Double(150.0));
    EXPECT_EQ(ConvertValue(SimValue::Long(7), VAL_STRING), SimValue::Text("7"));
    EXPECT_EQ(ConvertValue(SimValue::Double(1.5), VAL_STRING), SimValue::Text("1.500000"));
    EXPECT_EQ(ConvertValue(SimValue(), VAL_STRING), SimValue::Text(""));
    EXPECT_EQ(ConvertValue(SimValue(), VAL_DOUBLE), SimValue::Double(0.0));
    EXPECT_EQ(ConvertValue(SimValue::Text(std::string(100, 'x')), VAL_STRING).s.size(), 63u);
}

// ---- A raw TCP client ------------------------------------------------------------

class RawClient {
  public:
    ~RawClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool Connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool Send(const Bytes& b) {
        return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Reads exactly n bytes within timeoutMs.
    bool Read(size_t n, Bytes* out, int timeoutMs = 5000) {
        out->resize(n);
        size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) != 1) {
                return false;
            }
            const ssize_t r = ::recv(fd_, out->data() + got, n - got, 0);
            if (r <= 0) {
                return false;
            }
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // One marker and its message; the message in *message.
    bool ReadMessage(Bytes* message, int timeoutMs = 5000) {
        Bytes marker;
        if (!Read(16, &marker, timeoutMs) || !IsMarkerSignature(marker.data()) ||
            LoadI32(marker.data() + 12) != MARKER_MESSAGE) {
            return false;
        }
        return Read(static_cast<size_t>(LoadI32(marker.data() + 8)) - 16, message, timeoutMs);
    }
    // True when the peer closed the connection within timeoutMs.
    bool ClosedWithin(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        uint8_t b;
        return ::poll(&p, 1, timeoutMs) == 1 && ::recv(fd_, &b, 1, 0) <= 0;
    }

  private:
    int fd_ = -1;
};

Bytes Framed(const Bytes& message) {
    Bytes out(16);
    WriteMarker(out.data(), static_cast<int32_t>(16 + message.size()), MARKER_MESSAGE);
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

Bytes Message(int16_t command, int16_t clientId, int16_t param, int32_t requestId, int32_t sequence,
              const Bytes& payload = {}) {
    Bytes m(64 + payload.size(), 0);
    StoreI16(m.data() + 6, clientId);
    StoreI32(m.data() + 16, 1);
    StoreI16(m.data() + 20, 2);
    StoreI16(m.data() + 26, 1047);
    StoreI32(m.data() + 28, static_cast<int32_t>(payload.size()));
    StoreI16(m.data() + 32, command);
    StoreI16(m.data() + 34, param);
    StoreI32(m.data() + 54, requestId);
    StoreI32(m.data() + 58, sequence);
    std::copy(payload.begin(), payload.end(), m.begin() + 64);
    return m;
}

void PutU32(Bytes* b, uint32_t v) {
    uint8_t x[4];
    StoreU32(x, v);
    b->insert(b->end(), x, x + 4);
}

// The head of a history request: start, span, samples (0 for the raw
// records) and the count of the item names that follow.
Bytes HistoryHead(uint32_t start, uint32_t span, uint32_t samples, uint32_t names) {
    Bytes b;
    for (const uint32_t v : {start, span, samples, names}) {
        PutU32(&b, v);
    }
    return b;
}

Bytes Pairs(std::initializer_list<std::pair<uint32_t, uint32_t>> items) {
    Bytes b;
    PutU32(&b, static_cast<uint32_t>(items.size()));
    for (const auto& it : items) {
        PutU32(&b, it.first);
        PutU32(&b, it.second);
    }
    return b;
}

class SimTcp : public ::testing::Test {
  protected:
    void StartWith(Database db) {
        server_ = std::make_unique<CSimServer>(std::move(db));
        ServerOptions o;
        std::string error;
        ASSERT_TRUE(server_->Start(o, &error)) << error;
        ASSERT_NE(server_->Port(), 0);
    }
    // Logs in on c and returns the client id.
    int16_t Login(RawClient& c) {
        EXPECT_TRUE(c.Connect(server_->Port()));
        EXPECT_TRUE(c.Send(Framed(Message(CMD_LOGIN, 16, 3, 0, ++seq_))));
        Bytes reply;
        EXPECT_TRUE(c.ReadMessage(&reply));
        return reply.size() >= 64 ? LoadI16(reply.data() + 6) : 0;
    }
    Bytes Ask(RawClient& c, const Bytes& message) {
        EXPECT_TRUE(c.Send(Framed(message)));
        Bytes reply;
        EXPECT_TRUE(c.ReadMessage(&reply));
        return reply;
    }
    std::unique_ptr<CSimServer> server_;
    int32_t seq_ = 0;
};

TEST_F(SimTcp, LoginReplyHeaderAndDirectoryAndProbe) {
    StartWith(TinyDb());
    RawClient c;
    ASSERT_TRUE(c.Connect(server_->Port()));
    // The first login of a client with parameter 3 and sequence 1, by hand.
    Bytes login(64, 0);
    login[6] = 0x10;
    login[16] = 0x01;
    login[20] = 0x02;
    login[26] = 0x17;
    login[27] = 0x04;
    login[32] = 0x05;
    login[34] = 0x03;
    login[58] = 0x01;
    Bytes wire = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                  0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    wire.insert(wire.end(), login.begin(), login.end());
    ASSERT_TRUE(c.Send(wire));

    Bytes marker;
    ASSERT_TRUE(c.Read(16, &marker));
    EXPECT_EQ(marker, (Bytes{0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x9A, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00}));  // 16 + 64 + 74
    Bytes reply;
    ASSERT_TRUE(c.Read(64 + kTinyDirectory.size(), &reply));
    EXPECT_EQ(LoadI16(reply.data() + 6), 1);  // the first client id
    EXPECT_EQ(LoadI16(reply.data() + 26), 1047);
    EXPECT_EQ(LoadI32(reply.data() + 28), 74);  // payloadLength
    EXPECT_EQ(LoadI16(reply.data() + 32), CMD_LOGIN);
    EXPECT_EQ(LoadI16(reply.data() + 34), 0);  // server flag off
    EXPECT_EQ(LoadI32(reply.data() + 54), 0);
    EXPECT_EQ(LoadI32(reply.data() + 58), 1);  // the sequence is echoed
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), kTinyDirectory);

    ReceivedMessage m;
    ASSERT_TRUE(server_->WaitForMessage(CMD_LOGIN, 2000, &m));
    EXPECT_EQ(m.bytes, login);
    EXPECT_TRUE(m.valid);
    EXPECT_EQ(m.header.param, 3);

    // A probe is answered with the same probe; garbage before it is skipped.
    Bytes probe = {1, 2, 3, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x14,
                   0, 0, 0, 2,    0,    0,    0,    0,    0,    0,    0};
    ASSERT_TRUE(c.Send(probe));
    Bytes answer;
    ASSERT_TRUE(c.Read(20, &answer));
    EXPECT_EQ(answer, Bytes(probe.begin() + 3, probe.end()));

    // The server's own probe comes back from the client and is not answered again.
    const std::vector<int> conns = server_->Connections();
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(server_->ConnectionOfClient(1), conns[0]);
    bool answered = false;
    std::thread prober([&] { answered = server_->SendProbe(conns[0], 5000); });
    Bytes serverProbe;
    ASSERT_TRUE(c.Read(20, &serverProbe));
    EXPECT_EQ(serverProbe, answer);
    ASSERT_TRUE(c.Send(serverProbe));
    prober.join();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(c.Read(1, &serverProbe, 100));
}

TEST_F(SimTcp, WritesConvertAndAreSeenByOthers) {
    StartWith(TinyDbWithCount());
    RawClient a, b;
    const int16_t ida = Login(a);
    const int16_t idb = Login(b);
    ASSERT_GT(ida, 0);
    ASSERT_GT(idb, 0);
    EXPECT_NE(ida, idb);

    // 2.5 to the long field CNT, "12abc" to B2.CNT, 7 to the text field ST.
    Bytes w;
    PutU32(&w, 3);
    PutU32(&w, 0);
    PutU32(&w, 5);
    w.insert(w.end(), {0x02, 0x08, 0, 0, 0, 0, 0, 0, 0x04, 0x40});  // 2.5
    PutU32(&w, 1);
    PutU32(&w, 5);
    w.insert(w.end(), {0x04, 0x06, '1', '2', 'a', 'b', 'c', 0});
    PutU32(&w, 0);
    PutU32(&w, 3);
    w.insert(w.end(), {0x01, 0x04, 0x07, 0, 0, 0});
    Bytes reply = Ask(a, Message(CMD_WRITE_VALUES, ida, 1, 41, ++seq_, w));
    ASSERT_GE(reply.size(), 64u);
    EXPECT_EQ(LoadI16(reply.data() + 32), CMD_WRITE_VALUES);
    EXPECT_EQ(LoadI16(reply.data() + 34), 1);
    EXPECT_EQ(LoadI16(reply.data() + 6), ida);
    EXPECT_EQ(LoadI32(reply.data() + 54), 41);
    EXPECT_EQ(LoadI32(reply.data() + 58), seq_);

    // The other client reads them back in the fields' types.
    reply = Ask(b, Message(CMD_READ_VALUES, idb, 1, 7, ++seq_, Pairs({{0, 5}, {1, 5}, {0, 3}})));
    const Bytes expected = {3,    0, 0,   0,        // count
                            0x01, 4, 3,   0, 0, 0,  // 3
                            0x01, 4, 12,  0, 0, 0,  // 12
                            0x04, 2, '7', 0};       // "7"
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), expected);

    // One bad item refuses the whole write.
    Bytes bad;
    PutU32(&bad, 2);
    PutU32(&bad, 0);
    PutU32(&bad, 5);
    bad.insert(bad.end(), {0x01, 0x04, 9, 0, 0, 0});
    PutU32(&bad, 0);
    PutU32(&bad, 4);  // no such field
    bad.insert(bad.end(), {0x01, 0x04, 9, 0, 0, 0});
    reply = Ask(a, Message(CMD_WRITE_VALUES, ida, 1, 42, ++seq_, bad));
    EXPECT_EQ(LoadI16(reply.data() + 34), 0);
    SimValue v;
    ASSERT_TRUE(server_->GetValue("A1", "CNT", &v));
    EXPECT_EQ(v, SimValue::Long(3));

    // An unknown item reads as an empty value (one type byte 0).
    reply = Ask(b, Message(CMD_READ_VALUES, idb, 1, 8, ++seq_, Pairs({{9, 0}})));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{1, 0, 0, 0, 0}));
}

TEST_F(SimTcp, SubscribedChangesArePushedOnce) {
    StartWith(TinyDbWithCount());
    RawClient c;
    const int16_t id = Login(c);
    Bytes reply = Ask(c, Message(CMD_SUBSCRIBE, id, 1, 2, ++seq_, Pairs({{1, 5}})));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{1, 0, 0, 0, 1, 4, 0, 0, 0, 0}));

    reply = Ask(c, Message(CMD_HEARTBEAT_DATA, id, 0, 0, ++seq_));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{0, 0, 0, 0}));

    ASSERT_TRUE(server_->SetValue("B2", "CNT", SimValue::Double(41.6)));
    reply = Ask(c, Message(CMD_HEARTBEAT_DATA, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 6), id);
    // Key = point 1 | FieldNo 5 << 24, then the value 42.
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()),
              (Bytes{1, 0, 0, 0, 0x01, 0, 0, 0x05, 0x01, 4, 42, 0, 0, 0}));
    reply = Ask(c, Message(CMD_HEARTBEAT_DATA, id, 0, 0, ++seq_));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{0, 0, 0, 0}));

    // After unsubscribe-all nothing more comes.
    reply = Ask(c, Message(CMD_UNSUBSCRIBE_ALL, id, 0, 3, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 34), 1);
    server_->SetValue("B2", "CNT", SimValue::Long(1));
    reply = Ask(c, Message(CMD_HEARTBEAT_DATA, id, 0, 0, ++seq_));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{0, 0, 0, 0}));

    // Subscribed again: its changes come again.
    Ask(c, Message(CMD_SUBSCRIBE, id, 1, 4, ++seq_, Pairs({{1, 5}})));
    server_->SetValue("B2", "CNT", SimValue::Long(1));  // a write counts even when equal
    reply = Ask(c, Message(CMD_HEARTBEAT_DATA, id, 0, 0, ++seq_));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()),
              (Bytes{1, 0, 0, 0, 0x01, 0, 0, 0x05, 0x01, 4, 1, 0, 0, 0}));

    // A point hidden for the next login shifts the indexes of that session only.
    ASSERT_TRUE(server_->HidePointForNextLogin("A1"));
    RawClient d;
    const int16_t idd = Login(d);
    reply = Ask(d, Message(CMD_READ_VALUES, idd, 1, 4, ++seq_, Pairs({{0, 5}})));
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), (Bytes{1, 0, 0, 0, 1, 4, 1, 0, 0, 0}));
}

TEST(SimHistory, StoreOrdersSamplesAndBounds) {
    HistoryStore h;
    h.Record(1, 0, {200, 0, 2.0f});
    h.Record(1, 0, {100, 7, 1.0f});
    h.Record(1, 0, {300, 0, 3.0f});
    h.Record(1, 0, {200, 0, 2.5f});  // same time: goes behind
    h.Record(2, 0, {150, 0, 9.0f});
    const auto r = h.Range(1, 0, 100, 100, 10);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].status, 7);
    EXPECT_EQ(r[1].value, 2.0f);
    EXPECT_EQ(r[2].value, 2.5f);
    EXPECT_EQ(h.Range(1, 0, 101, 98, 10).size(), 0u);
    EXPECT_EQ(h.Range(1, 0, 0, 1000, 2).size(), 2u);
    // A wrapped span reaches into the future.
    EXPECT_EQ(h.Range(1, 0, 250, 0xFFFFFFF0u, 10).size(), 1u);
    // Samples at 50, 150, 250, 350: before the first record takes the first.
    EXPECT_EQ(h.Sample(1, 0, 50, 300, 4, -1.0f), (std::vector<float>{1.0f, 1.0f, 2.5f, 3.0f}));
    EXPECT_EQ(h.Sample(3, 0, 0, 10, 2, -1.0f), (std::vector<float>{-1.0f, -1.0f}));

    Bytes wire;
    AppendHistoryRecord({0x01020304, 0xBEEF, 1.0f}, &wire);
    EXPECT_EQ(wire, (Bytes{4, 3, 2, 1, 0xEF, 0xBE, 0, 0, 0, 0, 0x80, 0x3F}));
}

TEST_F(SimTcp, HistoryCommands) {
    StartWith(TinyDbWithCount());
    RawClient c;
    const int16_t id = Login(c);
    Bytes name(32, 0);
    std::memcpy(name.data(), "b2.cnt", 6);

    // WriteHistory: two records; param must come back nonzero.
    Bytes w = name;
    AppendHistoryRecord({1000, 5, 10.0f}, &w);
    AppendHistoryRecord({2000, 6, 20.0f}, &w);
    Bytes reply = Ask(c, Message(CMD_WRITE_HISTORY, id, 2, 10, ++seq_, w));
    EXPECT_NE(LoadI16(reply.data() + 34), 0);

    // ReadHistoryRaw over [500, 2500].
    Bytes q = HistoryHead(500, 2000, 0, 1);
    q.insert(q.end(), name.begin(), name.end());
    reply = Ask(c, Message(CMD_READ_HISTORY_RAW, id, 0, 11, ++seq_, q));
    Bytes expected = {2, 0, 0, 0};
    AppendHistoryRecord({1000, 5, 10.0f}, &expected);
    AppendHistoryRecord({2000, 6, 20.0f}, &expected);
    EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), expected);

    // ReadHistory: 3 samples over [1000, 3000] of B2.CNT and an unknown item.
    Bytes rq = HistoryHead(1000, 2000, 3, 2);
    rq.insert(rq.end(), name.begin(), name.end());
    Bytes unknown(32, 0);
    std::memcpy(unknown.data(), "NOPE.PV", 7);
    rq.insert(rq.end(), unknown.begin(), unknown.end());
    reply = Ask(c, Message(CMD_READ_HISTORY, id, 0, 12, ++seq_, rq));
    ASSERT_EQ(reply.size(), 64u + 24u);
    float f[6];
    std::memcpy(f, reply.data() + 64, 24);  // little-endian host
    EXPECT_EQ(f[0], 10.0f);
    EXPECT_EQ(f[1], 20.0f);
    EXPECT_EQ(f[2], 20.0f);
    EXPECT_EQ(f[3], 0.0f);

    // A write of a current value is recorded too.
    server_->SetValue("A1", "PV", SimValue::Double(4.25));
    const auto hist = server_->History("A1", "PV");
    ASSERT_EQ(hist.size(), 1u);
    EXPECT_EQ(hist[0].value, 4.25f);
}

TEST_F(SimTcp, ScriptedStatusSilenceAndUnknownSession) {
    StartWith(TinyDb());
    RawClient c;
    const int16_t id = Login(c);

    // A client id the server never gave: status 0.
    Bytes reply = Ask(c, Message(CMD_HEARTBEAT, 99, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 6), 0);

    server_->ScriptStatus(CMD_READ_VALUES, STATUS_REFUSED, /*once=*/true);
    reply = Ask(c, Message(CMD_READ_VALUES, id, 1, 5, ++seq_, Pairs({{0, 0}})));
    EXPECT_EQ(LoadU16(reply.data() + 6), 0xF82F);
    EXPECT_EQ(LoadI32(reply.data() + 28), 0);
    EXPECT_EQ(LoadI32(reply.data() + 54), 5);
    reply = Ask(c, Message(CMD_READ_VALUES, id, 1, 6, ++seq_, Pairs({{0, 0}})));
    EXPECT_EQ(LoadI16(reply.data() + 6), id);

    server_->ScriptStatus(CMD_LOGIN, STATUS_LOGIN_REFUSED, /*once=*/false);
    for (int i = 0; i < 2; ++i) {
        reply = Ask(c, Message(CMD_LOGIN, 16, 0, 0, ++seq_));
        EXPECT_EQ(LoadI16(reply.data() + 6), -3);
        EXPECT_EQ(LoadI32(reply.data() + 28), 0);
    }
    server_->ClearScripts();

    server_->ScriptParamZero(CMD_HEARTBEAT);
    server_->SetServerFlag(true);
    reply = Ask(c, Message(CMD_HEARTBEAT, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 34), 0);
    reply = Ask(c, Message(CMD_HEARTBEAT, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 34), 1);

    // Silent: the heartbeat is recorded, nothing comes back.
    server_->SetSilent(true);
    const uint64_t mark = server_->Mark();
    ASSERT_TRUE(c.Send(Framed(Message(CMD_HEARTBEAT, id, 0, 0, ++seq_))));
    EXPECT_TRUE(server_->WaitForMessage(CMD_HEARTBEAT, 2000, nullptr, mark));
    Bytes none;
    EXPECT_FALSE(c.ReadMessage(&none, 200));
    server_->SetSilent(false);

    // Corrupted magic, then a reply behind garbage and a false marker, split.
    server_->CorruptNextReply(Corruption::Magic, CMD_HEARTBEAT);
    reply = Ask(c, Message(CMD_HEARTBEAT, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 26), 1048);
    server_->FalseMarkerBeforeNextReply(CMD_HEARTBEAT);
    ASSERT_TRUE(c.Send(Framed(Message(CMD_HEARTBEAT, id, 0, 0, ++seq_))));
    Bytes falseMarker;
    ASSERT_TRUE(c.Read(16, &falseMarker));
    EXPECT_EQ(LoadI32(falseMarker.data() + 8), 8);
    ASSERT_TRUE(c.ReadMessage(&reply));
    server_->SplitNextReply({10, 50}, 5, CMD_HEARTBEAT);
    reply = Ask(c, Message(CMD_HEARTBEAT, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 6), id);

    // Dropping the link closes the socket and forgets its sessions.
    EXPECT_EQ(server_->DropAllConnections(), 1);
    EXPECT_TRUE(c.ClosedWithin(2000));
    RawClient d;
    const int16_t id2 = Login(d);
    reply = Ask(d, Message(CMD_HEARTBEAT, id, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 6), id == id2 ? id : 0);
}

TEST_F(SimTcp, RandomFaultsAreBounded) {
    StartWith(TinyDb());
    RawClient c;
    const int16_t id = Login(c);
    server_->SetRandomFaults(7, 100, 1);  // exactly one fault, then none
    ASSERT_TRUE(c.Send(Framed(Message(CMD_HEARTBEAT, id, 0, 0, ++seq_))));
    ASSERT_TRUE(server_->WaitForMessage(CMD_HEARTBEAT, 2000));
    EXPECT_EQ(server_->FaultsInjected(), 1u);
    // The bound is reached: a new client gets clean answers.
    RawClient d;
    const int16_t id2 = Login(d);
    ASSERT_GT(id2, 0);
    const Bytes reply = Ask(d, Message(CMD_HEARTBEAT, id2, 0, 0, ++seq_));
    EXPECT_EQ(LoadI16(reply.data() + 26), 1047);
    EXPECT_EQ(server_->FaultsInjected(), 1u);
}

TEST(SimServer, SimulatedFieldsMoveOnTheirOwn) {
    CSimServer server;
    ServerOptions o;
    o.tcp = false;
    o.simulateMs = 5;
    ASSERT_TRUE(server.Start(o));
    SimValue first;
    ASSERT_TRUE(server.GetValue("TANK101", "PV", &first));
    SimValue now = first;
    for (uint32_t start = plat::TickCount(); now == first && plat::TickCount() - start < 5000;) {
        plat::SleepMs(5);
        server.GetValue("TANK101", "PV", &now);
    }
    EXPECT_NE(now, first);
    EXPECT_GE(now.d, 0.0);
    EXPECT_LE(now.d, 100.0);
    SimValue sp;
    ASSERT_TRUE(server.GetValue("TANK101", "SP", &sp));
    EXPECT_EQ(sp, SimValue::Double(50.0));  // not simulated
}

// ---- Local transport -------------------------------------------------------------

struct LocalPeer {
    plat::CLock lock;
    plat::CEvent got;
    std::vector<Bytes> blocks;
};
LocalPeer* g_peer = nullptr;

intptr_t PeerProc(plat::WindowHandle w, uint32_t msg, uintptr_t wp, intptr_t lp) {
    if (msg == plat::kMsgCopyData && g_peer != nullptr) {
        const auto* cd = reinterpret_cast<const plat::CopyData*>(lp);
        const auto* p = static_cast<const uint8_t*>(cd->lpData);
        plat::CLockHold hold(g_peer->lock);
        g_peer->blocks.emplace_back(p, p + cd->cbData);
        g_peer->got.Set();
        return 1;
    }
    return plat::WindowDefaultProc(w, msg, wp, lp);
}

TEST(SimLocal, RegistersAnswersAndUnregisters) {
    CSimServer server(TinyDb());
    ServerOptions o;
    o.tcp = false;
    o.local = true;
    std::string error;
    ASSERT_TRUE(server.Start(o, &error)) << error;
    const plat::WindowHandle serverWindow = server.Window();
    ASSERT_NE(serverWindow, 0);

    // The registry holds {window, "db", kind 0}.
    plat::SharedMapping* m = plat::MappingOpen("Commonm_filemap");
    ASSERT_NE(m, nullptr);
    const auto* view = static_cast<const uint8_t*>(plat::MappingView(m));
    ASSERT_EQ(LoadI32(view), 1);
    EXPECT_EQ(LoadI32(view + 108), serverWindow);
    EXPECT_STREQ(reinterpret_cast<const char*>(view + 112), "db");
    EXPECT_EQ(LoadI32(view + 108 + 28), 0);

    // A peer window of this test sends a login; the reply goes to it.
    LocalPeer peer;
    g_peer = &peer;
    plat::WindowHandle mine = 0;
    plat::CEvent ready;
    struct Ctx {
        plat::WindowHandle* mine;
        plat::CEvent* ready;
    } ctx{&mine, &ready};
    plat::Thread* t = plat::ThreadCreate(
        [](void* arg) -> uint32_t {
            auto* c = static_cast<Ctx*>(arg);
            plat::WindowClassRegister("SimTestPeer", &PeerProc);
            const plat::WindowHandle w = plat::WindowCreate("SimTestPeer", "peer");
            *c->mine = w;
            c->ready->Set();
            plat::WindowMessage msg{};
            while (w != 0 && plat::WindowGetMessage(&msg, w) == 1 && msg.message != 0x0401) {
                plat::WindowDispatchMessage(&msg);
            }
            plat::WindowDestroy(w);
            return 0;
        },
        &ctx, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(ready.Wait(5000));
    ASSERT_NE(mine, 0);

    Bytes login = Message(CMD_LOGIN, 16, 0, 0, 1);
    StoreI32(login.data() + 8, mine);
    plat::CopyData cd{1, static_cast<uint32_t>(login.size()), login.data()};
    intptr_t answer = 0;
    ASSERT_TRUE(plat::WindowSendCopyData(serverWindow, 1047, &cd, 5000, &answer));
    EXPECT_EQ(answer, 1);
    ASSERT_TRUE(peer.got.Wait(5000));
    {
        plat::CLockHold hold(peer.lock);
        ASSERT_EQ(peer.blocks.size(), 1u);
        const Bytes& reply = peer.blocks[0];
        ASSERT_EQ(reply.size(), 64 + kTinyDirectory.size());
        EXPECT_EQ(LoadI16(reply.data() + 6), 1);
        EXPECT_EQ(LoadI16(reply.data() + 32), CMD_LOGIN);
        EXPECT_EQ(Bytes(reply.begin() + 64, reply.end()), kTinyDirectory);
    }

    // A scripted answer 0 makes the send report failure.
    server.ScriptWindowAnswer(0, true);
    ASSERT_TRUE(plat::WindowSendCopyData(serverWindow, 1047, &cd, 5000, &answer));
    EXPECT_EQ(answer, 0);

    plat::WindowPostMessage(mine, 0x0401, 0, 0);
    plat::ThreadWait(t, 5000);
    plat::ThreadClose(t);
    g_peer = nullptr;
    server.Stop();
    EXPECT_EQ(LoadI32(view), 0);
    plat::MappingClose(m);
}

}  // namespace
}  // namespace sim
}  // namespace tarvik
