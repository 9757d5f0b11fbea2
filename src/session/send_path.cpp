// Sending messages and finding the server.
//
// SendFrame is the one way out, whatever the transport. A failed send is the
// client's main sign of a broken link, so the send path takes the link down
// and reports CONN_BROKEN itself. Discovery runs on the session thread while
// the link is down: locally it looks the server's window up in the shared
// registry, remotely it asks the network component to connect again.
#include <cstring>

#include "client/allocator.h"
#include "client/client.h"
#include "session/message.h"

namespace tarvik {
namespace {

constexpr int32_t kRemoteWriteTries = 3;
constexpr uint32_t kRemoteRetryPauseMs = 100;
constexpr int32_t kRegistryLockMs = 10000;

constexpr int32_t kMaxEntriesScanned = 60;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Case-insensitive comparison of name with an entry's name slot, which need
// not be terminated within its 24 bytes.
bool SameName(const char* name, const uint8_t* slot) {
    size_t i = 0;
    for (; i < registry::kNameSize; ++i) {
        const char a = name[i];
        const char b = static_cast<char>(slot[i]);
        if (Upper(a) != Upper(b)) {
            return false;
        }
        if (a == '\0') {
            return true;
        }
    }
    return name[i] == '\0';
}

}  // namespace

bool CTarvikClient::SendAwaitingReply(uint8_t* message, size_t size) {
    session_.AwaitReply(plat::TickCount(), ReadHeader(message).sequence);
    const bool sent = SendFrame(message, size);
    MemFree(message);
    if (sent) {
        session_.SendDone(plat::TickCount());
    } else {
        session_.SendFailed();
    }
    return sent;
}

bool CTarvikClient::SendFrame(uint8_t* message, size_t size) {
    if (!IsLinkUp()) {
        return false;
    }
    switch (GetLinkMode()) {
        case MODE_LOCAL:
            if (SendLocal(message, size)) {
                return true;
            }
            DropLocalLink();
            return false;
        case MODE_REMOTE:
            if (SendRemote(message, size)) {
                return true;
            }
            DropRemoteLink();
            return false;
        default:
            return false;
    }
}

void CTarvikClient::DropLocalLink() {
    {
        plat::CLockHold hold(stateLock_);
        serverWindow_ = 0;
    }
    PostStateChange(CONN_BROKEN);
}

void CTarvikClient::DropRemoteLink() {
    INetLink* link = nullptr;
    bool connected = false;
    {
        plat::CLockHold hold(stateLock_);
        link = netLink_;
        connected = link != nullptr && link->IsConnected();
    }
    // Only a link that still reports itself up is closed and reported, so a
    // loss is reported once whoever notices it first.
    if (connected) {
        link->Close();
        PostStateChange(CONN_BROKEN);
    }
}

bool CTarvikClient::SendLocal(uint8_t* message, size_t size) {
    WindowHandle own = 0;
    WindowHandle server = 0;
    {
        plat::CLockHold hold(stateLock_);
        own = ownWindow_;
        server = serverWindow_;
    }
    if (own == 0 || server == 0 || !plat::WindowIsWindow(own) || !plat::WindowIsWindow(server)) {
        return false;
    }
    if (size < kHeaderSize || size > UINT32_MAX) {
        return false;
    }
    // The server answers to the window named in senderWindow.
    StoreI32(message + hdr::kRouteWindow, LoadI32(message + hdr::kSenderWindow));
    StoreI32(message + hdr::kSenderWindow, own);
    plat::CopyData data{1, static_cast<uint32_t>(size), message};
    const int32_t timeout = GetRequestTimeout();
    intptr_t answer = 0;
    const bool sent = plat::WindowSendCopyData(
        server, static_cast<uintptr_t>(static_cast<uint16_t>(LoadI16(message + hdr::kMagic))),
        &data, timeout > 0 ? static_cast<uint32_t>(timeout) : 0u, &answer);
    return sent && answer != 0;
}

bool CTarvikClient::SendRemote(const uint8_t* message, size_t size) {
    INetLink* link = nullptr;
    {
        plat::CLockHold hold(stateLock_);
        link = netLink_;
        if (link == nullptr || !link->IsConnected()) {
            return false;
        }
    }
    const bool probe = message == nullptr;
    const size_t body = probe ? 4 : size;
    if (body > static_cast<size_t>(INT32_MAX) - kMarkerSize) {
        return false;
    }
    const size_t total = body + kMarkerSize;
    auto* framed = static_cast<uint8_t*>(MemAlloc(total));
    if (framed == nullptr) {
        return false;
    }
    WriteMarker(framed, static_cast<int32_t>(total), probe ? MARKER_PROBE : MARKER_MESSAGE);
    if (probe) {
        std::memset(framed + kMarkerSize, 0, 4);
    } else {
        std::memcpy(framed + kMarkerSize, message, size);
    }
    plat::CLockHold sending(sendLock_);
    bool ok = false;
    size_t written = 0;
    for (int32_t attempt = 0; attempt < kRemoteWriteTries; ++attempt) {
        const int32_t n = link->Send(framed + written, static_cast<int32_t>(total - written));
        if (n < 0) {
            break;
        }
        written +=
            static_cast<size_t>(n) < total - written ? static_cast<size_t>(n) : total - written;
        if (written == total) {
            ok = true;
            break;
        }
        plat::SleepMs(kRemoteRetryPauseMs);
    }
    MemFree(framed);
    return ok;
}

bool CTarvikClient::FindServer() {
    if (IsLinkUp()) {
        return true;
    }
    switch (GetLinkMode()) {
        case MODE_LOCAL:
            return FindLocalServer();
        case MODE_REMOTE:
            return ReconnectRemote();
        default:
            return false;
    }
}

bool CTarvikClient::FindLocalServer() {
    WindowHandle previous = 0;
    WindowHandle own = 0;
    {
        plat::CLockHold hold(stateLock_);
        previous = serverWindow_;
        own = ownWindow_;
        serverWindow_ = 0;
    }
    if (previous != 0) {
        PostStateChange(CONN_BROKEN);  // the old server window is gone
    }
    if (own == 0 || !plat::WindowIsWindow(own)) {
        return false;
    }
    const WindowHandle found = LookupServerWindow("db");
    if (found == 0 || !plat::WindowIsWindow(found)) {
        return false;
    }
    plat::CLockHold hold(stateLock_);
    serverWindow_ = found;
    return true;
}

WindowHandle CTarvikClient::LookupServerWindow(const char* name) {
    if (!registry_.Complete()) {
        // What construction could not open (a failure of the moment) is
        // tried again here, or this client would never find a server.
        registry_.Close();
        registry_.Open();
    }
    plat::NamedMutex* mutex = registry_.mutex();
    if (mutex == nullptr || !plat::NamedMutexLock(mutex, kRegistryLockMs)) {
        return 0;
    }
    WindowHandle found = 0;
    const uint8_t* view = registry_.view();
    const size_t size = registry_.size();
    if (view != nullptr && size >= 4) {
        int32_t n = registry::EntryCount(view);
        n = n < 0 ? 0 : (n > kMaxEntriesScanned ? kMaxEntriesScanned : n);
        for (int32_t i = 0; i < n; ++i) {
            const size_t at = registry::EntryOffset(i);
            if (at + registry::kEntrySize > size) {
                break;  // never past the end of the mapping
            }
            const uint8_t* entry = view + at;
            if (registry::EntryKind(entry) != registry::kKindServer) {
                continue;
            }
            if (SameName(name, registry::EntryName(entry))) {
                found = registry::EntryWindow(entry);
                break;
            }
        }
    }
    plat::NamedMutexUnlock(mutex);
    return found;
}

bool CTarvikClient::ReconnectRemote() {
    INetLink* link = nullptr;
    char host[255];
    char backup[255];
    int32_t port = 0;
    int32_t backupPort = 0;
    {
        plat::CLockHold hold(stateLock_);
        link = netLink_;
        std::memcpy(host, primaryHost_, sizeof host);
        std::memcpy(backup, backupHost_, sizeof backup);
        port = primaryPort_;
        backupPort = backupPort_;
    }
    if (link == nullptr) {
        return false;
    }
    // The component object lives until Disconnect, which stops this thread
    // before destroying it, so it is used here without the state lock.
    if (backup[0] == '\0') {
        return link->Connect(host, static_cast<uint16_t>(port));
    }
    return link->ConnectPair(host, static_cast<uint16_t>(port), backup,
                             static_cast<uint16_t>(backupPort));
}

void CTarvikClient::WaitWhileRunning(int32_t which, uint32_t milliseconds) {
    if (which != 0 && which != 1) {
        return;
    }
    const uint32_t start = plat::TickCount();
    for (;;) {
        {
            plat::CLockHold hold(stateLock_);
            if (!(which == 0 ? notifyRunning_ : sessionRunning_)) {
                return;
            }
        }
        plat::SleepMs(1);
        const uint32_t now = plat::TickCount();
        if (now < start || now - start >= milliseconds) {
            return;
        }
    }
}

}  // namespace tarvik
