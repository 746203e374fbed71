// The nine exported functions of the GPIO adapter. Nothing else leaves the library: no
// exception, no other symbol.
#include "gpioadapter.h"
#include "gpiokernel.h"
#include "mulvolib.h"

#define MULVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One adapter per process, because the C interface has no context argument. Constructed when
// the library loads; destroyed, with its thread joined, when it unloads.
mulvo::gpio::GpioAdapter g_adapter(mulvo::gpio::libraryKernel());

} // namespace

MULVO_EXPORT uint32_t mulvo_open(uint32_t device)
{
    return g_adapter.open(device);
}

MULVO_EXPORT int32_t mulvo_close(uint32_t handle)
{
    return g_adapter.close(handle);
}

MULVO_EXPORT int32_t mulvo_mbout(uint32_t handle, uint32_t value)
{
    return g_adapter.writeOutput(handle, value);
}

MULVO_EXPORT int32_t mulvo_mbin(uint32_t handle, uint32_t *value)
{
    return g_adapter.readInput(handle, value);
}

MULVO_EXPORT int32_t mulvo_set_extension(uint32_t handle, void *record)
{
    return g_adapter.setExtension(handle, record);
}

MULVO_EXPORT void *mulvo_get_extension(uint32_t handle)
{
    return g_adapter.extension(handle);
}

MULVO_EXPORT int32_t mulvo_connect(uint32_t handle, mulvo_callback callback)
{
    return g_adapter.connect(handle, callback);
}

MULVO_EXPORT int32_t mulvo_intcout(uint32_t handle, uint32_t value)
{
    return g_adapter.interruptControl(handle, value);
}

MULVO_EXPORT int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value)
{
    return g_adapter.writePort(handle, port, value);
}
