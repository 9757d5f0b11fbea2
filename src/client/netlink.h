// The network connection component behind the remote transport.
//
// On Windows it is its own library, "Lintaro.dll", exporting CreateNetLink and
// DestroyNetLink as ordinals 5 and 6; on Linux it is linked in. The client
// relies only on what is written here; slots 3, 6, 8, 12 and 13 exist for the
// table's layout and are never called.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define NETLINK_CALL __stdcall
#else
#define NETLINK_CALL
#endif

namespace tarvik {

class INetLink;

// Handlers take (object, owner): owner is what SetOwner stored. They may run on
// the component's own threads and may call back into the object.
using NetDataCallback = void(NETLINK_CALL*)(INetLink* link, void* owner);
using NetEventCallback = void(NETLINK_CALL*)(INetLink* link, void* owner);

class INetLink {
  public:
    virtual void SetOwner(void* owner) = 0;                       // 0
    virtual bool Connect(const char* host, uint16_t port) = 0;    // 1
    virtual void Close() = 0;                                     // 2
    virtual int32_t Reserved3() = 0;                              // 3
    virtual int32_t Send(const void* bytes, int32_t count) = 0;   // 4
    virtual int32_t Receive(void* buffer, int32_t count) = 0;     // 5
    virtual int32_t Reserved6() = 0;                              // 6
    virtual void SetReceiveHandler(NetDataCallback handler) = 0;  // 7
    virtual int32_t Reserved8() = 0;                              // 8
    virtual void SetEventHandler(NetEventCallback handler) = 0;   // 9
    virtual bool IsConnected() = 0;                               // 10
    virtual int32_t GetAvailable() = 0;                           // 11
    virtual int32_t Reserved12() = 0;                             // 12
    virtual int32_t Reserved13() = 0;                             // 13
    virtual bool ConnectPair(const char* host, uint16_t port, const char* backupHost,
                             uint16_t backupPort) = 0;  // 14
    virtual void Shutdown() = 0;                        // 15

  protected:
    ~INetLink() = default;
};

}  // namespace tarvik

extern "C" {
// Ordinal 5 and 6 of the component.
tarvik::INetLink* NETLINK_CALL CreateNetLink();
void NETLINK_CALL DestroyNetLink(tarvik::INetLink* link);
}
