/* Reads current values from C, with the C API (tarvik_c.h, library tarvik_c).
 *
 *   read_c [HOST PORT [ITEM...]]     default 127.0.0.1 4000 TANK101.SP
 *
 * Exit code 0 when every value was read. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarvik/tarvik_c.h"

static void PrintValue(const char* name, const VarValue* v) {
    switch (v->tag) {
        case VAL_LONG:
            printf("%s = %d\n", name, (int)v->u.lVal);
            break;
        case VAL_DOUBLE:
            printf("%s = %g\n", name, v->u.dblVal);
            break;
        case VAL_STRING:
            printf("%s = \"%s\"\n", name, v->u.strVal != NULL ? v->u.strVal : "");
            break;
        default:
            printf("%s has no value\n", name);
    }
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? atoi(argv[2]) : 4000;
    const char* fallback[] = {"TANK101.SP"};
    const int count = argc > 3 ? argc - 3 : 1;
    const char* const* names = argc > 3 ? (const char* const*)(argv + 3) : fallback;
    VarValue* values;
    int code = 0;
    int i;

    tarvik_client* client = tarvik_create(0);
    if (client == NULL) {
        return 1;
    }
    /* Returns at once; the server is found and logged in to on the client's
     * own threads. */
    tarvik_connect_remote(client, port, host, NULL, 0);
    if (!tarvik_wait_ready(client, 10000)) {
        char reason[256] = "";
        tarvik_get_last_error_text(client, reason, sizeof reason);
        fprintf(stderr, "no ready session with %s:%d (%s) %s\n", host, port,
                tarvik_state_name(tarvik_get_state(client)), reason);
        tarvik_destroy(client);
        return 1;
    }

    /* Values must be valid on entry: zeroed is VAL_NONE. */
    values = calloc((size_t)count, sizeof(VarValue));
    if (values == NULL || tarvik_read_by_name(client, count, names, values) != count) {
        fprintf(stderr, "the read failed (an unknown item, or no reply)\n");
        code = 1;
    } else {
        for (i = 0; i < count; ++i) {
            PrintValue(names[i], &values[i]);
        }
    }
    /* Text blocks the library stored belong to the caller. */
    if (values != NULL) {
        tarvik_values_clear(count, values);
        free(values);
    }
    tarvik_destroy(client); /* disconnects, then frees */
    return code;
}
