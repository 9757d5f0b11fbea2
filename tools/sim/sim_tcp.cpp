// CSimServer: the TCP transport. A listener thread accepts connections and
// one reader thread per connection cuts records out of its stream; probes are
// answered here, messages go to Process, and replies are written under the
// connection's own lock.
#include "sim/sim_server.h"

#include <algorithm>

#include "sim/sim_internal.h"

namespace tarvik {
namespace sim {

namespace {

constexpr int32_t kWriteTimeoutMs = 5000;
constexpr int32_t kPollMs = 100;

}  // namespace

bool CSimServer::StartTcp(std::string* error) {
    uint16_t bound = 0;
    const netsock::Handle l = netsock::Listen(options_.bindAddress.c_str(), options_.port, &bound);
    if (l == netsock::kInvalid) {
        const int32_t code = netsock::LastError();
        if (error != nullptr) {
            *error = "cannot listen on " + options_.bindAddress + ":" +
                     std::to_string(options_.port) + ": " + netsock::ErrorText(code);
        }
        return false;
    }
    listener_ = l;
    port_ = bound;
    listenerThread_ = plat::ThreadCreate(&CSimServer::ListenerProc, this, nullptr);
    if (listenerThread_ == nullptr) {
        netsock::CloseSocket(listener_);
        listener_ = netsock::kInvalid;
        if (error != nullptr) {
            *error = "cannot start the listener thread";
        }
        return false;
    }
    return true;
}

void CSimServer::StopTcp() {
    if (listenerThread_ != nullptr) {
        plat::ThreadWait(listenerThread_, -1);
        plat::ThreadClose(listenerThread_);
        listenerThread_ = nullptr;
    }
    if (listener_ != netsock::kInvalid) {
        netsock::CloseSocket(listener_);
        listener_ = netsock::kInvalid;
    }
    std::vector<std::unique_ptr<Connection>> connections;
    {
        plat::CLockHold hold(lock_);
        connections.swap(connections_);
    }
    for (auto& c : connections) {
        netsock::ShutdownBoth(c->socket);
    }
    for (auto& c : connections) {
        if (c->thread != nullptr) {
            plat::ThreadWait(c->thread, -1);
            plat::ThreadClose(c->thread);
        }
        netsock::CloseSocket(c->socket);
    }
}

void CSimServer::StopListening() {
    stopListening_ = true;
    for (int i = 0; i < 1000; ++i) {
        {
            plat::CLockHold hold(lock_);
            if (listener_ == netsock::kInvalid) {
                return;
            }
        }
        plat::SleepMs(5);
    }
}

uint32_t CSimServer::ListenerProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    while (!self->stopping_) {
        // Reap connections whose reader has ended.
        {
            plat::CLockHold hold(self->lock_);
            auto& cs = self->connections_;
            for (auto it = cs.begin(); it != cs.end();) {
                Connection* c = it->get();
                if (c->closed && (c->thread == nullptr || plat::ThreadWait(c->thread, 0))) {
                    if (c->thread != nullptr) {
                        plat::ThreadClose(c->thread);
                    }
                    netsock::CloseSocket(c->socket);
                    it = cs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (self->stopListening_ && self->listener_ != netsock::kInvalid) {
            plat::CLockHold hold(self->lock_);
            netsock::CloseSocket(self->listener_);
            self->listener_ = netsock::kInvalid;
        }
        if (self->listener_ == netsock::kInvalid) {
            plat::SleepMs(kPollMs);
            continue;
        }
        if (netsock::WaitReadable(self->listener_, kPollMs) != 1) {
            continue;
        }
        const netsock::Handle s = netsock::Accept(self->listener_);
        if (s == netsock::kInvalid) {
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->server = self;
        c->socket = s;
        plat::CLockHold hold(self->lock_);
        if (self->stopping_) {
            netsock::CloseSocket(s);
            break;
        }
        c->id = self->nextConnection_++;
        Connection* raw = c.get();
        self->connections_.push_back(std::move(c));
        raw->thread = plat::ThreadCreate(&CSimServer::ReaderProc, raw, nullptr);
        if (raw->thread == nullptr) {
            raw->closed = true;
        }
        self->Log("connection " + std::to_string(raw->id) + " opened");
    }
    return 0;
}

uint32_t CSimServer::ReaderProc(void* arg) {
    auto* c = static_cast<Connection*>(arg);
    CSimServer* self = c->server;
    std::vector<uint8_t> buffer(65536);
    while (!self->stopping_) {
        const int32_t r = netsock::WaitReadable(c->socket, kPollMs);
        if (r < 0) {
            break;
        }
        if (r == 0) {
            continue;
        }
        const int32_t n =
            netsock::RecvSome(c->socket, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (n == netsock::kWouldBlock) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        c->assembler.AssembleMessages(buffer.data(), n, *c);
    }
    plat::CLockHold hold(self->lock_);
    c->closed = true;
    self->DropSessionsOf(c->id);
    self->Log("connection " + std::to_string(c->id) + " closed");
    return 0;
}

void CSimServer::OnTcpRecord(Connection* c, const uint8_t* record, int32_t totalLength) {
    const int32_t kind = LoadI32(record + 12);
    Outgoing out;
    if (kind == MARKER_PROBE) {
        plat::CLockHold hold(lock_);
        ReceivedMessage m;
        m.transport = Transport::Tcp;
        m.connection = c->id;
        m.tick = plat::TickCount();
        m.probe = true;
        m.valid = true;
        Record(std::move(m));
        if (c->probesOutstanding > 0) {
            // The answer to a probe of ours: answering it would ping-pong.
            --c->probesOutstanding;
            ++c->probesReturned;
            return;
        }
        if (silent_) {
            return;
        }
        uint8_t probe[kProbeLength] = {};
        WriteMarker(probe, kProbeLength, MARKER_PROBE);
        plat::CLockHold write(c->writeLock);
        netsock::SendAll(c->socket, probe, kProbeLength, kWriteTimeoutMs);
        return;
    }
    if (kind != MARKER_MESSAGE) {
        return;  // other kinds are skipped whole
    }
    const uint8_t* msg = record + kMarkerSize;
    const size_t length = static_cast<size_t>(totalLength) - kMarkerSize;
    {
        plat::CLockHold hold(lock_);
        ReceivedMessage m;
        m.transport = Transport::Tcp;
        m.connection = c->id;
        m.tick = plat::TickCount();
        m.valid = IsValidMessage(msg, length);
        m.bytes.assign(msg, msg + length);
        if (length >= kHeaderSize) {
            m.header = ReadHeader(msg);
        }
        Record(std::move(m));
        out = Process(msg, length, Transport::Tcp, c->id);
    }
    SendTcp(c, out);
}

void CSimServer::SendTcp(Connection* c, const Outgoing& out) {
    if (!out.answer) {
        return;
    }
    plat::CLockHold write(c->writeLock);
    if (out.drop) {
        netsock::ShutdownBoth(c->socket);
        return;
    }
    const size_t tail = out.tail ? out.tail->size() : 0;
    uint8_t marker[kMarkerSize];
    WriteMarker(marker, static_cast<int32_t>(kMarkerSize + out.message.size() + tail),
                MARKER_MESSAGE);
    bool ok = true;
    if (!out.prefix.empty()) {
        ok = netsock::SendAll(c->socket, out.prefix.data(), static_cast<int32_t>(out.prefix.size()),
                              kWriteTimeoutMs);
    }
    // Marker and message go out in one send (one segment for a small reply,
    // as a server sends it); a kept directory follows from where it is kept.
    std::vector<uint8_t> framed(marker, marker + kMarkerSize);
    framed.insert(framed.end(), out.message.begin(), out.message.end());
    if (out.fragments.empty() && out.cutAfter == 0) {
        ok = ok &&
             netsock::SendAll(c->socket, framed.data(), static_cast<int32_t>(framed.size()),
                              kWriteTimeoutMs) &&
             (tail == 0 || netsock::SendAll(c->socket, out.tail->data(), static_cast<int32_t>(tail),
                                            kWriteTimeoutMs));
        if (!ok) {
            netsock::ShutdownBoth(c->socket);
        }
        return;
    }
    if (tail > 0) {
        framed.insert(framed.end(), out.tail->begin(), out.tail->end());
    }
    if (out.cutAfter > 0) {
        // Part of the reply, then the connection goes.
        netsock::SendAll(c->socket, framed.data(),
                         static_cast<int32_t>(std::min(out.cutAfter, framed.size())),
                         kWriteTimeoutMs);
        netsock::ShutdownBoth(c->socket);
        return;
    }
    size_t done = 0;
    for (size_t piece : out.fragments) {
        if (!ok || done >= framed.size()) {
            break;
        }
        const size_t n = std::min(piece, framed.size() - done);
        ok = netsock::SendAll(c->socket, framed.data() + done, static_cast<int32_t>(n),
                              kWriteTimeoutMs);
        done += n;
        plat::SleepMs(out.pauseMs);
    }
    if (ok && done < framed.size()) {
        ok = netsock::SendAll(c->socket, framed.data() + done,
                              static_cast<int32_t>(framed.size() - done), kWriteTimeoutMs);
    }
    if (!ok) {
        netsock::ShutdownBoth(c->socket);
    }
}

std::vector<int> CSimServer::Connections() const {
    plat::CLockHold hold(lock_);
    std::vector<int> ids;
    for (const auto& c : connections_) {
        if (!c->closed) {
            ids.push_back(c->id);
        }
    }
    return ids;
}

int CSimServer::ConnectionOfClient(int16_t clientId) const {
    plat::CLockHold hold(lock_);
    auto it = sessions_.find(clientId);
    if (it == sessions_.end() || it->second.transport != Transport::Tcp) {
        return -1;
    }
    return it->second.connection;
}

bool CSimServer::DropConnection(int connection) {
    plat::CLockHold hold(lock_);
    for (const auto& c : connections_) {
        if (c->id == connection && !c->closed) {
            netsock::ShutdownBoth(c->socket);
            DropSessionsOf(c->id);  // forgotten now, not when its reader sees the end
            return true;
        }
    }
    return false;
}

int CSimServer::DropAllConnections() {
    plat::CLockHold hold(lock_);
    int n = 0;
    for (const auto& c : connections_) {
        if (!c->closed) {
            netsock::ShutdownBoth(c->socket);
            DropSessionsOf(c->id);  // forgotten now, not when its reader sees the end
            ++n;
        }
    }
    return n;
}

bool CSimServer::SendProbe(int connection, uint32_t timeoutMs) {
    int before = 0;
    {
        plat::CLockHold hold(lock_);
        Connection* c = nullptr;
        for (const auto& cc : connections_) {
            if (cc->id == connection && !cc->closed) {
                c = cc.get();
            }
        }
        if (c == nullptr) {
            return false;
        }
        before = c->probesReturned;
        ++c->probesOutstanding;
        uint8_t probe[kProbeLength] = {};
        WriteMarker(probe, kProbeLength, MARKER_PROBE);
        plat::CLockHold write(c->writeLock);
        if (!netsock::SendAll(c->socket, probe, kProbeLength, kWriteTimeoutMs)) {
            --c->probesOutstanding;
            return false;
        }
    }
    const uint32_t start = plat::TickCount();
    for (;;) {
        {
            plat::CLockHold hold(lock_);
            for (const auto& c : connections_) {
                if (c->id == connection && c->probesReturned > before) {
                    return true;
                }
            }
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            // Late answers must not be taken for the client's own probes.
            plat::CLockHold hold(lock_);
            for (const auto& c : connections_) {
                if (c->id == connection && c->probesOutstanding > 0) {
                    --c->probesOutstanding;
                }
            }
            return false;
        }
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

}  // namespace sim
}  // namespace tarvik
