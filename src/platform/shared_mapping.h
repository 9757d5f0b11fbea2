// A shared mapping as both systems hold it. Opening, creating and closing are
// each system's own (posix/ and win32/shared_memory.cpp); the view and its
// size are read the same way on both (shared_memory.cpp).
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

struct SharedMapping {
    void* view;
    size_t size;
    // The system's mapping object on Windows; unused on POSIX, where the view
    // alone keeps the object alive.
    void* handle;
};

}  // namespace plat
}  // namespace tarvik
