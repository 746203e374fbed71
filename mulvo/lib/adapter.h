// The virtual adapter as one process sees it: its handle table and its view of the shared
// segment. The nine C functions forward here.
#pragma once

#include "deliverythread.h"
#include "handletable.h"
#include "mulvolib.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mulvo::lib {

class Adapter
{
public:
    Adapter();
    ~Adapter();
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    // The process's adapter, or null once the library is being unloaded.
    static Adapter *instance();

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
    using Use = HandleTable::Use;
    // What disarming a handle leaves to settle once its callbacks are over.
    struct Disarmed
    {
        Attachment *attachment = nullptr;
        uint64_t from = kDisarmed;
    };

    Attachment *ensureAttachment();
    // The handle's adapter is there: its segment is the current one, unchanged and plugged in.
    bool reachable(const Attachment *attachment, bool checkFile) const;
    void report(const std::string &message);
    Disarmed disarm(unsigned index);
    void settle(unsigned index, const Disarmed &disarmed);
    void waitForCallbacks(unsigned index);
    void forgetAfterFork();
    static void childAfterFork();

    HandleTable handles_;
    std::atomic<uint32_t> openHandles_{0};

    std::mutex setupMutex_; // guards the attachments, the instance and the error report
    std::string instance_;
    // Every segment this process has mapped, the current one last; a segment is replaced when
    // the file at its name is no longer the one mapped.
    std::vector<std::unique_ptr<Attachment>> attachments_;
    std::atomic<Attachment *> current_{nullptr};
    std::string lastReport_;

    DeliveryThread delivery_;
};

} // namespace mulvo::lib
