/* Reads one value by name: read_value PORT ITEM */
#include <stdio.h>
#include <stdlib.h>
#include <tarvik/tarvik_c.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: read_value PORT ITEM\n");
        return 2;
    }
    tarvik_client* client = tarvik_create(0);
    VarValue value = {0};
    const char* names[1] = {argv[2]};
    int rc = 1;
    if (!tarvik_connect_remote(client, atoi(argv[1]), "127.0.0.1", NULL, 0) ||
        !tarvik_wait_ready(client, 10000)) {
        fprintf(stderr, "no ready session (%s)\n", tarvik_state_name(tarvik_get_state(client)));
    } else if (tarvik_read_by_name(client, 1, names, &value) != 1) {
        fprintf(stderr, "could not read %s\n", argv[2]);
    } else {
        if (value.tag == VAL_DOUBLE) printf("%s = %g\n", argv[2], value.u.dblVal);
        if (value.tag == VAL_LONG) printf("%s = %d\n", argv[2], (int)value.u.lVal);
        if (value.tag == VAL_STRING) printf("%s = %s\n", argv[2], value.u.strVal);
        rc = 0;
    }
    tarvik_values_clear(1, &value);
    tarvik_destroy(client);
    return rc;
}
