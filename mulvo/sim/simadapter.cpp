#include "simadapter.h"

#include "simsegment.h"

namespace mulvo::sim {

namespace {

Attachment &attachmentOf(lib::Device &device)
{
    return static_cast<Attachment &>(device);
}

} // namespace

SimAdapter::SimAdapter()
    : lib::Core("mulvo"),
      delivery_(handles().slots(), handles().slotsInUse(), openHandles_, current_)
{}

SimAdapter::~SimAdapter()
{
    // The thread runs code of this library: it must be gone before the library is unmapped.
    // Stopped first, because a callback still running may call back into the library.
    delivery_.stop();
    for (const auto &attachment : attachments_) {
        if (attachment->processEntry >= 0)
            attachment->segment->releaseProcess(attachment->processEntry);
    }
}

void SimAdapter::forgetAfterFork()
{
    // The process entry and the delivery thread belong to the parent; the child takes an entry
    // of its own (on the same mapping) when it opens the adapter.
    openHandles_.store(0);
    new (&setupMutex_) std::mutex;
    for (const auto &attachment : attachments_)
        attachment->processEntry = -1;
    delivery_.forgetAfterFork();
}

Attachment *SimAdapter::ensureAttachment(std::string &problem)
{
    std::lock_guard<std::mutex> lock(setupMutex_);
    Attachment *attachment = current_.load();
    // The file at the instance's name may have been removed, replaced or cut short since it
    // was mapped: then the adapter is the one found there now, or none.
    if (!attachment || !attachment->segment->current()) {
        if (instance_.empty() && !SimSegment::instanceFromEnvironment(instance_, problem))
            return nullptr;
        auto fresh = std::make_unique<Attachment>();
        fresh->segment = SimSegment::open(instance_, problem);
        if (fresh->segment)
            fresh->processEntry = fresh->segment->claimProcess(problem);
        if (fresh->processEntry < 0)
            return nullptr;
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
        attachment->processEntry = attachment->segment->claimProcess(problem);
        if (attachment->processEntry < 0)
            return nullptr;
    }
    return attachment;
}

bool SimAdapter::reachable(const Attachment &attachment, bool checkFile) const
{
    return &attachment == current_.load(std::memory_order_acquire) &&
           (!checkFile || attachment.segment->intact()) && attachment.segment->present();
}

lib::Device *SimAdapter::openDevice(uint32_t number, std::string &problem)
{
    Attachment *attachment = ensureAttachment(problem);
    if (!attachment || number != 0 || !attachment->segment->present())
        return nullptr;
    openHandles_.fetch_add(1);
    attachment->segment->addHandles(attachment->processEntry, 1);
    return attachment;
}

void SimAdapter::releaseDevice(lib::Device *device)
{
    Attachment &attachment = attachmentOf(*device);
    attachment.segment->addHandles(attachment.processEntry, -1);
    openHandles_.fetch_sub(1);
}

int32_t SimAdapter::write(lib::Device &device, uint8_t value)
{
    Attachment &attachment = attachmentOf(device);
    if (!reachable(attachment, true))
        return MULVO_E_ABSENT;
    attachment.segment->writeOutput(value);
    return MULVO_OK;
}

int32_t SimAdapter::read(lib::Device &device, uint8_t &value)
{
    Attachment &attachment = attachmentOf(device);
    if (!reachable(attachment, true))
        return MULVO_E_ABSENT;
    value = attachment.segment->readInput();
    return MULVO_OK;
}

int32_t SimAdapter::acknowledge(lib::Device &device)
{
    // Called for every interrupt: the file itself is looked at by the other calls only.
    return reachable(attachmentOf(device), false) ? MULVO_OK : MULVO_E_ABSENT;
}

int32_t SimAdapter::canArm(lib::Device &device)
{
    if (!reachable(attachmentOf(device), true))
        return MULVO_E_ABSENT;
    delivery_.ensureRunning();
    return MULVO_OK;
}

int32_t SimAdapter::arm(lib::Device &device, lib::HandleSlot &slot)
{
    Attachment &attachment = attachmentOf(device);
    SimSegment &segment = *attachment.segment;
    const uint64_t from = segment.arm(attachment.processEntry);
    uint64_t expected = lib::kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, from)) {
        // Another thread armed it first; that arming is the one due the interrupts.
        segment.disarm(attachment.processEntry, from, from, false);
        return MULVO_OK;
    }
    // Interrupts raised since `from` may have woken the delivery thread before it could see
    // this handle armed.
    segment.wakeDelivery();
    return MULVO_OK;
}

void SimAdapter::settleArming(lib::Device &device, lib::HandleSlot &slot, uint64_t from)
{
    // Once no callback of the handle runs, its cursor says how far this arming got.
    Attachment &attachment = attachmentOf(device);
    attachment.segment->disarm(attachment.processEntry, from, slot.cursor.load());
}

} // namespace mulvo::sim
