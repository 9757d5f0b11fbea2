// Names of objects shared with other processes, with the prefix that only
// tests set so that parallel test runs never meet.
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

namespace {

std::mutex g_prefixMutex;

// Never destroyed: threads still running at exit may ask for a name.
std::string& Prefix() {
    static std::string* prefix = new std::string;
    return *prefix;
}

}  // namespace

void SetObjectNamePrefix(const char* prefix) {
    std::lock_guard<std::mutex> hold(g_prefixMutex);
    Prefix().assign(prefix != nullptr ? prefix : "");
}

std::string ObjectName(const char* name) {
    std::lock_guard<std::mutex> hold(g_prefixMutex);
    std::string full = Prefix();
    if (name != nullptr) {
        full += name;
    }
    return full;
}

}  // namespace plat
}  // namespace tarvik
