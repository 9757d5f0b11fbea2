// CSimServer: the log of received messages, which tests read and wait on.
#include "sim/sim_server.h"

#include <algorithm>

namespace tarvik {
namespace sim {

namespace {

const char* TransportName(Transport t) {
    return t == Transport::Tcp ? "tcp" : "local";
}

}  // namespace

// ---- Log of received messages -----------------------------------------------------

void CSimServer::Record(ReceivedMessage m) {
    m.index = logNext_++;
    if (options_.log) {
        std::string line = std::string("recv ") + TransportName(m.transport) + " #" +
                           std::to_string(m.connection) + ": ";
        if (m.probe) {
            line += "probe";
        } else if (!m.valid) {
            line += "invalid message of " + std::to_string(m.bytes.size()) + " bytes";
        } else {
            line += "command " + std::to_string(m.header.command) + " client " +
                    std::to_string(m.header.clientId) + " param " + std::to_string(m.header.param) +
                    " request " + std::to_string(m.header.requestId) + " payload " +
                    std::to_string(m.header.payloadLength);
        }
        Log(line);
    }
    log_.push_back(std::move(m));
    if (log_.size() > kMaxLog) {
        log_.pop_front();
    }
    received_.Set();
}

std::vector<ReceivedMessage> CSimServer::Received() const {
    plat::CLockHold hold(lock_);
    return std::vector<ReceivedMessage>(log_.begin(), log_.end());
}

uint64_t CSimServer::Mark() const {
    plat::CLockHold hold(lock_);
    return logNext_;
}

size_t CSimServer::CountReceived(int16_t command, uint64_t from) const {
    plat::CLockHold hold(lock_);
    size_t n = 0;
    for (const ReceivedMessage& m : log_) {
        if (m.index >= from && (command == kAnyCommand ? !m.probe : m.command() == command)) {
            ++n;
        }
    }
    return n;
}

bool CSimServer::WaitForMessage(int16_t command, uint32_t timeoutMs, ReceivedMessage* out,
                                uint64_t from) const {
    const uint32_t start = plat::TickCount();
    for (;;) {
        {
            plat::CLockHold hold(lock_);
            for (const ReceivedMessage& m : log_) {
                if (m.index >= from &&
                    (command == kAnyCommand ? !m.probe : m.command() == command)) {
                    if (out != nullptr) {
                        *out = m;
                    }
                    return true;
                }
            }
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            return false;
        }
        // Short slices: the event wakes one waiter only.
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

bool CSimServer::WaitForCount(int16_t command, size_t count, uint32_t timeoutMs,
                              uint64_t from) const {
    const uint32_t start = plat::TickCount();
    for (;;) {
        if (CountReceived(command, from) >= count) {
            return true;
        }
        const uint32_t waited = plat::TickCount() - start;
        if (waited >= timeoutMs) {
            return false;
        }
        received_.Wait(static_cast<int32_t>(std::min<uint32_t>(timeoutMs - waited, 10)));
    }
}

void CSimServer::ClearReceived() {
    plat::CLockHold hold(lock_);
    log_.clear();
}

}  // namespace sim
}  // namespace tarvik
