// The GPIO adapter as one process sees it: the chips' line requests it holds, and the thread
// that turns edge events into callbacks. The handle table and the calls' contract are the core's.
#pragma once

#include "core.h"
#include "gpioconfig.h"
#include "gpiokernel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mulvo::gpio {

class GpioAdapter final : public lib::Core
{
public:
    explicit GpioAdapter(Kernel &kernel);
    ~GpioAdapter() override;

private:
    struct Device;

    lib::Device *openDevice(uint32_t number, std::string &problem) override;
    void releaseDevice(lib::Device *device) override;
    int32_t write(lib::Device &device, uint8_t value) override;
    int32_t read(lib::Device &device, uint8_t &value) override;
    int32_t acknowledge(lib::Device &device) override;
    int32_t canArm(lib::Device &device) override;
    int32_t arm(lib::Device &device, lib::HandleSlot &slot) override;
    void armed(lib::Device &device) override;
    void forgetAfterFork() override;

    std::shared_ptr<Device> requestDevice(uint32_t number, std::string &error);
    // A call failed with -errno `error`: a chip that went away makes the adapter absent.
    int32_t failure(Device &device, int error);
    void markGone(Device &device, const std::string &why);
    void ensureThreadLocked();
    void wake();
    void run();
    // Reads one batch of the device's events and calls the callbacks; true when the batch
    // emptied the kernel's buffer (or the line can no longer be read).
    bool deliver(Device &device);

    Kernel &kernel_;

    std::mutex mutex_; // guards devices_, the generations and the thread
    std::condition_variable threadMoved_;
    std::vector<std::shared_ptr<Device>> devices_;
    uint64_t generation_ = 0;     // bumped when a device leaves devices_
    uint64_t seenGeneration_ = 0; // the generation the thread polls by
    uint64_t drainRequested_ = 0; // arming asks the thread to empty every buffer once
    uint64_t drainDone_ = 0;
    std::unique_ptr<std::thread> thread_;
    std::thread::id threadId_;
    std::atomic<bool> stop_{false};
    int wakeFd_ = -1;
};

} // namespace mulvo::gpio
