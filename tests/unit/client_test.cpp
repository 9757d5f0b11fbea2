// The client object as the exports build it: defaults, settings, the shared
// registry mapping, teardown without leaks, and the last-error text.
#include "client/client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/allocator.h"
#include "client/shared_registry.h"
#include "client_probe.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace {

constexpr const char* kMapping = CSharedRegistry::kMappingName;

// Every test starts and ends without the shared mapping, so that whichever
// client a test creates first takes the creation path. (The names carry this
// process's private prefix.)
class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::MappingRemove(kMapping);
        live_ = testing::LiveBlocks();
    }
    void TearDown() override {
        testing::FailNthAllocation(0);
        plat::MappingRemove(kMapping);
    }

    static CTarvikClient* Create(int32_t parameter = 0) {
        ITarvikClient* client = TarvikCreateClient(parameter);
        return client != nullptr ? ClientOf(client) : nullptr;
    }

    int64_t live_ = 0;
};

// Destroys a client at the end of a scope.
struct ClientHolder {
    explicit ClientHolder(CTarvikClient* c) : client(c) {}
    ~ClientHolder() { TarvikDestroyClient(client); }
    ClientHolder(const ClientHolder&) = delete;
    ClientHolder& operator=(const ClientHolder&) = delete;
    CTarvikClient* client;
};

void TARVIK_CALL StateSink(ITarvikClient*, TarvikUserData, int32_t) {}
void TARVIK_CALL DataSink(ITarvikClient*, TarvikUserData, int32_t, const int32_t*, const int32_t*,
                          const VarValue*) {}

std::string ErrorText(CTarvikClient* client) {
    std::vector<char> buffer(2048, 'x');
    client->GetLastErrorText(buffer.data(), static_cast<int32_t>(buffer.size()));
    return std::string(buffer.data());
}

TEST_F(ClientTest, NewClientDefaults) {
    ClientHolder holder(Create(0x12345));
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetState(), CONN_CLOSED);
    EXPECT_EQ(c->GetRequestTimeout(), 10000);
    EXPECT_EQ(c->GetHeartbeatInterval(), 500);
    EXPECT_FALSE(c->GetServerFlag());
    EXPECT_FALSE(c->IsLinkUp());
    EXPECT_EQ(ErrorText(c), "");

    // The members the session relies on start as documented; no thread runs.
    EXPECT_EQ(ClientProbe::ClientParameter(c), 0x12345);
    EXPECT_EQ(ClientProbe::GetLinkMode(c), MODE_NONE);
    EXPECT_EQ(ClientProbe::UserValue(c), 0);
    EXPECT_EQ(ClientProbe::StateCallbackOf(c), nullptr);
    EXPECT_EQ(ClientProbe::DataCallbackOf(c), nullptr);
    EXPECT_EQ(ClientProbe::Sequence(c), 0);
    EXPECT_EQ(ClientProbe::RequestId(c), 1);
    EXPECT_EQ(ClientProbe::HandleCounter(c), 0);
    EXPECT_EQ(ClientProbe::ClientId(c), 0);
    EXPECT_FALSE(c->TestFlags(FLAGS_IS_LOGGED_IN));
    EXPECT_EQ(ClientProbe::NotifyThread(c), nullptr);
    EXPECT_EQ(ClientProbe::SessionThread(c), nullptr);
    EXPECT_EQ(ClientProbe::WindowThread(c), nullptr);
    EXPECT_EQ(ClientProbe::NetLink(c), nullptr);
    EXPECT_NE(ClientProbe::ReplyEvent(c), nullptr);
    EXPECT_NE(ClientProbe::DataArrivedEvent(c), nullptr);
    EXPECT_NE(ClientProbe::NotifyEventOf(c), nullptr);
    EXPECT_EQ(ClientProbe::PrimaryHost(c)[0], '\0');
    EXPECT_EQ(ClientProbe::BackupHost(c)[0], '\0');

    // The events start not signalled.
    EXPECT_FALSE(ClientProbe::ReplyEvent(c)->Wait(0));
    EXPECT_FALSE(ClientProbe::DataArrivedEvent(c)->Wait(0));
    EXPECT_FALSE(ClientProbe::NotifyEventOf(c)->Wait(0));
}

TEST_F(ClientTest, SettingsAreStoredUnchecked) {
    ClientHolder holder(Create());
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);
    for (int32_t value : {0, -1, -10000, 1, 250, 2147483647}) {
        c->SetRequestTimeout(value);
        EXPECT_EQ(c->GetRequestTimeout(), value);
        c->SetHeartbeatInterval(value);
        EXPECT_EQ(c->GetHeartbeatInterval(), value);
    }
    // The two settings are separate members.
    c->SetRequestTimeout(1234);
    c->SetHeartbeatInterval(56);
    EXPECT_EQ(c->GetRequestTimeout(), 1234);
    EXPECT_EQ(c->GetHeartbeatInterval(), 56);

    c->SetUserData(-7);
    EXPECT_EQ(ClientProbe::UserValue(c), -7);
    c->SetStateCallback(&StateSink);
    c->SetDataCallback(&DataSink);
    EXPECT_EQ(ClientProbe::StateCallbackOf(c), &StateSink);
    EXPECT_EQ(ClientProbe::DataCallbackOf(c), &DataSink);
    c->SetStateCallback(nullptr);
    c->SetDataCallback(nullptr);
    EXPECT_EQ(ClientProbe::StateCallbackOf(c), nullptr);
    EXPECT_EQ(ClientProbe::DataCallbackOf(c), nullptr);

    // A queued state change is not the delivered state.
    ASSERT_EQ(ClientProbe::PostStateChange(c, CONN_BROKEN), 1);
    EXPECT_EQ(c->GetState(), CONN_CLOSED);
}

TEST_F(ClientTest, AllocatorExports) {
    EXPECT_EQ(TarvikAlloc(0), nullptr);
    EXPECT_EQ(TarvikAlloc(-1), nullptr);
    EXPECT_EQ(TarvikAlloc(INT32_MIN), nullptr);
    EXPECT_EQ(testing::LiveBlocks(), live_);

    void* block = TarvikAlloc(64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xA5, 64);
    EXPECT_EQ(testing::LiveBlocks(), live_ + 1);
    TarvikFree(block);
    EXPECT_EQ(testing::LiveBlocks(), live_);

    // A block from the library's own allocator is released by TarvikFree.
    void* own = MemAlloc(10);
    ASSERT_NE(own, nullptr);
    TarvikFree(own);
    EXPECT_EQ(testing::LiveBlocks(), live_);

    TarvikFree(nullptr);
    TarvikDestroyClient(nullptr);
    EXPECT_EQ(testing::LiveBlocks(), live_);
}

TEST_F(ClientTest, CreatedMappingHas2160Bytes) {
    ClientHolder holder(Create());
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(ClientProbe::Registry(c).created());
    ASSERT_NE(ClientProbe::Registry(c).view(), nullptr);
    EXPECT_EQ(ClientProbe::Registry(c).size(), 2160u);
    EXPECT_NE(ClientProbe::Registry(c).mutex(), nullptr);

    plat::SharedMapping* m = plat::MappingOpen(kMapping);
    ASSERT_NE(m, nullptr);
#if defined(_WIN32)
    // Windows tells the size of an opened view only in whole pages.
    EXPECT_EQ(plat::MappingSize(m), 4096u);
#else
    EXPECT_EQ(plat::MappingSize(m), 2160u);
#endif
    const auto* bytes = static_cast<const uint8_t*>(plat::MappingView(m));
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
    }
    plat::MappingClose(m);
}

TEST_F(ClientTest, SecondClientOpensTheMappingWithoutZeroingIt) {
    ClientHolder first(Create(1));
    ASSERT_NE(first.client, nullptr);
    ASSERT_TRUE(ClientProbe::Registry(first.client).created());

    // A server fills in the registry.
    plat::SharedMapping* m = plat::MappingOpen(kMapping);
    ASSERT_NE(m, nullptr);
    auto* bytes = static_cast<uint8_t*>(plat::MappingView(m));
    for (size_t i = 0; i < 16; ++i) {
        bytes[i] = static_cast<uint8_t>(0x11 * (i + 1));
    }

    ClientHolder second(Create(2));
    ASSERT_NE(second.client, nullptr);
    EXPECT_FALSE(ClientProbe::Registry(second.client).created());
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(bytes[i], static_cast<uint8_t>(0x11 * (i + 1))) << "byte " << i;
    }
    // Both clients see the same memory.
    const uint8_t* view1 = ClientProbe::Registry(first.client).view();
    const uint8_t* view2 = ClientProbe::Registry(second.client).view();
    ASSERT_NE(view1, nullptr);
    ASSERT_NE(view2, nullptr);
    bytes[100] = 0x5A;
    EXPECT_EQ(view1[100], 0x5A);
    EXPECT_EQ(view2[100], 0x5A);
    plat::MappingClose(m);
}

TEST_F(ClientTest, ExistingMappingIsKeptAsItIs) {
    // A mapping that a server created (of its own size) before any client.
    bool existed = true;
    plat::SharedMapping* m = plat::MappingCreate(kMapping, 4096, &existed);
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(existed);
    auto* bytes = static_cast<uint8_t*>(plat::MappingView(m));
    std::memset(bytes, 0x7E, 16);

    {
        ClientHolder holder(Create());
        ASSERT_NE(holder.client, nullptr);
        EXPECT_FALSE(ClientProbe::Registry(holder.client).created());
        EXPECT_EQ(ClientProbe::Registry(holder.client).size(), 4096u);
        for (size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(bytes[i], 0x7E) << "byte " << i;
        }
    }
    // The client's teardown leaves the mapping to the others.
    EXPECT_EQ(bytes[0], 0x7E);
    plat::MappingClose(m);
}

TEST_F(ClientTest, NeverConnectedClientTearsDownWithoutLeaks) {
    CTarvikClient* c = Create();
    ASSERT_NE(c, nullptr);
    // Leave a little of everything a connection would leave behind.
    const uint8_t bytes[40] = {1, 2, 3};
    c->OnTransportBytes(bytes, sizeof bytes);
    ASSERT_EQ(ClientProbe::PostStateChange(c, CONN_PENDING), 1);
    ASSERT_EQ(ClientProbe::PostStateChange(c, CONN_READY), 1);
    TarvikDestroyClient(c);
    EXPECT_EQ(testing::LiveBlocks(), live_);

    // Several clients at once, destroyed in creation order.
    CTarvikClient* a = Create(1);
    CTarvikClient* b = Create(2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    a->SetRequestTimeout(1);
    EXPECT_EQ(b->GetRequestTimeout(), 10000);
    TarvikDestroyClient(a);
    EXPECT_EQ(b->GetState(), CONN_CLOSED);
    TarvikDestroyClient(b);
    EXPECT_EQ(testing::LiveBlocks(), live_);
}

TEST_F(ClientTest, AllocationFailureYieldsNullAndLeaksNothing) {
    testing::FailNthAllocation(1);
    EXPECT_EQ(TarvikCreateClient(0), nullptr);
    testing::FailNthAllocation(0);
    EXPECT_EQ(testing::LiveBlocks(), live_);

    // Whichever allocation of the creation fails, nothing is left behind, and
    // a client that was built anyway is whole.
    for (int64_t n = 2; n <= 8; ++n) {
        testing::FailNthAllocation(n);
        ITarvikClient* client = TarvikCreateClient(0);
        testing::FailNthAllocation(0);
        if (client != nullptr) {
            EXPECT_EQ(client->GetState(), CONN_CLOSED) << "n=" << n;
            TarvikDestroyClient(client);
        }
        EXPECT_EQ(testing::LiveBlocks(), live_) << "n=" << n;
    }
}

TEST_F(ClientTest, DisconnectWithoutConnectionClearsTheReceiveStream) {
    ClientHolder holder(Create());
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);
    const uint8_t bytes[100] = {9, 8, 7};
    c->OnTransportBytes(bytes, sizeof bytes);
    ASSERT_EQ(ClientProbe::ReceiveStream(c).GetLength(), 100);
    ASSERT_EQ(ClientProbe::PostStateChange(c, CONN_BROKEN), 1);

    c->Disconnect();
    EXPECT_EQ(ClientProbe::ReceiveStream(c).GetLength(), 0);
    {
        plat::CLockHold hold(ClientProbe::StateLock(c));
        EXPECT_TRUE(ClientProbe::NotifyQueue(c).IsEmpty());
    }
    EXPECT_EQ(c->GetState(), CONN_CLOSED);
    EXPECT_EQ(ClientProbe::GetLinkMode(c), MODE_NONE);
    EXPECT_EQ(ClientProbe::NotifyThread(c), nullptr);
    EXPECT_EQ(ClientProbe::SessionThread(c), nullptr);

    // A second disconnect finds nothing to do; the client stays usable.
    c->Disconnect();
    EXPECT_EQ(ClientProbe::ReceiveStream(c).GetLength(), 0);
    EXPECT_EQ(c->GetRequestTimeout(), 10000);
}

// ---- Last error ---------------------------------------------------------------

// An error code the system has no text for.
constexpr int32_t kUnknownCode = 987654;
// A code every system knows: "file not found" on both systems.
constexpr int32_t kKnownCode = 2;

TEST_F(ClientTest, LastErrorTextFormats) {
    ClientHolder holder(Create());
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);

    ClientProbe::LastError(c).RecordCode(kUnknownCode);
    EXPECT_EQ(ErrorText(c), "987654 UnknowErr");
    EXPECT_EQ(ClientProbe::LastError(c).code(), kUnknownCode);
    ClientProbe::LastError(c).RecordCode(-5);
    EXPECT_EQ(ErrorText(c), "-5 UnknowErr");

    std::string system;
    ASSERT_TRUE(plat::SystemErrorText(kKnownCode, &system));
    ASSERT_FALSE(system.empty());
    ClientProbe::LastError(c).RecordCode(kKnownCode);
    EXPECT_EQ(ErrorText(c), "2 " + system);

    // RecordError takes the calling thread's last system error.
    plat::SetLastErrorCode(kUnknownCode);
    EXPECT_EQ(c->RecordError(), kUnknownCode);
    EXPECT_EQ(ErrorText(c), "987654 UnknowErr");
    // A longer text is replaced entirely by a shorter one.
    ClientProbe::LastError(c).RecordCode(kKnownCode);
    ClientProbe::LastError(c).RecordCode(7777777);
    EXPECT_EQ(ErrorText(c), "7777777 UnknowErr");
}

TEST_F(ClientTest, LastErrorTextCopiesIntoTheCallersBuffer) {
    ClientHolder holder(Create());
    CTarvikClient* c = holder.client;
    ASSERT_NE(c, nullptr);
    ClientProbe::LastError(c).RecordCode(kUnknownCode);
    const std::string text = "987654 UnknowErr";

    // Null buffer, and sizes without room: nothing happens.
    c->GetLastErrorText(nullptr, 2048);
    c->GetLastErrorText(nullptr, 0);
    char untouched[4] = {'a', 'b', 'c', 'd'};
    c->GetLastErrorText(untouched, 0);
    c->GetLastErrorText(untouched, -1);
    EXPECT_EQ(0, std::memcmp(untouched, "abcd", 4));

    // A large buffer: the whole text, then zeros to its end.
    std::vector<char> big(2048, 'x');
    c->GetLastErrorText(big.data(), 2048);
    EXPECT_EQ(std::string(big.data()), text);
    for (size_t i = text.size(); i < big.size(); ++i) {
        ASSERT_EQ(big[i], '\0') << "byte " << i;
    }

    // Exactly the text's length: one character less, terminated.
    std::vector<char> exact(text.size(), 'x');
    c->GetLastErrorText(exact.data(), static_cast<int32_t>(exact.size()));
    EXPECT_EQ(std::string(exact.data()), text.substr(0, text.size() - 1));

    // Short buffers get a terminated prefix of size - 1 characters, and the
    // bytes after the buffer stay as they are.
    char shortBuffer[8];
    std::memset(shortBuffer, 'x', sizeof shortBuffer);
    c->GetLastErrorText(shortBuffer, 4);
    EXPECT_EQ(0, std::memcmp(shortBuffer, "987\0xxxx", 8));
    std::memset(shortBuffer, 'x', sizeof shortBuffer);
    c->GetLastErrorText(shortBuffer, 1);
    EXPECT_EQ(0, std::memcmp(shortBuffer, "\0xxxxxxx", 8));
}

}  // namespace
}  // namespace tarvik
