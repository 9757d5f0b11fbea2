// Feeds arbitrary bytes to reply dispatch as one received message, on a client
// that has a directory and a few subscriptions, as a hostile server would. The
// first input byte picks the command the message claims (so that every
// handler is reached); the header's length and magic are made consistent
// half of the time so that the payload decoders see the bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/client.h"
#include "client/var_value.h"
#include "client_probe.h"
#include "fuzz_common.h"
#include "session/message.h"

namespace {
using namespace tarvik;
using fuzzkit::Directory;

const int16_t kCommands[] = {CMD_LOGIN,
                             CMD_HEARTBEAT,
                             CMD_READ_HISTORY,
                             CMD_WRITE_HISTORY,
                             CMD_LOGOUT,
                             CMD_WRITE_VALUES,
                             CMD_READ_VALUES,
                             CMD_SUBSCRIBE,
                             CMD_UNSUBSCRIBE,
                             CMD_HEARTBEAT_DATA,
                             CMD_RESUBSCRIBE,
                             CMD_UNSUBSCRIBE_ALL,
                             CMD_READ_HISTORY_RAW,
                             9};

CTarvikClient* Client() {
    static CTarvikClient* client = [] {
        // Private names: the fuzzer never meets a real registry.
        plat::SetObjectNamePrefix("tarvik-fuzz-");
        CTarvikClient* c = ClientOf(TarvikCreateClient(1));
        const std::vector<uint8_t> body = Directory();
        ClientProbe::Directory(c).Build(body.data(), body.size());
        return c;
    }();
    return client;
}

void Subscribe(CTarvikClient* c) {
    if (ClientProbe::Advise(c).ItemCount() > 0) {
        return;
    }
    fuzzkit::SubscribeFour(c);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    CTarvikClient* c = Client();
    Subscribe(c);
    const uint8_t pick = data[0];
    std::vector<uint8_t> message(data + 1, data + size);
    if ((pick & 0x80) != 0 && message.size() >= kHeaderSize) {
        StoreI16(message.data() + hdr::kMagic, MSG_MAGIC);
        StoreI32(message.data() + hdr::kPayloadLength,
                 static_cast<int32_t>(message.size() - kHeaderSize));
        StoreI16(message.data() + hdr::kCommand,
                 kCommands[(pick & 0x7F) % (sizeof kCommands / sizeof kCommands[0])]);
    }
    ClientProbe::Dispatch(c, message.data(), message.size());
    // Deliver what dispatch queued, as the notification thread would, and
    // drop the rest.
    for (;;) {
        NotifyEvent* event = nullptr;
        {
            plat::CLockHold hold(ClientProbe::StateLock(c));
            event = ClientProbe::NotifyQueue(c).Pop();
        }
        if (event == nullptr) {
            break;
        }
        if (event->type == NOTIFY_DATA) {
            ClientProbe::DeliverDataChange(c, *event);
        }
        NotifyEventFree(event);
    }
    ClientProbe::ReplyMailbox(c).Clear();
    // Text blocks of last values live behind the packed (unaligned) pointers
    // of VarValue, which the leak checker cannot see: empty them each time.
    {
        plat::CLockHold hold(ClientProbe::StateLock(c));
        ClientProbe::Advise(c).ClearValues();
    }
    return 0;
}
