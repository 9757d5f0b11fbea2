// Checks that the programs driving whole sessions (the end-to-end tests, the
// fuzzers and tarvik-soak) make on what a client hands over and on what this
// process holds.
#pragma once

#include <dirent.h>

#include <cstring>

#include "tarvik/tarvik.h"

namespace tarvik {
namespace checks {

// A value the application may read: a known tag, and text that ends within
// its block.
inline bool ValidValue(const VarValue& v) {
    switch (v.tag) {
        case VAL_NONE:
        case VAL_LONG:
        case VAL_DOUBLE:
            return true;
        case VAL_STRING:
            return v.u.strVal != nullptr &&
                   std::memchr(v.u.strVal, 0, TARVIK_TEXT_BLOCK) != nullptr;
        default:
            return false;
    }
}

// The entries of a folder such as /proc/self/fd, without . and ..; -1 when
// it cannot be read.
inline int CountEntries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            ++n;
        }
    }
    ::closedir(dir);
    return n;
}

}  // namespace checks
}  // namespace tarvik
