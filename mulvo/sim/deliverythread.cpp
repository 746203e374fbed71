#include "deliverythread.h"

#include "core.h"
#include "quietthread.h"
#include "simsegment.h"

#include <algorithm>
#include <pthread.h>

namespace mulvo::sim {

using lib::HandleSlot;
using lib::kDisarmed;

namespace {

// Long enough to keep the idle thread cheap, short enough that it notices it is no longer
// needed; interrupts and stop requests wake it at once.
constexpr int kWaitTimeoutMs = 100;
// Interrupts given to one handle before the others get their turn.
constexpr uint64_t kChunk = 1024;

} // namespace

DeliveryThread::DeliveryThread(HandleSlot *slots, const std::atomic<unsigned> &slotsInUse,
                               const std::atomic<uint32_t> &openHandles,
                               const std::atomic<Attachment *> &current)
    : slots_(slots), slotsInUse_(slotsInUse), openHandles_(openHandles), current_(current)
{}

DeliveryThread::~DeliveryThread()
{
    stop();
}

void DeliveryThread::ensureRunning()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_.load())
        return;
    // A thread that ended because it was idle has left the loop already; joining is quick.
    if (thread_ && thread_->joinable())
        thread_->join();
    serving_ = nullptr;
    stop_.store(false);
    running_.store(true);
    thread_ = lib::startQuietThread([this] { run(); });
}

void DeliveryThread::stop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_)
        return;
    stop_.store(true);
    // A thread still waiting on a segment replaced a moment ago wakes by its time-out.
    if (Attachment *current = current_.load(); running_.load() && current)
        current->segment->wakeDelivery();
    std::unique_ptr<std::thread> thread = std::move(thread_);
    lock.unlock();
    if (thread->get_id() == std::this_thread::get_id())
        thread->detach();
    else if (thread->joinable())
        thread->join();
    running_.store(false);
}

void DeliveryThread::forgetAfterFork()
{
    // The thread object names a thread of the parent; destroying it would terminate the child.
    (void)thread_.release();
    new (&mutex_) std::mutex;
    running_.store(false);
    stop_.store(false);
    serving_ = nullptr;
}

void DeliveryThread::run()
{
    pthread_setname_np(pthread_self(), "mulvo-irq");
    while (!stop_.load()) {
        if (Attachment *current = current_.load(std::memory_order_acquire); current != serving_)
            serve(current);
        if (deliverPending())
            continue;
        if (openHandles_.load() == 0 && exitWhenIdle())
            return;
        // Register as a sleeper before the last look for work, so that a raise in between
        // either is seen by that look or sees the sleeper and wakes it.
        SimSegment &segment = *serving_->segment;
        const int entry = serving_->processEntry;
        const uint32_t word = segment.beginWait(entry);
        if (!deliverPending() && !stop_.load() && current_.load() == serving_)
            segment.wait(word, kWaitTimeoutMs);
        segment.endWait(entry);
    }
}

void DeliveryThread::serve(Attachment *attachment)
{
    // Handles opened on an earlier segment get nothing more: their adapter is gone. Each
    // handle's own arming point and cursor decide what it receives from the new one.
    serving_ = attachment;
    base_ = previousBase_ = attachment->segment->raisedBase();
}

bool DeliveryThread::exitWhenIdle()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A connect that opened a handle after this check finds running_ false and starts anew.
    if (openHandles_.load() != 0)
        return false;
    running_.store(false);
    return true;
}

bool DeliveryThread::deliverPending()
{
    const uint64_t raised = serving_->segment->raisedSequence();
    const uint64_t base = serving_->segment->raisedBase();
    if (base != base_) {
        previousBase_ = base_;
        base_ = base;
    }
    bool progress = false;
    const unsigned inUse = slotsInUse_.load(std::memory_order_acquire);
    for (unsigned i = 0; i < inUse; ++i) {
        HandleSlot &slot = slots_[i];
        const uint64_t from = slot.armedFrom.load(std::memory_order_acquire);
        if (from == kDisarmed || slot.device.load(std::memory_order_acquire) != serving_)
            continue;
        if (std::max(slot.cursor.load(std::memory_order_relaxed), from) < raised)
            progress |= deliverSlot(i, raised);
    }
    return progress;
}

bool DeliveryThread::deliverSlot(unsigned index, uint64_t raised)
{
    HandleSlot &slot = slots_[index];
    SimSegment &segment = *serving_->segment;
    const int entry = serving_->processEntry;

    uint64_t cursor = 0;
    uint64_t start = 0;
    {
        const lib::Core::CallbackRun run(slot, index);
        uint64_t from = run.armedFrom();
        start = cursor = std::max(slot.cursor.load(std::memory_order_relaxed), from);
        const uint64_t limit = std::min(raised, cursor + kChunk);
        while (from != kDisarmed && cursor < limit) {
            // Disarmed and armed again since the last callback: the next round starts from
            // there, after whoever disarmed has seen where this arming ended.
            if (from > cursor)
                break;
            const uint64_t sequence = ++cursor;
            segment.countDelivered(entry);
            slot.cursor.store(sequence, std::memory_order_relaxed);
            run.call(number(sequence));
            from = run.armedFrom();
        }
    }
    return cursor != start;
}

uint32_t DeliveryThread::number(uint64_t sequence) const
{
    // Numbers count from the last reset; an interrupt raised before a reset keeps the number it
    // had then.
    if (sequence > base_)
        return uint32_t(sequence - base_);
    if (sequence > previousBase_)
        return uint32_t(sequence - previousBase_);
    return uint32_t(sequence);
}

} // namespace mulvo::sim
