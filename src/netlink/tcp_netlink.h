// CTcpNetLink: the network connection object over one TCP connection.
//
// One connection at a time, to the server named by Connect, or to the first
// of two servers that answers (ConnectPair). A reader thread per connection
// takes the server's bytes into a buffer of the object and calls the receive
// handler whenever there are bytes; the handler takes them with GetAvailable
// and Receive. When the server ends the connection, or it breaks, the event
// handler is called once.
//
// Time bounds:
//  - kConnectTimeoutMs: a Connect gives up on a host after 3000 ms, over all
//    of the host's addresses together; ConnectPair spends up to that on each
//    of its two hosts. Resolving a host name takes what the resolver takes
//    (numeric addresses and names of the local hosts file answer at once).
//  - kSendStallMs: a Send goes on writing while the socket takes bytes; when
//    the socket has taken nothing for 100 ms it returns what it has written
//    so far (possibly 0), for the caller to retry the rest.
//
// Shutdown: from then on Connect and ConnectPair return false at once, a
// connect in progress gives up within kWaitSliceMs, and a Send no longer
// waits for the socket (it writes what the socket takes at once). A
// connection that is up stays up: Send, Receive and the handlers go on
// working, and Close and DestroyNetLink work as always. Shutdown is final for
// the object.
//
// Loss of a connection: the reader thread first hands the server's last
// bytes to the receive handler, then calls the event handler. From the
// moment the loss is found, IsConnected answers false on every thread but
// inside the event handler, where it still answers true (so the owner can
// tell that its link was up), even when another thread closes the object
// meanwhile, and false everywhere once the handler returns. Close does not
// call the event handler: the caller knows.
//
// Reasons: a Connect or ConnectPair that fails (not aborted by Close or
// Shutdown) calls the event handler before it returns false, with
// IsConnected false. In both cases the handler finds why as the thread's last
// error: the system's code (refused, unreachable, reset, timed out), or a
// NETLINK_ERR_ code (name not found, closed by the server, a peer whose bytes
// never began this protocol's stream).
//
// Threads: every operation may be called from any thread, Send from several
// at once. The handlers are called on the reader thread without any lock of
// the object held; they may call GetAvailable, Receive, IsConnected, Send
// and Close. Connect and DestroyNetLink must not be called from inside a
// handler (a Connect on another thread waits for the handler to return).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "client/netlink.h"
#include "netlink/socket.h"

namespace tarvik {

class CTcpNetLink final : public INetLink {
  public:
    static constexpr int32_t kConnectTimeoutMs = 3000;
    static constexpr int32_t kSendStallMs = 100;
    // Longest single wait of the connect and reader loops, so that Close and
    // Shutdown are seen promptly even where a socket wait is not woken.
    static constexpr int32_t kWaitSliceMs = 50;
    // The reader stops taking bytes from the socket while this many bytes
    // wait for the receive handler (the sender is slowed down by TCP).
    static constexpr size_t kMaxBuffered = 4u << 20;
    // Bytes one read of the reader thread takes at most.
    static constexpr int32_t kReadChunk = 64 * 1024;

    CTcpNetLink() = default;
    // Closes the connection; must not run on the reader thread.
    ~CTcpNetLink();
    CTcpNetLink(const CTcpNetLink&) = delete;
    CTcpNetLink& operator=(const CTcpNetLink&) = delete;

    void SetOwner(void* owner) override;
    bool Connect(const char* host, uint16_t port) override;
    void Close() override;
    int32_t Reserved3() override { return 0; }
    int32_t Send(const void* bytes, int32_t count) override;
    int32_t Receive(void* buffer, int32_t count) override;
    int32_t Reserved6() override { return 0; }
    void SetReceiveHandler(NetDataCallback handler) override;
    int32_t Reserved8() override { return 0; }
    void SetEventHandler(NetEventCallback handler) override;
    bool IsConnected() override;
    int32_t GetAvailable() override;
    int32_t Reserved12() override { return 0; }
    int32_t Reserved13() override { return 0; }
    bool ConnectPair(const char* host, uint16_t port, const char* backupHost,
                     uint16_t backupPort) override;
    void Shutdown() override;

  private:
    // Opens a connection to one host, or returns kInvalid: on failure, at
    // the deadline, at Shutdown, or when Close runs meanwhile (epoch changes).
    // *error: why it failed (0: aborted).
    netsock::Handle Dial(const char* host, uint16_t port, uint64_t epoch, int32_t* error);
    // Connect and ConnectPair: the first host that answers, the backup only
    // when withBackup.
    bool ConnectFirst(const char* host, uint16_t port, bool withBackup, const char* backupHost,
                      uint16_t backupPort);
    // Dial, then install the connection and start its reader.
    bool ConnectOne(const char* host, uint16_t port, uint64_t epoch, int32_t* error);
    // Tells the owner why a connect failed: the event handler with the
    // reason as the thread's last error, unless the attempt was aborted.
    void ReportFailure(uint64_t epoch, int32_t error);
    bool Aborted(uint64_t epoch) const;
    // Under mutex_: the connection is up for the calling thread.
    bool UpLocked() const;
    // Joins finished reader threads other than the calling one.
    void JoinRetired();
    void ReaderMain(netsock::Handle socket, uint64_t generation);
    void ReaderLoop(netsock::Handle socket, uint64_t generation);
    // Calls the receive handler if bytes wait and the connection is current.
    void DeliverData(uint64_t generation);
    // Calls the event handler with the reason as the thread's last error.
    void ReportLoss(uint64_t generation, int32_t reason);

    // Serialises Connect and ConnectPair.
    std::mutex connectMutex_;
    // Serialises Send; Close takes it before it closes the socket, so no
    // write ever reaches a closed (and maybe reused) descriptor.
    std::mutex sendMutex_;
    // Guards everything below.
    std::mutex mutex_;
    std::condition_variable consumed_;  // bytes taken, or the connection ended
    void* owner_ = nullptr;
    NetDataCallback dataHandler_ = nullptr;
    NetEventCallback eventHandler_ = nullptr;
    netsock::Handle socket_ = netsock::kInvalid;
    // Advances with every connection and every Close: a reader thread only
    // acts while its generation is the current one.
    uint64_t generation_ = 0;
    bool connected_ = false;
    // The generation whose loss the reader thread lossReporter_ is reporting
    // through the event handler (0: none).
    uint64_t lostGeneration_ = 0;
    std::thread::id lossReporter_;
    std::thread reader_;
    // Reader threads that Close, called on the reader thread itself, could
    // not join; the next Connect, Close or the destructor joins them.
    std::vector<std::thread> retired_;
    // The server's bytes not yet taken with Receive: rx_[rxHead_, end).
    std::vector<uint8_t> rx_;
    size_t rxHead_ = 0;

    std::atomic<uint64_t> closeEpoch_{0};
    std::atomic<bool> shutdown_{false};
};

}  // namespace tarvik
