// The adapter service's client library as one process sees it: the adapter core on a
// connection to mulvod, and the thread that turns the service's interrupt messages into one
// callback per interrupt.
#pragma once

#include "core.h"
#include "serviceconnection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mulvo::service {

class ServiceAdapter final : public lib::Core
{
public:
    ServiceAdapter();
    ~ServiceAdapter() override;

private:
    // One connection to the service, shared by the handles opened on it. A handle stays on the
    // connection it was opened on: once that is broken its calls fail, and the next open
    // connects afresh.
    struct Device;
    struct Link
    {
        std::unique_ptr<Connection> connection;
        std::mutex devicesMutex; // guards devices
        // One per adapter number opened on this connection; kept as long as the link, since
        // a disarm that was waiting for a callback which closed the handle still uses it.
        std::vector<std::unique_ptr<Device>> devices;
    };

    lib::Device *openDevice(uint32_t number, std::string &problem) override;
    void releaseDevice(lib::Device *device) override;
    int32_t write(lib::Device &device, uint8_t value) override;
    int32_t read(lib::Device &device, uint8_t &value) override;
    int32_t acknowledge(lib::Device &device) override;
    int32_t canArm(lib::Device &device) override;
    int32_t arm(lib::Device &device, lib::HandleSlot &slot) override;
    void settleArming(lib::Device &device, lib::HandleSlot &slot, uint64_t from) override;
    void forgetAfterFork() override;

    // The current connection, made when there is none or it is broken; null with `problem`.
    std::shared_ptr<Link> currentLink(std::string &problem);
    // One call on the handle's connection: the answer's result, or MULVO_E_SYSTEM (said once on
    // standard error) when the service cannot be reached.
    int32_t call(Device &device, Kind kind, uint32_t value, Message &answer);

    void ensureThread();
    void wake();
    void run();
    // Delivers what the service told of to the armed handles on `link`; true when a handle was
    // left with more to deliver.
    bool deliver(const Link &link);

    std::mutex linkMutex_; // guards link_, links_ and the thread's start
    std::shared_ptr<Link> link_;
    // Every link this process made: their devices stay valid until the library unloads.
    std::vector<std::shared_ptr<Link>> links_;
    // Whether the thread must look at link_ again.
    std::atomic<uint64_t> linkGeneration_{0};

    int wakeFd_ = -1;
    std::unique_ptr<std::thread> thread_;
    std::atomic<bool> stop_{false};
};

} // namespace mulvo::service
