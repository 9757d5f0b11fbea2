// The client's hidden window: its thread, its procedure and the window
// registry, driven through the window seam as a local server would drive it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "client/allocator.h"
#include "client/client.h"
#include "client/client_registry.h"
#include "client/window_transport.h"
#include "client_probe.h"
#include "platform/platform.h"
#include "tarvik/tarvik.h"
#include "wait_until.h"

namespace tarvik {
namespace {

using testwait::WaitUntil;

// One client with its window thread running, as ConnectLocal leaves it.
class LocalWindowClient {
  public:
    LocalWindowClient() : iface_(TarvikCreateClient(0)), client_(ClientOf(iface_)) {}
    ~LocalWindowClient() {
        Stop();
        if (client_ != nullptr) {
            // What Disconnect does before it posts the quit.
            plat::CLockHold hold(ClientProbe::StateLock(client_));
            ClientProbe::OwnWindow(client_) = 0;
        }
        TarvikDestroyClient(iface_);
    }

    // Starts the window thread and waits until the window is published.
    plat::WindowHandle Start() {
        if (client_ == nullptr) {
            return 0;
        }
        thread_ = plat::ThreadCreate(ClientProbe::WindowThreadProc(), client_, nullptr);
        if (thread_ == nullptr) {
            return 0;
        }
        WaitUntil([this] { return Window() != 0; });
        return Window();
    }
    plat::WindowHandle Window() {
        plat::CLockHold hold(ClientProbe::StateLock(client_));
        return ClientProbe::OwnWindow(client_);
    }
    // Posts WM_TARVIK_QUIT and waits for the thread; its exit code.
    uint32_t Stop() {
        if (thread_ == nullptr) {
            return 0;
        }
        plat::WindowPostMessage(Window(), WM_TARVIK_QUIT, 0, 0);
        uint32_t code = 0;
        if (plat::ThreadWait(thread_, 10000)) {
            plat::ThreadExitCode(thread_, &code);
            plat::ThreadClose(thread_);
            thread_ = nullptr;
        }
        return code;
    }
    bool Running() {
        uint32_t code = 0;
        return thread_ != nullptr && plat::ThreadExitCode(thread_, &code) &&
               code == plat::kStillActive;
    }
    std::vector<uint8_t> TakeStream() {
        std::vector<uint8_t> bytes(
            static_cast<size_t>(ClientProbe::ReceiveStream(client_).GetLength()));
        if (!bytes.empty()) {
            ClientProbe::ReceiveStream(client_).Read(bytes.data(),
                                                     static_cast<int32_t>(bytes.size()));
        }
        return bytes;
    }

    ITarvikClient* iface_;
    CTarvikClient* client_;

  private:
    plat::Thread* thread_ = nullptr;
};

// Sends a block as the server does; the window's answer, or -1 on failure.
intptr_t Send(plat::WindowHandle window, const std::vector<uint8_t>& block) {
    plat::CopyData data{1, static_cast<uint32_t>(block.size()),
                        block.empty() ? nullptr : block.data()};
    intptr_t result = -1;
    if (!plat::WindowSendCopyData(window, 4242, &data, 5000, &result)) {
        return -1;
    }
    return result;
}

TEST(WindowTransport, EachBlockBecomesOneMarkedRecordOfTheReceiveStream) {
    LocalWindowClient c;
    const plat::WindowHandle w = c.Start();
    ASSERT_NE(w, 0);
    EXPECT_EQ(CClientRegistry::Instance().FindClientByWindow(w), c.client_);

    ASSERT_EQ(Send(w, {0x01, 0x02, 0x03, 0x04, 0x05}), 1);
    EXPECT_TRUE(ClientProbe::DataArrivedEvent(c.client_)->Wait(0));
    const std::vector<uint8_t> five = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                       0x88, 0x15, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(c.TakeStream(), five);

    // An empty block: the marker alone, total length 16.
    ASSERT_EQ(Send(w, {}), 1);
    const std::vector<uint8_t> empty = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                        0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(c.TakeStream(), empty);

    // 300 bytes: the length needs its second byte; two blocks in a row stay
    // two records.
    std::vector<uint8_t> block(300);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(Send(w, block), 1);
    ASSERT_EQ(Send(w, {0xAB}), 1);
    const std::vector<uint8_t> got = c.TakeStream();
    ASSERT_EQ(got.size(), 316u + 17u);
    const uint8_t head300[16] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                 0x3C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(got.data(), head300, 16), 0);
    EXPECT_EQ(std::memcmp(got.data() + 16, block.data(), 300), 0);
    const uint8_t head1[17] = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x11,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAB};
    EXPECT_EQ(std::memcmp(got.data() + 316, head1, 17), 0);

    // A block larger than the stack record takes the heap path; nothing of it
    // stays allocated.
    const int64_t live = testing::LiveBlocks();
    std::vector<uint8_t> large(100000, 0x77);
    ASSERT_EQ(Send(w, large), 1);
    const std::vector<uint8_t> big = c.TakeStream();
    ASSERT_EQ(big.size(), 100016u);
    EXPECT_EQ(big[8] | (big[9] << 8) | (big[10] << 16) | (big[11] << 24), 100016);
    EXPECT_EQ(big[100015], 0x77);
    EXPECT_EQ(testing::LiveBlocks(), live);
}

TEST(WindowTransport, TwoClientsEachReceiveOnlyTheirOwnBlocks) {
    LocalWindowClient a;
    LocalWindowClient b;
    const plat::WindowHandle wa = a.Start();
    const plat::WindowHandle wb = b.Start();
    ASSERT_NE(wa, 0);
    ASSERT_NE(wb, 0);
    ASSERT_NE(wa, wb);
    ASSERT_EQ(Send(wa, {0xA1, 0xA2}), 1);
    ASSERT_EQ(Send(wb, {0xB1, 0xB2, 0xB3}), 1);
    ASSERT_EQ(Send(wa, {0xA3}), 1);
    const std::vector<uint8_t> expectA = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x12,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA1, 0xA2,
                                          0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x11,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA3};
    const std::vector<uint8_t> expectB = {0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                                          0x88, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0xB1, 0xB2, 0xB3};
    EXPECT_EQ(a.TakeStream(), expectA);
    EXPECT_EQ(b.TakeStream(), expectB);
}

TEST(WindowTransport, CloseRequestLeavesTheWindowAndItsThreadAlive) {
    LocalWindowClient c;
    const plat::WindowHandle w = c.Start();
    ASSERT_NE(w, 0);
    ASSERT_TRUE(plat::WindowPostMessage(w, plat::kMsgClose, 0, 0));
    // Once a block sent after the close is answered, the close was handled.
    ASSERT_EQ(Send(w, {0x42}), 1);
    EXPECT_TRUE(plat::WindowIsWindow(w));
    EXPECT_TRUE(c.Running());
    EXPECT_EQ(c.TakeStream().size(), 17u);
}

TEST(WindowTransport, QuitEndsTheThreadWithCodeOneAndDropsTheRegistration) {
    LocalWindowClient c;
    const plat::WindowHandle w = c.Start();
    ASSERT_NE(w, 0);
    EXPECT_EQ(c.Stop(), 1u);
    EXPECT_EQ(CClientRegistry::Instance().FindClientByWindow(w), nullptr);
    EXPECT_FALSE(plat::WindowIsWindow(w));
    EXPECT_TRUE(plat::WindowClassIsKnown(kWindowClassName));
    // The thread leaves its own window member alone; Disconnect clears it.
    EXPECT_EQ(c.Window(), w);

    // The next window of the same client uses the class as it is.
    {
        plat::CLockHold hold(ClientProbe::StateLock(c.client_));
        ClientProbe::OwnWindow(c.client_) = 0;
    }
    const plat::WindowHandle again = c.Start();
    ASSERT_NE(again, 0);
    EXPECT_NE(again, w);
    EXPECT_EQ(Send(again, {0x01}), 1);
    EXPECT_EQ(c.Stop(), 1u);
}

TEST(WindowTransport, BlockForAWindowWithoutRegistryEntryIsRefused) {
    LocalWindowClient c;
    const plat::WindowHandle w = c.Start();
    ASSERT_NE(w, 0);
    ASSERT_TRUE(CClientRegistry::Instance().RegisterClientWindow(w, nullptr));
    EXPECT_EQ(Send(w, {0x01, 0x02}), 0);
    EXPECT_EQ(ClientProbe::ReceiveStream(c.client_).GetLength(), 0);
    EXPECT_FALSE(ClientProbe::DataArrivedEvent(c.client_)->Wait(0));
    // Other messages go to the default procedure and answer 0 as well.
    EXPECT_EQ(LocalClientWindowProc(w, 0x0400, 0, 0), 0);
}

TEST(WindowTransport, BlockThatTheStreamCannotTakeIsRefusedWhole) {
    LocalWindowClient c;
    const plat::WindowHandle w = c.Start();
    ASSERT_NE(w, 0);
    // The call itself allocates nothing before the stream grows: the
    // stream's own growth fails, so neither marker nor block goes in.
    testing::FailNthAllocation(1);
    EXPECT_EQ(Send(w, {0x01, 0x02, 0x03}), 0);
    testing::FailNthAllocation(0);
    EXPECT_EQ(ClientProbe::ReceiveStream(c.client_).GetLength(), 0);
    ASSERT_EQ(Send(w, {0x04}), 1);
    EXPECT_EQ(c.TakeStream().size(), 17u);
}

TEST(ClientRegistry, FindsInsertsReplacesAndRemoves) {
    CClientRegistry& registry = CClientRegistry::Instance();
    const int32_t before = registry.GetCount();
    auto* one = reinterpret_cast<CTarvikClient*>(uintptr_t{0x1000});
    auto* two = reinterpret_cast<CTarvikClient*>(uintptr_t{0x2000});
    // Handles that share a bucket (handle >> 4 modulo 17).
    const plat::WindowHandle h1 = 0x7A000010;
    const plat::WindowHandle h2 = h1 + 17 * 16;
    EXPECT_EQ(registry.FindClientByWindow(h1), nullptr);
    ASSERT_TRUE(registry.RegisterClientWindow(h1, one));
    ASSERT_TRUE(registry.RegisterClientWindow(h2, two));
    EXPECT_EQ(registry.FindClientByWindow(h1), one);
    EXPECT_EQ(registry.FindClientByWindow(h2), two);
    ASSERT_TRUE(registry.RegisterClientWindow(h1, two));  // replaces
    EXPECT_EQ(registry.FindClientByWindow(h1), two);
    EXPECT_EQ(registry.GetCount(), before + 2);
    EXPECT_TRUE(registry.RegisterClientWindow(h1, nullptr));
    EXPECT_TRUE(registry.RegisterClientWindow(h1, nullptr));  // already gone
    EXPECT_EQ(registry.FindClientByWindow(h1), nullptr);
    EXPECT_EQ(registry.FindClientByWindow(h2), two);
    EXPECT_TRUE(registry.RegisterClientWindow(h2, nullptr));
    EXPECT_EQ(registry.GetCount(), before);
    if (before == 0) {
        EXPECT_FALSE(registry.HasTable());  // the last removal released it
    }
}

}  // namespace
}  // namespace tarvik
