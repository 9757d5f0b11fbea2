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
#include "session/message.h"

namespace {
using namespace tarvik;

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

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// One type (id 1) with PV (double, 0) and STATE (text, 1); three points.
std::vector<uint8_t> Directory() {
    std::vector<uint8_t> b;
    Put32(b, 0);  // L, fixed below
    b.push_back(1);
    b.push_back(0);  // N = 1
    Put32(b, 1);     // TypeId
    Put32(b, 2);     // M
    const char* names[] = {"PV", "STATE"};
    const uint8_t types[] = {VAL_DOUBLE, VAL_STRING};
    for (int f = 0; f < 2; ++f) {
        b.push_back(types[f]);
        char name[12] = {};
        std::strncpy(name, names[f], sizeof name - 1);
        b.insert(b.end(), name, name + 12);
        b.push_back(static_cast<uint8_t>(f));
    }
    const uint32_t l = static_cast<uint32_t>(b.size()) - 9;
    StoreU32(b.data(), l);
    Put32(b, 3);  // d
    for (int p = 0; p < 3; ++p) {
        Put32(b, static_cast<uint32_t>(p));  // Aux
        Put32(b, 1);                         // TypeId
        char name[20] = {};
        name[0] = 'P';
        name[1] = static_cast<char>('0' + p);
        b.insert(b.end(), name, name + 20);
    }
    return b;
}

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
    const uint32_t points[] = {0, 1, 2, 0};
    const uint32_t fields[] = {0, 1, 0, 1};
    int32_t handles[4];
    const int32_t count = ClientProbe::Advise(c).CountNewKeys(4, points, fields);
    ClientProbe::Advise(c).AddAdvise(count, 4, points, fields, nullptr, nullptr, handles,
                                     ClientProbe::Directory(c).PointCount(),
                                     &ClientProbe::HandleCounter(c));
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
