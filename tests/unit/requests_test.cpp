// The synchronous requests on the request cycle, byte-exact against a fake
// server: value reads and writes, subscribing, unsubscribing and history.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "requests/ole_date.h"
#include "session/message.h"
#include "unit/fake_link.h"

namespace tarvik {
namespace {

using fake::Bytes;
using fake::Dbl;
using fake::Long;
using fake::ReplyTo;
using fake::SentMessage;
using fake::U32At;

using fake::kCNT;
using fake::kDESC;
using fake::kPump;
using fake::kPV;
using fake::kRAW;
using fake::kSP;
using fake::kTank;
using fake::kValve;

// A caller's text value: the text may live in any memory of the caller.
VarValue Str(const char* text) {
    VarValue x = VarNone();
    x.tag = VAL_STRING;
    x.u.strVal = const_cast<char*>(text);
    return x;
}

// The server's usual answers: accepted, with a value per subscribed item.
std::vector<uint8_t> Accept(const SentMessage& m) {
    if (m.header.command == CMD_SUBSCRIBE || m.header.command == CMD_READ_VALUES) {
        const uint32_t n = U32At(m.payload, 0);
        Bytes b;
        b.U32(n);
        for (uint32_t i = 0; i < n; ++i) {
            b.Long(static_cast<int32_t>(100 + i));
        }
        return ReplyTo(m, 7, 1, b.b);
    }
    return ReplyTo(m, 7, 1);
}

class RequestTest : public fake::LinkedClientTest {
  protected:
    void SetUp() override {
        fake::LinkedClientTest::SetUp();
        MakeReady();
        AnswerWith(&Accept);
    }
    // The one message of the last request.
    SentMessage Only() {
        std::vector<SentMessage> sent = SentMessages();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? SentMessage{} : sent.back();
    }
    int32_t Subscribe(uint32_t point, uint32_t field, int32_t userValue = 0) {
        int32_t handle = 0;
        EXPECT_EQ(client_->Advise(1, &point, &field, &userValue, &handle), 1);
        return handle;
    }
    int32_t ItemCount() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return ClientProbe::Advise(client_).ItemCount();
    }
    int32_t PairsOf(uint32_t point, uint32_t field) {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        const AdviseItem* item = ClientProbe::Advise(client_).FindByKey(point | (field << 24));
        return item != nullptr ? item->PairCount : -1;
    }
};

void ExpectRequestHeader(const SentMessage& m, int16_t command, int16_t param) {
    EXPECT_EQ(m.header.magic, MSG_MAGIC);
    EXPECT_EQ(m.header.command, command);
    EXPECT_EQ(m.header.param, param);
    EXPECT_EQ(m.header.clientId, 7);
    EXPECT_EQ(m.header.payloadLength, static_cast<int32_t>(m.payload.size()));
}

// ---- Item checks ---------------------------------------------------------------------------

TEST_F(RequestTest, InvalidItemsSendNothing) {
    VarValue values[2] = {Long(1), Long(2)};
    int32_t handles[2] = {0, 0};
    const uint32_t good[2] = {kTank, kTank};
    struct Case {
        uint32_t point;
        uint32_t field;
    };
    // FieldNo 256, the point count as index, a field Pump's type lacks.
    for (const Case& c : {Case{kTank, 256}, Case{3, kPV}, Case{kPump, kSP}, Case{0xFFFFFFFFu, 0}}) {
        const uint32_t points[2] = {kTank, c.point};
        const uint32_t fields[2] = {kPV, c.field};
        EXPECT_EQ(client_->ReadValues(2, points, fields, values), -1);
        EXPECT_EQ(client_->WriteValues(2, points, fields, values), -1);
        EXPECT_EQ(client_->Advise(2, points, fields, nullptr, handles), -1);
        EXPECT_EQ(client_->WriteHistory(c.point, c.field, 0, nullptr, nullptr, nullptr), -1);
    }
    EXPECT_EQ(client_->ReadValues(0, good, good, values), -1);
    EXPECT_EQ(client_->Advise(0, good, good, nullptr, handles), -1);
    EXPECT_EQ(link_.SendCalls(), 0);
    EXPECT_EQ(VarLong(values[0]), 1);
    EXPECT_EQ(ItemCount(), 0);

    // Not ready: nothing goes out either.
    ClientProbe::Flags(client_) &= static_cast<uint8_t>(~SF_INIT_OK);
    const uint32_t field = kPV;
    EXPECT_EQ(client_->ReadValues(1, good, &field, values), -1);
    EXPECT_EQ(client_->UnadviseAll(), 0);
    EXPECT_EQ(link_.SendCalls(), 0);
}

// ---- ReadValues -----------------------------------------------------------------------------

TEST_F(RequestTest, ReadValuesOnTheWire) {
    AnswerWith([](const SentMessage& m) {
        return ReplyTo(m, 7, 0,
                       Bytes().U32(4).Double(1.5).Long(-4).U8(9).Text("hello").b);  // tag 9 alone
    });
    const uint32_t points[4] = {kTank, kPump, kValve, kTank};
    const uint32_t fields[4] = {kPV, kPV, kCNT, kDESC};
    VarValue values[4] = {VarNone(), VarNone(), Long(3), VarNone()};
    const int32_t requestBefore = ClientProbe::RequestId(client_);
    const int32_t sequenceBefore = ClientProbe::Sequence(client_);
    ASSERT_EQ(client_->ReadValues(4, points, fields, values), 4);

    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_READ_VALUES, 1);
    EXPECT_EQ(m.header.requestId, requestBefore + 1);
    EXPECT_EQ(m.header.sequence, sequenceBefore + 1);
    const std::vector<uint8_t> payload = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                                          0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(m.payload, payload);

    EXPECT_EQ(values[0].tag, VAL_DOUBLE);
    EXPECT_DOUBLE_EQ(VarDouble(values[0]), 1.5);
    EXPECT_EQ(values[1].tag, VAL_LONG);
    EXPECT_EQ(VarLong(values[1]), -4);
    EXPECT_EQ(values[2].tag, VAL_NONE);
    ASSERT_EQ(values[3].tag, VAL_STRING);
    EXPECT_STREQ(values[3].u.strVal, "hello");
    VarEmpty(&values[3]);
    // The dispatching thread clears the flag just after it woke the request.
    EXPECT_TRUE(fake::WaitFor([&] { return !ClientProbe::IsAwaitingReply(client_); }));
}

TEST_F(RequestTest, UnusableReadRepliesLeaveTheValuesAlone) {
    const uint32_t points[2] = {kTank, kPump};
    const uint32_t fields[2] = {kPV, kPV};
    const std::vector<std::function<std::vector<uint8_t>(const SentMessage&)>> answers = {
        // another count
        [](const SentMessage& m) { return ReplyTo(m, 7, 1, Bytes().U32(1).Long(1).b); },
        // the records run short
        [](const SentMessage& m) {
            return ReplyTo(m, 7, 1, Bytes().U32(2).Long(1).U8(VAL_LONG).b);
        },
        // another command, another client id, a refusal
        [](const SentMessage& m) {
            return fake::Message(CMD_WRITE_VALUES, 7, 1, m.header.requestId, m.header.sequence,
                                 Bytes().U32(2).Long(1).Long(2).b);
        },
        [](const SentMessage& m) { return ReplyTo(m, 8, 1, Bytes().U32(2).Long(1).Long(2).b); },
        [](const SentMessage& m) { return ReplyTo(m, -2001, 1, Bytes().U32(2).Long(1).Long(2).b); },
    };
    for (const auto& answer : answers) {
        AnswerWith(answer);
        VarValue values[2] = {Long(77), Dbl(0.5)};
        EXPECT_EQ(client_->ReadValues(2, points, fields, values), -1);
        EXPECT_EQ(values[0].tag, VAL_LONG);
        EXPECT_EQ(VarLong(values[0]), 77);
        EXPECT_EQ(values[1].tag, VAL_DOUBLE);
        EXPECT_DOUBLE_EQ(VarDouble(values[1]), 0.5);
    }
}

TEST_F(RequestTest, LateReplyOfAnAbandonedRequestIsNotTaken) {
    // The reply of a request that gave up arrives before the next one starts.
    const std::vector<uint8_t> late = fake::Message(
        CMD_READ_VALUES, 7, 1, ClientProbe::RequestId(client_), 0, Bytes().U32(1).Long(999).b);
    ClientProbe::Dispatch(client_, late.data(), late.size());
    ASSERT_GT(ClientProbe::ReplyMailbox(client_).GetLength(), 0);
    const uint32_t point = kPump;
    const uint32_t field = kPV;
    VarValue value = VarNone();
    ASSERT_EQ(client_->ReadValues(1, &point, &field, &value), 1);
    EXPECT_EQ(VarLong(value), 100);  // the server's answer, not the late one
}

TEST_F(RequestTest, ReadingTextsAgainReleasesTheFirstBlocks) {
    const std::string sixtyFour(64, 'x');
    AnswerWith([&](const SentMessage& m) {
        // 64 value bytes without a terminating zero.
        return ReplyTo(m, 7, 1, Bytes().U32(1).U8(VAL_STRING).U8(64).Raw(sixtyFour).b);
    });
    const uint32_t point = kTank;
    const uint32_t field = kDESC;
    VarValue value = VarNone();
    const int64_t live = testing::LiveBlocks();
    ASSERT_EQ(client_->ReadValues(1, &point, &field, &value), 1);
    ASSERT_EQ(value.tag, VAL_STRING);
    EXPECT_EQ(std::string(value.u.strVal), std::string(63, 'x'));
    EXPECT_EQ(testing::LiveBlocks(), live + 1);
    ASSERT_EQ(client_->ReadValues(1, &point, &field, &value), 1);
    EXPECT_EQ(testing::LiveBlocks(), live + 1);  // the first block went
    TarvikFree(value.u.strVal);
    EXPECT_EQ(testing::LiveBlocks(), live);
}

// ---- WriteValues -------------------------------------------------------------------------------

class WriteTest : public RequestTest {
  protected:
    // The value record sent for one value written to (kTank, field).
    std::vector<uint8_t> Sent(uint32_t field, const VarValue& value) {
        link_.ClearSent();
        const uint32_t point = kTank;
        EXPECT_EQ(client_->WriteValues(1, &point, &field, &value), 1);
        const SentMessage m = Only();
        if (m.payload.size() < 12) {
            ADD_FAILURE() << "payload too short";
            return {};
        }
        EXPECT_EQ(U32At(m.payload, 0), 1u);
        EXPECT_EQ(U32At(m.payload, 4), point);
        EXPECT_EQ(U32At(m.payload, 8), field);
        return std::vector<uint8_t>(m.payload.begin() + 12, m.payload.end());
    }
};

std::vector<uint8_t> LongRecord(int32_t v) {
    return Bytes().Long(v).b;
}
std::vector<uint8_t> DoubleRecord(double v) {
    return Bytes().Double(v).b;
}
std::vector<uint8_t> TextRecord(const std::string& s) {
    return Bytes().Text(s).b;
}

TEST_F(WriteTest, ConversionsToAnIntegerField) {
    EXPECT_EQ(Sent(kCNT, Long(-9)), LongRecord(-9));
    EXPECT_EQ(Sent(kCNT, Dbl(2.5)), LongRecord(3));
    EXPECT_EQ(Sent(kCNT, Dbl(2.4)), LongRecord(2));
    EXPECT_EQ(Sent(kCNT, Dbl(-2.5)), LongRecord(-2));
    EXPECT_EQ(Sent(kCNT, Dbl(-2.7)), LongRecord(-3));  // rounded, not truncated
    EXPECT_EQ(Sent(kCNT, Str("12abc")), LongRecord(12));
    EXPECT_EQ(Sent(kCNT, Str("abc")), LongRecord(0));
    EXPECT_EQ(Sent(kCNT, VarNone()), LongRecord(0));
    EXPECT_EQ(Sent(kCNT, Dbl(1e12)), LongRecord(INT32_MAX));  // no undefined conversion
    // The golden bytes of one record.
    EXPECT_EQ(Sent(kCNT, Long(0x01020304)), (std::vector<uint8_t>{1, 4, 4, 3, 2, 1}));
}

TEST_F(WriteTest, ConversionsToADoubleField) {
    EXPECT_EQ(Sent(kPV, Dbl(-0.25)), DoubleRecord(-0.25));
    EXPECT_EQ(Sent(kPV, Long(3)), DoubleRecord(3.0));
    EXPECT_EQ(Sent(kPV, Str("1.5e2")), DoubleRecord(150.0));
    EXPECT_EQ(Sent(kPV, VarNone()), DoubleRecord(0.0));
    EXPECT_EQ(Sent(kPV, Dbl(1.0)), (std::vector<uint8_t>{2, 8, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
}

TEST_F(WriteTest, ConversionsToATextField) {
    EXPECT_EQ(Sent(kDESC, Long(7)), (std::vector<uint8_t>{4, 2, '7', 0}));
    EXPECT_EQ(Sent(kDESC, Dbl(1.5)), TextRecord("1.500000"));  // L = 9
    EXPECT_EQ(Sent(kDESC, VarNone()), (std::vector<uint8_t>{4, 1, 0}));
    EXPECT_EQ(Sent(kDESC, Str("abc")), TextRecord("abc"));
    const std::string hundred(100, 'q');
    EXPECT_EQ(Sent(kDESC, Str(hundred.c_str())), TextRecord(std::string(63, 'q')));
    const std::vector<uint8_t> huge = Sent(kDESC, Dbl(1e300));  // "%f" would need 300 digits
    ASSERT_GE(huge.size(), 2u);
    EXPECT_EQ(huge[1], 64);
}

TEST_F(WriteTest, WholePayloadAndFailures) {
    const uint32_t points[2] = {kPump, kTank};
    const uint32_t fields[2] = {kPV, kDESC};
    const VarValue values[2] = {Long(5), Str("on")};
    ASSERT_EQ(client_->WriteValues(2, points, fields, values), 2);
    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_WRITE_VALUES, 1);
    const std::vector<uint8_t> payload = {2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1,   4,   5, 0,
                                          0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 4, 3, 'o', 'n', 0};
    EXPECT_EQ(m.payload, payload);

    // A field of value type 3 ends the payload: nothing is sent.
    link_.ClearSent();
    const uint32_t rawPoints[2] = {kTank, kTank};
    const uint32_t rawFields[2] = {kPV, kRAW};
    EXPECT_EQ(client_->WriteValues(2, rawPoints, rawFields, values), -1);
    EXPECT_EQ(link_.SendCalls(), 0);

    // The server refuses with param 0.
    AnswerWith([](const SentMessage& r) { return ReplyTo(r, 7, 0); });
    EXPECT_EQ(client_->WriteValues(2, points, fields, values), -1);
}

// ---- Advise ------------------------------------------------------------------------------------

TEST_F(RequestTest, AdviseHandsOutHandlesFromOne) {
    const uint32_t point = kValve;
    const uint32_t field = kSP;
    const int32_t user = 55;
    int32_t handle = 0;
    ASSERT_EQ(client_->Advise(1, &point, &field, &user, &handle), 1);
    EXPECT_EQ(handle, 1);
    {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        EXPECT_EQ(ClientProbe::Advise(client_).ItemCapacity(), 201);
        const AdviseItem* item = ClientProbe::Advise(client_).FindByKey(kValve | (kSP << 24));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Value.tag, VAL_LONG);
        EXPECT_EQ(VarLong(item->Value), 100);  // the value of the reply
        EXPECT_EQ(item->Pairs[0].UserValue, 55);
    }
    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_SUBSCRIBE, 1);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}));

    // The same item again: a second handle on the same item, asked again.
    link_.ClearSent();
    EXPECT_EQ(Subscribe(kValve, kSP), 2);
    EXPECT_EQ(Only().payload, m.payload);
    EXPECT_EQ(ItemCount(), 1);
    EXPECT_EQ(PairsOf(kValve, kSP), 2);

    // Twice in one call: one more item, two consecutive handles.
    const uint32_t points[2] = {kPump, kPump};
    const uint32_t fields[2] = {kPV, kPV};
    int32_t handles[2] = {0, 0};
    ASSERT_EQ(client_->Advise(2, points, fields, nullptr, handles), 2);
    EXPECT_EQ(handles[0], 3);
    EXPECT_EQ(handles[1], 4);
    EXPECT_EQ(ItemCount(), 2);
    EXPECT_EQ(PairsOf(kPump, kPV), 2);
}

TEST_F(RequestTest, FailedAdviseLeavesTheTable) {
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 1, Bytes().U32(2).Long(1).b); });
    const uint32_t point = kPump;
    const uint32_t field = kPV;
    int32_t handle = -5;
    EXPECT_EQ(client_->Advise(1, &point, &field, nullptr, &handle), -1);
    EXPECT_EQ(handle, -5);
    EXPECT_EQ(ItemCount(), 0);
}

// ---- Unadvise ----------------------------------------------------------------------------------

TEST_F(RequestTest, SharedHandlesAreDroppedLocally) {
    const int32_t a = Subscribe(kTank, kPV);
    const int32_t b = Subscribe(kTank, kPV);
    link_.ClearSent();
    EXPECT_EQ(client_->Unadvise(1, &a), 1);
    EXPECT_EQ(link_.SendCalls(), 0);
    EXPECT_EQ(PairsOf(kTank, kPV), 1);
    EXPECT_EQ(client_->GetAdviseHandleCount(), 1);

    // The last one goes to the server and the item leaves the table.
    EXPECT_EQ(client_->Unadvise(1, &b), 1);
    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_UNSUBSCRIBE, 1);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ItemCount(), 0);
}

TEST_F(RequestTest, BothHandlesOfAnItemInOneCall) {
    const int32_t handles[2] = {Subscribe(kValve, kCNT), Subscribe(kValve, kCNT)};
    link_.ClearSent();
    EXPECT_EQ(client_->Unadvise(2, handles), 2);
    EXPECT_EQ(Only().payload, (std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(ItemCount(), 0);
    EXPECT_EQ(client_->GetAdviseHandleCount(), 0);
}

TEST_F(RequestTest, UnknownHandleStopsTheCall) {
    const int32_t shared1 = Subscribe(kTank, kPV);
    const int32_t shared2 = Subscribe(kTank, kPV);
    const int32_t last = Subscribe(kPump, kPV);
    link_.ClearSent();
    const int32_t list[3] = {shared1, 0, last};
    EXPECT_EQ(client_->Unadvise(3, list), -1);
    EXPECT_EQ(link_.SendCalls(), 0);
    EXPECT_EQ(PairsOf(kTank, kPV), 1);  // dropped all the same
    EXPECT_EQ(PairsOf(kPump, kPV), 1);
    EXPECT_EQ(client_->GetAdviseHandleCount(), 2);
    // One already released: the same.
    const int32_t again[2] = {shared1, shared2};
    EXPECT_EQ(client_->Unadvise(2, again), -1);
    EXPECT_EQ(PairsOf(kTank, kPV), 1);
}

TEST_F(RequestTest, SameLastHandleTwice) {
    Subscribe(kTank, kPV);
    const int32_t last = Subscribe(kPump, kPV);
    link_.ClearSent();
    const int32_t list[2] = {last, last};
    EXPECT_EQ(client_->Unadvise(2, list), 2);
    EXPECT_EQ(Only().payload,
              (std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ItemCount(), 1);
    EXPECT_EQ(PairsOf(kTank, kPV), 1);
}

TEST_F(RequestTest, RefusedUnadviseKeepsTheLastSubscription) {
    const int32_t h = Subscribe(kPump, kPV);
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 0); });
    EXPECT_EQ(client_->Unadvise(1, &h), -1);
    EXPECT_EQ(ItemCount(), 1);
    EXPECT_EQ(client_->GetAdviseHandleCount(), 1);
}

TEST_F(RequestTest, UnadviseAll) {
    // No subscriptions: the server is asked all the same.
    EXPECT_EQ(client_->UnadviseAll(), 1);
    SentMessage m = Only();
    ExpectRequestHeader(m, CMD_UNSUBSCRIBE_ALL, 0);
    EXPECT_TRUE(m.payload.empty());

    const int32_t old1 = Subscribe(kTank, kPV);
    Subscribe(kPump, kPV);
    // A refusal leaves the table.
    AnswerWith([](const SentMessage& r) { return ReplyTo(r, 7, 0); });
    EXPECT_EQ(client_->UnadviseAll(), 0);
    EXPECT_EQ(ItemCount(), 2);

    AnswerWith(&Accept);
    EXPECT_EQ(client_->UnadviseAll(), 1);
    EXPECT_EQ(ItemCount(), 0);
    link_.ClearSent();
    EXPECT_EQ(client_->Unadvise(1, &old1), -1);
    EXPECT_EQ(link_.SendCalls(), 0);
    // The handle counter goes on.
    EXPECT_EQ(Subscribe(kTank, kPV), 3);
}

// ---- Threads -------------------------------------------------------------------------------

std::atomic<int> g_dataCalls{0};
void TARVIK_CALL CountData(ITarvikClient* itf, TarvikUserData, int32_t count,
                           const int32_t* handles, const int32_t*, const VarValue*) {
    // The application may query the client from inside its callback.
    std::vector<VarValue> now(static_cast<size_t>(count), VarNone());
    ClientOf(itf)->GetValuesByHandle(count, handles, now.data());
    for (VarValue& v : now) {
        VarEmpty(&v);
    }
    g_dataCalls.fetch_add(1);
}

// Requests from two application threads while the server pushes values and
// the session's timers run on a third, and the notification thread delivers.
TEST_F(RequestTest, RequestsPushesAndDeliveryAtTheSameTime) {
    const int32_t h1 = Subscribe(kTank, kPV);
    Subscribe(kPump, kPV);
    g_dataCalls = 0;
    client_->SetDataCallback(&CountData);
    fake::StartNotifyThread(client_);

    std::atomic<int> failures{0};
    auto reader = [&] {
        const uint32_t points[2] = {kTank, kValve};
        const uint32_t fields[2] = {kPV, kDESC};
        for (int i = 0; i < 100; ++i) {
            VarValue values[2] = {VarNone(), VarNone()};
            if (client_->ReadValues(2, points, fields, values) != 2) {
                failures.fetch_add(1);
            }
        }
    };
    auto session = [&] {
        for (int i = 0; i < 200; ++i) {
            const std::vector<uint8_t> push =
                fake::Message(CMD_HEARTBEAT_DATA, 7, 1, 0, -1,
                              Bytes().U32(2).U32(kTank).Long(i).U32(kPump).Double(i).b);
            ClientProbe::Dispatch(client_, push.data(), push.size());
            ClientProbe::CheckTimers(client_);
        }
    };
    std::thread a(reader);
    std::thread b(reader);
    std::thread c(session);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    // The last push reaches the last values once it is delivered.
    EXPECT_TRUE(fake::WaitFor([&] {
        VarValue last = VarNone();
        const bool done = client_->GetValuesByHandle(1, &h1, &last) == 1 && last.tag == VAL_LONG &&
                          VarLong(last) == 199;
        VarEmpty(&last);
        return done;
    }));
    EXPECT_GT(g_dataCalls.load(), 0);
    client_->SetDataCallback(nullptr);
}

// ---- History -----------------------------------------------------------------------------------

constexpr double kJan2000 = 36526.0;  // 2000-01-01 00:00
constexpr double kJul2021Noon = 44378.5;
constexpr double kJan2021Noon = 44211.5;

// Berlin's zone in the POSIX form, which both C libraries read. The Windows C
// runtime reads only its name, hours west of UTC and summer-time name, and
// takes the switch dates from the system's zone; a zone name such as
// "Europe/Berlin" would be UTC there.
constexpr const char* kBerlinTz = "CET-1CEST,M3.5.0,M10.5.0/3";

#if defined(_WIN32)
// The Windows C runtime has no setenv.
int setenv(const char* name, const char* value, int) {
    return _putenv((std::string(name) + "=" + value).c_str());
}
int unsetenv(const char* name) {
    return _putenv((std::string(name) + "=").c_str());
}
#endif

// Local time is the process's TZ while a test runs; the test sets its own.
class HistoryTest : public RequestTest {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_) {
            oldTz_ = tz;
        }
        setenv("TZ", "UTC", 1);
        tzset();
        RequestTest::SetUp();
    }
    void TearDown() override {
        RequestTest::TearDown();
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool hadTz_ = false;
    std::string oldTz_;
};

std::vector<uint8_t> ItemName(const std::string& name) {
    std::vector<uint8_t> b(name.begin(), name.end());
    b.resize(32, 0);
    return b;
}

TEST_F(HistoryTest, ReadHistoryOnTheWire) {
    AnswerWith([](const SentMessage& m) {
        return ReplyTo(m, 7, 0, Bytes().F32(1.5f).F32(-2.0f).F32(3.25f).F32(0.5f).b);
    });
    const uint32_t points[2] = {kTank, kPump};
    const uint32_t fields[2] = {kSP, kPV};
    double values[4] = {};
    ASSERT_EQ(client_->ReadHistory(kJan2000, kJan2000 + 1.0, 2, 2, points, fields, values), 2);
    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_READ_HISTORY, 0);
    std::vector<uint8_t> payload = Bytes().U32(946684800u).U32(86400).U32(2).U32(2).b;
    const std::vector<uint8_t> n1 = ItemName("Tank1.SP");
    const std::vector<uint8_t> n2 = ItemName("Pump1.PV");
    payload.insert(payload.end(), n1.begin(), n1.end());
    payload.insert(payload.end(), n2.begin(), n2.end());
    EXPECT_EQ(m.payload, payload);
    EXPECT_EQ(values[0], 1.5);
    EXPECT_EQ(values[1], -2.0);
    EXPECT_EQ(values[2], 3.25);
    EXPECT_EQ(values[3], 0.5);

    // A start after the end: the 32-bit difference as it is.
    link_.ClearSent();
    ASSERT_EQ(client_->ReadHistory(kJan2000 + 1.0, kJan2000, 2, 2, points, fields, values), 2);
    EXPECT_EQ(U32At(Only().payload, 4), static_cast<uint32_t>(-86400));
}

TEST_F(HistoryTest, ReadHistoryReplyLength) {
    const uint32_t point = kTank;
    const uint32_t field = kPV;
    double values[3] = {-1, -1, -1};
    // No samples: the request goes out, nothing is written.
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 0); });
    EXPECT_EQ(client_->ReadHistory(kJan2000, kJan2000, 0, 1, &point, &field, values), 1);
    EXPECT_EQ(link_.SendCalls(), 1);
    EXPECT_EQ(values[0], -1);

    // Exactly count x samples x 4 bytes; then one byte less.
    AnswerWith(
        [](const SentMessage& m) { return ReplyTo(m, 7, 0, Bytes().F32(1).F32(2).F32(4).b); });
    EXPECT_EQ(client_->ReadHistory(kJan2000, kJan2000, 3, 1, &point, &field, values), 1);
    EXPECT_EQ(values[2], 4.0);
    values[0] = values[1] = values[2] = -1;
    AnswerWith([](const SentMessage& m) {
        std::vector<uint8_t> p = Bytes().F32(1).F32(2).F32(4).b;
        p.pop_back();
        return ReplyTo(m, 7, 0, p);
    });
    EXPECT_EQ(client_->ReadHistory(kJan2000, kJan2000, 3, 1, &point, &field, values), -1);
    EXPECT_EQ(values[0], -1);
}

TEST_F(HistoryTest, WriteHistoryOnTheWire) {
    // No records: the name alone.
    EXPECT_EQ(client_->WriteHistory(kValve, kDESC, 0, nullptr, nullptr, nullptr), 0);
    SentMessage m = Only();
    ExpectRequestHeader(m, CMD_WRITE_HISTORY, 0);
    EXPECT_EQ(m.payload, ItemName("Valve2.DESC"));

    link_.ClearSent();
    const double times[2] = {kJan2000, kJan2000 + 0.5};
    const uint16_t statuses[2] = {0xBEEF, 1};
    const double values[2] = {1.5, -0.1};
    EXPECT_EQ(client_->WriteHistory(kTank, kPV, 2, times, statuses, values), 2);
    m = Only();
    ExpectRequestHeader(m, CMD_WRITE_HISTORY, 2);
    std::vector<uint8_t> payload = ItemName("Tank1.PV");
    const std::vector<uint8_t> records = Bytes()
                                             .U32(946684800u)
                                             .U16(0xBEEF)
                                             .Zeros(2)
                                             .F32(1.5f)
                                             .U32(946684800u + 43200)
                                             .U16(1)
                                             .Zeros(2)
                                             .F32(-0.1f)
                                             .b;
    payload.insert(payload.end(), records.begin(), records.end());
    EXPECT_EQ(m.payload, payload);

    // Values beyond the float range travel as infinities.
    link_.ClearSent();
    const double huge[2] = {1e300, -1e300};
    EXPECT_EQ(client_->WriteHistory(kTank, kPV, 2, times, statuses, huge), 2);
    m = Only();
    ASSERT_EQ(m.payload.size(), 56u);
    EXPECT_EQ(U32At(m.payload, 40), 0x7F800000u);
    EXPECT_EQ(U32At(m.payload, 52), 0xFF800000u);

    // Refused.
    AnswerWith([](const SentMessage& r) { return ReplyTo(r, 7, 0); });
    EXPECT_EQ(client_->WriteHistory(kTank, kPV, 2, times, statuses, values), -1);
}

TEST_F(HistoryTest, WriteHistorySendsTheLow16BitsOfTheCount) {
    const uint32_t n = 65536;
    std::vector<double> times(n, kJan2000);
    std::vector<uint16_t> statuses(n, 0);
    std::vector<double> values(n, 1.0);
    EXPECT_EQ(client_->WriteHistory(kTank, kPV, n, times.data(), statuses.data(), values.data()),
              static_cast<int32_t>(n));
    const SentMessage m = Only();
    EXPECT_EQ(m.header.param, 0);
    EXPECT_EQ(m.payload.size(), 32u + 12u * n);
}

TEST_F(HistoryTest, ReadHistoryRawRecords) {
    AnswerWith([](const SentMessage& m) {
        return ReplyTo(m, 7, 0,
                       Bytes()
                           .U32(2)
                           .U32(946684800u)
                           .U16(3)
                           .Zeros(2)
                           .F32(2.5f)
                           .U32(946684800u + 21600)
                           .U16(0xFFFF)
                           .U16(0xEEEE)
                           .F32(-1.0f)
                           .b);
    });
    double* times = nullptr;
    uint16_t* statuses = nullptr;
    double* values = nullptr;
    ASSERT_EQ(
        client_->ReadHistoryRaw(kJan2000, kJan2000 + 2, kTank, kCNT, &times, &statuses, &values),
        2);
    const SentMessage m = Only();
    ExpectRequestHeader(m, CMD_READ_HISTORY_RAW, 0);
    std::vector<uint8_t> payload = Bytes().U32(946684800u).U32(2 * 86400).U32(0).U32(1).b;
    const std::vector<uint8_t> name = ItemName("Tank1.CNT");
    payload.insert(payload.end(), name.begin(), name.end());
    EXPECT_EQ(m.payload, payload);
    ASSERT_NE(times, nullptr);
    EXPECT_DOUBLE_EQ(times[0], kJan2000);
    EXPECT_DOUBLE_EQ(times[1], kJan2000 + 0.25);
    EXPECT_EQ(statuses[0], 3);
    EXPECT_EQ(statuses[1], 0xFFFF);
    EXPECT_EQ(values[0], 2.5);
    EXPECT_EQ(values[1], -1.0);
    TarvikFree(times);
    TarvikFree(statuses);
    TarvikFree(values);
}

TEST_F(HistoryTest, ReadHistoryRawEmptyAndShortReplies) {
    int marker = 0;
    double* times = reinterpret_cast<double*>(&marker);
    uint16_t* statuses = reinterpret_cast<uint16_t*>(&marker);
    double* values = reinterpret_cast<double*>(&marker);
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 0, Bytes().U32(0).b); });
    EXPECT_EQ(client_->ReadHistoryRaw(kJan2000, kJan2000, kTank, kPV, &times, &statuses, &values),
              0);
    EXPECT_EQ(times, nullptr);
    EXPECT_EQ(statuses, nullptr);
    EXPECT_EQ(values, nullptr);

    // A count that needs more than the payload.
    times = reinterpret_cast<double*>(&marker);
    AnswerWith([](const SentMessage& m) {
        return ReplyTo(m, 7, 0, Bytes().U32(2).U32(1).U16(0).Zeros(2).F32(1).b);
    });
    EXPECT_EQ(client_->ReadHistoryRaw(kJan2000, kJan2000, kTank, kPV, &times, &statuses, &values),
              -1);
    EXPECT_EQ(times, reinterpret_cast<double*>(&marker));
    AnswerWith([](const SentMessage& m) { return ReplyTo(m, 7, 0, Bytes().U32(0xFFFFFFFFu).b); });
    EXPECT_EQ(client_->ReadHistoryRaw(kJan2000, kJan2000, kTank, kPV, &times, &statuses, &values),
              -1);
    EXPECT_EQ(times, reinterpret_cast<double*>(&marker));
}

TEST_F(HistoryTest, DaylightSavingTimeThroughLocalTime) {
    setenv("TZ", kBerlinTz, 1);
    tzset();
#if defined(_WIN32)
    // Once the C runtime has read the system's zone (TZ unset), it keeps that
    // zone's summer-time rules whatever TZ says later. Under Wine the system's
    // zone is the Unix TZ the program started with: ctest passes kBerlinTz.
    std::tm july{};
    const time_t julyNoonUtc = 1625140800;
    if (localtime_s(&july, &julyNoonUtc) != 0 || july.tm_isdst <= 0 || july.tm_hour != 14) {
        FAIL() << "the system's time zone has no summer time: start the program with TZ="
               << kBerlinTz;
    }
#endif
    uint32_t wire = 0;
    // Midnight of 2000-01-01 in Berlin (CET, UTC+1).
    ASSERT_TRUE(OleDateToWire(kJan2000, &wire));
    EXPECT_EQ(wire, 946681200u);
    // Noon in summer is 10:00 UTC (CEST), noon in winter 11:00 UTC (CET).
    ASSERT_TRUE(OleDateToWire(kJul2021Noon, &wire));
    EXPECT_EQ(wire, 1625133600u);
    EXPECT_DOUBLE_EQ(WireToOleDate(wire), kJul2021Noon);
    ASSERT_TRUE(OleDateToWire(kJan2021Noon, &wire));
    EXPECT_EQ(wire, 1610708400u);
    EXPECT_DOUBLE_EQ(WireToOleDate(wire), kJan2021Noon);

    // And on the wire of a request.
    const double times[2] = {kJul2021Noon, kJan2021Noon};
    const uint16_t statuses[2] = {0, 0};
    const double values[2] = {0, 0};
    ASSERT_EQ(client_->WriteHistory(kTank, kPV, 2, times, statuses, values), 2);
    const SentMessage m = Only();
    EXPECT_EQ(U32At(m.payload, 32), 1625133600u);
    EXPECT_EQ(U32At(m.payload, 44), 1610708400u);
}

}  // namespace
}  // namespace tarvik
