// The virtual adapter as one process sees it: its view of the shared segment and the thread
// that delivers the segment's interrupts. The handle table and the calls' contract are the core's.
#pragma once

#include "core.h"
#include "deliverythread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mulvo::sim {

class SimAdapter final : public lib::Core
{
public:
    SimAdapter();
    ~SimAdapter() override;

private:
    lib::Device *openDevice(uint32_t number, std::string &problem) override;
    void releaseDevice(lib::Device *device) override;
    int32_t write(lib::Device &device, uint8_t value) override;
    int32_t read(lib::Device &device, uint8_t &value) override;
    int32_t acknowledge(lib::Device &device) override;
    int32_t canArm(lib::Device &device) override;
    int32_t arm(lib::Device &device, lib::HandleSlot &slot) override;
    void settleArming(lib::Device &device, lib::HandleSlot &slot, uint64_t from) override;
    void forgetAfterFork() override;

    Attachment *ensureAttachment(std::string &problem);
    // The handle's adapter is there: its segment is the current one, unchanged and plugged in.
    bool reachable(const Attachment &attachment, bool checkFile) const;

    std::atomic<uint32_t> openHandles_{0};

    std::mutex setupMutex_; // guards the attachments and the instance
    std::string instance_;
    // Every segment this process has mapped, the current one last; a segment is replaced when
    // the file at its name is no longer the one mapped.
    std::vector<std::unique_ptr<Attachment>> attachments_;
    std::atomic<Attachment *> current_{nullptr};

    DeliveryThread delivery_;
};

} // namespace mulvo::sim
