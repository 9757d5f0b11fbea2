// Writes a value the way a control room wants it: the value must be of the
// field's own type, so that nothing is converted on the way; then it is read
// back.
//
//   write [HOST PORT ITEM VALUE]      default 127.0.0.1 4000 TANK101.SP 62.5
//
// Exit code 0 when the value was written and reads back.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tarvik/tarvik.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int32_t g_state = CONN_CLOSED;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t newState) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = newState;
    g_changed.notify_all();
}

bool WaitReady(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, timeout, [] {
        return g_state == CONN_READY || g_state == CONN_REFUSED || g_state == CONN_REJECTED;
    });
    return g_state == CONN_READY;
}

// The typed text as a value of the field's type, or false with the reason.
// A text block for a text field comes from the library's allocator.
bool ValueFor(const std::string& text, int32_t fieldType, VarValue* out, std::string* why) {
    if (text.empty()) {
        *why = "an empty value";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    switch (fieldType) {
        case VAL_LONG: {
            const long long l = std::strtoll(text.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || l < INT32_MIN || l > INT32_MAX) {
                *why = "not a whole number in the 32-bit range";
                return false;
            }
            const int32_t v = static_cast<int32_t>(l);
            out->tag = VAL_LONG;
            std::memcpy(out->u.raw, &v, sizeof v);
            return true;
        }
        case VAL_DOUBLE: {
            const double d = std::strtod(text.c_str(), &end);
            if (*end != '\0' || errno != 0 || !std::isfinite(d)) {
                *why = "not a finite number";
                return false;
            }
            out->tag = VAL_DOUBLE;
            std::memcpy(out->u.raw, &d, sizeof d);
            return true;
        }
        case VAL_STRING: {
            if (text.size() > TARVIK_TEXT_MAX) {
                *why = "longer than 63 characters";
                return false;
            }
            char* block = static_cast<char*>(TarvikAlloc(TARVIK_TEXT_BLOCK));
            if (block == nullptr) {
                *why = "out of memory";
                return false;
            }
            std::memset(block, 0, TARVIK_TEXT_BLOCK);
            std::memcpy(block, text.data(), text.size());
            out->tag = VAL_STRING;
            std::memcpy(out->u.raw, &block, sizeof block);
            return true;
        }
        default:
            *why = "a field of no known type";
            return false;
    }
}

// Frees the text block a value holds, and empties it.
void Clear(VarValue* v) {
    if (v->tag == VAL_STRING) {
        char* s;
        std::memcpy(&s, v->u.raw, sizeof s);
        TarvikFree(s);
    }
    std::memset(v, 0, sizeof *v);
}

std::string Text(const VarValue& v) {
    char text[80] = "";
    if (v.tag == VAL_LONG) {
        int32_t l;
        std::memcpy(&l, v.u.raw, sizeof l);
        std::snprintf(text, sizeof text, "%d", static_cast<int>(l));
    } else if (v.tag == VAL_DOUBLE) {
        double d;
        std::memcpy(&d, v.u.raw, sizeof d);
        std::snprintf(text, sizeof text, "%g", d);
    } else if (v.tag == VAL_STRING) {
        char* s;
        std::memcpy(&s, v.u.raw, sizeof s);
        std::snprintf(text, sizeof text, "%s", s != nullptr ? s : "");
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "TANK101.SP";
    const std::string text = argc > 4 ? argv[4] : "62.5";

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == nullptr) {
        return 1;
    }
    client->SetStateCallback(OnState);
    client->ConnectRemote(port, host, nullptr, 0);
    int code = 1;
    if (!WaitReady(std::chrono::seconds(10))) {
        std::fprintf(stderr, "no ready session with %s:%d\n", host, port);
    } else {
        char name[TARVIK_ITEM_NAME] = {};
        std::strncpy(name, item.c_str(), sizeof name - 1);
        int32_t point = -1, field = -1, fieldType = -1;
        client->ResolveItemNames(1, name, &point, &field);
        client->GetItemTypesByName(1, name, &fieldType);
        VarValue value{};
        std::string why;
        if (point < 0 || field < 0) {
            std::fprintf(stderr, "unknown item %s\n", item.c_str());
        } else if (!ValueFor(text, fieldType, &value, &why)) {
            // Refuse rather than let the library convert: "abc" would be 0.
            std::fprintf(stderr, "%s: '%s' refused: %s\n", item.c_str(), text.c_str(), why.c_str());
        } else {
            const uint32_t p = static_cast<uint32_t>(point), f = static_cast<uint32_t>(field);
            VarValue back{};
            if (client->WriteValues(1, &p, &f, &value) == 1 &&
                client->ReadValues(1, &p, &f, &back) == 1) {
                std::printf("%s is now %s\n", item.c_str(), Text(back).c_str());
                code = 0;
            } else {
                std::fprintf(stderr, "the write or the read failed\n");
            }
            Clear(&back);
        }
        Clear(&value);
    }
    TarvikDestroyClient(client);
    return code;
}
