// The window thread and the window procedure of the local transport.
//
// The server sends each of its messages as one WM_COPYDATA to the client's
// hidden window. The procedure turns every block into one record of the
// receive stream, framed by a marker exactly as the network transport frames
// what it receives, so the session thread reads one stream whatever the
// transport.
#include "client/window_transport.h"

#include <atomic>
#include <cstring>

#include "client/allocator.h"
#include "client/client.h"
#include "client/client_registry.h"
#include "session/message.h"

namespace tarvik {

namespace {

std::atomic<void (*)(CTarvikClient*)> g_windowThreadHook{nullptr};
// Set by the window procedure when its quit message could not be posted.
thread_local bool t_quitUnposted = false;
std::atomic<int32_t> g_windowWaitMs{0};

// Writes marker and block as one record.
int32_t RecordFill(void* context, uint8_t* dst, int32_t n) {
    const auto* data = static_cast<const plat::CopyData*>(context);
    WriteMarker(dst, n, MARKER_MESSAGE);
    if (data->cbData > 0) {
        std::memcpy(dst + kMarkerSize, data->lpData, data->cbData);
    }
    return n;
}

// Adds marker and block to the client's receive path as one record. The two
// go in one piece, so that a stream short of memory takes both or neither: a
// marker without its block would make the drainer cut the following bytes
// wrongly.
bool AppendRecord(CTarvikClient* client, const plat::CopyData* data) {
    const uint32_t n = data->cbData;
    if (n > static_cast<uint32_t>(INT32_MAX) - kMarkerSize) {
        return false;  // its length cannot be written into the marker
    }
    if (n > 0 && data->lpData == nullptr) {
        return false;
    }
    const int32_t total = static_cast<int32_t>(kMarkerSize + n);
    return client->OnTransportFill(total, &RecordFill, const_cast<plat::CopyData*>(data));
}

}  // namespace

uint32_t CTarvikClient::RunWindowThread() {
    CTarvikClient* self = this;
    if (auto hook = g_windowThreadHook.load()) {
        hook(self);
    }
    CClientRegistry& registry = CClientRegistry::Instance();
    // 1. The class, once per process; a thread that loses the race to
    //    register it finds it exists and goes on.
    if (!plat::WindowClassIsKnown(kWindowClassName) &&
        !plat::WindowClassRegister(kWindowClassName, LocalClientWindowProc) &&
        self->RecordError() != plat::kErrorClassAlreadyExists) {
        return 0;
    }
    // 2., 3. The hidden window.
    const plat::WindowHandle window = plat::WindowCreate(kWindowClassName, kLocalClientTitle);
    if (window == 0) {
        self->RecordError();
        return 0;
    }
    plat::WindowHide(window);
    // 5. before 4.: the window is in the registry before ConnectLocal can
    //    see it, so that a registration short of memory ends the thread
    //    (and the connect) instead of leaving a window that refuses every
    //    block.
    if (!registry.RegisterClientWindow(window, self)) {
        plat::WindowDestroy(window);
        self->RecordErrorText(kErrorNotEnoughMemory, "no memory for the window registry");
        return 0;
    }
    // 4. ConnectLocal polls for this, unless it has given up waiting: a
    //    window made after that is not the client's, and the thread ends.
    if (!AdoptWindow(window)) {
        plat::WindowDestroy(window);
        registry.RegisterClientWindow(window, nullptr);
        return 0;
    }
    // 6. The loop, until the quit message (or an error, which would repeat).
    plat::WindowMessage msg{};
    int32_t got;
    t_quitUnposted = false;
    while ((got = plat::WindowGetMessage(&msg, window)) > 0) {
        plat::WindowTranslateMessage(&msg);
        plat::WindowDispatchMessage(&msg);
        if (t_quitUnposted) {
            // The procedure could not post the quit message to itself (a
            // full queue): the loop ends as if it had come.
            got = 0;
            msg.wParam = 1;
            break;
        }
    }
    // 7. A loop that ended on an error (not the quit message) says why.
    if (got < 0) {
        self->RecordError();
    }
    plat::WindowDestroy(window);
    registry.RegisterClientWindow(window, nullptr);
    return got == 0 ? static_cast<uint32_t>(msg.wParam) : 0;
}

intptr_t LocalClientWindowProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam) {
    switch (message) {
        case plat::kMsgCopyData: {
            // The sender's window (wParam) and the block's tag are not used.
            const auto* data = reinterpret_cast<const plat::CopyData*>(lParam);
            CTarvikClient* client = CClientRegistry::Instance().FindClientByWindow(window);
            if (client == nullptr || data == nullptr) {
                return 0;
            }
            return Guarded(false, [&] { return AppendRecord(client, data); }) ? 1 : 0;
        }
        case WM_TARVIK_QUIT:
            if (!plat::WindowPostMessage(window, plat::kMsgQuit, 1, 0)) {
                t_quitUnposted = true;
            }
            return 0;
        case plat::kMsgCreate:
        case plat::kMsgDestroy:
        case plat::kMsgClose:
            // No default processing: a close request leaves the window alive.
            return 0;
        default:
            return plat::WindowDefaultProc(window, message, wParam, lParam);
    }
}

namespace testing {
void SetWindowThreadHook(void (*hook)(CTarvikClient* client)) {
    g_windowThreadHook = hook;
}
void SetWindowWaitMs(int32_t milliseconds) {
    g_windowWaitMs = milliseconds;
}
}  // namespace testing

int32_t WindowWaitMs() {
    const int32_t ms = g_windowWaitMs.load();
    return ms > 0 ? ms : kWindowWaitMs;
}

uint32_t CTarvikClient::WindowThreadProc(void* arg) {
    auto* self = static_cast<CTarvikClient*>(arg);
    if (self == nullptr) {
        return 0;
    }
    return Guarded(0u, [self] { return self->RunWindowThread(); });
}

}  // namespace tarvik
