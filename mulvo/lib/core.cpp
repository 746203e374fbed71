#include "core.h"

#include <cstdio>
#include <new>
#include <pthread.h>

namespace mulvo::lib {

namespace {

std::atomic<Core *> g_core{nullptr};
thread_local int t_callbackSlot = -1;

} // namespace

Core::Core(const char *reportPrefix) : reportPrefix_(reportPrefix)
{
    g_core.store(this);
    pthread_atfork(nullptr, nullptr, &Core::childAfterFork);
}

Core::~Core()
{
    g_core.store(nullptr);
}

Core *Core::instance()
{
    return g_core.load(std::memory_order_acquire);
}

int Core::currentCallbackSlot()
{
    return t_callbackSlot;
}

void Core::childAfterFork()
{
    Core *core = instance();
    if (!core)
        return;
    // The handles and the library's threads belong to the parent; the child starts afresh
    // when it opens the adapter.
    core->handles_.forgetAfterFork();
    new (&core->reportMutex_) std::mutex;
    t_callbackSlot = -1;
    core->forgetAfterFork();
}

void Core::report(const std::string &message)
{
    std::lock_guard<std::mutex> lock(reportMutex_);
    if (message == lastReport_)
        return;
    lastReport_ = message;
    std::fprintf(stderr, "%s: %s\n", reportPrefix_, message.c_str());
}

Core::CallbackRun::CallbackRun(HandleSlot &slot, unsigned index) : slot_(slot)
{
    // Marking the slot busy before each look at armedFrom (both sequentially consistent) pairs
    // with disarm, which clears armedFrom before it looks at the mark: either no callback
    // starts, or disarm sees the mark and waits for it to go.
    slot_.callbackPhase.fetch_add(1);
    t_callbackSlot = int(index);
}

Core::CallbackRun::~CallbackRun()
{
    t_callbackSlot = -1;
    slot_.callbackPhase.fetch_add(1);
    slot_.callbackPhase.notify_all();
}

void Core::CallbackRun::call(uint32_t number) const
{
    const mulvo_callback callback = slot_.callback.load(std::memory_order_acquire);
    const auto handle = uint32_t(slot_.control.load(std::memory_order_acquire) >> 32);
    callback(handle, number);
}

uint32_t Core::open(uint32_t number)
{
    std::string problem;
    Device *device = openDevice(number, problem);
    if (!device) {
        if (!problem.empty())
            report(problem);
        return 0;
    }
    const uint32_t handle = handles_.open(
        [&](unsigned index) {
            HandleSlot &slot = handles_.slot(index);
            slot.device.store(device, std::memory_order_relaxed);
            slot.cursor.store(0, std::memory_order_relaxed);
        },
        problem);
    if (handle == 0) {
        releaseDevice(device);
        report(problem);
        return 0;
    }
    // A failure said once is said again when it comes back after a success.
    std::lock_guard<std::mutex> lock(reportMutex_);
    lastReport_.clear();
    return handle;
}

Core::Disarmed Core::disarm(unsigned index)
{
    HandleSlot &slot = handles_.slot(index);
    return {slot.device.load(std::memory_order_acquire), slot.armedFrom.exchange(kDisarmed)};
}

void Core::settle(unsigned index, const Disarmed &disarmed)
{
    handles_.waitForCallbacks(index, t_callbackSlot);
    if (disarmed.from != kDisarmed)
        settleArming(*disarmed.device, handles_.slot(index), disarmed.from);
}

int32_t Core::close(uint32_t handle)
{
    if (handle == 0)
        return MULVO_E_HANDLE;
    const unsigned index = handle % kHandleSlots;
    Disarmed disarmed;
    {
        // Disarm before the handle turns invalid: a callback still running may go on using
        // the handle (and its extension) until it returns.
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        disarmed = disarm(index);
    }
    settle(index, disarmed);
    if (!handles_.markClosing(handle))
        return MULVO_E_HANDLE;
    // No call can arm it any more once those under way are over; one of them may have.
    handles_.waitForUsers(index);
    settle(index, disarm(index));

    HandleSlot &slot = handles_.slot(index);
    Device *device = slot.device.exchange(nullptr);
    handles_.free(index);
    releaseDevice(device);
    return MULVO_OK;
}

int32_t Core::writeOutput(uint32_t handle, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    return write(deviceOf(use), uint8_t(value & 0xff));
}

int32_t Core::readInput(uint32_t handle, uint32_t *value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!value)
        return MULVO_E_ARG;
    uint8_t input = 0;
    const int32_t result = read(deviceOf(use), input);
    if (result == MULVO_OK)
        *value = input;
    return result;
}

int32_t Core::connect(uint32_t handle, mulvo_callback callback)
{
    Device *device = nullptr;
    {
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        if (!callback)
            return MULVO_E_ARG;
        device = &deviceOf(use);
        if (const int32_t result = canArm(*device); result != MULVO_OK)
            return result;
        HandleSlot &slot = use.slot();
        slot.callback.store(callback, std::memory_order_release);
        if (slot.armedFrom.load() != kDisarmed)
            return MULVO_OK; // armed already: the new callback takes over
        if (const int32_t result = arm(*device, slot); result != MULVO_OK)
            return result;
    }
    // Without the hold: a callback may close this very handle meanwhile, and close waits for
    // every hold to go.
    if (t_callbackSlot < 0)
        armed(*device);
    return MULVO_OK;
}

int32_t Core::interruptControl(uint32_t handle, uint32_t value)
{
    unsigned index = 0;
    Disarmed disarmed;
    {
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        if (value != MULVO_INT_DISARM)
            return MULVO_E_ARG;
        index = use.index();
        // Disarming works on an absent adapter too: the caller frees what the callback uses
        // as soon as this returns.
        disarmed = disarm(index);
    }
    // Waiting without counting as a user: a callback of this handle may close it meanwhile.
    settle(index, disarmed);
    return MULVO_OK;
}

int32_t Core::writePort(uint32_t handle, uint32_t port, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (port != MULVO_PORT_ACK || value != 0)
        return MULVO_E_ARG;
    return acknowledge(deviceOf(use));
}

} // namespace mulvo::lib
