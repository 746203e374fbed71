// What every adapter library does the same way: the handle table, the checks that open every
// call, opening and closing with their waits (also from inside a callback), arming and
// disarming, the report lines on standard error, the reset after fork() and which callback the
// calling thread runs. A library derives from Core and brings only its device: open it, read,
// write, acknowledge, arm and disarm its event source, and deliver on a thread of its own
// through CallbackRun.
#pragma once

#include "handletable.h"
#include "mulvolib.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace mulvo::lib {

class Core
{
public:
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;

    // The process's library, or null once it is being unloaded. The nine exported functions
    // forward to it.
    static Core *instance();
    // The slot whose callback the calling thread is running, or -1.
    static int currentCallbackSlot();

    uint32_t open(uint32_t number);
    int32_t close(uint32_t handle);
    int32_t writeOutput(uint32_t handle, uint32_t value);
    int32_t readInput(uint32_t handle, uint32_t *value);
    int32_t setExtension(uint32_t handle, void *record)
    {
        return handles_.setExtension(handle, record);
    }
    void *extension(uint32_t handle) { return handles_.extension(handle); }
    int32_t connect(uint32_t handle, mulvo_callback callback);
    int32_t interruptControl(uint32_t handle, uint32_t value);
    int32_t writePort(uint32_t handle, uint32_t port, uint32_t value);

    // The delivery thread calls a slot's callbacks inside one of these: disarm and close see
    // that a callback may run and wait for it, and a callback that disarms or closes its own
    // handle is not waited for.
    class CallbackRun
    {
    public:
        CallbackRun(HandleSlot &slot, unsigned index);
        ~CallbackRun();
        CallbackRun(const CallbackRun &) = delete;
        CallbackRun &operator=(const CallbackRun &) = delete;

        // The point the handle is armed from, kDisarmed once it is not; look before each call.
        uint64_t armedFrom() const { return slot_.armedFrom.load(); }
        void call(uint32_t number) const;

    private:
        HandleSlot &slot_;
    };

protected:
    // `reportPrefix` starts each line the library writes on standard error.
    explicit Core(const char *reportPrefix);
    virtual ~Core();

    // Opens adapter `number`, or takes another handle on it when it is open: null when it
    // cannot, with the reason in `problem` (empty when there is nothing to say). Runs before the
    // handle exists; every device it returns is given back once through releaseDevice.
    virtual Device *openDevice(uint32_t number, std::string &problem) = 0;
    // The handle on `device` is closed (or was never made): no call and no callback uses it.
    virtual void releaseDevice(Device *device) = 0;
    virtual int32_t write(Device &device, uint8_t value) = 0;
    virtual int32_t read(Device &device, uint8_t &value) = 0;
    virtual int32_t acknowledge(Device &device) = 0;
    // Whether the handle may be armed now (MULVO_OK or the failure), before its callback is set.
    virtual int32_t canArm(Device &device) = 0;
    // Arms `slot` unless another thread did meanwhile: moves armedFrom from kDisarmed to the
    // point from which the handle receives interrupts. MULVO_OK, or the failure when the
    // handle could not be armed (it stays disarmed).
    virtual int32_t arm(Device &device, HandleSlot &slot) = 0;
    // After arming, outside the handle's hold and never on the delivery thread: the library may
    // wait for its thread here. The handle may be closed meanwhile; `device` stays valid.
    virtual void armed(Device &) {}
    // The arming of `slot` that began at `from` is over and no callback of it runs any more.
    // The handle may have been closed meanwhile (from inside its callback): a library whose
    // devices go with their last handle keeps this empty.
    virtual void settleArming(Device &, HandleSlot &, uint64_t /*from*/) {}
    // In a child made by fork(): the library's threads and the parent's handles are not there.
    virtual void forgetAfterFork() {}

    // Writes "<prefix>: message" on standard error unless it was the last line written: a
    // program retrying mulvo_open must not flood the terminal.
    void report(const std::string &message);

    HandleTable &handles() { return handles_; }

    using Use = HandleTable::Use;
    static Device &deviceOf(const Use &use)
    {
        return *use.slot().device.load(std::memory_order_acquire);
    }

private:
    // What disarming a handle leaves to settle once its callbacks are over.
    struct Disarmed
    {
        Device *device = nullptr;
        uint64_t from = kDisarmed;
    };
    // Takes the handle's arming away, under a hold on it.
    Disarmed disarm(unsigned index);
    // Waits until no callback of the slot runs, then settles what was disarmed.
    void settle(unsigned index, const Disarmed &disarmed);
    static void childAfterFork();

    const char *reportPrefix_;
    HandleTable handles_;
    std::mutex reportMutex_;
    std::string lastReport_;
};

} // namespace mulvo::lib
