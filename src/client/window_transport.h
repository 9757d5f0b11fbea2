// The local window transport: the client's hidden window and its thread.
#pragma once

#include <cstdint>

namespace tarvik {

// Window class and title of every client's hidden window.
constexpr const char* kWindowClassName = "TarvikLocalClient";
// Private message that ends a window thread (both parameters 0).
constexpr uint32_t WM_TARVIK_QUIT = 3246;

}  // namespace tarvik
