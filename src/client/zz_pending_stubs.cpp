// TEMPORARY: weak stand-ins for pieces being written right now.
#include "client/client.h"
#define W __attribute__((weak))
namespace tarvik {
namespace plat {
W bool WindowPostMessage(WindowHandle, uint32_t, uintptr_t, intptr_t) { return false; }
W bool WindowIsWindow(WindowHandle) { return false; }
W bool WindowSendCopyData(WindowHandle, uintptr_t, const CopyData*, uint32_t, intptr_t*) { return false; }
}  // namespace plat
W uint32_t CTarvikClient::WindowThreadProc(void*) { return 0; }
W void CTarvikClient::NetDataCallback(INetLink*, void*) {}
W void CTarvikClient::NetEventCallback(INetLink*, void*) {}
}  // namespace tarvik
extern "C" {
W tarvik::INetLink* CreateNetLink() { return nullptr; }
W void DestroyNetLink(tarvik::INetLink*) {}
}
