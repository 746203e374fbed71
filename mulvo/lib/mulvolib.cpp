// The nine exported functions. The library is C++ inside, but nothing but these crosses its
// boundary: no exception, no other symbol.
#include "mulvolib.h"
#include "adapter.h"

#define MULVO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One adapter per process, because the C interface has no context argument. Constructed when
// the library loads; destroyed, with its thread joined, when it unloads.
mulvo::lib::Adapter g_processAdapter;

} // namespace

using mulvo::lib::Adapter;

MULVO_EXPORT uint32_t mulvo_open(uint32_t device)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->open(device) : 0;
}

MULVO_EXPORT int32_t mulvo_close(uint32_t handle)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->close(handle) : MULVO_E_SYSTEM;
}

MULVO_EXPORT int32_t mulvo_mbout(uint32_t handle, uint32_t value)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->writeOutput(handle, value) : MULVO_E_SYSTEM;
}

MULVO_EXPORT int32_t mulvo_mbin(uint32_t handle, uint32_t *value)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->readInput(handle, value) : MULVO_E_SYSTEM;
}

MULVO_EXPORT int32_t mulvo_set_extension(uint32_t handle, void *record)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->setExtension(handle, record) : MULVO_E_SYSTEM;
}

MULVO_EXPORT void *mulvo_get_extension(uint32_t handle)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->extension(handle) : nullptr;
}

MULVO_EXPORT int32_t mulvo_connect(uint32_t handle, mulvo_callback callback)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->connect(handle, callback) : MULVO_E_SYSTEM;
}

MULVO_EXPORT int32_t mulvo_intcout(uint32_t handle, uint32_t value)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->interruptControl(handle, value) : MULVO_E_SYSTEM;
}

MULVO_EXPORT int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value)
{
    Adapter *adapter = Adapter::instance();
    return adapter ? adapter->writePort(handle, port, value) : MULVO_E_SYSTEM;
}
