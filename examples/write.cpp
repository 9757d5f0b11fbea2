// Writes a value the way a control room wants it: the typed text must be a
// value of the field's own type (the type of the value the item holds), so
// that nothing is converted on the way; then it is read back.
//
//   write [HOST PORT ITEM VALUE]      default 127.0.0.1 4000 TANK101.SP 62.5
//
// Exit code 0 when the value was written and reads back.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarvik/tarvik.hpp"

namespace {

// The text as a value of the same type as `current`, or false with why.
// Without this check the library converts: "abc" would be stored as 0.
bool ValueLike(const tarvik::Value& current, const std::string& text, tarvik::Value* out,
               std::string* why) {
    if (text.empty()) {
        *why = "an empty value";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    switch (current.type()) {
        case tarvik::Value::Type::Integer: {
            const long long l = std::strtoll(text.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || l < INT32_MIN || l > INT32_MAX) {
                *why = "not a whole number in the 32-bit range";
                return false;
            }
            *out = tarvik::Value(static_cast<int32_t>(l));
            return true;
        }
        case tarvik::Value::Type::Double: {
            const double d = std::strtod(text.c_str(), &end);
            if (*end != '\0' || errno != 0 || !std::isfinite(d)) {
                *why = "not a finite number";
                return false;
            }
            *out = tarvik::Value(d);
            return true;
        }
        case tarvik::Value::Type::Text:
            if (text.size() > TARVIK_TEXT_MAX) {
                *why = "longer than 63 characters";
                return false;
            }
            *out = tarvik::Value(text);
            return true;
        default:
            *why = "the item holds no value to take the type from";
            return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "TANK101.SP";
    const std::string text = argc > 4 ? argv[4] : "62.5";
    try {
        tarvik::Client client;
        client.connectRemote(host, port);
        tarvik::Value value;
        std::string why;
        if (!ValueLike(client.read(item), text, &value, &why)) {
            std::fprintf(stderr, "%s: '%s' refused: %s\n", item.c_str(), text.c_str(), why.c_str());
            return 1;
        }
        client.write(item, value);
        std::printf("%s is now %s\n", item.c_str(), client.read(item).toString().c_str());
        return 0;
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
