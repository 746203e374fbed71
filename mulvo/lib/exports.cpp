// The nine exported functions of every adapter library. The library is C++ inside, but nothing
// but these crosses its boundary: no exception, no other symbol.
#include "core.h"
#include "mulvolib.h"

#include <cstdio>
#include <exception>

#define MULVO_EXPORT extern "C" __attribute__((visibility("default")))

using mulvo::lib::Core;

namespace {

// Runs `call` on the process's library; `failed` when the library is being unloaded or the
// call threw (out of memory, say), which the C interface cannot carry.
template <class Result, class Call> Result forward(Result failed, Call &&call) noexcept
{
    Core *core = Core::instance();
    if (!core)
        return failed;
    try {
        return call(*core);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mulvo: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "mulvo: unexpected failure\n");
    }
    return failed;
}

} // namespace

MULVO_EXPORT uint32_t mulvo_open(uint32_t device)
{
    return forward(0u, [&](Core &core) { return core.open(device); });
}

MULVO_EXPORT int32_t mulvo_close(uint32_t handle)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.close(handle); });
}

MULVO_EXPORT int32_t mulvo_mbout(uint32_t handle, uint32_t value)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.writeOutput(handle, value); });
}

MULVO_EXPORT int32_t mulvo_mbin(uint32_t handle, uint32_t *value)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.readInput(handle, value); });
}

MULVO_EXPORT int32_t mulvo_set_extension(uint32_t handle, void *record)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.setExtension(handle, record); });
}

MULVO_EXPORT void *mulvo_get_extension(uint32_t handle)
{
    return forward<void *>(nullptr, [&](Core &core) { return core.extension(handle); });
}

MULVO_EXPORT int32_t mulvo_connect(uint32_t handle, mulvo_callback callback)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.connect(handle, callback); });
}

MULVO_EXPORT int32_t mulvo_intcout(uint32_t handle, uint32_t value)
{
    return forward(MULVO_E_SYSTEM,
                   [&](Core &core) { return core.interruptControl(handle, value); });
}

MULVO_EXPORT int32_t mulvo_out2(uint32_t handle, uint32_t port, uint32_t value)
{
    return forward(MULVO_E_SYSTEM, [&](Core &core) { return core.writePort(handle, port, value); });
}
