#include "adapter.h"

#include "simsegment.h"

#include <cstdio>
#include <pthread.h>
#include <thread>

namespace mulvo::lib {

namespace {

// Handles are (serial << 8) | slot with a serial that only grows, so no handle value comes
// back within the process, and a stale handle never names a newer one.
constexpr uint32_t kMaxSerial = (1u << 24) - 1;
constexpr uint64_t kClosing = 1;
constexpr uint64_t kOneUser = 2;

uint32_t handleOf(uint64_t control)
{
    return uint32_t(control >> 32);
}

uint64_t usersOf(uint64_t control)
{
    return (control & 0xffffffffu) >> 1;
}

std::atomic<Adapter *> g_adapter{nullptr};

} // namespace

// A call in progress on a valid handle; close waits until none is left.
class Adapter::Use
{
public:
    Use(Adapter &adapter, uint32_t handle)
    {
        if (handle == 0)
            return;
        HandleSlot &slot = adapter.slots_[handle % kHandleSlots];
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

Adapter::Adapter() : delivery_(slots_, slotsInUse_, openHandles_)
{
    g_adapter.store(this);
    pthread_atfork(nullptr, nullptr, &Adapter::childAfterFork);
}

Adapter::~Adapter()
{
    // The thread runs code of this library: it must be gone before the library is unmapped.
    // Stopped first, because a callback still running may call back into the library.
    delivery_.stop();
    g_adapter.store(nullptr);
    if (segment_ && processEntry_ >= 0)
        segment_->releaseProcess(processEntry_);
}

Adapter *Adapter::instance()
{
    return g_adapter.load(std::memory_order_acquire);
}

void Adapter::childAfterFork()
{
    if (Adapter *adapter = instance())
        adapter->forgetAfterFork();
}

void Adapter::forgetAfterFork()
{
    // The handles, the process entry and the delivery thread belong to the parent; the child
    // starts afresh (on the same mapping) when it opens the adapter.
    for (HandleSlot &slot : slots_) {
        slot.control.store(0);
        slot.extension.store(nullptr);
        slot.callback.store(nullptr);
        slot.armedFrom.store(kDisarmed);
        slot.callbackPhase.store(0);
    }
    openHandles_.store(0);
    new (&setupMutex_) std::mutex;
    processEntry_ = -1;
    delivery_.forgetAfterFork();
}

void Adapter::report(const std::string &message)
{
    // Called with setupMutex_ held. A program retrying mulvo_open must not flood the terminal.
    if (message == lastReport_)
        return;
    lastReport_ = message;
    std::fprintf(stderr, "mulvo: %s\n", message.c_str());
}

sim::SimSegment *Adapter::ensureSegment()
{
    std::lock_guard<std::mutex> lock(setupMutex_);
    if (!segment_) {
        std::string instance;
        std::string error;
        if (!sim::SimSegment::instanceFromEnvironment(instance, error)) {
            report(error);
            return nullptr;
        }
        segment_ = sim::SimSegment::open(instance, error);
        if (!segment_) {
            report(error);
            return nullptr;
        }
    }
    if (processEntry_ < 0) {
        std::string error;
        processEntry_ = segment_->claimProcess(error);
        if (processEntry_ < 0) {
            report(error);
            return nullptr;
        }
    }
    return segment_.get();
}

uint32_t Adapter::open(uint32_t device)
{
    sim::SimSegment *segment = ensureSegment();
    if (!segment || device != 0 || !segment->present())
        return 0;
    const uint32_t serial = nextSerial_.fetch_add(1);
    if (serial > kMaxSerial) {
        nextSerial_.store(kMaxSerial + 1);
        std::lock_guard<std::mutex> lock(setupMutex_);
        report("no handle numbers left in this process");
        return 0;
    }
    for (unsigned i = 0; i < kHandleSlots; ++i) {
        const uint32_t handle = (serial << 8) | i;
        uint64_t expected = 0;
        if (!slots_[i].control.compare_exchange_strong(expected, uint64_t(handle) << 32,
                                                       std::memory_order_acq_rel))
            continue;
        openHandles_.fetch_add(1);
        segment->addHandles(processEntry_, 1);
        unsigned inUse = slotsInUse_.load();
        while (inUse < i + 1 && !slotsInUse_.compare_exchange_weak(inUse, i + 1)) {
        }
        return handle;
    }
    std::lock_guard<std::mutex> lock(setupMutex_);
    report("more than " + std::to_string(kHandleSlots) + " handles open in this process");
    return 0;
}

void Adapter::disarm(unsigned index)
{
    HandleSlot &slot = slots_[index];
    if (slot.armedFrom.exchange(kDisarmed) != kDisarmed)
        segment_->disarm(processEntry_);
}

void Adapter::waitForCallbacks(unsigned index)
{
    // From inside this slot's own callback there is nothing to wait for: the delivery thread
    // looks at armedFrom again before it calls the next one.
    if (DeliveryThread::currentCallbackSlot() == int(index))
        return;
    HandleSlot &slot = slots_[index];
    const uint32_t phase = slot.callbackPhase.load();
    if (phase & 1)
        slot.callbackPhase.wait(phase);
}

int32_t Adapter::close(uint32_t handle)
{
    if (handle == 0)
        return MULVO_E_HANDLE;
    const unsigned index = handle % kHandleSlots;
    HandleSlot &slot = slots_[index];
    {
        // Disarm before the handle turns invalid: a callback still running may go on using
        // the handle (and its extension) until it returns.
        Use use(*this, handle);
        if (!use)
            return MULVO_E_HANDLE;
        disarm(index);
    }
    waitForCallbacks(index);

    uint64_t control = slot.control.load(std::memory_order_acquire);
    do {
        if (handleOf(control) != handle || (control & kClosing))
            return MULVO_E_HANDLE;
    } while (!slot.control.compare_exchange_weak(control, control | kClosing));

    // Another thread may have armed it again meanwhile.
    disarm(index);
    waitForCallbacks(index);
    while (usersOf(slot.control.load(std::memory_order_acquire)) != 0)
        std::this_thread::yield();

    slot.extension.store(nullptr);
    slot.callback.store(nullptr);
    segment_->addHandles(processEntry_, -1);
    slot.control.store(0, std::memory_order_release);
    openHandles_.fetch_sub(1);
    return MULVO_OK;
}

int32_t Adapter::writeOutput(uint32_t handle, uint32_t value)
{
    Use use(*this, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!segment_->present())
        return MULVO_E_ABSENT;
    segment_->writeOutput(uint8_t(value & 0xff));
    return MULVO_OK;
}

int32_t Adapter::readInput(uint32_t handle, uint32_t *value)
{
    Use use(*this, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!value)
        return MULVO_E_ARG;
    if (!segment_->present())
        return MULVO_E_ABSENT;
    *value = segment_->readInput();
    return MULVO_OK;
}

int32_t Adapter::setExtension(uint32_t handle, void *record)
{
    Use use(*this, handle);
    if (!use)
        return MULVO_E_HANDLE;
    use.slot().extension.store(record, std::memory_order_release);
    return MULVO_OK;
}

void *Adapter::extension(uint32_t handle)
{
    Use use(*this, handle);
    if (!use)
        return nullptr;
    return use.slot().extension.load(std::memory_order_acquire);
}

int32_t Adapter::connect(uint32_t handle, mulvo_callback callback)
{
    Use use(*this, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!callback)
        return MULVO_E_ARG;
    if (!segment_->present())
        return MULVO_E_ABSENT;
    delivery_.ensureRunning(*segment_, processEntry_);
    HandleSlot &slot = use.slot();
    slot.callback.store(callback, std::memory_order_release);
    if (slot.armedFrom.load() != kDisarmed)
        return MULVO_OK; // armed already: the new callback takes over
    const uint64_t from = segment_->arm(processEntry_);
    uint64_t expected = kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, from)) {
        segment_->disarm(processEntry_); // another thread armed it first
        return MULVO_OK;
    }
    // Interrupts raised since `from` may have woken the delivery thread before it could see
    // this handle armed.
    segment_->wakeDelivery();
    return MULVO_OK;
}

int32_t Adapter::interruptControl(uint32_t handle, uint32_t value)
{
    unsigned index = 0;
    {
        Use use(*this, handle);
        if (!use)
            return MULVO_E_HANDLE;
        if (value != MULVO_INT_DISARM)
            return MULVO_E_ARG;
        index = use.index();
        // Disarming works on an unplugged adapter too: the caller frees what the callback uses
        // as soon as this returns.
        disarm(index);
    }
    // Waiting without counting as a user: a callback of this handle may close it meanwhile.
    waitForCallbacks(index);
    return MULVO_OK;
}

int32_t Adapter::writePort(uint32_t handle, uint32_t port, uint32_t value)
{
    Use use(*this, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (port != MULVO_PORT_ACK || value != 0)
        return MULVO_E_ARG;
    if (!segment_->present())
        return MULVO_E_ABSENT;
    return MULVO_OK;
}

} // namespace mulvo::lib
