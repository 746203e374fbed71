// The handle table of an adapter library: the slots, the numbering of handles, a call's hold on
// its handle and the steps of closing one. Each library adds its own device behind the slots.
#pragma once

#include "handleslot.h"
#include "mulvolib.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace mulvo::lib {

class HandleTable
{
public:
    // A call in progress on a valid handle; close waits until none is left.
    class Use
    {
    public:
        Use(HandleTable &table, uint32_t handle)
        {
            if (handle == 0)
                return;
            HandleSlot &slot = table.slots_[handle % kHandleSlots];
            uint64_t control = slot.control.load(std::memory_order_acquire);
            do {
                if (handleOf(control) != handle || (control & kClosing))
                    return;
            } while (!slot.control.compare_exchange_weak(control, control + kOneUser,
                                                         std::memory_order_acquire));
            slot_ = &slot;
            index_ = handle % kHandleSlots;
        }
        ~Use()
        {
            if (slot_)
                slot_->control.fetch_sub(kOneUser, std::memory_order_release);
        }
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

        explicit operator bool() const { return slot_ != nullptr; }
        HandleSlot &slot() const { return *slot_; }
        unsigned index() const { return index_; }

    private:
        HandleSlot *slot_ = nullptr;
        unsigned index_ = 0;
    };

    HandleSlot *slots() { return slots_; }
    HandleSlot &slot(unsigned index) { return slots_[index]; }
    // Slots above this index have never been used.
    const std::atomic<unsigned> &slotsInUse() const { return slotsInUse_; }

    // A new handle in a free slot; `setUp(index)` completes the slot before any call can use
    // the handle. 0 and the reason in `problem` when no slot or no handle number is left.
    template <class SetUp> uint32_t open(SetUp &&setUp, std::string &problem)
    {
        const uint32_t serial = nextSerial_.fetch_add(1);
        if (serial > kMaxSerial) {
            nextSerial_.store(kMaxSerial + 1);
            problem = "no handle numbers left in this process";
            return 0;
        }
        for (unsigned i = 0; i < kHandleSlots; ++i) {
            // Claimed with the closing bit set, so that no call uses it before it is complete.
            const uint32_t handle = (serial << 8) | i;
            uint64_t expected = 0;
            if (!slots_[i].control.compare_exchange_strong(
                    expected, (uint64_t(handle) << 32) | kClosing, std::memory_order_acq_rel))
                continue;
            setUp(i);
            unsigned inUse = slotsInUse_.load();
            while (inUse < i + 1 && !slotsInUse_.compare_exchange_weak(inUse, i + 1)) {
            }
            slots_[i].control.store(uint64_t(handle) << 32, std::memory_order_release);
            return handle;
        }
        problem = "more than " + std::to_string(kHandleSlots) + " handles open in this process";
        return 0;
    }

    // Closing a handle, in order: the caller disarms it under a Use and waits for its
    // callbacks; markClosing turns it invalid for new calls (false when it was not valid);
    // waitForUsers lets the calls under way end; the caller disarms it once more, as a call
    // that was under way may have armed it, and waits for its callbacks; it lets go of its
    // device, and free forgets the extension and the callback and gives the slot back.
    bool markClosing(uint32_t handle)
    {
        HandleSlot &slot = slots_[handle % kHandleSlots];
        uint64_t control = slot.control.load(std::memory_order_acquire);
        do {
            if (handleOf(control) != handle || (control & kClosing))
                return false;
        } while (!slot.control.compare_exchange_weak(control, control | kClosing));
        return true;
    }
    void waitForUsers(unsigned index)
    {
        HandleSlot &slot = slots_[index];
        while (usersOf(slot.control.load(std::memory_order_acquire)) != 0)
            std::this_thread::yield();
    }
    void free(unsigned index)
    {
        HandleSlot &slot = slots_[index];
        slot.extension.store(nullptr);
        slot.callback.store(nullptr);
        slot.control.store(0, std::memory_order_release);
    }

    // Waits until the delivery thread is out of the slot's callbacks. `callbackSlot` is the slot
    // whose callback the calling thread runs, or -1: from inside that slot's own callback there
    // is nothing to wait for, the delivery thread looks at armedFrom again before the next one.
    void waitForCallbacks(unsigned index, int callbackSlot)
    {
        if (callbackSlot == int(index))
            return;
        HandleSlot &slot = slots_[index];
        const uint32_t phase = slot.callbackPhase.load();
        if (phase & 1)
            slot.callbackPhase.wait(phase);
    }

    int32_t setExtension(uint32_t handle, void *record)
    {
        Use use(*this, handle);
        if (!use)
            return MULVO_E_HANDLE;
        use.slot().extension.store(record, std::memory_order_release);
        return MULVO_OK;
    }
    void *extension(uint32_t handle)
    {
        Use use(*this, handle);
        if (!use)
            return nullptr;
        return use.slot().extension.load(std::memory_order_acquire);
    }

    // In a child made by fork(): the handles belong to the parent.
    void forgetAfterFork()
    {
        for (HandleSlot &slot : slots_) {
            slot.control.store(0);
            slot.extension.store(nullptr);
            slot.callback.store(nullptr);
            slot.armedFrom.store(kDisarmed);
            slot.cursor.store(0);
            slot.callbackPhase.store(0);
            slot.device.store(nullptr);
        }
    }

private:
    // Handles are (serial << 8) | slot with a serial that only grows, so no handle value comes
    // back within the process, and a stale handle never names a newer one.
    static constexpr uint32_t kMaxSerial = (1u << 24) - 1;
    static constexpr uint64_t kClosing = 1;
    static constexpr uint64_t kOneUser = 2;

    static uint32_t handleOf(uint64_t control) { return uint32_t(control >> 32); }
    static uint64_t usersOf(uint64_t control) { return (control & 0xffffffffu) >> 1; }

    HandleSlot slots_[kHandleSlots];
    std::atomic<unsigned> slotsInUse_{0};
    std::atomic<uint32_t> nextSerial_{1};
};

} // namespace mulvo::lib
