// The TCP network connection object and the component's two functions.
#include "netlink/tcp_netlink.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

#include "platform/inject.h"

namespace tarvik {
namespace {

using Clock = std::chrono::steady_clock;

int32_t MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int32_t>(std::min<int64_t>(left, 1 << 30));
}

// A resolver answer longer than this is cut: the first addresses are the
// ones worth trying within the connect time-out.
constexpr int32_t kMaxAddresses = 8;

// The stream marker's signature: eight bytes of 0x88 (MARKER_SIGNATURE twice).
constexpr uint8_t kSignatureByte = 0x88;
constexpr int kSignatureLength = 8;

}  // namespace

CTcpNetLink::~CTcpNetLink() {
    Close();
    std::vector<std::thread> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(retired_);
    }
    for (std::thread& t : left) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();  // destroyed from inside a handler: nothing better is safe
        } else {
            t.join();
        }
    }
}

void CTcpNetLink::SetOwner(void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    owner_ = owner;
}

void CTcpNetLink::SetReceiveHandler(NetDataCallback handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    dataHandler_ = handler;
}

void CTcpNetLink::SetEventHandler(NetEventCallback handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    eventHandler_ = handler;
}

// ---- Connecting ---------------------------------------------------------------

bool CTcpNetLink::Connect(const char* host, uint16_t port) {
    return ConnectFirst(host, port, false, nullptr, 0);
}

bool CTcpNetLink::ConnectPair(const char* host, uint16_t port, const char* backupHost,
                              uint16_t backupPort) {
    return ConnectFirst(host, port, true, backupHost, backupPort);
}

bool CTcpNetLink::ConnectFirst(const char* host, uint16_t port, bool withBackup,
                               const char* backupHost, uint16_t backupPort) {
    try {
        if (shutdown_.load()) {
            return false;
        }
        std::lock_guard<std::mutex> serial(connectMutex_);
        Close();
        const uint64_t epoch = closeEpoch_.load();
        int32_t error = 0;
        int32_t backupError = 0;
        if (ConnectOne(host, port, epoch, &error) ||
            (withBackup && ConnectOne(backupHost, backupPort, epoch, &backupError))) {
            return true;
        }
        // The primary's reason: the backup's is the same more often than not.
        ReportFailure(epoch, error != 0 ? error : backupError);
        return false;
    } catch (...) {
        return false;
    }
}

void CTcpNetLink::ReportFailure(uint64_t epoch, int32_t error) {
    NetEventCallback handler = nullptr;
    void* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error == 0 || Aborted(epoch)) {
            return;  // closed or shut down meanwhile: not the server's doing
        }
        handler = eventHandler_;
        owner = owner_;
    }
    if (handler != nullptr) {
        netsock::SetThreadError(error);
        handler(this, owner);
    }
}

bool CTcpNetLink::Aborted(uint64_t epoch) const {
    return shutdown_.load() || closeEpoch_.load() != epoch;
}

netsock::Handle CTcpNetLink::Dial(const char* host, uint16_t port, uint64_t epoch, int32_t* error) {
    if (host == nullptr || host[0] == '\0' || port == 0) {
        *error = netsock::BadAddressError();
        return netsock::kInvalid;
    }
    if (!netsock::Startup()) {
        *error = netsock::LastError();
        return netsock::kInvalid;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    std::unique_ptr<netsock::Address[]> addresses(new netsock::Address[kMaxAddresses]);
    const int32_t n = netsock::Resolve(host, port, addresses.get(), kMaxAddresses);
    if (n <= 0) {
        *error = netsock::LastError();
        return netsock::kInvalid;
    }
    // The reason of the last address tried, which is the one a user most
    // likely asked for when a name has a single address.
    for (int32_t i = 0; i < n && !Aborted(epoch); ++i) {
        if (MsUntil(deadline) <= 0) {
            *error = netsock::TimedOutError();
            break;
        }
        const netsock::Handle s = netsock::Open(addresses[i]);
        if (s == netsock::kInvalid) {
            *error = netsock::LastError();
            continue;
        }
        int32_t result = netsock::StartConnect(s, addresses[i]);
        if (result < 0) {
            *error = netsock::LastError();
        }
        while (result == 0) {
            const int32_t left = MsUntil(deadline);
            if (left <= 0 || Aborted(epoch)) {
                *error = netsock::TimedOutError();
                result = -1;
                break;
            }
            const int32_t w = netsock::WaitWritable(s, std::min(left, kWaitSliceMs));
            if (w < 0) {
                *error = netsock::LastError();
                result = -1;
            } else if (w > 0) {
                result = netsock::ConnectResult(s) ? 1 : -1;
                if (result < 0) {
                    *error = netsock::LastError();
                }
            }
        }
        if (result == 1 && !Aborted(epoch)) {
            netsock::SetNoDelay(s);  // a link without it still works, only slower
            return s;
        }
        netsock::CloseSocket(s);
    }
    return netsock::kInvalid;
}

bool CTcpNetLink::ConnectOne(const char* host, uint16_t port, uint64_t epoch, int32_t* error) {
    const netsock::Handle s = Dial(host, port, epoch, error);
    if (s == netsock::kInvalid) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (Aborted(epoch)) {
        netsock::CloseSocket(s);
        return false;
    }
    const uint64_t generation = ++generation_;
    rx_.clear();
    rxHead_ = 0;
    try {
        // The reader's first step takes mutex_, so it waits until the
        // connection is installed below.
        if (inject::Fail(inject::kThread)) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        reader_ = std::thread(&CTcpNetLink::ReaderMain, this, s, generation);
    } catch (...) {
        ++generation_;
        netsock::CloseSocket(s);
        return false;
    }
    socket_ = s;
    connected_ = true;
    return true;
}

// ---- Closing ------------------------------------------------------------------------

void CTcpNetLink::Close() {
    try {
        std::thread reader;
        netsock::Handle socket = netsock::kInvalid;
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closeEpoch_.fetch_add(1);
            generation = ++generation_;
            connected_ = false;
            socket = socket_;
            socket_ = netsock::kInvalid;
            // Wakes the reader and any Send waiting on the socket; the handle
            // itself stays valid until both have left it.
            netsock::ShutdownBoth(socket);
            reader = std::move(reader_);
        }
        consumed_.notify_all();
        { std::lock_guard<std::mutex> senders(sendMutex_); }
        if (reader.joinable()) {
            if (reader.get_id() == std::this_thread::get_id()) {
                // Close from inside a handler: the reader ends when the
                // handler returns, and is joined later.
                std::lock_guard<std::mutex> lock(mutex_);
                try {
                    retired_.push_back(std::move(reader));
                } catch (...) {
                    reader.detach();  // no memory to remember it: let it end alone
                }
            } else {
                reader.join();
            }
        }
        JoinRetired();
        netsock::CloseSocket(socket);
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation_ == generation) {
            rx_.clear();
            rx_.shrink_to_fit();
            rxHead_ = 0;
        }
    } catch (...) {
        // Only the thread calls can throw, and only on a broken system.
    }
}

void CTcpNetLink::JoinRetired() {
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (it->get_id() != std::this_thread::get_id()) {
                done.push_back(std::move(*it));
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (std::thread& t : done) {
        t.join();
    }
}

void CTcpNetLink::Shutdown() {
    shutdown_.store(true);
    consumed_.notify_all();
}

// ---- State ----------------------------------------------------------------------------

bool CTcpNetLink::UpLocked() const {
    // Inside the event handler the lost connection still counts as up, even
    // when another thread has closed the object meanwhile: the handler's
    // test of the link and the loss it reports are one step, so no loss goes
    // unreported because discovery on another thread was quicker.
    if (lostGeneration_ != 0 && lossReporter_ == std::this_thread::get_id()) {
        return true;
    }
    return connected_ && lostGeneration_ != generation_;
}

bool CTcpNetLink::IsConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return UpLocked();
}

int32_t CTcpNetLink::GetAvailable() {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = rx_.size() - rxHead_;
    return static_cast<int32_t>(std::min<size_t>(n, std::numeric_limits<int32_t>::max()));
}

// ---- Sending and receiving ----------------------------------------------------------

int32_t CTcpNetLink::Send(const void* bytes, int32_t count) {
    if (count < 0 || (bytes == nullptr && count > 0)) {
        return -1;
    }
    try {
        std::lock_guard<std::mutex> serial(sendMutex_);
        netsock::Handle s = netsock::kInvalid;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!connected_ || lostGeneration_ == generation_) {
                return -1;  // a lost connection takes no more bytes
            }
            s = socket_;
        }
        const auto* p = static_cast<const uint8_t*>(bytes);
        int32_t sent = 0;
        Clock::time_point stallEnd = Clock::now() + std::chrono::milliseconds(kSendStallMs);
        while (sent < count) {
            const int32_t r = netsock::SendSome(s, p + sent, count - sent);
            if (r > 0) {
                sent += r;
                stallEnd = Clock::now() + std::chrono::milliseconds(kSendStallMs);
                continue;
            }
            if (r != netsock::kWouldBlock) {
                return -1;
            }
            const int32_t left = MsUntil(stallEnd);
            if (left <= 0 || shutdown_.load()) {
                break;
            }
            if (netsock::WaitWritable(s, std::min(left, kWaitSliceMs)) < 0) {
                return -1;
            }
        }
        return sent;
    } catch (...) {
        return -1;
    }
}

int32_t CTcpNetLink::Receive(void* buffer, int32_t count) {
    if (buffer == nullptr || count <= 0) {
        return 0;
    }
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        n = std::min(static_cast<size_t>(count), rx_.size() - rxHead_);
        if (n > 0) {
            std::memcpy(buffer, rx_.data() + rxHead_, n);
            rxHead_ += n;
        }
        if (rxHead_ == rx_.size()) {
            rx_.clear();
            rxHead_ = 0;
        }
    }
    consumed_.notify_all();
    if (n < static_cast<size_t>(count)) {
        // Asked for more than there is: the rest is defined, not stale memory.
        std::memset(static_cast<uint8_t*>(buffer) + n, 0, static_cast<size_t>(count) - n);
    }
    return static_cast<int32_t>(n);
}

// ---- The reader thread ----------------------------------------------------------------

void CTcpNetLink::ReaderMain(netsock::Handle socket, uint64_t generation) {
    try {
        ReaderLoop(socket, generation);
    } catch (...) {
        // Only the locks can throw, and only on a broken system; the thread
        // ends and the next Close joins it.
    }
}

void CTcpNetLink::ReaderLoop(netsock::Handle socket, uint64_t generation) {
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kReadChunk]);
    bool lost = chunk == nullptr;
    int32_t reason = NETLINK_ERR_PEER_CLOSED;
    // Whether the peer speaks this protocol: every message of the server's
    // stream starts with a marker record, whose first eight bytes are the
    // signature. Only a text for the owner, never a reason to drop bytes.
    bool received = false;
    bool spoke = false;
    int signatureRun = 0;
    while (!lost) {
        bool room = true;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (generation != generation_) {
                return;
            }
            room = rx_.size() - rxHead_ < kMaxBuffered;
            if (!room) {
                // The handler is behind: give it time, and leave the bytes in
                // the socket meanwhile.
                consumed_.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
            }
        }
        if (!room) {
            DeliverData(generation);
            continue;
        }
        const int32_t w = netsock::WaitReadable(socket, kWaitSliceMs);
        if (w < 0) {
            reason = netsock::LastError();
            lost = true;
            break;
        }
        if (w == 0) {
            DeliverData(generation);  // bytes a handler left behind
            continue;
        }
        const int32_t r = netsock::RecvSome(socket, chunk.get(), kReadChunk);
        if (r == netsock::kWouldBlock) {
            continue;
        }
        if (r <= 0) {
            if (r < 0) {
                reason = netsock::LastError();
            }
            lost = true;
            break;
        }
        received = true;
        for (int32_t i = 0; i < r && !spoke; ++i) {
            signatureRun = chunk[static_cast<size_t>(i)] == kSignatureByte ? signatureRun + 1 : 0;
            spoke = signatureRun >= kSignatureLength;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (generation != generation_) {
                return;
            }
            try {
                if (rxHead_ > 0 && rxHead_ >= rx_.size() / 2) {
                    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
                    rxHead_ = 0;
                }
                rx_.insert(rx_.end(), chunk.get(), chunk.get() + r);
            } catch (...) {
                // Dropping bytes would corrupt the stream: treat the
                // connection as broken instead.
                lost = true;
            }
        }
        DeliverData(generation);
    }
    DeliverData(generation);
    ReportLoss(generation, received && !spoke ? NETLINK_ERR_NOT_THIS_PROTOCOL : reason);
}

void CTcpNetLink::DeliverData(uint64_t generation) {
    NetDataCallback handler = nullptr;
    void* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation != generation_ || rx_.size() == rxHead_) {
            return;
        }
        handler = dataHandler_;
        owner = owner_;
    }
    if (handler != nullptr) {
        handler(this, owner);
    }
}

void CTcpNetLink::ReportLoss(uint64_t generation, int32_t reason) {
    NetEventCallback handler = nullptr;
    void* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation != generation_ || !connected_) {
            return;  // closed meanwhile: the closer knows
        }
        lostGeneration_ = generation;
        lossReporter_ = std::this_thread::get_id();
        handler = eventHandler_;
        owner = owner_;
    }
    if (handler != nullptr) {
        netsock::SetThreadError(reason);
        handler(this, owner);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation == generation_) {
        connected_ = false;
    }
    if (lostGeneration_ == generation) {
        lostGeneration_ = 0;
        lossReporter_ = std::thread::id();
    }
}

}  // namespace tarvik

// ---- The component's functions --------------------------------------------------------

tarvik::INetLink* NETLINK_CALL CreateNetLink() {
    return new (std::nothrow) tarvik::CTcpNetLink();
}

void NETLINK_CALL DestroyNetLink(tarvik::INetLink* link) {
    delete static_cast<tarvik::CTcpNetLink*>(link);
}
