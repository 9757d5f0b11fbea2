/* The C API from C: a whole session of a C program, called by capi_test.cpp.
 * Returns 0 on success, else the number of the step that failed. */
#include <string.h>

#include "tarvik/tarvik_c.h"

int tarvik_test_c_program(int port, char* text, size_t textSize);

int tarvik_test_c_program(int port, char* text, size_t textSize) {
    const char* names[2] = {"tank102.state", "TANK102.SP"};
    VarValue values[2];
    int step = 0;
    tarvik_client* client = tarvik_create(3);

    memset(values, 0, sizeof values);
    if (client == NULL) {
        return 1;
    }
    if (!tarvik_connect_remote(client, port, "127.0.0.1", NULL, 0)) {
        step = 2;
    } else if (!tarvik_wait_ready(client, 5000)) {
        step = 3;
    } else if (!tarvik_value_set_text(&values[0], "FROM C") ||
               (values[1].tag = VAL_LONG, values[1].u.lVal = 7,
                tarvik_write_by_name(client, 2, names, values) != 2)) {
        step = 4;
    } else if (tarvik_read_by_name(client, 2, names, values) != 2 || values[0].tag != VAL_STRING ||
               values[1].tag != VAL_DOUBLE || values[1].u.dblVal != 7.0) {
        step = 5;
    } else {
        strncpy(text, values[0].u.strVal, textSize - 1);
        text[textSize - 1] = '\0';
    }
    tarvik_values_clear(2, values);
    tarvik_destroy(client);
    return step;
}
