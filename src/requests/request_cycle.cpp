// The request cycle that every synchronous request follows: one message out,
// one reply back, under the request lock.
//
// An operation enters the request lock, checks that the session is ready
// (BeginRequest), builds its payload from the directory or the subscription
// table under the state lock, and calls Exchange, which sends the message and
// waits for the reply that reply dispatch hands over through the mailbox (or
// for the session thread to end the wait when no reply comes).
#include "requests/request_cycle.h"
#include "client/client.h"
#include "session/message.h"
#include "session/payloads.h"

#include <chrono>

namespace tarvik {
namespace {
constexpr int64_t kReplyWaitFactor = 10;
// A requester whose last reply came within this time spins this long on the
// reply event before it sleeps: a reply from a server nearby then costs no
// wake-up of the requester, which on a virtual machine can take longer than
// the whole round trip. A slower server is waited for asleep at once.
constexpr int32_t kSpinMicros = 100;

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool CTarvikClient::BeginRequest() {
    return IsLinkUp() && session_.IsReady();
}

bool CTarvikClient::ExchangeItems(int16_t command, uint32_t count, const uint32_t* pointIndexes,
                                  const uint32_t* fieldNos, const CBlock& payload, Reply* reply) {
    {
        plat::CLockHold hold(stateLock_);
        CItemListWriter list(payload.data());
        for (uint32_t i = 0; i < count; ++i) {
            if (!directory_.IsValidItem(pointIndexes[i], fieldNos[i], nullptr)) {
                return false;  // nothing is sent with a part of the items
            }
            list.Add(pointIndexes[i], fieldNos[i]);
        }
        list.Finish();
    }
    return Exchange(command, 1, payload.data(), static_cast<uint32_t>(payload.size()), reply) &&
           reply->payloadLength >= 4 && LoadU32(reply->payload) == count;
}

bool CTarvikClient::Exchange(int16_t command, int16_t param, const uint8_t* payload,
                             uint32_t payloadLength, Reply* reply) {
    int32_t requestId = 0;
    int32_t sequence = 0;
    int16_t clientId = 0;
    session_.NextExchange(&requestId, &sequence, &clientId);
    uint8_t* message = nullptr;
    size_t size = 0;
    if (!BuildMessage(command, param, clientId, requestId, sequence, payload, payloadLength,
                      &message, &size)) {
        return false;
    }
    replyEvent_->Reset();
    replyMailbox_.Clear();
    if (!SendAwaitingReply(message, size)) {
        return false;
    }
    const int64_t wait = static_cast<int64_t>(GetRequestTimeout()) * kReplyWaitFactor;
    const int32_t waitMs =
        wait > INT32_MAX ? INT32_MAX : (wait < 0 ? 0 : static_cast<int32_t>(wait));
    const int64_t sent = NowMicros();
    if (lastReplyMicros_ <= kSpinMicros) {
        replyEvent_->Spin(kSpinMicros);
    }
    const bool woken = replyEvent_->Wait(waitMs);
    lastReplyMicros_ = NowMicros() - sent;
    if (!woken) {
        return false;
    }
    // The mailbox's buffer is taken over whole: the reply is not copied again.
    uint8_t* taken = nullptr;
    const int32_t got = replyMailbox_.Take(&taken);
    CBlock block;
    block.Reset(taken, static_cast<size_t>(got > 0 ? got : 0));
    if (got <= 0) {
        return false;  // the wait was ended without a reply
    }
    if (!IsValidMessage(block.data(), static_cast<size_t>(got))) {
        return false;
    }
    const HeaderView h = ReadHeader(block.data());
    // The request id as well: a late reply to an earlier request that gave up
    // can reach the mailbox just after this request cleared it (its id was
    // still the current one when reply dispatch compared it).
    if (h.magic != MSG_MAGIC || h.command != command || h.requestId != requestId ||
        h.clientId != session_.ClientId()) {
        return false;
    }
    reply->param = h.param;
    reply->payloadLength = static_cast<size_t>(h.payloadLength);
    reply->block.Reset(block.Release(), static_cast<size_t>(got));
    reply->payload = reply->block.data() + kHeaderSize;
    return true;
}

}  // namespace tarvik
