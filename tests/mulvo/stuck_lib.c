/* An adapter library that never returns from mulvo_close, as a library stuck on a device that
 * stopped answering does: the tools must still be stoppable without SIGKILL. */
#include "mulvolib.h"

#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT uint32_t mulvo_open(uint32_t device)
{
    return device == 0 ? 1u : 0u;
}
EXPORT int32_t mulvo_close(uint32_t handle)
{
    (void)handle;
    for (;;)
        pause();
}
EXPORT int32_t mulvo_mbout(uint32_t handle, uint32_t value)
{
    (void)handle;
    (void)value;
    return MULVO_OK;
}
EXPORT int32_t mulvo_mbin(uint32_t handle, uint32_t *value)
{
    (void)handle;
    *value = 0;
    return MULVO_OK;
}
EXPORT int32_t mulvo_set_extension(uint32_t handle, void *record)
{
    (void)handle;
    (void)record;
    return MULVO_OK;
}
EXPORT void *mulvo_get_extension(uint32_t handle)
{
    (void)handle;
    return 0;
}
EXPORT int32_t mulvo_connect(uint32_t handle, mulvo_callback callback)
{
    (void)handle;
    (void)callback;
    return MULVO_OK;
}
EXPORT int32_t mulvo_intcout(uint32_t handle, uint32_t value)
{
    (void)handle;
    (void)value;
    return MULVO_OK;
}
EXPORT int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value)
{
    (void)handle;
    (void)port;
    (void)value;
    return MULVO_OK;
}
