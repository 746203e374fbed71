/*
 * A C program that uses the adapter library the way a vendor's C client would: only the public
 * header, linked directly against libmulvo.
 *
 *   c_client MULVO_SIM   checks the nine functions; MULVO_SIM is used to raise interrupts
 *   c_client --hold      opens and arms the adapter, prints "ready" and waits to be killed
 *
 * Without MULVO_SIM_INSTANCE it uses an instance of its own, removed at the end.
 */
#include "mulvolib.h"

#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

static atomic_uint g_calls;
static atomic_uint g_lastValue;
static atomic_uint g_wrongHandle;
static uint32_t g_expectedHandle;
static int g_failures;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "c_client: %s:%d: check failed: %s\n", __FILE__, __LINE__,             \
                    #condition);                                                                   \
            ++g_failures;                                                                          \
        }                                                                                          \
    } while (0)

static void callback(uint32_t handle, uint32_t value)
{
    int *record = (int *)mulvo_get_extension(handle);
    if (handle != g_expectedHandle || record == NULL)
        atomic_fetch_add(&g_wrongHandle, 1);
    else
        ++*record;
    mulvo_mbout(handle, 0);
    mulvo_out2(handle, MULVO_PORT_ACK, 0);
    mulvo_mbout(handle, 1);
    atomic_store(&g_lastValue, value);
    atomic_fetch_add(&g_calls, 1);
}

static void sleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static int hold(void)
{
    static int record;
    uint32_t h = mulvo_open(0);
    g_expectedHandle = h;
    if (h == 0 || mulvo_set_extension(h, &record) != MULVO_OK ||
        mulvo_connect(h, callback) != MULVO_OK)
        return 1;
    printf("ready\n");
    fflush(stdout);
    for (;;)
        pause();
}

int main(int argc, char **argv)
{
    char instance[64] = "";
    if (!getenv("MULVO_SIM_INSTANCE")) {
        snprintf(instance, sizeof instance, "c-client-%ld", (long)getpid());
        setenv("MULVO_SIM_INSTANCE", instance, 1);
    }
    if (argc == 2 && strcmp(argv[1], "--hold") == 0)
        return hold();
    if (argc != 2) {
        fprintf(stderr, "usage: c_client MULVO_SIM | c_client --hold\n");
        return 2;
    }

    char command[4096];
    snprintf(command, sizeof command, "'%s' reset && '%s' input 0x81", argv[1], argv[1]);
    CHECK(system(command) == 0);

    uint32_t h = mulvo_open(0);
    CHECK(h != 0);
    g_expectedHandle = h;
    CHECK(mulvo_open(7) == 0);

    uint32_t value = 0;
    CHECK(mulvo_mbin(h, &value) == MULVO_OK && value == 0x81);
    CHECK(mulvo_mbout(h, 0x5a) == MULVO_OK);
    CHECK(mulvo_mbin(0, &value) == MULVO_E_HANDLE);
    CHECK(mulvo_mbin(h, NULL) == MULVO_E_ARG);

    int record = 0;
    CHECK(mulvo_get_extension(h) == NULL);
    CHECK(mulvo_set_extension(h, &record) == MULVO_OK);
    CHECK(mulvo_get_extension(h) == &record);

    CHECK(mulvo_connect(h, callback) == MULVO_OK);
    snprintf(command, sizeof command, "'%s' irq 5", argv[1]);
    CHECK(system(command) == 0);
    for (int i = 0; i < 5000 && atomic_load(&g_calls) < 5; ++i)
        sleepMs(1);
    CHECK(mulvo_intcout(h, MULVO_INT_DISARM) == MULVO_OK);
    CHECK(atomic_load(&g_calls) == 5);
    CHECK(atomic_load(&g_lastValue) == 5);
    CHECK(atomic_load(&g_wrongHandle) == 0);
    CHECK(record == 5); /* safe to read: no callback can run after mulvo_intcout returned */
    CHECK(mulvo_intcout(h, 0x12) == MULVO_E_ARG);

    CHECK(mulvo_close(h) == MULVO_OK);
    CHECK(mulvo_close(h) == MULVO_E_HANDLE);
    CHECK(mulvo_mbout(h, 1) == MULVO_E_HANDLE);

    if (instance[0]) {
        char name[128];
        snprintf(name, sizeof name, "/mulvo-%u-%s", (unsigned)geteuid(), instance);
        shm_unlink(name);
    }
    if (g_failures == 0)
        printf("c_client: all checks passed\n");
    return g_failures == 0 ? 0 : 1;
}
