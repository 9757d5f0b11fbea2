// The network connection component behind the remote transport.
//
// On Windows it is its own library, "Lintaro.dll", exporting CreateNetLink and
// DestroyNetLink as ordinals 5 and 6; on Linux it is linked in. The client
// relies only on what is written here; slots 3, 6, 8, 12 and 13 exist for the
// table's layout and are never called.
//
// The event handler reports a lost connection and also a failed Connect or
// ConnectPair (called before it returns false, with IsConnected false); the
// reason is the thread's last error while the handler runs.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define NETLINK_CALL __stdcall
#else
#define NETLINK_CALL
#endif

namespace tarvik {

class INetLink;

// Why a connection attempt or a connection failed. When Connect or
// ConnectPair fails, and when a connection that was up is lost, the component
// calls the event handler with the reason as the calling thread's last error
// (GetLastError on Windows): the system's own code where the system has one
// (refused, unreachable, timed out, reset), else one of these. Bit 29 marks a
// code as no system's, as on Windows.
enum : int32_t {
    NETLINK_ERR_NAME_NOT_FOUND = 0x20000001,  // the host name is unknown (POSIX)
    NETLINK_ERR_PEER_CLOSED = 0x20000002,     // the server ended the connection
    NETLINK_ERR_NOT_THIS_PROTOCOL = 0x20000003,
};

// The text of a code above, or null.
inline const char* NetLinkErrorText(int32_t code) {
    switch (code) {
        case NETLINK_ERR_NAME_NOT_FOUND:
            return "Host name not found";
        case NETLINK_ERR_PEER_CLOSED:
            return "The server closed the connection";
        case NETLINK_ERR_NOT_THIS_PROTOCOL:
            return "The peer does not speak this protocol (not a database server)";
        default:
            return nullptr;
    }
}

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
