#include "fakeadapter.h"

#include <algorithm>

namespace fake {

namespace {

std::mutex mutex;
Adapter adapter;
std::vector<Call> log;
std::uint32_t handleSeed = 0x100;

void record(const char *name, std::uint32_t handle, std::uint64_t a = 0, std::uint32_t b = 0)
{
    log.push_back(Call{name, handle, a, b, std::chrono::steady_clock::now()});
}

bool failing(const char *name)
{
    return adapter.failName == name && adapter.failNth > 0 && --adapter.failNth == 0;
}

bool isOpen(std::uint32_t handle)
{
    return std::find(adapter.openHandles.begin(), adapter.openHandles.end(), handle) !=
           adapter.openHandles.end();
}

uint32_t fakeOpen(uint32_t device)
{
    std::lock_guard lock(mutex);
    record("open", 0, device);
    if (adapter.nextHandle == 0 || device != 0)
        return 0;
    const uint32_t handle = adapter.nextHandle++;
    adapter.openHandles.push_back(handle);
    return handle;
}

int32_t fakeClose(uint32_t handle)
{
    std::lock_guard lock(mutex);
    record("close", handle);
    if (!isOpen(handle))
        return MULVO_E_HANDLE;
    std::erase(adapter.openHandles, handle);
    if (adapter.armedHandle == handle) {
        adapter.armedHandle = 0;
        adapter.callback = nullptr;
    }
    return MULVO_OK;
}

int32_t fakeMbout(uint32_t handle, uint32_t value)
{
    std::lock_guard lock(mutex);
    record("mbout", handle, value);
    if (failing("mbout"))
        return adapter.failResult;
    return MULVO_OK;
}

int32_t fakeMbin(uint32_t handle, uint32_t *value)
{
    std::lock_guard lock(mutex);
    record("mbin", handle);
    if (value)
        *value = adapter.inputValue;
    return MULVO_OK;
}

int32_t fakeSetExtension(uint32_t handle, void *record_)
{
    std::lock_guard lock(mutex);
    record("set_extension", handle, reinterpret_cast<std::uintptr_t>(record_));
    if (failing("set_extension"))
        return adapter.failResult;
    std::erase_if(adapter.extensions, [&](const auto &e) { return e.first == handle; });
    adapter.extensions.emplace_back(handle, record_);
    return MULVO_OK;
}

void *fakeGetExtension(uint32_t handle)
{
    std::lock_guard lock(mutex);
    record("get_extension", handle);
    for (const auto &e : adapter.extensions)
        if (e.first == handle)
            return e.second;
    return nullptr;
}

int32_t fakeConnect(uint32_t handle, mulvo_callback callback)
{
    std::lock_guard lock(mutex);
    record("connect", handle, reinterpret_cast<std::uintptr_t>(callback));
    // A failed connect arms all the same, as a library that fails part way might.
    adapter.armedHandle = handle;
    adapter.callback = callback;
    return failing("connect") ? adapter.failResult : MULVO_OK;
}

int32_t fakeIntcout(uint32_t handle, uint32_t value)
{
    std::lock_guard lock(mutex);
    record("intcout", handle, value);
    if (failing("intcout"))
        return adapter.failResult;
    if (value == MULVO_INT_DISARM && adapter.armedHandle == handle) {
        adapter.armedHandle = 0;
        adapter.callback = nullptr;
    }
    return MULVO_OK;
}

int32_t fakeOut2(uint32_t handle, uint32_t port, uint32_t value)
{
    std::lock_guard lock(mutex);
    record("out2", handle, port, value);
    return MULVO_OK;
}

const mulvo::Api table{fakeOpen,         fakeClose,   fakeMbout,   fakeMbin, fakeSetExtension,
                       fakeGetExtension, fakeConnect, fakeIntcout, fakeOut2};

} // namespace

const mulvo::Api &api()
{
    return table;
}

void reset(bool adapterPresent)
{
    std::lock_guard lock(mutex);
    adapter = Adapter{};
    // Handles keep rising across tests, as a library's would.
    handleSeed += 0x100;
    adapter.nextHandle = adapterPresent ? handleSeed : 0;
    log.clear();
}

Adapter &state()
{
    return adapter;
}

std::vector<Call> calls()
{
    std::lock_guard lock(mutex);
    return log;
}

std::vector<std::string> callNames()
{
    std::vector<std::string> names;
    for (const Call &call : calls())
        names.push_back(call.name);
    return names;
}

void clearCalls()
{
    std::lock_guard lock(mutex);
    log.clear();
}

bool raiseInterrupt(std::uint32_t value)
{
    mulvo_callback callback;
    std::uint32_t handle;
    {
        std::lock_guard lock(mutex);
        callback = adapter.callback;
        handle = adapter.armedHandle;
    }
    if (!callback)
        return false;
    callback(handle, value);
    return true;
}

} // namespace fake
