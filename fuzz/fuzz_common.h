// What the fuzz targets share: a small directory and the subscriptions a
// previous session would have left.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "client/client.h"
#include "client_probe.h"
#include "session/message.h"
#include "tarvik/tarvik.h"

namespace tarvik {
namespace fuzzkit {

inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// The login reply's directory: one type (id 1) with PV (double, 0) and STATE
// (text, 1); three points P0..P2 of it.
inline std::vector<uint8_t> Directory() {
    std::vector<uint8_t> b;
    Put32(b, 0);  // the types' length, set below
    b.push_back(1);
    b.push_back(0);  // one type
    Put32(b, 1);     // its id
    Put32(b, 2);     // its fields
    const char* names[] = {"PV", "STATE"};
    const uint8_t types[] = {VAL_DOUBLE, VAL_STRING};
    for (int f = 0; f < 2; ++f) {
        b.push_back(types[f]);
        char name[12] = {};
        std::strncpy(name, names[f], sizeof name - 1);
        b.insert(b.end(), name, name + 12);
        b.push_back(static_cast<uint8_t>(f));
    }
    StoreU32(b.data(), static_cast<uint32_t>(b.size()) - 9);
    Put32(b, 3);  // points
    for (int p = 0; p < 3; ++p) {
        Put32(b, static_cast<uint32_t>(p));  // aux
        Put32(b, 1);                         // type id
        char name[20] = {'P', static_cast<char>('0' + p)};
        b.insert(b.end(), name, name + 20);
    }
    return b;
}

// Four subscriptions over the directory's items; the caller holds the state
// lock where other threads run.
inline void SubscribeFour(CTarvikClient* c) {
    const uint32_t points[] = {0, 1, 2, 0};
    const uint32_t fields[] = {0, 1, 0, 1};
    int32_t handles[4];
    const int32_t count = ClientProbe::Advise(c).CountNewKeys(4, points, fields);
    ClientProbe::Advise(c).AddAdvise(count, 4, points, fields, nullptr, nullptr, handles,
                                     ClientProbe::Directory(c).PointCount(),
                                     &ClientProbe::HandleCounter(c));
}

}  // namespace fuzzkit
}  // namespace tarvik
