#include "adapter.h"

#include "simsegment.h"

#include <cstdio>
#include <pthread.h>

namespace mulvo::lib {

namespace {

std::atomic<Adapter *> g_adapter{nullptr};

} // namespace

Adapter::Adapter() : delivery_(handles_.slots(), handles_.slotsInUse(), openHandles_, current_)
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
    for (const auto &attachment : attachments_) {
        if (attachment->processEntry >= 0)
            attachment->segment->releaseProcess(attachment->processEntry);
    }
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
    handles_.forgetAfterFork();
    openHandles_.store(0);
    new (&setupMutex_) std::mutex;
    for (const auto &attachment : attachments_)
        attachment->processEntry = -1;
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

Attachment *Adapter::ensureAttachment()
{
    std::lock_guard<std::mutex> lock(setupMutex_);
    Attachment *attachment = current_.load();
    std::string error;
    // The file at the instance's name may have been removed, replaced or cut short since it
    // was mapped: then the adapter is the one found there now, or none.
    if (!attachment || !attachment->segment->current()) {
        if (instance_.empty() && !sim::SimSegment::instanceFromEnvironment(instance_, error)) {
            report(error);
            return nullptr;
        }
        auto fresh = std::make_unique<Attachment>();
        fresh->segment = sim::SimSegment::open(instance_, error);
        if (fresh->segment)
            fresh->processEntry = fresh->segment->claimProcess(error);
        if (fresh->processEntry < 0) {
            report(error);
            return nullptr;
        }
        // Complete before it is published: the delivery thread moves to it as soon as it sees
        // it, and wakes up on the old segment to see it.
        attachments_.push_back(std::move(fresh));
        Attachment *previous = attachment;
        attachment = attachments_.back().get();
        current_.store(attachment, std::memory_order_release);
        if (previous)
            previous->segment->wakeDelivery();
    } else if (attachment->processEntry < 0) {
        // A child made by fork() takes an entry of its own.
        attachment->processEntry = attachment->segment->claimProcess(error);
        if (attachment->processEntry < 0) {
            report(error);
            return nullptr;
        }
    }
    return attachment;
}

bool Adapter::reachable(const Attachment *attachment, bool checkFile) const
{
    return attachment == current_.load(std::memory_order_acquire) &&
           (!checkFile || attachment->segment->intact()) && attachment->segment->present();
}

uint32_t Adapter::open(uint32_t device)
{
    Attachment *attachment = ensureAttachment();
    if (!attachment || device != 0 || !attachment->segment->present())
        return 0;
    std::string problem;
    const uint32_t handle = handles_.open(
        [&](unsigned index) {
            HandleSlot &slot = handles_.slot(index);
            slot.attachment.store(attachment, std::memory_order_relaxed);
            slot.cursor.store(0, std::memory_order_relaxed);
            openHandles_.fetch_add(1);
            attachment->segment->addHandles(attachment->processEntry, 1);
        },
        problem);
    if (handle == 0) {
        std::lock_guard<std::mutex> lock(setupMutex_);
        report(problem);
    }
    return handle;
}

Adapter::Disarmed Adapter::disarm(unsigned index)
{
    HandleSlot &slot = handles_.slot(index);
    Disarmed disarmed;
    disarmed.attachment = slot.attachment.load(std::memory_order_acquire);
    disarmed.from = slot.armedFrom.exchange(kDisarmed);
    return disarmed;
}

void Adapter::settle(unsigned index, const Disarmed &disarmed)
{
    // Once no callback of the handle runs, its cursor says how far this arming got.
    if (disarmed.from != kDisarmed) {
        disarmed.attachment->segment->disarm(disarmed.attachment->processEntry, disarmed.from,
                                             handles_.slot(index).cursor.load());
    }
}

void Adapter::waitForCallbacks(unsigned index)
{
    handles_.waitForCallbacks(index, DeliveryThread::currentCallbackSlot());
}

int32_t Adapter::close(uint32_t handle)
{
    if (handle == 0)
        return MULVO_E_HANDLE;
    const unsigned index = handle % kHandleSlots;
    Disarmed disarmed;
    {
        // Disarm before the handle turns invalid: a callback still running may go on using
        // the handle (and its extension) until it returns.
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        disarmed = disarm(index);
    }
    waitForCallbacks(index);
    settle(index, disarmed);
    if (!handles_.markClosing(handle))
        return MULVO_E_HANDLE;
    disarmed = disarm(index);
    waitForCallbacks(index);
    settle(index, disarmed);
    handles_.waitForUsers(index);

    Attachment *attachment = handles_.slot(index).attachment.load();
    attachment->segment->addHandles(attachment->processEntry, -1);
    handles_.free(index);
    openHandles_.fetch_sub(1);
    return MULVO_OK;
}

int32_t Adapter::writeOutput(uint32_t handle, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    Attachment *attachment = use.slot().attachment.load(std::memory_order_acquire);
    if (!reachable(attachment, true))
        return MULVO_E_ABSENT;
    attachment->segment->writeOutput(uint8_t(value & 0xff));
    return MULVO_OK;
}

int32_t Adapter::readInput(uint32_t handle, uint32_t *value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!value)
        return MULVO_E_ARG;
    Attachment *attachment = use.slot().attachment.load(std::memory_order_acquire);
    if (!reachable(attachment, true))
        return MULVO_E_ABSENT;
    *value = attachment->segment->readInput();
    return MULVO_OK;
}

int32_t Adapter::connect(uint32_t handle, mulvo_callback callback)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!callback)
        return MULVO_E_ARG;
    HandleSlot &slot = use.slot();
    Attachment *attachment = slot.attachment.load(std::memory_order_acquire);
    if (!reachable(attachment, true))
        return MULVO_E_ABSENT;
    delivery_.ensureRunning();
    slot.callback.store(callback, std::memory_order_release);
    if (slot.armedFrom.load() != kDisarmed)
        return MULVO_OK; // armed already: the new callback takes over
    sim::SimSegment &segment = *attachment->segment;
    const uint64_t from = segment.arm(attachment->processEntry);
    uint64_t expected = kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, from)) {
        // Another thread armed it first; that arming is the one due the interrupts.
        segment.disarm(attachment->processEntry, from, from, false);
        return MULVO_OK;
    }
    // Interrupts raised since `from` may have woken the delivery thread before it could see
    // this handle armed.
    segment.wakeDelivery();
    return MULVO_OK;
}

int32_t Adapter::interruptControl(uint32_t handle, uint32_t value)
{
    unsigned index = 0;
    Disarmed disarmed;
    {
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        if (value != MULVO_INT_DISARM)
            return MULVO_E_ARG;
        index = use.index();
        // Disarming works on an unplugged adapter too: the caller frees what the callback uses
        // as soon as this returns.
        disarmed = disarm(index);
    }
    // Waiting without counting as a user: a callback of this handle may close it meanwhile.
    waitForCallbacks(index);
    settle(index, disarmed);
    return MULVO_OK;
}

int32_t Adapter::writePort(uint32_t handle, uint32_t port, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (port != MULVO_PORT_ACK || value != 0)
        return MULVO_E_ARG;
    // Called for every interrupt: the file itself is looked at by the other calls only.
    if (!reachable(use.slot().attachment.load(std::memory_order_acquire), false))
        return MULVO_E_ABSENT;
    return MULVO_OK;
}

} // namespace mulvo::lib
