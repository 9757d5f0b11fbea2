// The local transport's receiving side: the client's hidden window, its
// thread (CTarvikClient::WindowThreadProc) and its procedure.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tarvik {

// Window class and title of every client's hidden window.
constexpr const char* kWindowClassName = "TarvikLocalClient";
constexpr const char* kLocalClientTitle = "TarvikLocalClient";

// Private message that ends a window thread (posted by Disconnect, both
// parameters 0); the thread's exit code is then 1.
constexpr uint32_t WM_TARVIK_QUIT = 3246;

// The procedure of the class: every WM_COPYDATA block becomes one record of
// the client's receive stream.
intptr_t LocalClientWindowProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam);

class CTarvikClient;

// How long ConnectLocal waits for the window thread's window.
constexpr int32_t kWindowWaitMs = 10000;

namespace testing {
// Runs on every window thread before it makes its window (a test holds the
// thread back with it); null removes it.
void SetWindowThreadHook(void (*hook)(CTarvikClient* client));
// ConnectLocal's wait for the window, in ms; 0 restores kWindowWaitMs.
void SetWindowWaitMs(int32_t milliseconds);
}  // namespace testing

// The wait ConnectLocal uses (kWindowWaitMs unless a test changed it).
int32_t WindowWaitMs();

}  // namespace tarvik
