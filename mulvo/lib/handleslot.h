// One entry of a library's handle table.
#pragma once

#include "mulvolib.h"

#include <atomic>
#include <cstdint>

namespace mulvo::lib {

inline constexpr unsigned kHandleSlots = 256; // a handle's low 8 bits are its slot index
inline constexpr uint64_t kDisarmed = ~uint64_t(0);

// What a handle was opened on; each library derives its own.
struct Device
{
    virtual ~Device() = default;
};

struct HandleSlot
{
    // (handle << 32) | (users << 1) | closing; 0 while the slot is free. A call on a handle
    // counts itself as a user, so that close waits for calls already under way.
    std::atomic<uint64_t> control{0};
    std::atomic<void *> extension{nullptr};
    std::atomic<mulvo_callback> callback{nullptr};
    // kDisarmed, or the interrupt sequence when the handle was armed: the handle receives the
    // interrupts numbered above it.
    std::atomic<uint64_t> armedFrom{kDisarmed};
    // The latest interrupt delivered to (or skipped by) the handle; written by the delivery
    // thread only, never goes back while the handle is open.
    std::atomic<uint64_t> cursor{0};
    // Odd while the delivery thread is in (or about to enter) this slot's callbacks.
    std::atomic<uint32_t> callbackPhase{0};
    // The device the handle was opened on, set before the handle is published.
    std::atomic<Device *> device{nullptr};
};

} // namespace mulvo::lib
