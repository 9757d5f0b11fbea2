/**
 * @file tarvik.h
 * @brief Tarvik client library: the public interface for host applications.
 *
 * A host loads the library, creates a client with TarvikCreateClient and
 * drives it through the 47 operations of ITarvikClient, in the slot order
 * below. The slot order, the argument lists and the layout of VarValue are
 * the binary contract with the host; they never change.
 *
 * @par Calling conventions
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
 * @par Memory
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
 * @par Threads
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
 * @par User data
 *   The client stores the value given to SetUserData as a 32-bit signed
 *   integer and passes it to both callbacks widened (sign-extended) to a
 *   pointer-sized integer, TarvikUserData. On 32-bit Windows the two widths are
 *   the same; on 64-bit Windows and 64-bit Linux the callbacks get 64 bits of
 *   which only the low 32 came from SetUserData, so a host there passes an
 *   index or a key, never a pointer.
 *
 * @par Results
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
/** Calling convention of the exports and the callbacks: __stdcall on 32-bit
 * Windows, the platform's default elsewhere. */
#define TARVIK_CALL __stdcall
#else
#define TARVIK_CALL
#endif

#if defined(_WIN32)
/** Marks the four exports (visible by name on Linux; by ordinal on Windows). */
#define TARVIK_EXPORT
#elif defined(__GNUC__)
#define TARVIK_EXPORT __attribute__((visibility("default")))
#else
#define TARVIK_EXPORT
#endif

/* ---- Tagged value -------------------------------------------------------- */

/** Tags of a VarValue, and the value types of fields (EnumFields,
 * GetFieldTypesByNo, GetItemTypesByName). */
enum TarvikValueTag {
    VAL_NONE = 0,   /**< no value */
    VAL_LONG = 1,   /**< 32-bit signed integer */
    VAL_DOUBLE = 2, /**< IEEE 754 double */
    VAL_STRING = 4  /**< pointer to a 64-byte text block from TarvikAlloc */
};

/** Size of a text block, and the longest text it holds. */
enum TarvikTextSize {
    TARVIK_TEXT_BLOCK = 64, /**< bytes of a text block */
    TARVIK_TEXT_MAX = 63    /**< characters of the longest text (and a zero) */
};

#pragma pack(push, 1)
/** A tagged value: 9 bytes, no padding, a tag byte and 8 payload bytes.
 * Arrays of VarValue are plain arrays of 9-byte records. Fields other than
 * the tag's are undefined. The struct is packed: copy the payload out
 * (memcpy) rather than taking the address of a member. */
typedef struct VarValue {
    uint8_t tag; /**< VAL_NONE, VAL_LONG, VAL_DOUBLE or VAL_STRING */
    /** The payload, as the tag says. */
    union {
        int32_t lVal;   /**< VAL_LONG */
        double dblVal;  /**< VAL_DOUBLE */
        char* strVal;   /**< VAL_STRING: a 64-byte block from TarvikAlloc */
        uint8_t raw[8]; /**< the 8 payload bytes */
    } u;
} VarValue;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(VarValue) == 9, "VarValue is 9 bytes");
static_assert(offsetof(VarValue, u) == 1, "VarValue payload at byte 1");
#endif

/* ---- Connection states (StateCallback, GetState) ------------------------- */

/** Connection states, delivered to the StateCallback and returned by
 * ITarvikClient::GetState. The guide (docs/guide.md) says what an
 * application should do on each. */
enum TarvikConnectionState {
    CONN_READY = 0,     /**< session established and confirmed by the server */
    CONN_CLOSED = 1,    /**< not connected, or connected and not yet linked */
    CONN_PENDING = 2,   /**< a server was found; login follows */
    CONN_BROKEN = 3,    /**< the link failed; the client looks for the server again */
    CONN_NO_SERVER = 4, /**< no server could be found or reached; retried */
    /** The server refused the client (login status -3, or status -2001 on any
     * reply). After a refusal on a logged-in session the client sends nothing
     * more until the server voids the session: reconnect (Disconnect and a
     * new connect) to start over. */
    CONN_REFUSED = 5,
    /** Login failed, or the subscriptions could not be registered (an item no
     * longer in the directory, an unusable reply). As with CONN_REFUSED, a
     * logged-in client stays silent: reconnect to start over. */
    CONN_REJECTED = 6
};

/** Name slot widths of caller arrays (bytes, zero-terminated). */
enum TarvikNameSlot {
    TARVIK_POINT_NAME = 20, /**< a point name: at most 19 characters */
    TARVIK_FIELD_NAME = 12, /**< a field name: at most 11 characters */
    TARVIK_ITEM_NAME = 32   /**< an item name "POINT.FIELD": at most 31 characters */
};

/* ---- Callbacks ------------------------------------------------------------ */

#ifdef __cplusplus
struct ITarvikClient;
#else
typedef struct ITarvikClient ITarvikClient;
#endif

/** The user value of SetUserData as the callbacks receive it (sign-extended
 * to the width of a pointer). */
typedef intptr_t TarvikUserData;

/** A connection-state change. Called on the notification thread; while it runs
 * GetState still returns the previous state. */
typedef void(TARVIK_CALL* StateCallback)(struct ITarvikClient* client, TarvikUserData userData,
                                         int32_t newState);

/** Changed values of subscribed items: one call per server report, count
 * entries; entry i is subscription handles[i] with the user value given to
 * Advise and its item's new value. The arrays belong to the library. While it
 * runs, GetValuesByHandle / GetValuesByItem still return the previous values. */
typedef void(TARVIK_CALL* DataCallback)(struct ITarvikClient* client, TarvikUserData userData,
                                        int32_t count, const int32_t* handles,
                                        const int32_t* userValues, const VarValue* values);

/* ---- The client interface -------------------------------------------------- */

#ifdef __cplusplus
/**
 * @brief A client of the database server: 47 operations in a fixed slot order.
 *
 * Created with TarvikCreateClient, destroyed with TarvikDestroyClient.
 *
 * Items are named by (point index, FieldNo): the point's position in the
 * directory that the server sends at login, and the field's number 0..255
 * within the point's type. Queries (slots 14-29, 37-43) need a linked,
 * logged-in session; slots 30-36, 44-46 need the ready session (CONN_READY).
 * Otherwise they return -1 and write nothing.
 *
 * Name arguments are arrays of fixed-width, zero-terminated slots:
 * TARVIK_POINT_NAME bytes for points, TARVIK_FIELD_NAME for fields and
 * TARVIK_ITEM_NAME for items ("POINT.FIELD", or "POINT" for field PV).
 * Look-ups by name ignore case; returned names keep the server's case.
 * Outputs marked "may be null" are skipped when null.
 */
struct ITarvikClient {
    /** @name Settings and callbacks (slots 0-2), any time, from any thread */
    /** @{ */
    /** Slot 0: the user value passed to both callbacks.
     * @param value stored as is, passed widened to TarvikUserData */
    virtual void SetUserData(int32_t value) = 0;
    /** Slot 1: the connection-state callback (null: none).
     * @param callback called on the notification thread */
    virtual void SetStateCallback(StateCallback callback) = 0;
    /** Slot 2: the data-change callback of subscriptions (null: none).
     * @param callback called on the notification thread */
    virtual void SetDataCallback(DataCallback callback) = 0;
    /** @} */

    /** @name Connection control (slots 3-13) */
    /** @{ */
    /** Slot 3: connect over TCP to host:port, with an optional backup server.
     * Host texts are cut to 254 characters. Returns once the client's threads
     * run; the server is reached later and reported through the
     * StateCallback. A failed attempt's reason is in GetLastErrorText.
     * @param port the server's TCP port
     * @param host the server's host name or address
     * @param backupHost the backup server's host (null or empty: none)
     * @param backupPort the backup server's TCP port
     * @return true when the client's threads run */
    virtual bool ConnectRemote(int32_t port, const char* host, const char* backupHost,
                               int32_t backupPort) = 0;
    /** Slot 4: connect to the server on this machine ("db" in the shared
     * registry).
     * @return true when the client's threads run */
    virtual bool ConnectLocal() = 0;
    /** Slot 5: log out (waits for the server's answer up to the request
     * timeout), stop every thread of the client, drop undelivered
     * notifications. The directory and the subscriptions stay for the next
     * connect. */
    virtual void Disconnect() = 0;
    /** Slot 6: whether the last login or heartbeat reply carried a nonzero
     * flag.
     * @return the server flag */
    virtual bool GetServerFlag() = 0;
    /** Slot 7: whether the transport link to a server is up.
     * @return true while linked */
    virtual bool IsLinkUp() = 0;
    /** Slot 8: the connection state last delivered to the StateCallback.
     * @return one of the CONN_ states */
    virtual int32_t GetState() = 0;
    /** Slot 9: the reply timeout (default 10000 ms), stored unchecked.
     * @param milliseconds how long a request waits for its reply */
    virtual void SetRequestTimeout(int32_t milliseconds) = 0;
    /** Slot 10: the reply timeout.
     * @return milliseconds */
    virtual int32_t GetRequestTimeout() = 0;
    /** Slot 11: the heartbeat interval (default 500 ms), stored unchecked.
     * @param milliseconds time between heartbeats of a ready session */
    virtual void SetHeartbeatInterval(int32_t milliseconds) = 0;
    /** Slot 12: the heartbeat interval.
     * @return milliseconds */
    virtual int32_t GetHeartbeatInterval() = 0;
    /** Slot 13: the last error as "code text": a system failure (thread or
     * window creation), or why the last connection attempt failed or the
     * link went (refused, unreachable, host name not found, timed out,
     * closed by the server, a peer that does not speak this protocol).
     * @param buffer receives the text, always zero-terminated when size > 0
     * @param size bytes of buffer */
    virtual void GetLastErrorText(char* buffer, int32_t size) = 0;
    /** @} */

    /** @name The point directory (slots 14-29) */
    /** @{ */
    /** Slot 14: the number of points.
     * @return the count, or -1 */
    virtual int32_t GetPointCount() = 0;
    /** Slot 15: the first count points in directory order.
     * @param count entries the arrays hold
     * @param indexes receives point indexes (may be null)
     * @param names receives names in TARVIK_POINT_NAME slots (may be null)
     * @param aux receives each point's Aux word (may be null)
     * @param typeIds receives each point's type id (may be null)
     * @return entries written, or -1 */
    virtual int32_t EnumPoints(int32_t count, int32_t* indexes /*opt*/, char* names /*opt*/,
                               int32_t* aux /*opt*/, int32_t* typeIds /*opt*/) = 0;
    /** Slot 16: the number of point types.
     * @return the count, or -1 */
    virtual int32_t GetTypeCount() = 0;
    /** Slot 17: the point types, in the directory's own order.
     * @param count entries the arrays hold
     * @param typeIds receives type ids (may be null)
     * @param fieldCounts receives each type's number of fields (may be null)
     * @return entries written, or -1 */
    virtual int32_t EnumTypes(int32_t count, int32_t* typeIds /*opt*/,
                              int32_t* fieldCounts /*opt*/) = 0;
    /** Slot 18: the number of fields of each type (-1 for an unknown type).
     * @param count number of types
     * @param typeIds the types
     * @param fieldCounts receives the counts
     * @return count, or -1 */
    virtual int32_t GetFieldCounts(int32_t count, const int32_t* typeIds,
                                   int32_t* fieldCounts) = 0;
    /** Slot 19: the fields of one type.
     * @param typeId the type
     * @param count entries the arrays hold
     * @param fieldNos receives field numbers (may be null)
     * @param valueTypes receives VAL_ value types (may be null)
     * @param names receives names in TARVIK_FIELD_NAME slots (may be null)
     * @return entries written, or -1 */
    virtual int32_t EnumFields(int32_t typeId, int32_t count, int32_t* fieldNos /*opt*/,
                               int32_t* valueTypes /*opt*/, char* names /*opt*/) = 0;
    /** Slot 20: field numbers by name (-1 where unknown). The caller's names
     * are read only (they are upper-cased in a copy).
     * @param typeId the type
     * @param count number of names
     * @param names TARVIK_FIELD_NAME slots
     * @param fieldNos receives the numbers
     * @return count, or -1 */
    virtual int32_t GetFieldNosByName(int32_t typeId, int32_t count, const char* names,
                                      int32_t* fieldNos) = 0;
    /** Slot 21: field names by number (empty where unknown).
     * @param typeId the type
     * @param count number of fields
     * @param fieldNos the numbers
     * @param names receives TARVIK_FIELD_NAME slots
     * @return count, or -1 */
    virtual int32_t GetFieldNamesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                      char* names) = 0;
    /** Slot 22: value types of fields by number (-1 where unknown).
     * @param typeId the type
     * @param count number of fields
     * @param fieldNos the numbers
     * @param valueTypes receives VAL_ value types
     * @return count, or -1 */
    virtual int32_t GetFieldTypesByNo(int32_t typeId, int32_t count, const int32_t* fieldNos,
                                      int32_t* valueTypes) = 0;
    /** Slot 23: point indexes by name (-1 where unknown).
     * @param count number of names
     * @param names TARVIK_POINT_NAME slots
     * @param indexes receives the indexes
     * @return count, or -1 */
    virtual int32_t GetPointIndexesByName(int32_t count, const char* names,
                                          int32_t* indexes) = 0;
    /** Slot 24: point names by index (empty where unknown).
     * @param count number of points
     * @param indexes the indexes
     * @param names receives TARVIK_POINT_NAME slots
     * @return count, or -1 */
    virtual int32_t GetPointNamesByIndex(int32_t count, const int32_t* indexes, char* names) = 0;
    /** Slot 25: the Aux words of points by index.
     * @param count number of points
     * @param indexes the indexes
     * @param aux receives the Aux words
     * @return count, or -1 */
    virtual int32_t GetPointAuxByIndex(int32_t count, const int32_t* indexes, int32_t* aux) = 0;
    /** Slot 26: the type ids of points by index.
     * @param count number of points
     * @param indexes the indexes
     * @param typeIds receives the type ids
     * @return count, or -1 */
    virtual int32_t GetPointTypesByIndex(int32_t count, const int32_t* indexes,
                                         int32_t* typeIds) = 0;
    /** Slot 27: items by name ("POINT.FIELD", "POINT" for PV); -1 where a
     * point or field is unknown.
     * @param count number of names
     * @param names TARVIK_ITEM_NAME slots
     * @param indexes receives point indexes
     * @param fieldNos receives field numbers
     * @return count, or -1 */
    virtual int32_t ResolveItemNames(int32_t count, const char* names, int32_t* indexes,
                                     int32_t* fieldNos) = 0;
    /** Slot 28: item names of (point index, FieldNo) pairs.
     * @param count number of items
     * @param indexes point indexes
     * @param fieldNos field numbers
     * @param names receives TARVIK_ITEM_NAME slots
     * @return count, or -1 */
    virtual int32_t FormatItemNames(int32_t count, const int32_t* indexes,
                                    const int32_t* fieldNos, char* names) = 0;
    /** Slot 29: value types of items by name (-1 where unknown).
     * @param count number of names
     * @param names TARVIK_ITEM_NAME slots
     * @param valueTypes receives VAL_ value types
     * @return count, or -1 */
    virtual int32_t GetItemTypesByName(int32_t count, const char* names,
                                       int32_t* valueTypes) = 0;
    /** @} */

    /** @name Synchronous requests (slots 30-36)
     * Each blocks until the server's reply or the request timeout; one at a
     * time per client. All items must be valid, or nothing is sent. */
    /** @{ */
    /** Slot 30: read current values.
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param values receives the values; must hold valid VarValues on entry
     *        (text blocks in them are freed first); text blocks written
     *        belong to the caller
     * @return count, or -1 */
    virtual int32_t ReadValues(uint32_t count, const uint32_t* pointIndexes,
                               const uint32_t* fieldNos, VarValue* values) = 0;
    /** Slot 31: write values; each is converted to its field's value type
     * (a double to a long rounds half up, a text to a number reads its
     * leading digits, a number to a text prints it).
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param values the values
     * @return count, or -1 */
    virtual int32_t WriteValues(uint32_t count, const uint32_t* pointIndexes,
                                const uint32_t* fieldNos, const VarValue* values) = 0;
    /** Slot 32: sampled history of several items. Times are OLE dates in
     * local time (days since 1899-12-30); the server takes whole seconds.
     * @param start first sample time
     * @param end last sample time
     * @param samples values per item
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param values receives count * samples doubles in the order the server
     *        sends them
     * @return count, or -1 */
    virtual int32_t ReadHistory(double start, double end, uint32_t samples, uint32_t count,
                                const uint32_t* pointIndexes, const uint32_t* fieldNos,
                                double* values) = 0;
    /** Slot 33: store history records of one item.
     * @param pointIndex the item's point
     * @param fieldNo the item's field
     * @param count number of records (may be 0)
     * @param times OLE dates in local time
     * @param statuses status words, passed through
     * @param values values (stored as float)
     * @return count, or -1 */
    virtual int32_t WriteHistory(uint32_t pointIndex, uint32_t fieldNo, uint32_t count,
                                 const double* times, const uint16_t* statuses,
                                 const double* values) = 0;
    /** Slot 34: subscribe to items; their changes come to the DataCallback.
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param userValues passed back with each change (may be null: 0)
     * @param handles receives one handle per item (never 0)
     * @return count, or -1 */
    virtual int32_t Advise(uint32_t count, const uint32_t* pointIndexes, const uint32_t* fieldNos,
                           const int32_t* userValues, int32_t* handles) = 0;
    /** Slot 35: end subscriptions.
     * @param count number of handles
     * @param handles handles from Advise
     * @return count, or -1 */
    virtual int32_t Unadvise(uint32_t count, const int32_t* handles) = 0;
    /** Slot 36: end every subscription.
     * @return 1 when the server confirmed and every subscription is gone,
     *         else 0 */
    virtual int32_t UnadviseAll() = 0;
    /** @} */

    /** @name The subscription table (slots 37-45) */
    /** @{ */
    /** Slot 37: the number of subscribed items.
     * @return the count, or -1 */
    virtual int32_t GetAdviseItemCount() = 0;
    /** Slot 38: what handles subscribe to (-1 where a handle is unknown).
     * @param count number of handles
     * @param handles the handles
     * @param pointIndexes receives the items' points (may be null)
     * @param fieldNos receives the items' fields (may be null)
     * @param userValues receives the user values (may be null)
     * @return count, or -1 */
    virtual int32_t GetAdviseInfoByHandle(int32_t count, const int32_t* handles,
                                          int32_t* pointIndexes /*opt*/,
                                          int32_t* fieldNos /*opt*/,
                                          int32_t* userValues /*opt*/) = 0;
    /** Slot 39: the subscribed items.
     * @param count entries the arrays hold
     * @param pointIndexes receives the items' points
     * @param fieldNos receives the items' fields
     * @return entries written, or -1 */
    virtual int32_t EnumAdviseItems(int32_t count, int32_t* pointIndexes, int32_t* fieldNos) = 0;
    /** Slot 40: the number of subscription handles.
     * @return the count, or -1 */
    virtual int32_t GetAdviseHandleCount() = 0;
    /** Slot 41: the subscription handles.
     * @param count entries the arrays hold
     * @param handles receives handles (may be null)
     * @param userValues receives their user values (may be null)
     * @return entries written, or -1 */
    virtual int32_t EnumAdviseHandles(int32_t count, int32_t* handles /*opt*/,
                                      int32_t* userValues /*opt*/) = 0;
    /** Slot 42: the number of subscriptions of each item.
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param counts receives the numbers
     * @return count, or -1 */
    virtual int32_t GetAdviseCounts(int32_t count, const int32_t* pointIndexes,
                                    const int32_t* fieldNos, int32_t* counts) = 0;
    /** Slot 43: the subscriptions of one item.
     * @param pointIndex the item's point
     * @param fieldNo the item's field
     * @param count entries the arrays hold
     * @param handles receives handles (may be null)
     * @param userValues receives their user values (may be null)
     * @return entries written, or -1 */
    virtual int32_t GetAdviseHandles(int32_t pointIndex, int32_t fieldNo, int32_t count,
                                     int32_t* handles /*opt*/, int32_t* userValues /*opt*/) = 0;
    /** Slot 44: the last received values of subscriptions.
     * @param count number of handles
     * @param handles the handles
     * @param values receives the values; must hold valid VarValues on entry
     *        (empty, or text blocks from TarvikAlloc, which are freed first)
     * @return count, or -1 */
    virtual int32_t GetValuesByHandle(int32_t count, const int32_t* handles,
                                      VarValue* values) = 0;
    /** Slot 45: the last received values of subscribed items.
     * @param count number of items
     * @param pointIndexes the items' points
     * @param fieldNos the items' fields
     * @param values receives the values, as for GetValuesByHandle
     * @return count, or -1 */
    virtual int32_t GetValuesByItem(int32_t count, const int32_t* pointIndexes,
                                    const int32_t* fieldNos, VarValue* values) = 0;
    /** @} */

    /** @name Raw history (slot 46) */
    /** @{ */
    /** Slot 46: the stored history records of one item. The three arrays
     * come from TarvikAlloc and belong to the caller (all null when there
     * are no records).
     * @param start first time (OLE date, local time)
     * @param end last time (OLE date, local time)
     * @param pointIndex the item's point
     * @param fieldNo the item's field
     * @param times receives the records' times (OLE dates, local time)
     * @param statuses receives their status words
     * @param values receives their values
     * @return the number of records, or -1 */
    virtual int32_t ReadHistoryRaw(double start, double end, uint32_t pointIndex,
                                   uint32_t fieldNo, double** times, uint16_t** statuses,
                                   double** values) = 0;
    /** @} */

protected:
    /** Not virtual: a client is destroyed only through TarvikDestroyClient. */
    ~ITarvikClient() = default;
};
#endif

/* ---- Exports ----------------------------------------------------------------
 * Windows ordinals: 1 TarvikCreateClient, 2 TarvikDestroyClient,
 * 3 TarvikAlloc, 4 TarvikFree. */

#ifdef __cplusplus
extern "C" {
#endif

/** Export 1: a new client (state CONN_CLOSED, no thread running).
 * @param clientParameter its low 16 bits go with the login
 * @return the client, or null when memory or the construction fails */
TARVIK_EXPORT struct ITarvikClient* TARVIK_CALL TarvikCreateClient(int32_t clientParameter);
/** Export 2: disconnects and frees the client.
 * @param client from TarvikCreateClient (null: nothing) */
TARVIK_EXPORT void TARVIK_CALL TarvikDestroyClient(struct ITarvikClient* client);
/** Export 3: a block from the library's allocator: text blocks of VarValue
 * (TARVIK_TEXT_BLOCK bytes) and anything else the library frees.
 * @param n bytes
 * @return the block, or null for n <= 0 or when out of memory */
TARVIK_EXPORT void* TARVIK_CALL TarvikAlloc(int32_t n);
/** Export 4: frees a block from TarvikAlloc or from the library.
 * @param block the block (null: nothing) */
TARVIK_EXPORT void TARVIK_CALL TarvikFree(void* block);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_TARVIK_H */
