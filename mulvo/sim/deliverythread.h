// The library's own thread that calls the interrupt callbacks of this process's handles.
#pragma once

#include "handleslot.h"
#include "simsegment.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace mulvo::sim {

// One mapping of the adapter's segment and this process's entry in it. Kept until the library
// unloads, so that a handle opened on a segment that was since removed or replaced stays safe to
// use: it only finds its adapter absent.
struct Attachment : lib::Device
{
    std::unique_ptr<SimSegment> segment;
    int processEntry = -1;
};

class DeliveryThread
{
public:
    // The thread serves the handles opened on `current`, and follows it when it changes.
    DeliveryThread(lib::HandleSlot *slots, const std::atomic<unsigned> &slotsInUse,
                   const std::atomic<uint32_t> &openHandles,
                   const std::atomic<Attachment *> &current);
    ~DeliveryThread();
    DeliveryThread(const DeliveryThread &) = delete;
    DeliveryThread &operator=(const DeliveryThread &) = delete;

    // Starts the thread unless it runs. The thread ends by itself once no handle is open for a
    // while.
    void ensureRunning();
    // Ends the thread and joins it (detaches it when called on the thread itself).
    void stop();
    // Forgets a thread that does not exist in a child made by fork().
    void forgetAfterFork();

private:
    void run();
    void serve(Attachment *attachment);
    bool deliverPending();
    bool deliverSlot(unsigned index, uint64_t raised);
    uint32_t number(uint64_t sequence) const;
    bool exitWhenIdle();

    lib::HandleSlot *slots_;
    const std::atomic<unsigned> &slotsInUse_;
    const std::atomic<uint32_t> &openHandles_;
    const std::atomic<Attachment *> &current_;

    std::mutex mutex_; // guards thread_ and running_ changes, never held around a callback
    std::unique_ptr<std::thread> thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};

    // Owned by the running thread.
    Attachment *serving_ = nullptr;
    uint64_t base_ = 0;
    uint64_t previousBase_ = 0;
};

} // namespace mulvo::sim
