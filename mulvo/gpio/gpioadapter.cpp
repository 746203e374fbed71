#include "gpioadapter.h"

#include "quietthread.h"

#include <algorithm>
#include <cerrno>
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
constexpr const char *kConsumer = "mulvo-gpio";

thread_local int t_callbackSlot = -1;

std::atomic<GpioAdapter *> g_instance{nullptr};

uint64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

int32_t resultOf(int error)
{
    // A chip that went away (an unplugged USB adapter) is an absent adapter.
    return error == -ENODEV ? MULVO_E_ABSENT : MULVO_E_SYSTEM;
}

} // namespace

// One adapter section's chip and line requests, shared by every handle of that adapter.
struct GpioAdapter::Device
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

    // Owned by the delivery thread.
    uint32_t lastSeqno = 0;
    uint64_t lastTimestamp = 0; // of the last event read
    uint64_t drainedAt = 0;     // the last read that emptied the kernel's buffer began then
    uint64_t lost = 0;

    explicit Device(Kernel &k) : kernel(k) {}
    ~Device()
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

GpioAdapter::GpioAdapter(Kernel &kernel) : kernel_(kernel)
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_instance.store(this);
    pthread_atfork(nullptr, nullptr, &GpioAdapter::childAfterFork);
}

void GpioAdapter::childAfterFork()
{
    if (GpioAdapter *adapter = g_instance.load())
        adapter->forgetAfterFork();
}

void GpioAdapter::forgetAfterFork()
{
    // The handles and the delivery thread belong to the parent; the child starts afresh. Its
    // copies of the line descriptors are closed (the parent keeps the lines), and the thread
    // object names a thread the child does not have: destroying it would end the child.
    (void)thread_.release();
    new (&mutex_) std::mutex;
    new (&threadMoved_) std::condition_variable;
    handles_.forgetAfterFork();
    for (unsigned i = 0; i < kHandleSlots; ++i) {
        slotDevice_[i].store(nullptr);
        slotOwner_[i].reset();
    }
    for (const auto &device : devices_)
        device->lost = 0; // the parent reports its own losses
    devices_.clear();
    generation_ = seenGeneration_ = drainRequested_ = drainDone_ = 0;
    ::close(wakeFd_);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

GpioAdapter::~GpioAdapter()
{
    g_instance.store(nullptr);
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
    for (auto &owner : slotOwner_)
        owner.reset();
    devices_.clear();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void GpioAdapter::report(const std::string &message)
{
    // Called with mutex_ held. A program retrying mulvo_open must not flood the terminal.
    if (message == lastReport_)
        return;
    lastReport_ = message;
    std::fprintf(stderr, "mulvo-gpio: %s\n", message.c_str());
}

std::shared_ptr<GpioAdapter::Device> GpioAdapter::openDevice(uint32_t number, std::string &error)
{
    Config config;
    if (!loadConfig(config, error))
        return nullptr;
    const AdapterConfig *section = config.find(number);
    if (!section) {
        error = configFilePath() + ": no [adapter " + std::to_string(number) + "] section";
        return nullptr;
    }
    auto device = std::make_shared<Device>(kernel_);
    device->number = number;
    device->chipName = section->chip;

    // The chip, by path or by label (or by its kernel name, such as gpiochip0).
    ChipInfo info;
    if (section->chip[0] == '/') {
        device->chip = kernel_.openChip(section->chip);
        if (device->chip < 0) {
            error = "cannot open GPIO chip " + section->chip + ": " + std::strerror(-device->chip);
            return nullptr;
        }
        if (const int r = kernel_.chipInfo(device->chip, info); r < 0) {
            error = section->chip + " is not a GPIO chip: " + std::strerror(-r);
            return nullptr;
        }
    } else {
        for (const std::string &path : kernel_.chipPaths()) {
            const int fd = kernel_.openChip(path);
            if (fd < 0)
                continue;
            if (kernel_.chipInfo(fd, info) == 0 &&
                (info.label == section->chip || info.name == section->chip)) {
                device->chip = fd;
                break;
            }
            kernel_.close(fd);
        }
        if (device->chip < 0) {
            error = "no GPIO chip labelled '" + section->chip + "' is present";
            return nullptr;
        }
    }

    // Line names to offsets, read from the chip only when the section uses names.
    std::map<std::string, uint32_t> byName;
    const auto resolve = [&](const LineRef &ref, uint32_t &offset) {
        if (ref.name.empty()) {
            if (ref.offset >= info.lines) {
                error = section->chip + " has no line " + std::to_string(ref.offset) + " (it has " +
                        std::to_string(info.lines) + ")";
                return false;
            }
            offset = ref.offset;
            return true;
        }
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
        return true;
    };
    const auto request = [&](LineRequest &req, const std::vector<LineRef> &refs, int &fd,
                             const char *role) {
        for (const LineRef &ref : refs) {
            req.offsets.push_back(0);
            if (!resolve(ref, req.offsets.back()))
                return false;
        }
        req.consumer = kConsumer;
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
    outputs.output = true;
    outputs.activeLow = section->outputs.activeLow;
    outputs.bias = section->outputs.bias;
    if (!request(outputs, section->outputs.lines, device->outputs, "output"))
        return nullptr;
    LineRequest inputs;
    inputs.activeLow = section->inputs.activeLow;
    inputs.bias = section->inputs.bias;
    if (!request(inputs, section->inputs.lines, device->inputs, "input"))
        return nullptr;
    if (section->interrupt) {
        LineRequest irq;
        irq.activeLow = section->interruptActiveLow;
        irq.bias = section->interruptBias;
        irq.edgeRising = section->edge != Edge::Falling;
        irq.edgeFalling = section->edge != Edge::Rising;
        irq.debounceUs = section->debounceUs;
        irq.eventBufferSize = kEventBuffer;
        if (!request(irq, {*section->interrupt}, device->interrupt, "interrupt"))
            return nullptr;
    }
    if (section->acknowledge) {
        LineRequest ack;
        ack.output = true;
        ack.activeLow = section->acknowledgeActiveLow;
        if (!request(ack, {*section->acknowledge}, device->acknowledge, "acknowledge"))
            return nullptr;
    }
    // Edges before this moment were never anybody's interrupts.
    device->lastTimestamp = device->drainedAt = monotonicNs();
    return device;
}

uint32_t GpioAdapter::open(uint32_t number)
{
    std::shared_ptr<Device> device;
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
            if (d->number == number)
                device = d;
        if (!device) {
            std::string error;
            device = openDevice(number, error);
            if (!device) {
                report(error);
                return 0;
            }
            devices_.push_back(device);
            lastReport_.clear();
            // Reading from the start keeps the buffer empty, so that an overflow later can
            // only hold edges that came after the last read.
            if (device->interrupt >= 0)
                ensureThreadLocked();
        }
        ++device->handles;
    }
    wake(); // a new interrupt line to poll

    std::string problem;
    const uint32_t handle = handles_.open(
        [&](unsigned index) {
            slotOwner_[index] = device;
            slotDevice_[index].store(device.get());
        },
        problem);
    if (handle != 0)
        return handle;
    releaseDevice(std::move(device));
    std::lock_guard<std::mutex> lock(mutex_);
    report(problem);
    return 0;
}

void GpioAdapter::releaseDevice(std::shared_ptr<Device> device)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (--device->handles != 0)
        return;
    std::erase(devices_, device);
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

void GpioAdapter::disarm(unsigned index)
{
    handles_.slot(index).armedFrom.store(kDisarmed);
}

void GpioAdapter::waitForCallbacks(unsigned index)
{
    handles_.waitForCallbacks(index, t_callbackSlot);
}

int32_t GpioAdapter::close(uint32_t handle)
{
    if (handle == 0)
        return MULVO_E_HANDLE;
    const unsigned index = handle % kHandleSlots;
    {
        // Disarm before the handle turns invalid: a callback still running may go on using
        // the handle (and its extension) until it returns.
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        disarm(index);
    }
    waitForCallbacks(index);
    if (!handles_.markClosing(handle))
        return MULVO_E_HANDLE;
    disarm(index);
    waitForCallbacks(index);
    handles_.waitForUsers(index);

    slotDevice_[index].store(nullptr);
    std::shared_ptr<Device> device = std::move(slotOwner_[index]);
    handles_.free(index);
    releaseDevice(std::move(device));
    return MULVO_OK;
}

int32_t GpioAdapter::writeOutput(uint32_t handle, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    const int r = kernel_.setValues(deviceOf(use).outputs, 0xff, value & 0xff);
    return r < 0 ? resultOf(r) : MULVO_OK;
}

int32_t GpioAdapter::readInput(uint32_t handle, uint32_t *value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!value)
        return MULVO_E_ARG;
    uint64_t bits = 0;
    const int r = kernel_.getValues(deviceOf(use).inputs, 0xff, bits);
    if (r < 0)
        return resultOf(r);
    *value = uint32_t(bits & 0xff);
    return MULVO_OK;
}

int32_t GpioAdapter::connect(uint32_t handle, mulvo_callback callback)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (!callback)
        return MULVO_E_ARG;
    HandleSlot &slot = use.slot();
    slot.callback.store(callback, std::memory_order_release);
    if (deviceOf(use).interrupt < 0)
        return MULVO_OK; // no interrupt line: armed, but nothing will ever come
    uint64_t expected = kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, kArming))
        return MULVO_OK; // armed already: the new callback takes over
    // The handle receives the edges from this moment on. The kernel stamps each edge with
    // this clock before the thread can read it, so an edge the thread has already passed over
    // is always older; kArming makes the thread wait for the stamp rather than skip.
    // A disarm meanwhile wins.
    expected = kArming;
    slot.armedFrom.compare_exchange_strong(expected, monotonicNs());
    // Edges the kernel drops for lack of room are only known to be this handle's when they
    // came after a read that emptied the buffer; one such read after arming makes them so.
    if (t_callbackSlot < 0)
        drainOnce();
    return MULVO_OK;
}

int32_t GpioAdapter::interruptControl(uint32_t handle, uint32_t value)
{
    unsigned index = 0;
    {
        Use use(handles_, handle);
        if (!use)
            return MULVO_E_HANDLE;
        if (value != MULVO_INT_DISARM)
            return MULVO_E_ARG;
        index = use.index();
        disarm(index);
    }
    // Waiting without counting as a user: a callback of this handle may close it meanwhile.
    waitForCallbacks(index);
    return MULVO_OK;
}

int32_t GpioAdapter::writePort(uint32_t handle, uint32_t port, uint32_t value)
{
    Use use(handles_, handle);
    if (!use)
        return MULVO_E_HANDLE;
    if (port != MULVO_PORT_ACK || value != 0)
        return MULVO_E_ARG;
    const int ack = deviceOf(use).acknowledge;
    if (ack < 0)
        return MULVO_OK;
    int r = kernel_.setValues(ack, 1, 1);
    if (r == 0)
        r = kernel_.setValues(ack, 1, 0);
    return r < 0 ? resultOf(r) : MULVO_OK;
}

void GpioAdapter::ensureThreadLocked()
{
    if (thread_ || wakeFd_ < 0)
        return;
    stop_.store(false);
    thread_ = lib::startQuietThread([this] { run(); });
    threadId_ = thread_->get_id();
}

void GpioAdapter::drainOnce()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_ || std::this_thread::get_id() == threadId_)
        return;
    const uint64_t request = ++drainRequested_;
    lock.unlock();
    wake();
    lock.lock();
    threadMoved_.wait(lock, [&] { return drainDone_ >= request || !thread_; });
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
            polled = devices_; // drops the references to devices that were closed
            seenGeneration_ = generation_;
            drainRequested = drainRequested_;
        }
        if (drainRequested != drainDone_) {
            for (const auto &d : polled)
                if (d->interrupt >= 0)
                    while (!deliver(*d)) {
                    }
            std::lock_guard<std::mutex> lock(mutex_);
            drainDone_ = drainRequested;
        }
        threadMoved_.notify_all();
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        for (const auto &d : polled)
            if (d->interrupt >= 0)
                fds.push_back(pollfd{d->interrupt, POLLIN, 0});
        // Sleeps until an edge or a wake-up; nothing is polled on a timer.
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        size_t next = 1;
        for (const auto &d : polled) {
            if (d->interrupt < 0)
                continue;
            if (fds[next++].revents)
                deliver(*d);
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
    if (n <= 0) {
        if (n == 0)
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

    const unsigned inUse = handles_.slotsInUse().load(std::memory_order_acquire);
    for (unsigned i = 0; i < inUse; ++i) {
        if (slotDevice_[i].load(std::memory_order_acquire) != &device)
            continue;
        HandleSlot &slot = handles_.slot(i);
        if (slot.armedFrom.load() == kDisarmed)
            continue;
        // Marking the slot busy before each look at armedFrom (both sequentially consistent)
        // pairs with disarm, which clears armedFrom before it looks at the mark: either no
        // callback starts, or disarm sees the mark and waits for it to go.
        slot.callbackPhase.fetch_add(1);
        t_callbackSlot = int(i);
        for (const Interrupt &irq : batch) {
            uint64_t from = slot.armedFrom.load();
            while (from == kArming) {
                std::this_thread::yield();
                from = slot.armedFrom.load();
            }
            if (from == kDisarmed)
                break;
            if (from > irq.armedBy)
                continue; // before this handle was armed (again)
            const mulvo_callback callback = slot.callback.load(std::memory_order_acquire);
            const auto handle = uint32_t(slot.control.load(std::memory_order_acquire) >> 32);
            callback(handle, irq.number);
        }
        t_callbackSlot = -1;
        slot.callbackPhase.fetch_add(1);
        slot.callbackPhase.notify_all();
    }
    return n < kBatch;
}

} // namespace mulvo::gpio
