/* Reads current values from C, through the four exports and the client's
 * table of operations.
 *
 *   read_c [HOST PORT [ITEM...]]     default 127.0.0.1 4000 TANK101.SP
 *
 * The interface is a C++ table of virtual functions. Where the package has
 * the C API (tarvik_c.h) use it; without it, a C program on Linux calls the
 * table directly, as here: the object starts with a pointer to its table,
 * and each slot takes the object first. (32-bit Windows passes the object in
 * a register C cannot name: use the C API there.)
 *
 * Exit code 0 when every value was read. */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tarvik/tarvik.h"

/* Slots 0 to 30 of the table, in their fixed order. */
typedef struct ClientTable {
    void (*SetUserData)(ITarvikClient*, int32_t);                       /* 0 */
    void (*SetStateCallback)(ITarvikClient*, StateCallback);            /* 1 */
    void (*SetDataCallback)(ITarvikClient*, DataCallback);              /* 2 */
    bool (*ConnectRemote)(ITarvikClient*, int32_t, const char*, const char*, int32_t); /* 3 */
    bool (*ConnectLocal)(ITarvikClient*);                               /* 4 */
    void (*Disconnect)(ITarvikClient*);                                 /* 5 */
    bool (*GetServerFlag)(ITarvikClient*);                              /* 6 */
    bool (*IsLinkUp)(ITarvikClient*);                                   /* 7 */
    int32_t (*GetState)(ITarvikClient*);                                /* 8 */
    void (*SetRequestTimeout)(ITarvikClient*, int32_t);                 /* 9 */
    int32_t (*GetRequestTimeout)(ITarvikClient*);                       /* 10 */
    void (*SetHeartbeatInterval)(ITarvikClient*, int32_t);              /* 11 */
    int32_t (*GetHeartbeatInterval)(ITarvikClient*);                    /* 12 */
    void (*GetLastErrorText)(ITarvikClient*, char*, int32_t);           /* 13 */
    void (*directory[13])(void);                                        /* 14-26 */
    int32_t (*ResolveItemNames)(ITarvikClient*, int32_t, const char*, int32_t*, int32_t*); /* 27 */
    int32_t (*FormatItemNames)(ITarvikClient*, int32_t, const int32_t*, const int32_t*,
                               char*);                                  /* 28 */
    int32_t (*GetItemTypesByName)(ITarvikClient*, int32_t, const char*, int32_t*); /* 29 */
    int32_t (*ReadValues)(ITarvikClient*, uint32_t, const uint32_t*, const uint32_t*,
                          VarValue*);                                   /* 30 */
} ClientTable;

static const ClientTable* Table(ITarvikClient* client) {
    return *(const ClientTable* const*)client;
}

static void SleepMs(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static void PrintValue(const char* name, const VarValue* v) {
    int32_t l;
    double d;
    char* s;
    switch (v->tag) {
        case VAL_LONG:
            memcpy(&l, v->u.raw, sizeof l); /* VarValue is packed: copy out */
            printf("%s = %d\n", name, (int)l);
            break;
        case VAL_DOUBLE:
            memcpy(&d, v->u.raw, sizeof d);
            printf("%s = %g\n", name, d);
            break;
        case VAL_STRING:
            memcpy(&s, v->u.raw, sizeof s);
            printf("%s = \"%s\"\n", name, s != NULL ? s : "");
            break;
        default:
            printf("%s has no value\n", name);
    }
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? atoi(argv[2]) : 4000;
    const char* fallback = "TANK101.SP";
    const int count = argc > 3 ? argc - 3 : 1;
    char* const* names = argc > 3 ? argv + 3 : (char* const*)&fallback;
    int code = 0;
    int i;

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == NULL) {
        return 1;
    }
    const ClientTable* t = Table(client);
    t->ConnectRemote(client, port, host, NULL, 0);
    /* Without a callback: ask for the state until the session is ready. */
    for (i = 0; i < 200 && t->GetState(client) != CONN_READY; ++i) {
        SleepMs(50);
    }
    if (t->GetState(client) != CONN_READY) {
        char reason[256] = "";
        t->GetLastErrorText(client, reason, sizeof reason);
        fprintf(stderr, "no ready session with %s:%d: %s\n", host, port, reason);
        TarvikDestroyClient(client);
        return 1;
    }

    for (i = 0; i < count && code == 0; ++i) {
        char slot[TARVIK_ITEM_NAME] = {0};
        int32_t point = -1, field = -1;
        VarValue value;
        strncpy(slot, names[i], sizeof slot - 1);
        t->ResolveItemNames(client, 1, slot, &point, &field);
        if (point < 0 || field < 0) {
            fprintf(stderr, "unknown item %s\n", names[i]);
            code = 1;
            break;
        }
        memset(&value, 0, sizeof value); /* VAL_NONE: valid on entry */
        {
            const uint32_t p = (uint32_t)point, f = (uint32_t)field;
            if (t->ReadValues(client, 1, &p, &f, &value) != 1) {
                fprintf(stderr, "the read failed\n");
                code = 1;
                break;
            }
        }
        PrintValue(names[i], &value);
        if (value.tag == VAL_STRING) {
            char* s;
            memcpy(&s, value.u.raw, sizeof s);
            TarvikFree(s); /* the library's block is ours now */
        }
    }
    TarvikDestroyClient(client);
    return code;
}
