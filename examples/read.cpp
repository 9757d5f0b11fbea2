// Reads current values: connects to a server, waits until the session is
// ready, resolves item names and reads their values once.
//
//   read [HOST PORT [ITEM...]]      default 127.0.0.1 4000 TANK101 TANK101.SP
//
// Exit code 0 when every value was read.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tarvik/tarvik.h"

namespace {

// The connection state, as the library reports it on its notification thread.
std::mutex g_mutex;
std::condition_variable g_changed;
int32_t g_state = CONN_CLOSED;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t newState) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = newState;
    g_changed.notify_all();
}

// Waits until the session is ready, or refused, or the time is up.
bool WaitReady(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, timeout, [] {
        return g_state == CONN_READY || g_state == CONN_REFUSED || g_state == CONN_REJECTED;
    });
    return g_state == CONN_READY;
}

// A value as text. VarValue is packed: its payload is copied out.
std::string Text(const VarValue& v) {
    char text[80];
    switch (v.tag) {
        case VAL_LONG: {
            int32_t l;
            std::memcpy(&l, v.u.raw, sizeof l);
            std::snprintf(text, sizeof text, "%d (long)", static_cast<int>(l));
            return text;
        }
        case VAL_DOUBLE: {
            double d;
            std::memcpy(&d, v.u.raw, sizeof d);
            std::snprintf(text, sizeof text, "%g (double)", d);
            return text;
        }
        case VAL_STRING: {
            char* s;
            std::memcpy(&s, v.u.raw, sizeof s);
            return std::string("\"") + (s != nullptr ? s : "") + "\" (text)";
        }
        default:
            return "(no value)";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    std::vector<std::string> names;
    for (int i = 3; i < argc; ++i) {
        names.push_back(argv[i]);
    }
    if (names.empty()) {
        names = {"TANK101", "TANK101.SP"};  // "TANK101" means TANK101.PV
    }

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == nullptr) {
        std::fprintf(stderr, "no client\n");
        return 1;
    }
    client->SetStateCallback(OnState);
    // Returns at once: the server is found and logged in to on the client's
    // own threads, and the state callback tells how it goes.
    client->ConnectRemote(port, host, nullptr, 0);
    if (!WaitReady(std::chrono::seconds(10))) {
        char reason[256] = {};
        client->GetLastErrorText(reason, sizeof reason);
        std::fprintf(stderr, "no ready session with %s:%d (state %d) %s\n", host, port,
                     static_cast<int>(client->GetState()), reason);
        TarvikDestroyClient(client);
        return 1;
    }

    // Names to numbers, once: they stay valid while the directory does.
    const size_t n = names.size();
    std::vector<char> slots(n * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < n; ++i) {
        std::strncpy(&slots[i * TARVIK_ITEM_NAME], names[i].c_str(), TARVIK_ITEM_NAME - 1);
    }
    std::vector<int32_t> points(n), fields(n);
    client->ResolveItemNames(static_cast<int32_t>(n), slots.data(), points.data(), fields.data());
    std::vector<uint32_t> p, f;
    for (size_t i = 0; i < n; ++i) {
        if (points[i] < 0 || fields[i] < 0) {
            std::fprintf(stderr, "unknown item %s\n", names[i].c_str());
            TarvikDestroyClient(client);
            return 1;
        }
        p.push_back(static_cast<uint32_t>(points[i]));
        f.push_back(static_cast<uint32_t>(fields[i]));
    }

    // The array must hold valid values on entry: zeroed is VAL_NONE.
    std::vector<VarValue> values(n);
    std::memset(values.data(), 0, n * sizeof(VarValue));
    const int32_t read =
        client->ReadValues(static_cast<uint32_t>(n), p.data(), f.data(), values.data());
    int code = 0;
    if (read != static_cast<int32_t>(n)) {
        std::fprintf(stderr, "the read failed\n");
        code = 1;
    } else {
        for (size_t i = 0; i < n; ++i) {
            std::printf("%s = %s\n", names[i].c_str(), Text(values[i]).c_str());
        }
    }
    // Text blocks the library stored belong to us.
    for (VarValue& v : values) {
        if (v.tag == VAL_STRING) {
            char* s;
            std::memcpy(&s, v.u.raw, sizeof s);
            TarvikFree(s);
        }
    }
    TarvikDestroyClient(client);  // disconnects, then frees the client
    return code;
}
