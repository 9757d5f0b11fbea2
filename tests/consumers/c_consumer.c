/* A C program on the C API: connects to the server on 127.0.0.1:PORT, reads,
 * writes, subscribes and waits for a pushed change. Prints "ok" at the end.
 *
 *   c_consumer PORT */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <tarvik/tarvik_c.h>
#include <time.h>
#if defined(_WIN32)
#include <windows.h>
#endif

static atomic_int g_pushes;
static _Atomic double g_last;

static void on_data(tarvik_client* client, TarvikUserData user, int32_t count,
                    const int32_t* handles, const int32_t* userValues, const VarValue* values) {
    (void)client, (void)user, (void)handles, (void)userValues;
    for (int32_t i = 0; i < count; ++i) {
        if (values[i].tag == VAL_DOUBLE) {
            atomic_store(&g_last, values[i].u.dblVal);
            atomic_fetch_add(&g_pushes, 1);
        }
    }
}

static void pause_ms(int ms) {
#if defined(_WIN32)
    Sleep((DWORD)ms);
#else
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
#endif
}

static int fail(tarvik_client* client, const char* what) {
    fprintf(stderr, "c_consumer: %s (state %s)\n", what, tarvik_state_name(tarvik_get_state(client)));
    tarvik_destroy(client);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: c_consumer PORT\n");
        return 2;
    }
    printf("tarvik_c %s\n", tarvik_version());
    tarvik_client* client = tarvik_create(0);
    if (client == NULL) {
        fprintf(stderr, "c_consumer: no client\n");
        return 1;
    }
    tarvik_set_data_callback(client, on_data);
    if (!tarvik_connect_remote(client, atoi(argv[1]), "127.0.0.1", NULL, 0) ||
        !tarvik_wait_ready(client, 10000)) {
        return fail(client, "no ready session");
    }

    const char* names[2] = {"TANK101.PV", "TANK102.SP"};
    VarValue values[2] = {{0}, {0}};
    if (tarvik_read_by_name(client, 2, names, values) != 2 || values[0].tag != VAL_DOUBLE) {
        return fail(client, "read failed");
    }
    printf("TANK101.PV = %g\n", values[0].u.dblVal);

    VarValue sp = {0};
    sp.tag = VAL_DOUBLE;
    sp.u.dblVal = 12.5;
    if (tarvik_write_by_name(client, 1, &names[1], &sp) != 1 ||
        tarvik_read_by_name(client, 1, &names[1], &values[1]) != 1 || values[1].u.dblVal != 12.5) {
        return fail(client, "write failed");
    }
    printf("TANK102.SP = %g\n", values[1].u.dblVal);

    int32_t handle = 0;
    if (tarvik_advise_by_name(client, 1, &names[1], NULL, &handle) != 1) {
        return fail(client, "subscription failed");
    }
    sp.u.dblVal = 25.0;
    if (tarvik_write_by_name(client, 1, &names[1], &sp) != 1) {
        return fail(client, "second write failed");
    }
    for (int waited = 0; atomic_load(&g_last) != 25.0; waited += 10) {
        if (waited > 10000) {
            return fail(client, "no pushed change within 10 s");
        }
        pause_ms(10);
    }
    printf("pushed TANK102.SP = %g\n", atomic_load(&g_last));
    tarvik_unadvise(client, 1, &handle);
    tarvik_values_clear(2, values);
    tarvik_destroy(client);
    printf("ok\n");
    return 0;
}
