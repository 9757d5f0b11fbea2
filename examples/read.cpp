// Reads current values: connects to a server, waits for the ready session
// and reads items by name.
//
//   read [HOST PORT [ITEM...]]      default 127.0.0.1 4000 TANK101 TANK101.SP
//
// Exit code 0 when every value was read.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarvik/tarvik.hpp"

namespace {

const char* TypeName(const tarvik::Value& v) {
    switch (v.type()) {
        case tarvik::Value::Type::Integer:
            return "long";
        case tarvik::Value::Type::Double:
            return "double";
        case tarvik::Value::Type::Text:
            return "text";
        default:
            return "none";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    std::vector<std::string> items(argv + std::min(argc, 3), argv + argc);
    if (items.empty()) {
        items = {"TANK101", "TANK101.SP"};  // "TANK101" is TANK101.PV
    }
    try {
        tarvik::Client client;
        // Waits up to 10 s for the ready session; throws tarvik::Error with
        // the reason otherwise ("... 111 Connection refused").
        client.connectRemote(host, port);
        const std::vector<tarvik::Value> values = client.read(items);  // one request
        for (size_t i = 0; i < items.size(); ++i) {
            const tarvik::Value& v = values[i];
            const std::string text =
                v.type() == tarvik::Value::Type::Text ? "\"" + v.toString() + "\"" : v.toString();
            std::printf("%s = %s (%s)\n", items[i].c_str(), text.c_str(), TypeName(v));
        }
        return 0;  // the client disconnects and is destroyed here
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
