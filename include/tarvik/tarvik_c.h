/**
 * @file tarvik_c.h
 * @brief The Tarvik C API: plain C functions over the client library.
 *
 * The companion library tarvik_c (libtarvik_c.so.1 on Linux, tarvik_c.dll on
 * Windows) drives the client library through its four exports and its
 * interface, so that C programs and every language that binds to C can use
 * all of it. Each operation of the client interface has one function here,
 * named after it in snake case with the prefix `tarvik_`, taking the client
 * first, with the same arguments, results and ownership rules (ReadValues is
 * tarvik_read_values, GetLastErrorText is tarvik_get_last_error_text). The
 * documentation of tarvik.h applies to each of them; this file adds what
 * differs and what is new: tarvik_wait_ready and the name-based reads and
 * writes.
 *
 * @par Calling convention
 * - Linux (x86-64, ARM, ...): the platform's C calling convention; the
 *   functions are exported by name from libtarvik_c.so.1.
 * - 32-bit Windows: every function and both callback types are __cdecl (the
 *   C default, TARVIK_C_CALL), exported by their plain, undecorated names
 *   from tarvik_c.dll. Only the client library itself uses __stdcall and
 *   ordinals; tarvik_c hides both.
 * - 64-bit Windows: the one x64 convention; exported by name from
 *   tarvik_c.dll.
 *
 * @par Clients and callbacks
 * A client is an opaque ::tarvik_client from tarvik_create. The callbacks set
 * with tarvik_set_state_callback and tarvik_set_data_callback receive that
 * same pointer. They run on the client's notification thread under the rules
 * of tarvik.h: they may call any query or request, but not tarvik_connect_*,
 * tarvik_disconnect or tarvik_destroy of the same client (tarvik_destroy from a
 * callback is detected and completed once the callback returns).
 *
 * @par Results
 * Functions that return a count return -1 on failure, as the interface does;
 * every function given a null client returns -1, false, 0 or nothing.
 */
#ifndef TARVIK_TARVIK_C_H
#define TARVIK_TARVIK_C_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "tarvik/tarvik.h"

/**
 * @def TARVIK_C_CALL
 * The calling convention of the C API's functions and callbacks: __cdecl on
 * 32-bit Windows, the platform's default elsewhere.
 */
#if defined(_WIN32) && !defined(_WIN64)
#define TARVIK_C_CALL __cdecl
#else
#define TARVIK_C_CALL
#endif

/**
 * @def TARVIK_C_API
 * Marks the functions that tarvik_c exports.
 */
#if defined(_WIN32)
#if defined(TARVIK_C_BUILDING)
#define TARVIK_C_API __declspec(dllexport)
#else
#define TARVIK_C_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TARVIK_C_API __attribute__((visibility("default")))
#else
#define TARVIK_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** An opaque client: created by tarvik_create, freed by tarvik_destroy. */
typedef struct tarvik_client tarvik_client;

/**
 * A connection-state change (one of the CONN_* values of tarvik.h).
 * @param client    the client whose state changed
 * @param userData  the value given to tarvik_set_user_data, sign-extended
 * @param newState  the new state; tarvik_get_state returns it once the
 *                  callback has returned
 */
typedef void(TARVIK_C_CALL* tarvik_state_callback)(tarvik_client* client, TarvikUserData userData,
                                                   int32_t newState);

/**
 * Changed values of subscribed items: entry i is the subscription handles[i]
 * with the user value given to tarvik_advise and its item's new value. The
 * arrays and their text blocks belong to the library: copy what you keep.
 * @param client      the client that received the values
 * @param userData    the value given to tarvik_set_user_data, sign-extended
 * @param count       number of entries
 * @param handles     subscription handles
 * @param userValues  the user values of the subscriptions
 * @param values      the new values
 */
typedef void(TARVIK_C_CALL* tarvik_data_callback)(tarvik_client* client, TarvikUserData userData,
                                                  int32_t count, const int32_t* handles,
                                                  const int32_t* userValues,
                                                  const VarValue* values);

/* ---- Clients, memory, version ------------------------------------------- */

/**
 * Creates a client (TarvikCreateClient): state CONN_CLOSED, no thread running.
 * @param clientParameter  its low 16 bits go with the login
 * @return the client, or null when memory or the construction fails
 */
TARVIK_C_API tarvik_client* TARVIK_C_CALL tarvik_create(int32_t clientParameter);
/**
 * Disconnects and frees a client (TarvikDestroyClient). Null: nothing.
 * @param client  the client; invalid once this returns
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_destroy(tarvik_client* client);
/**
 * Allocates from the library's allocator (TarvikAlloc): for text blocks and
 * anything else handed to the library.
 * @param n  bytes
 * @return the block, or null for n <= 0 or when out of memory
 */
TARVIK_C_API void* TARVIK_C_CALL tarvik_alloc(int32_t n);
/**
 * Frees a block from tarvik_alloc or from the library (TarvikFree). Null:
 * nothing.
 * @param block  the block
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_free(void* block);
/** @return the version of tarvik_c, "MAJOR.MINOR.PATCH" */
TARVIK_C_API const char* TARVIK_C_CALL tarvik_version(void);
/**
 * @param state  a CONN_* value
 * @return its name ("CONN_READY", ...), or "unknown" for any other value
 */
TARVIK_C_API const char* TARVIK_C_CALL tarvik_state_name(int32_t state);

/* ---- Conveniences ---------------------------------------------------------- */

/**
 * Waits until the client's state is CONN_READY. Works whether or not the
 * application set a state callback, and does not replace it. Called from a
 * callback of the same client it only times out: no state is delivered while
 * a callback runs.
 * @param client     the client
 * @param timeoutMs  longest wait in milliseconds; 0 or less checks once
 * @return true once the state is CONN_READY, false at the time-out
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_wait_ready(tarvik_client* client, int32_t timeoutMs);

/**
 * Reads the current values of items named "POINT.FIELD" (or "POINT" for its
 * PV field), as tarvik_read_values does for point indexes and field numbers.
 * All names must be known and at most 31 characters long, or nothing is read.
 * @param client  the client (state CONN_READY)
 * @param count   number of names and values
 * @param names   count zero-terminated item names (case is ignored)
 * @param values  count VarValues, valid on entry (zeroed, or holding text
 *                blocks, which are freed first); text blocks written here
 *                belong to the caller (tarvik_free or tarvik_values_clear)
 * @return count, or -1 when a name is unknown or the request fails (values
 *         unchanged)
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_by_name(tarvik_client* client, int32_t count,
                                                       const char* const* names, VarValue* values);

/**
 * Writes values to items named "POINT.FIELD" (or "POINT"), as
 * tarvik_write_values does; each value is converted to its field's type. All
 * names must be known, or nothing is sent.
 * @param client  the client (state CONN_READY)
 * @param count   number of names and values
 * @param names   count zero-terminated item names (case is ignored)
 * @param values  count values; a text may be any zero-terminated string of
 *                the caller (at most 63 characters are sent)
 * @return count, or -1 when a name is unknown or the request fails
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_by_name(tarvik_client* client, int32_t count,
                                                        const char* const* names,
                                                        const VarValue* values);

/**
 * Subscribes to items named "POINT.FIELD" (or "POINT"), as tarvik_advise does;
 * their changes reach the data callback. All names must be known, or nothing
 * is sent.
 * @param client      the client (state CONN_READY)
 * @param count       number of names
 * @param names       count zero-terminated item names (case is ignored)
 * @param userValues  count user values passed to the data callback (may be null)
 * @param handles     receives one handle per item (for tarvik_unadvise)
 * @return count, or -1 when a name is unknown or the request fails
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_advise_by_name(tarvik_client* client, int32_t count,
                                                         const char* const* names,
                                                         const int32_t* userValues,
                                                         int32_t* handles);

/**
 * Stores a copy of a text in a value: a new text block from the library's
 * allocator (the value's old text block, if any, is freed).
 * @param value  a valid VarValue (zeroed, or holding a text block)
 * @param text   the text; at most 63 characters are kept
 * @return false when out of memory (the value is then empty)
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_value_set_text(VarValue* value, const char* text);

/**
 * Empties values: frees their text blocks and sets their tags to VAL_NONE.
 * @param count   number of values
 * @param values  the values (null: nothing)
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_values_clear(int32_t count, VarValue* values);

/* ---- One function per operation of the client interface ------------------ */

/**
 * Slot 0: the user value passed to both callbacks.
 * @param client  the client
 * @param value   the value
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_set_user_data(tarvik_client* client, int32_t value);
/**
 * Slot 1: the state callback (null: none).
 * @param client    the client
 * @param callback  the callback
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_set_state_callback(tarvik_client* client,
                                                          tarvik_state_callback callback);
/**
 * Slot 2: the data callback (null: none).
 * @param client    the client
 * @param callback  the callback
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_set_data_callback(tarvik_client* client,
                                                         tarvik_data_callback callback);
/**
 * Slot 3: connects over TCP; the server is reached later (tarvik_wait_ready).
 * @param client      the client
 * @param port        the server's TCP port
 * @param host        the server's host name or address
 * @param backupHost  a backup server (null or empty: none)
 * @param backupPort  the backup server's port
 * @return true once the client's threads run
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_connect_remote(tarvik_client* client, int32_t port,
                                                      const char* host, const char* backupHost,
                                                      int32_t backupPort);
/**
 * Slot 4: connects to the server on this machine.
 * @param client  the client
 * @return true once the client's threads run
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_connect_local(tarvik_client* client);
/**
 * Slot 5: logs out and stops the client's threads.
 * @param client  the client
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_disconnect(tarvik_client* client);
/**
 * Slot 6.
 * @param client  the client
 * @return whether the last login or heartbeat reply carried a nonzero flag
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_get_server_flag(tarvik_client* client);
/**
 * Slot 7.
 * @param client  the client
 * @return whether the transport link to a server is up
 */
TARVIK_C_API bool TARVIK_C_CALL tarvik_is_link_up(tarvik_client* client);
/**
 * Slot 8.
 * @param client  the client
 * @return the connection state last delivered (CONN_*); -1 for a null client
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_state(tarvik_client* client);
/**
 * Slot 9: the reply timeout of requests.
 * @param client        the client
 * @param milliseconds  the timeout (default 10000)
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_set_request_timeout(tarvik_client* client,
                                                           int32_t milliseconds);
/**
 * Slot 10.
 * @param client  the client
 * @return the reply timeout of requests in milliseconds
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_request_timeout(tarvik_client* client);
/**
 * Slot 11: the heartbeat interval.
 * @param client        the client
 * @param milliseconds  the interval (default 500)
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_set_heartbeat_interval(tarvik_client* client,
                                                              int32_t milliseconds);
/**
 * Slot 12.
 * @param client  the client
 * @return the heartbeat interval in milliseconds
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_heartbeat_interval(tarvik_client* client);
/**
 * Slot 13: the last system error as "code text".
 * @param client  the client
 * @param buffer  receives the text, zero-terminated when size > 0
 * @param size    the buffer's size in bytes
 */
TARVIK_C_API void TARVIK_C_CALL tarvik_get_last_error_text(tarvik_client* client, char* buffer,
                                                           int32_t size);

/**
 * Slot 14.
 * @param client  the client
 * @return the number of points in the directory, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_count(tarvik_client* client);
/**
 * Slot 15: the points in directory order.
 * @param client   the client
 * @param count    entries to fill
 * @param indexes  point indexes (may be null)
 * @param names    count 20-byte name slots (may be null)
 * @param aux      auxiliary numbers (may be null)
 * @param typeIds  type ids (may be null)
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_points(tarvik_client* client, int32_t count,
                                                      int32_t* indexes, char* names, int32_t* aux,
                                                      int32_t* typeIds);
/**
 * Slot 16.
 * @param client  the client
 * @return the number of point types, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_type_count(tarvik_client* client);
/**
 * Slot 17: the point types.
 * @param client       the client
 * @param count        entries to fill
 * @param typeIds      type ids (may be null)
 * @param fieldCounts  field counts (may be null)
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_types(tarvik_client* client, int32_t count,
                                                     int32_t* typeIds, int32_t* fieldCounts);
/**
 * Slot 18: field counts of types.
 * @param client       the client
 * @param count        entries
 * @param typeIds      type ids
 * @param fieldCounts  receives the field counts
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_counts(tarvik_client* client, int32_t count,
                                                           const int32_t* typeIds,
                                                           int32_t* fieldCounts);
/**
 * Slot 19: the fields of a type.
 * @param client      the client
 * @param typeId      the type
 * @param count       entries to fill
 * @param fieldNos    field numbers (may be null)
 * @param valueTypes  value types VAL_* (may be null)
 * @param names       count 12-byte name slots (may be null)
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_fields(tarvik_client* client, int32_t typeId,
                                                      int32_t count, int32_t* fieldNos,
                                                      int32_t* valueTypes, char* names);
/**
 * Slot 20: field numbers by name.
 * @param client    the client
 * @param typeId    the type
 * @param count     entries
 * @param names     count 12-byte name slots
 * @param fieldNos  receives the field numbers (-1: unknown)
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_nos_by_name(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const char* names,
                                                                int32_t* fieldNos);
/**
 * Slot 21: field names by number.
 * @param client    the client
 * @param typeId    the type
 * @param count     entries
 * @param fieldNos  field numbers
 * @param names     receives count 12-byte name slots
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_names_by_no(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const int32_t* fieldNos,
                                                                char* names);
/**
 * Slot 22: value types of fields by number.
 * @param client      the client
 * @param typeId      the type
 * @param count       entries
 * @param fieldNos    field numbers
 * @param valueTypes  receives the value types
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_field_types_by_no(tarvik_client* client,
                                                                int32_t typeId, int32_t count,
                                                                const int32_t* fieldNos,
                                                                int32_t* valueTypes);
/**
 * Slot 23: point indexes by name.
 * @param client   the client
 * @param count    entries
 * @param names    count 20-byte name slots
 * @param indexes  receives the point indexes (-1: unknown)
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_indexes_by_name(tarvik_client* client,
                                                                    int32_t count,
                                                                    const char* names,
                                                                    int32_t* indexes);
/**
 * Slot 24: point names by index.
 * @param client   the client
 * @param count    entries
 * @param indexes  point indexes
 * @param names    receives count 20-byte name slots
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_names_by_index(tarvik_client* client,
                                                                   int32_t count,
                                                                   const int32_t* indexes,
                                                                   char* names);
/**
 * Slot 25: auxiliary numbers of points.
 * @param client   the client
 * @param count    entries
 * @param indexes  point indexes
 * @param aux      receives the auxiliary numbers
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_aux_by_index(tarvik_client* client,
                                                                 int32_t count,
                                                                 const int32_t* indexes,
                                                                 int32_t* aux);
/**
 * Slot 26: type ids of points.
 * @param client   the client
 * @param count    entries
 * @param indexes  point indexes
 * @param typeIds  receives the type ids
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_point_types_by_index(tarvik_client* client,
                                                                   int32_t count,
                                                                   const int32_t* indexes,
                                                                   int32_t* typeIds);
/**
 * Slot 27: item names to point indexes and field numbers.
 * @param client    the client
 * @param count     entries
 * @param names     count 32-byte item name slots
 * @param indexes   receives the point indexes (-1: unknown)
 * @param fieldNos  receives the field numbers (-1: unknown)
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_resolve_item_names(tarvik_client* client, int32_t count,
                                                             const char* names, int32_t* indexes,
                                                             int32_t* fieldNos);
/**
 * Slot 28: item names of point indexes and field numbers.
 * @param client    the client
 * @param count     entries
 * @param indexes   point indexes
 * @param fieldNos  field numbers
 * @param names     receives count 32-byte item name slots
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_format_item_names(tarvik_client* client, int32_t count,
                                                            const int32_t* indexes,
                                                            const int32_t* fieldNos, char* names);
/**
 * Slot 29: value types of items by name.
 * @param client      the client
 * @param count       entries
 * @param names       count 32-byte item name slots
 * @param valueTypes  receives the value types
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_item_types_by_name(tarvik_client* client,
                                                                 int32_t count, const char* names,
                                                                 int32_t* valueTypes);

/**
 * Slot 30: reads current values from the server.
 * @param client        the client (state CONN_READY)
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param values        count valid VarValues; receive the values
 * @return count, or -1 (values unchanged)
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_values(tarvik_client* client, uint32_t count,
                                                      const uint32_t* pointIndexes,
                                                      const uint32_t* fieldNos, VarValue* values);
/**
 * Slot 31: writes values.
 * @param client        the client (state CONN_READY)
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param values        the values
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_values(tarvik_client* client, uint32_t count,
                                                       const uint32_t* pointIndexes,
                                                       const uint32_t* fieldNos,
                                                       const VarValue* values);
/**
 * Slot 32: sampled history of items.
 * @param client        the client (state CONN_READY)
 * @param start         first time, an OLE date in local time
 * @param end           last time, an OLE date in local time
 * @param samples       samples per item
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param values        receives count * samples doubles
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_history(tarvik_client* client, double start,
                                                       double end, uint32_t samples, uint32_t count,
                                                       const uint32_t* pointIndexes,
                                                       const uint32_t* fieldNos, double* values);
/**
 * Slot 33: stores history records of one item.
 * @param client      the client (state CONN_READY)
 * @param pointIndex  the point index
 * @param fieldNo     the field number
 * @param count       number of records
 * @param times       OLE dates in local time
 * @param statuses    status words
 * @param values      values
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_write_history(tarvik_client* client, uint32_t pointIndex,
                                                        uint32_t fieldNo, uint32_t count,
                                                        const double* times,
                                                        const uint16_t* statuses,
                                                        const double* values);
/**
 * Slot 34: subscribes to items; their changes reach the data callback.
 * @param client        the client (state CONN_READY)
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param userValues    user values passed to the data callback (may be null)
 * @param handles       receives one handle per item (never 0)
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_advise(tarvik_client* client, uint32_t count,
                                                 const uint32_t* pointIndexes,
                                                 const uint32_t* fieldNos,
                                                 const int32_t* userValues, int32_t* handles);
/**
 * Slot 35: ends subscriptions.
 * @param client   the client (state CONN_READY)
 * @param count    number of handles
 * @param handles  the handles
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_unadvise(tarvik_client* client, uint32_t count,
                                                   const int32_t* handles);
/**
 * Slot 36: ends every subscription.
 * @param client  the client (state CONN_READY)
 * @return 1 when the server confirmed and every subscription is gone, else 0
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_unadvise_all(tarvik_client* client);

/**
 * Slot 37.
 * @param client  the client
 * @return the number of subscribed items, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_item_count(tarvik_client* client);
/**
 * Slot 38: what subscriptions refer to.
 * @param client        the client
 * @param count         number of handles
 * @param handles       the handles
 * @param pointIndexes  receives point indexes (may be null)
 * @param fieldNos      receives field numbers (may be null)
 * @param userValues    receives user values (may be null)
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL
tarvik_get_advise_info_by_handle(tarvik_client* client, int32_t count, const int32_t* handles,
                                 int32_t* pointIndexes, int32_t* fieldNos, int32_t* userValues);
/**
 * Slot 39: the subscribed items.
 * @param client        the client
 * @param count         entries to fill
 * @param pointIndexes  receives point indexes
 * @param fieldNos      receives field numbers
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_advise_items(tarvik_client* client, int32_t count,
                                                            int32_t* pointIndexes,
                                                            int32_t* fieldNos);
/**
 * Slot 40.
 * @param client  the client
 * @return the number of subscription handles, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_handle_count(tarvik_client* client);
/**
 * Slot 41: the subscription handles.
 * @param client      the client
 * @param count       entries to fill
 * @param handles     receives handles (may be null)
 * @param userValues  receives user values (may be null)
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_enum_advise_handles(tarvik_client* client, int32_t count,
                                                              int32_t* handles,
                                                              int32_t* userValues);
/**
 * Slot 42: number of subscriptions per item.
 * @param client        the client
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param counts        receives the counts
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_counts(tarvik_client* client, int32_t count,
                                                            const int32_t* pointIndexes,
                                                            const int32_t* fieldNos,
                                                            int32_t* counts);
/**
 * Slot 43: the subscriptions of one item.
 * @param client      the client
 * @param pointIndex  the point index
 * @param fieldNo     the field number
 * @param count       entries to fill
 * @param handles     receives handles (may be null)
 * @param userValues  receives user values (may be null)
 * @return entries written, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_advise_handles(tarvik_client* client,
                                                             int32_t pointIndex, int32_t fieldNo,
                                                             int32_t count, int32_t* handles,
                                                             int32_t* userValues);
/**
 * Slot 44: last received values by subscription handle.
 * @param client   the client
 * @param count    number of handles
 * @param handles  the handles
 * @param values   count valid VarValues; receive the values
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_values_by_handle(tarvik_client* client, int32_t count,
                                                               const int32_t* handles,
                                                               VarValue* values);
/**
 * Slot 45: last received values by item.
 * @param client        the client
 * @param count         number of items
 * @param pointIndexes  point indexes
 * @param fieldNos      field numbers
 * @param values        count valid VarValues; receive the values
 * @return count, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_get_values_by_item(tarvik_client* client, int32_t count,
                                                             const int32_t* pointIndexes,
                                                             const int32_t* fieldNos,
                                                             VarValue* values);
/**
 * Slot 46: stored history records of one item. The three arrays come from the
 * library's allocator (all null when there are none): free each with
 * tarvik_free.
 * @param client      the client (state CONN_READY)
 * @param start       first time, an OLE date in local time
 * @param end         last time, an OLE date in local time
 * @param pointIndex  the point index
 * @param fieldNo     the field number
 * @param times       receives the record times
 * @param statuses    receives the status words
 * @param values      receives the values
 * @return number of records, or -1
 */
TARVIK_C_API int32_t TARVIK_C_CALL tarvik_read_history_raw(tarvik_client* client, double start,
                                                           double end, uint32_t pointIndex,
                                                           uint32_t fieldNo, double** times,
                                                           uint16_t** statuses, double** values);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_TARVIK_C_H */
