// Names of objects shared with other processes, with the prefix that only
// tests set so that parallel test runs never meet.

#include "platform/platform.h"

#include <windows.h>

#include <string>

namespace tarvik {
namespace plat {

namespace {

// Never destroyed: threads still running at exit may ask for a name.
struct Prefix {
    SRWLOCK lock = SRWLOCK_INIT;
    std::string text;
};

Prefix& P() {
    static Prefix* prefix = new Prefix;
    return *prefix;
}

}  // namespace

void SetObjectNamePrefix(const char* prefix) {
    Prefix& p = P();
    AcquireSRWLockExclusive(&p.lock);
    try {
        p.text.assign(prefix != nullptr ? prefix : "");
    } catch (...) {
    }
    ReleaseSRWLockExclusive(&p.lock);
}

std::string ObjectName(const char* name) {
    Prefix& p = P();
    AcquireSRWLockShared(&p.lock);
    std::string full;
    try {
        full = p.text;
    } catch (...) {
        ReleaseSRWLockShared(&p.lock);
        throw;
    }
    ReleaseSRWLockShared(&p.lock);
    if (name != nullptr) {
        full += name;
    }
    return full;
}

}  // namespace plat
}  // namespace tarvik
