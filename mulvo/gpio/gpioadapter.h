// The GPIO adapter as one process sees it: its handle table, the chips' line requests it holds,
// and the thread that turns edge events into callbacks. The nine C functions forward here.
#pragma once

#include "gpioconfig.h"
#include "gpiokernel.h"
#include "handletable.h"
#include "mulvolib.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mulvo::gpio {

class GpioAdapter
{
public:
    explicit GpioAdapter(Kernel &kernel);
    ~GpioAdapter();
    GpioAdapter(const GpioAdapter &) = delete;
    GpioAdapter &operator=(const GpioAdapter &) = delete;

    uint32_t open(uint32_t device);
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

private:
    struct Device;
    using Use = lib::HandleTable::Use;

    std::shared_ptr<Device> openDevice(uint32_t number, std::string &error);
    void releaseDevice(std::shared_ptr<Device> device);
    static void childAfterFork();
    void forgetAfterFork();
    void report(const std::string &message);
    void disarm(unsigned index);
    void waitForCallbacks(unsigned index);
    Device &deviceOf(const Use &use) const { return *slotOwner_[use.index()]; }
    void ensureThreadLocked();
    void drainOnce();
    void wake();
    void run();
    // Reads one batch of the device's events and calls the callbacks; true when the batch
    // emptied the kernel's buffer.
    bool deliver(Device &device);

    Kernel &kernel_;

    lib::HandleTable handles_;
    std::atomic<Device *> slotDevice_[lib::kHandleSlots] = {};
    std::shared_ptr<Device> slotOwner_[lib::kHandleSlots]; // set before a handle is published

    std::mutex mutex_; // guards devices_, the generations, the thread and the error report
    std::condition_variable threadMoved_;
    std::vector<std::shared_ptr<Device>> devices_;
    uint64_t generation_ = 0;     // bumped when a device leaves devices_
    uint64_t seenGeneration_ = 0; // the generation the thread polls by
    uint64_t drainRequested_ = 0; // connect asks the thread to empty every buffer once
    uint64_t drainDone_ = 0;
    std::string lastReport_;
    std::unique_ptr<std::thread> thread_;
    std::thread::id threadId_;
    std::atomic<bool> stop_{false};
    int wakeFd_ = -1;
};

} // namespace mulvo::gpio
