#include "gpioadapter.h"

#include "quietthread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace mulvo::gpio {

namespace {

using lib::HandleSlot;
using lib::kDisarmed;
using lib::kHandleSlots;

// While connect() takes the time it arms from; the delivery thread waits the moment out.
constexpr uint64_t kArming = kDisarmed - 1;
// The largest event buffer the kernel grants a request; it drops the oldest events beyond it.
constexpr uint32_t kEventBuffer = 1024;
// The longest an arming waits for the delivery thread's next emptying read.
constexpr std::chrono::milliseconds kDrainWait{500};
constexpr const char *kConsumer = "mulvo-gpio";

uint64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

std::string describe(const LineRef &ref)
{
    return ref.name.empty() ? "line " + std::to_string(ref.offset) : "line '" + ref.name + "'";
}

} // namespace

// One adapter section's chip and line requests, shared by every handle of that adapter.
struct GpioAdapter::Device : lib::Device
{
    Kernel &kernel;
    uint32_t number = 0;
    std::string chipName;
    int chip = -1;
    int outputs = -1;
    int inputs = -1;
    int interrupt = -1;
    int acknowledge = -1;
    unsigned handles = 0; // guarded by the adapter's mutex
    // The chip went away: every call finds the adapter absent, and its line is not polled.
    std::atomic<bool> gone{false};

    // Owned by the delivery thread.
    uint32_t lastSeqno = 0;
    uint64_t lastTimestamp = 0; // of the last event read
    uint64_t drainedAt = 0;     // the last read that emptied the kernel's buffer began then
    uint64_t lost = 0;

    explicit Device(Kernel &k) : kernel(k) {}
    ~Device() override
    {
        if (lost)
            std::fprintf(stderr,
                         "mulvo-gpio: adapter %u: the kernel dropped %llu interrupt events; "
                         "each was still given its callback\n",
                         number, static_cast<unsigned long long>(lost));
        for (int fd : {acknowledge, interrupt, inputs, outputs, chip})
            if (fd >= 0)
                kernel.close(fd);
    }
};

GpioAdapter::GpioAdapter(Kernel &kernel) : lib::Core("mulvo-gpio"), kernel_(kernel)
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void GpioAdapter::forgetAfterFork()
{
    // The delivery thread belongs to the parent. The child's copies of the line descriptors
    // are closed (the parent keeps the lines), and the thread object names a thread the child
    // does not have: destroying it would end the child.
    (void)thread_.release();
    new (&mutex_) std::mutex;
    new (&threadMoved_) std::condition_variable;
    for (const auto &device : devices_)
        device->lost = 0; // the parent reports its own losses
    devices_.clear();
    generation_ = seenGeneration_ = drainRequested_ = drainDone_ = 0;
    ::close(wakeFd_);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

GpioAdapter::~GpioAdapter()
{
    // The thread runs code of this library: it must be gone before the library is unmapped.
    std::unique_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread = std::move(thread_);
    }
    if (thread) {
        stop_.store(true);
        wake();
        if (thread->get_id() == std::this_thread::get_id())
            thread->detach();
        else
            thread->join();
    }
    devices_.clear();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

std::shared_ptr<GpioAdapter::Device> GpioAdapter::requestDevice(uint32_t number, std::string &error)
{
    Config config;
    const AdapterConfig *section = loadAdapter(number, config, error);
    if (!section)
        return nullptr;
    auto device = std::make_shared<Device>(kernel_);
    device->number = number;
    device->chipName = section->chip;

    ChipInfo info;
    device->chip = findChip(kernel_, section->chip, info, error);
    if (device->chip < 0)
        return nullptr;

    // Every line to its offset first, names read from the chip only when the section uses
    // them; a line given twice (once by name, once by offset) is refused before any request.
    std::map<std::string, uint32_t> byName;
    std::map<uint32_t, std::string> used; // offset to the role that uses it
    const auto resolve = [&](const LineRef &ref, const char *role, uint32_t &offset) {
        if (ref.name.empty()) {
            if (ref.offset >= info.lines) {
                error = section->chip + " has no line " + std::to_string(ref.offset) + " (it has " +
                        std::to_string(info.lines) + ")";
                return false;
            }
            offset = ref.offset;
        } else {
            if (byName.empty()) {
                for (uint32_t i = 0; i < info.lines; ++i) {
                    std::string name;
                    if (kernel_.lineName(device->chip, i, name) == 0 && !name.empty())
                        byName.emplace(name, i);
                }
            }
            const auto found = byName.find(ref.name);
            if (found == byName.end()) {
                error = section->chip + " has no line named '" + ref.name + "'";
                return false;
            }
            offset = found->second;
        }
        const auto [at, fresh] = used.emplace(offset, role);
        if (!fresh) {
            error = "[adapter " + std::to_string(number) + "] uses line " + std::to_string(offset) +
                    " of " + section->chip + " twice: as " + at->second + " and as " + role + " (" +
                    describe(ref) + ")";
            return false;
        }
        return true;
    };
    const auto resolveAll = [&](LineRequest &req, const std::vector<LineRef> &refs,
                                const char *role) {
        for (const LineRef &ref : refs) {
            req.offsets.push_back(0);
            if (!resolve(ref, role, req.offsets.back()))
                return false;
        }
        req.consumer = kConsumer;
        return true;
    };
    const auto request = [&](const LineRequest &req, int &fd, const char *role) {
        fd = kernel_.requestLines(device->chip, req);
        if (fd >= 0)
            return true;
        if (fd == -EBUSY)
            error = "the " + std::string(role) + " lines of " + section->chip +
                    " are held by another program";
        else
            error = "cannot request the " + std::string(role) + " lines of " + section->chip +
                    ": " + std::strerror(-fd);
        return false;
    };

    LineRequest outputs;
    outputs.activeLow = section->outputs.activeLow;
    LineRequest inputs;
    inputs.activeLow = section->inputs.activeLow;
    inputs.bias = section->inputs.bias;
    LineRequest irq;
    LineRequest ack;
    if (!resolveAll(outputs, section->outputs.lines, "output") ||
        !resolveAll(inputs, section->inputs.lines, "input") ||
        (section->interrupt && !resolveAll(irq, {*section->interrupt}, "interrupt")) ||
        (section->acknowledge && !resolveAll(ack, {*section->acknowledge}, "acknowledge")))
        return nullptr;

    // Opening the adapter leaves the outputs where they are: the lines are taken as they
    // are, their levels read, and only then made outputs driven at those levels.
    outputs.asIs = true;
    if (!request(outputs, device->outputs, "output"))
        return nullptr;
    uint64_t levels = 0;
    if (kernel_.getValues(device->outputs, 0xff, levels) < 0)
        levels = 0; // a chip that cannot say starts them at 0
    outputs.asIs = false;
    outputs.output = true;
    outputs.bias = section->outputs.bias;
    outputs.outputValues = levels & 0xff;
    if (const int r = kernel_.reconfigure(device->outputs, outputs); r < 0) {
        error =
            "cannot make the output lines of " + section->chip + " outputs: " + std::strerror(-r);
        return nullptr;
    }
    if (!request(inputs, device->inputs, "input"))
        return nullptr;
    if (section->interrupt) {
        irq.activeLow = section->interruptActiveLow;
        irq.bias = section->interruptBias;
        irq.edgeRising = section->edge != Edge::Falling;
        irq.edgeFalling = section->edge != Edge::Rising;
        irq.debounceUs = section->debounceUs;
        irq.eventBufferSize = kEventBuffer;
        if (!request(irq, device->interrupt, "interrupt"))
            return nullptr;
    }
    if (section->acknowledge) {
        ack.output = true;
        ack.activeLow = section->acknowledgeActiveLow;
        if (!request(ack, device->acknowledge, "acknowledge"))
            return nullptr;
    }
    // Edges before this moment were never anybody's interrupts.
    device->lastTimestamp = device->drainedAt = monotonicNs();
    return device;
}

lib::Device *GpioAdapter::openDevice(uint32_t number, std::string &problem)
{
    Device *opened = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // A device closed from inside a callback gives its lines back once the thread has let
        // go of it; opening it again waits for that rather than find them busy.
        if (thread_ && std::this_thread::get_id() != threadId_ && seenGeneration_ < generation_) {
            lock.unlock();
            wake();
            lock.lock();
            threadMoved_.wait(lock, [&] { return seenGeneration_ >= generation_ || !thread_; });
        }
        for (const auto &d : devices_)
            if (d->number == number && !d->gone.load())
                opened = d.get();
        if (!opened) {
            std::shared_ptr<Device> device = requestDevice(number, problem);
            if (!device)
                return nullptr;
            devices_.push_back(device);
            opened = device.get();
            // Reading from the start keeps the buffer empty, so that an overflow later can
            // only hold edges that came after the last read.
            if (device->interrupt >= 0)
                ensureThreadLocked();
        }
        ++opened->handles;
    }
    wake(); // a new interrupt line to poll
    return opened;
}

void GpioAdapter::releaseDevice(lib::Device *released)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto &d) { return d.get() == released; });
    if (it == devices_.end() || --(*it)->handles != 0)
        return;
    std::shared_ptr<Device> device = std::move(*it);
    devices_.erase(it);
    const uint64_t generation = ++generation_;
    // The thread polls the device's interrupt line; once it polls without it, dropping the last
    // reference here gives the lines back before close returns, so that the adapter can be
    // opened again at once. On the thread itself the reference it holds goes a moment later.
    if (thread_ && std::this_thread::get_id() != threadId_) {
        lock.unlock();
        wake();
        lock.lock();
        threadMoved_.wait(lock, [&] { return seenGeneration_ >= generation || !thread_; });
    }
    lock.unlock();
    device.reset();
}

void GpioAdapter::markGone(Device &device, const std::string &why)
{
    if (device.gone.exchange(true))
        return;
    report("adapter " + std::to_string(device.number) + " is absent: " + why);
    wake(); // stop polling its line
}

int32_t GpioAdapter::failure(Device &device, int error)
{
    // A chip that went away (an unplugged USB adapter, a removed simulator) is an absent
    // adapter for good; a new open finds it again when it is back.
    if (error == -ENODEV) {
        markGone(device, "GPIO chip " + device.chipName + " was removed");
        return MULVO_E_ABSENT;
    }
    return MULVO_E_SYSTEM;
}

int32_t GpioAdapter::write(lib::Device &base, uint8_t value)
{
    Device &device = static_cast<Device &>(base);
    if (device.gone.load())
        return MULVO_E_ABSENT;
    const int r = kernel_.setValues(device.outputs, 0xff, value);
    return r < 0 ? failure(device, r) : MULVO_OK;
}

int32_t GpioAdapter::read(lib::Device &base, uint8_t &value)
{
    Device &device = static_cast<Device &>(base);
    if (device.gone.load())
        return MULVO_E_ABSENT;
    uint64_t bits = 0;
    const int r = kernel_.getValues(device.inputs, 0xff, bits);
    if (r < 0)
        return failure(device, r);
    value = uint8_t(bits & 0xff);
    return MULVO_OK;
}

int32_t GpioAdapter::acknowledge(lib::Device &base)
{
    Device &device = static_cast<Device &>(base);
    if (device.gone.load())
        return MULVO_E_ABSENT;
    if (device.acknowledge < 0)
        return MULVO_OK;
    int r = kernel_.setValues(device.acknowledge, 1, 1);
    if (r == 0)
        r = kernel_.setValues(device.acknowledge, 1, 0);
    return r < 0 ? failure(device, r) : MULVO_OK;
}

int32_t GpioAdapter::canArm(lib::Device &base)
{
    return static_cast<Device &>(base).gone.load() ? MULVO_E_ABSENT : MULVO_OK;
}

int32_t GpioAdapter::arm(lib::Device &base, HandleSlot &slot)
{
    if (static_cast<Device &>(base).interrupt < 0)
        return MULVO_OK; // no interrupt line: armed, but nothing will ever come
    uint64_t expected = kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, kArming))
        return MULVO_OK; // armed by another thread meanwhile
    // The handle receives the edges from this moment on. The kernel stamps each edge with
    // this clock before the thread can read it, so an edge the thread has already passed over
    // is always older; kArming makes the thread wait for the stamp rather than skip.
    // A disarm meanwhile wins.
    expected = kArming;
    slot.armedFrom.compare_exchange_strong(expected, monotonicNs());
    return MULVO_OK;
}

void GpioAdapter::armed(lib::Device &base)
{
    // Edges the kernel drops for lack of room are only known to be this handle's when they
    // came after a read that emptied the buffer; one such read after arming makes them so.
    // The thread gets to it once its callbacks are through; under a flood that a slow
    // callback cannot follow they never are, and arming waits no longer than kDrainWait:
    // edges dropped just then are withheld from this handle (never given twice).
    (void)base;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_ || std::this_thread::get_id() == threadId_)
        return;
    const uint64_t request = ++drainRequested_;
    lock.unlock();
    wake();
    lock.lock();
    threadMoved_.wait_for(lock, kDrainWait, [&] { return drainDone_ >= request || !thread_; });
}

void GpioAdapter::ensureThreadLocked()
{
    if (thread_ || wakeFd_ < 0)
        return;
    stop_.store(false);
    thread_ = lib::startQuietThread([this] { run(); });
    threadId_ = thread_->get_id();
}

void GpioAdapter::wake()
{
    if (wakeFd_ < 0)
        return;
    const uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void GpioAdapter::run()
{
    pthread_setname_np(pthread_self(), "mulvo-gpio-irq");
    std::vector<std::shared_ptr<Device>> polled;
    std::vector<pollfd> fds;
    uint64_t drainRequested = 0;
    while (!stop_.load()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            polled.clear(); // drops the references to devices that were closed
            for (const auto &d : devices_)
                if (d->interrupt >= 0 && !d->gone.load())
                    polled.push_back(d);
            seenGeneration_ = generation_;
            drainRequested = drainRequested_;
        }
        if (drainRequested != drainDone_) {
            for (const auto &d : polled)
                while (!deliver(*d)) {
                }
            std::lock_guard<std::mutex> lock(mutex_);
            drainDone_ = drainRequested;
        }
        threadMoved_.notify_all();
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        for (const auto &d : polled)
            fds.push_back(pollfd{d->interrupt, POLLIN, 0});
        // Sleeps until an edge or a wake-up; nothing is polled on a timer.
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            const short revents = fds[i + 1].revents;
            if (!revents)
                continue;
            deliver(*polled[i]);
            // A line that hangs up reports so at every poll: it is not polled again.
            if (revents & (POLLHUP | POLLERR | POLLNVAL))
                markGone(*polled[i], "GPIO chip " + polled[i]->chipName + " hung up");
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seenGeneration_ = generation_;
        drainDone_ = drainRequested_;
    }
    threadMoved_.notify_all();
}

bool GpioAdapter::deliver(Device &device)
{
    struct Interrupt
    {
        uint32_t number;
        uint64_t armedBy; // a handle armed at or before this time receives it
    };
    constexpr int kBatch = 64;
    LineEvent events[kBatch];
    const uint64_t readAt = monotonicNs();
    const int n = kernel_.readEvents(device.interrupt, events, kBatch);
    if (n < 0) {
        // Whatever the reason, the line gives nothing more: polling it again would spin.
        if (failure(device, n) != MULVO_E_ABSENT)
            markGone(device, std::string("cannot read the interrupt line: ") + std::strerror(-n));
        return true;
    }
    if (n == 0) {
        device.drainedAt = readAt;
        return true;
    }
    std::vector<Interrupt> batch;
    batch.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        const LineEvent &e = events[i];
        // A gap in the sequence numbers means the kernel's buffer overflowed and dropped the
        // oldest events. Each still counts as an interrupt. They came after the last event
        // read and after the last read that left the buffer empty: a handle armed before
        // both surely was armed when they came.
        const uint32_t expected = device.lastSeqno + 1;
        if (e.lineSeqno > expected) {
            device.lost += e.lineSeqno - expected;
            const uint64_t after = std::max(device.lastTimestamp, device.drainedAt);
            for (uint32_t s = expected; s < e.lineSeqno; ++s)
                batch.push_back({s, after});
        }
        batch.push_back({e.lineSeqno, e.timestampNs});
        device.lastSeqno = e.lineSeqno;
        device.lastTimestamp = e.timestampNs;
    }
    if (n < kBatch)
        device.drainedAt = readAt;

    const unsigned inUse = handles().slotsInUse().load(std::memory_order_acquire);
    for (unsigned i = 0; i < inUse; ++i) {
        HandleSlot &slot = handles().slot(i);
        if (slot.device.load(std::memory_order_acquire) != &device ||
            slot.armedFrom.load() == kDisarmed)
            continue;
        const CallbackRun run(slot, i);
        for (const Interrupt &irq : batch) {
            uint64_t from = run.armedFrom();
            while (from == kArming) {
                std::this_thread::yield();
                from = run.armedFrom();
            }
            if (from == kDisarmed)
                break;
            if (from > irq.armedBy)
                continue; // before this handle was armed (again)
            run.call(irq.number);
        }
    }
    return n < kBatch;
}

} // namespace mulvo::gpio
