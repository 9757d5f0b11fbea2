/*
 * Tarvik client library: the public interface for host applications.
 *
 * A host loads the library, creates a client with TarvikCreateClient and
 * drives it through the 47 operations of ITarvikClient, in the slot order
 * below. The slot order, the argument lists and the layout of VarValue are
 * the binary contract with the host; they never change.
 *
 * Calling conventions
 *   - Linux: the four exports are found by name (dlsym); everything uses the
 *     platform's C/C++ calling convention.
 *   - Windows: a host loads the tarvik.dll of its own width (a process
 *     cannot load a DLL of the other one), with its Lintaro.dll beside it.
 *     The four exports are found by ordinal only (1 to 4).
 *   - 32-bit Windows: the exports use __stdcall (TARVIK_CALL). The interface
 *     operations are plain virtual member functions called with the
 *     compiler's default member convention, __thiscall (this in ECX, callee
 *     pops), which mingw-w64 and the platform's own C++ compiler share for a
 *     single-inheritance table of virtual functions without a virtual
 *     destructor. The two callbacks are __stdcall (TARVIK_CALL).
 *   - 64-bit Windows: x64 has one calling convention, used by the exports,
 *     the operations (this as the first argument, in RCX) and the callbacks
 *     alike; __stdcall and __thiscall mean nothing there and TARVIK_CALL is
 *     empty. The table's slots are 8-byte pointers, in the same order.
 *     VarValue is still 9 packed bytes: a text pointer fills the 8 payload
 *     bytes.
 *
 * Memory
 *   - Arrays passed to an operation belong to the caller.
 *   - Text blocks inside VarValue (tag VAL_STRING) are 64-byte blocks from
 *     TarvikAlloc: at most 63 characters and a terminating zero. Blocks the
 *     library stores into a caller's VarValue belong to the caller, who frees
 *     them with TarvikFree (or passes the array back: an operation that writes
 *     a VarValue first frees the text block it holds). Never free them with
 *     the host's own allocator.
 *   - ReadHistoryRaw hands out three arrays from TarvikAlloc; the caller frees
 *     each with TarvikFree.
 *   - The arrays passed to a DataCallback and the text blocks in them belong
 *     to the library and are freed when the callback returns: copy what you
 *     keep, free nothing.
 *
 * Threads
 *   - Both callbacks are called only on the client's notification thread, one
 *     at a time, with no lock of the client held; they may call any query or
 *     request of the client. They must not call ConnectLocal, ConnectRemote,
 *     Disconnect or TarvikDestroyClient for the same client (those wait for the
 *     notification thread). The library detects such a call and does not hang
 *     or crash, but the stop it asked for is not complete when it returns.
 *   - Any application thread may call the operations; the synchronous
 *     requests (slots 30 to 36 and 46) are serialised per client.
 *   - ConnectLocal, ConnectRemote and Disconnect of one client must be called
 *     from one thread at a time.
 *
 * User data
 *   The client stores the value given to SetUserData as a 32-bit signed
 *   integer and passes it to both callbacks widened (sign-extended) to a
 *   pointer-sized integer, TarvikUserData. On 32-bit Windows the two widths are
 *   the same; on 64-bit Windows and 64-bit Linux the callbacks get 64 bits of
 *   which only the low 32 came from SetUserData, so a host there passes an
 *   index or a key, never a pointer.
 *
 * Results
 *   bool for connect and link tests; for queries and requests the number of
 *   entries handled, or -1 on failure (UnadviseAll: 1 or 0). Entries that a
 *   query cannot resolve get -1, 0 or an empty name and the query goes on.
 *   Problems with the server reach the application only as connection states.
 */
#ifndef TARVIK_TARVIK_H
#define TARVIK_TARVIK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TARVIK_CALL __stdcall
#else
#define TARVIK_CALL
#endif

#if defined(_WIN32)
#define TARVIK_EXPORT
#elif defined(__GNUC__)
#define TARVIK_EXPORT __attribute__((visibility("default")))
#else
#define TARVIK_EXPORT
#endif

/* ---- Tagged value -------------------------------------------------------- */

enum {
    VAL_NONE = 0,   /* no value */
    VAL_LONG = 1,   /* 32-bit signed integer */
    VAL_DOUBLE = 2, /* IEEE 754 double */
    VAL_STRING = 4  /* pointer to a 64-byte text block from TarvikAlloc */
};

/* Size of a text block, and the longest text it holds. */
enum { TARVIK_TEXT_BLOCK = 64, TARVIK_TEXT_MAX = 63 };

#pragma pack(push, 1)
/* 9 bytes, no padding: a tag byte and 8 payload bytes. Arrays of VarValue are
 * plain arrays of 9-byte records. Fields other than the tag's are undefined. */
typedef struct VarValue {
    uint8_t tag;
    union {
        int32_t lVal;
        double dblVal;
        char* strVal;
        uint8_t raw[8];
    } u;
} VarValue;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(VarValue) == 9, "VarValue is 9 bytes");
static_assert(offsetof(VarValue, u) == 1, "VarValue payload at byte 1");
#endif

/* ---- Connection states (StateCallback, GetState) ------------------------- */

enum {
    CONN_READY = 0,     /* session established and confirmed by the server */
    CONN_CLOSED = 1,    /* not connected, or connected and not yet linked */
    CONN_PENDING = 2,   /* a server was found; login follows */
    CONN_BROKEN = 3,    /* the link failed; the client looks for the server again */
    CONN_NO_SERVER = 4, /* no server could be found or reached; retried */
    /* The server refused the client (login status -3, or status -2001 on any
     * reply). After a refusal on a logged-in session the client sends nothing
     * more until the server voids the session: reconnect (Disconnect and a
     * new connect) to start over. */
    CONN_REFUSED = 5,
    /* Login failed, or the subscriptions could not be registered (an item no
     * longer in the directory, an unusable reply). As with CONN_REFUSED, a
     * logged-in client stays silent: reconnect to start over. */
    CONN_REJECTED = 6
};

/* Name slot widths of caller arrays (bytes, zero-terminated). */
enum { TARVIK_POINT_NAME = 20, TARVIK_FIELD_NAME = 12, TARVIK_ITEM_NAME = 32 };

/* ---- Callbacks ------------------------------------------------------------ */

#ifdef __cplusplus
struct ITarvikClient;
#else
typedef struct ITarvikClient ITarvikClient;
#endif

typedef intptr_t TarvikUserData;

/* A connection-state change. Called on the notification thread; while it runs
 * GetState still returns the previous state. */
typedef void(TARVIK_CALL* StateCallback)(struct ITarvikClient* client, TarvikUserData userData,
                                         int32_t newState);

/* Changed values of subscribed items: one call per server report, count
 * entries; entry i is subscription handles[i] with the user value given to
 * Advise and its item's new value. The arrays belong to the library. While it
 * runs, GetValuesByHandle / GetValuesByItem still return the previous values. */
typedef void(TARVIK_CALL* DataCallback)(struct ITarvikClient* client, TarvikUserData userData,
                                        int32_t count, const int32_t* handles,
                                        const int32_t* userValues, const VarValue* values);

/* ---- The client interface --------------------------------------------------
 *
 * Items are named by (point index, FieldNo): the point's position in the
 * directory that the server sends at login, and the field's number 0..255
 * within the point's type. Queries (slots 14-29, 37-43) need a linked,
 * logged-in session; slots 30-36, 44-46 need the ready session (CONN_READY).
 * Otherwise they return -1 and write nothing.
 */
#ifdef __cplusplus
struct ITarvikClient {
    /* 0-2: user value and callbacks; any time, from any thread. */
    virtual void SetUserData(int32_t value) = 0;
    virtual void SetStateCallback(StateCallback callback) = 0;
    virtual void SetDataCallback(DataCallback callback) = 0;
    /* 3: connect over TCP to host:port, with an optional backup server
     * (backupHost null or empty: none). Host texts are cut to 254 characters.
     * Returns once the client's threads run; the server is reached later and
     * reported through StateCallback. */
    virtual bool ConnectRemote(int32_t port, const char* host, const char* backupHost,
                               int32_t backupPort) = 0;
    /* 4: connect to the server on this machine ("db" in the shared registry). */
    virtual bool ConnectLocal() = 0;
    /* 5: log out (waits for the server's answer up to the request timeout),
     * stop every thread of the client, drop undelivered notifications. The
     * directory and the subscriptions stay for the next connect. */
    virtual void Disconnect() = 0;
    /* 6: whether the last login or heartbeat reply carried a nonzero flag. */
    virtual bool GetServerFlag() = 0;
    /* 7: whether the transport link to a server is up. */
    virtual bool IsLinkUp() = 0;
    /* 8: the connection state last delivered to StateCallback (CONN_*). */
    virtual int32_t GetState() = 0;
    /* 9-12: reply timeout (default 10000 ms) and heartbeat interval (default
     * 500 ms). Values are stored unchecked. */
    virtual void SetRequestTimeout(int32_t milliseconds) = 0;
    virtual int32_t GetRequestTimeout() = 0;
    virtual void SetHeartbeatInterval(int32_t milliseconds) = 0;
    virtual int32_t GetHeartbeatInterval() = 0;
    /* 13: the last system error ("code text") into buffer[size], always
     * zero-terminated when size > 0. */
    virtual void GetLastErrorText(char* buffer, int32_t size) = 0;

    /* 14-29: the point directory. Names are in fixed-width slots:
     * points 20 bytes, fields 12, items ("POINT.FIELD", "POINT" = field PV) 32.
     * Look-ups by name ignore case; returned names keep the server's case.
     * Outputs marked opt may be null. */
    virtual int32_t GetPointCount() = 0;
    virtual int32_t EnumPoints(int32_t count, int32_t* indexes /*opt*/, char* names /*opt*/,
                               int32_t* aux /*opt*/, int32_t* typeIds /*opt*/) = 0;
    virtual int32_t GetTypeCount() = 0;
    virtual int32_t EnumTypes(int32_t count, int32_t* typeIds /*opt*/,
                              int32_t* fieldCounts /*opt*/) = 0;
    virtual int32_t GetFieldCounts(int32_t count, const int32_t* typeIds,
                                   int32_t* fieldCounts) = 0;
    virtual int32_t EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos /*opt*/,
                               int32_t* valueTypes /*opt*/, char* names /*opt*/) = 0;
    /* 20: the caller's names are read only (they are upper-cased in a copy). */
    virtual int32_t GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                                      int32_t* fieldNos) = 0;
    virtual int32_t GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                      char* names) = 0;
    virtual int32_t GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                      int32_t* valueTypes) = 0;
    virtual int32_t GetPointIndexesByName(int32_t count, const char* names,
                                          int32_t* indexes) = 0;
    virtual int32_t GetPointNamesByIndex(int32_t count, const int32_t* indexes, char* names) = 0;
    virtual int32_t GetPointAuxByIndex(int32_t count, const int32_t* indexes, int32_t* aux) = 0;
    virtual int32_t GetPointTypesByIndex(int32_t count, const int32_t* indexes,
                                         int32_t* typeIds) = 0;
    virtual int32_t ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                                     int32_t* fieldNos) = 0;
    virtual int32_t FormatItemNames(int32_t count, const int32_t* indexes,
                                    const int32_t* fieldNos, char* names) = 0;
    virtual int32_t GetItemTypesByName(int32_t count, const char* names,
                                       int32_t* valueTypes) = 0;

    /* 30-36: synchronous requests; each blocks until the server's reply or
     * the request timeout. All items must be valid, or nothing is sent. */
    virtual int32_t ReadValues(uint32_t count, const uint32_t* pointIndexes,
                               const uint32_t* fieldNos, VarValue* values) = 0;
    virtual int32_t WriteValues(uint32_t count, const uint32_t* pointIndexes,
                                const uint32_t* fieldNos, const VarValue* values) = 0;
    /* 32: times are OLE dates in local time; values receives count * samples
     * doubles in the order the server sends them. */
    virtual int32_t ReadHistory(double start, double end, uint32_t samples, uint32_t count,
                                const uint32_t* pointIndexes, const uint32_t* fieldNos,
                                double* values) = 0;
    virtual int32_t WriteHistory(uint32_t pointIndex, uint32_t fieldNo, uint32_t count,
                                 const double* times, const uint16_t* statuses,
                                 const double* values) = 0;
    /* 34: one handle per requested item (never 0). userValues may be null. */
    virtual int32_t Advise(uint32_t count, const uint32_t* pointIndexes, const uint32_t* fieldNos,
                           const int32_t* userValues, int32_t* handles) = 0;
    virtual int32_t Unadvise(uint32_t count, const int32_t* handles) = 0;
    /* 36: 1 when the server confirmed and every subscription is gone, else 0. */
    virtual int32_t UnadviseAll() = 0;

    /* 37-45: the subscription table. */
    virtual int32_t GetAdviseItemCount() = 0;
    virtual int32_t GetAdviseInfoByHandle(int32_t count, const int32_t* handles,
                                          int32_t* pointIndexes /*opt*/,
                                          int32_t* fieldNos /*opt*/,
                                          int32_t* userValues /*opt*/) = 0;
    virtual int32_t EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) = 0;
    virtual int32_t GetAdviseHandleCount() = 0;
    virtual int32_t EnumAdviseHandles(int32_t count, int32_t* handles /*opt*/,
                                      int32_t* userValues /*opt*/) = 0;
    virtual int32_t GetAdviseCounts(int32_t count, const int32_t* pointIndexes,
                                    const int32_t* fieldNos, int32_t* counts) = 0;
    virtual int32_t GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count,
                                     int32_t* handles /*opt*/, int32_t* userValues /*opt*/) = 0;
    /* 44-45: last received values. values[] must hold valid VarValues on
     * entry (empty, or text blocks from TarvikAlloc, which are freed first). */
    virtual int32_t GetValuesByHandle(int32_t count, const int32_t* handles,
                                      VarValue* values) = 0;
    virtual int32_t GetValuesByItem(int32_t count, const int32_t* pointIndexes,
                                    const int32_t* fieldNos, VarValue* values) = 0;

    /* 46: stored history records of one item; the three arrays come from
     * TarvikAlloc (all null when there are no records). */
    virtual int32_t ReadHistoryRaw(double start, double end, uint32_t pointIndex,
                                   uint32_t fieldNo, double** times, uint16_t** statuses,
                                   double** values) = 0;

protected:
    /* Not virtual: a client is destroyed only through TarvikDestroyClient. */
    ~ITarvikClient() = default;
};
#endif

/* ---- Exports ----------------------------------------------------------------
 * Windows ordinals: 1 TarvikCreateClient, 2 TarvikDestroyClient,
 * 3 TarvikAlloc, 4 TarvikFree. */

#ifdef __cplusplus
extern "C" {
#endif

/* A new client (state CONN_CLOSED, no thread running); null when memory or the
 * construction fails. clientParameter's low 16 bits go with the login. */
TARVIK_EXPORT struct ITarvikClient* TARVIK_CALL TarvikCreateClient(int32_t clientParameter);
/* Disconnects and frees the client. Null: nothing. */
TARVIK_EXPORT void TARVIK_CALL TarvikDestroyClient(struct ITarvikClient* client);
/* n bytes from the library's allocator; null for n <= 0 or when out of memory. */
TARVIK_EXPORT void* TARVIK_CALL TarvikAlloc(int32_t n);
/* Frees a block from TarvikAlloc or from the library. Null: nothing. */
TARVIK_EXPORT void TARVIK_CALL TarvikFree(void* block);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_TARVIK_H */
