#include "simsegment.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace mulvo::sim {

namespace {

constexpr auto kReadyTimeout = std::chrono::seconds(2);

std::string systemError(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
}

std::string devShmPath(const std::string &name)
{
    return "/dev/shm" + name;
}

int64_t realtimeNow()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The futex words are process-shared, so neither call may use FUTEX_PRIVATE_FLAG.
void futexWakeAll(std::atomic<uint32_t> &word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr,
            0);
}

void futexWait(std::atomic<uint32_t> &word, uint32_t expected, int timeoutMs)
{
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000};
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT, expected, &timeout, nullptr,
            0);
}

bool processIsDead(int32_t pid)
{
    return kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

bool SimSegment::isValidInstance(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

bool SimSegment::instanceFromEnvironment(std::string &instance, std::string &error)
{
    const char *value = std::getenv(kInstanceEnv);
    if (!value || !*value) {
        instance = kDefaultInstance;
        return true;
    }
    if (!isValidInstance(value)) {
        error = std::string(kInstanceEnv) +
                " is not a valid instance name (1 to 64 characters of A-Z a-z 0-9 _ . -): " + value;
        return false;
    }
    instance = value;
    return true;
}

std::string SimSegment::segmentName(std::string_view instance)
{
    return "/mulvo-" + std::to_string(geteuid()) + "-" + std::string(instance);
}

SimSegment::SimSegment(std::string name, SegmentLayout *layout)
    : name_(std::move(name)), layout_(layout)
{}

SimSegment::~SimSegment()
{
    munmap(layout_, sizeof(SegmentLayout));
}

std::unique_ptr<SimSegment> SimSegment::open(std::string_view instance, std::string &error)
{
    if (!isValidInstance(instance)) {
        error = "not a valid instance name (1 to 64 characters of A-Z a-z 0-9 _ . -): " +
                std::string(instance);
        return nullptr;
    }
    const std::string name = segmentName(instance);
    // The segment may be removed between a failed exclusive create and the open that follows.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            return create(name, fd, error);
        if (errno != EEXIST) {
            error = systemError("cannot create shared memory segment " + devShmPath(name), errno);
            return nullptr;
        }
        fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0)
            return attach(name, fd, error);
        if (errno != ENOENT) {
            error = systemError("cannot open shared memory segment " + devShmPath(name), errno);
            return nullptr;
        }
    }
    error = "shared memory segment " + devShmPath(name) + " keeps disappearing";
    return nullptr;
}

std::unique_ptr<SimSegment> SimSegment::create(const std::string &name, int fd, std::string &error)
{
    if (ftruncate(fd, sizeof(SegmentLayout)) != 0) {
        error = systemError("cannot size shared memory segment " + devShmPath(name), errno);
        ::close(fd);
        shm_unlink(name.c_str());
        return nullptr;
    }
    void *p = mmap(nullptr, sizeof(SegmentLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int mapErr = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        error = systemError("cannot map shared memory segment " + devShmPath(name), mapErr);
        shm_unlink(name.c_str());
        return nullptr;
    }
    auto *layout = new (p) SegmentLayout{};
    layout->present.store(1, std::memory_order_relaxed);
    layout->header.version.store(kLayoutVersion, std::memory_order_relaxed);
    layout->header.size.store(sizeof(SegmentLayout), std::memory_order_relaxed);
    // Publishing the magic last is what makes the segment usable for everyone else.
    layout->header.magic.store(kSegmentMagic, std::memory_order_release);
    return std::unique_ptr<SimSegment>(new SimSegment(name, layout));
}

std::unique_ptr<SimSegment> SimSegment::attach(const std::string &name, int fd, std::string &error)
{
    const std::string path = devShmPath(name);
    struct FdCloser
    {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat st
    {
    };
    if (fstat(fd, &st) != 0) {
        error = systemError("cannot inspect shared memory segment " + path, errno);
        return nullptr;
    }
    if (st.st_uid != geteuid()) {
        error = "shared memory segment " + path + " belongs to another user";
        return nullptr;
    }
    if ((st.st_mode & 077) != 0) {
        error = "shared memory segment " + path + " is open to other users; delete it";
        return nullptr;
    }

    // A creator in another process may still be between its exclusive create and the magic.
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (st.st_size < off_t(sizeof(SegmentHeader))) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "shared memory segment " + path +
                    " was never initialised (its creator may have died); delete it";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fstat(fd, &st) != 0) {
            error = systemError("cannot inspect shared memory segment " + path, errno);
            return nullptr;
        }
    }
    void *hp = mmap(nullptr, sizeof(SegmentHeader), PROT_READ, MAP_SHARED, fd, 0);
    if (hp == MAP_FAILED) {
        error = systemError("cannot map shared memory segment " + path, errno);
        return nullptr;
    }
    auto *header = static_cast<SegmentHeader *>(hp);
    uint32_t magic = 0;
    while ((magic = header->magic.load(std::memory_order_acquire)) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const uint32_t version = header->version.load(std::memory_order_relaxed);
    const uint64_t size = header->size.load(std::memory_order_relaxed);
    munmap(hp, sizeof(SegmentHeader));

    if (magic == 0) {
        error = "shared memory segment " + path +
                " was never initialised (its creator may have died); delete it";
        return nullptr;
    }
    if (magic != kSegmentMagic) {
        error = "shared memory segment " + path + " does not hold a virtual adapter; delete it";
        return nullptr;
    }
    if (fstat(fd, &st) != 0) {
        error = systemError("cannot inspect shared memory segment " + path, errno);
        return nullptr;
    }
    if (version != kLayoutVersion || size != sizeof(SegmentLayout) ||
        uint64_t(st.st_size) != sizeof(SegmentLayout)) {
        error = "shared memory segment " + path + " has layout version " + std::to_string(version) +
                " of " + std::to_string(size) + " bytes, this program needs version " +
                std::to_string(kLayoutVersion) + " of " + std::to_string(sizeof(SegmentLayout)) +
                " bytes; close the programs that use it and delete it";
        return nullptr;
    }
    void *p = mmap(nullptr, sizeof(SegmentLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        error = systemError("cannot map shared memory segment " + path, errno);
        return nullptr;
    }
    return std::unique_ptr<SimSegment>(new SimSegment(name, static_cast<SegmentLayout *>(p)));
}

bool SimSegment::remove(std::string_view instance, std::string &error)
{
    if (!isValidInstance(instance)) {
        error = "not a valid instance name: " + std::string(instance);
        return false;
    }
    const std::string name = segmentName(instance);
    if (shm_unlink(name.c_str()) != 0 && errno != ENOENT) {
        error = systemError("cannot delete shared memory segment " + devShmPath(name), errno);
        return false;
    }
    return true;
}

SimSegment::Status SimSegment::status()
{
    reapDeadProcesses();
    Status s;
    s.present = present();
    s.output = output();
    s.input = readInput();
    s.loopback = layout_->loopback.load() != 0;
    s.armed = layout_->armed.load();
    s.handles = layout_->handles.load();
    s.raised = layout_->raised.load() - layout_->raisedBase.load();
    s.delivered = layout_->delivered.load();
    s.missed = layout_->missed.load();
    return s;
}

void SimSegment::reset()
{
    reapDeadProcesses();
    layout_->present.store(1);
    layout_->input.store(0);
    layout_->loopback.store(0);
    writeOutput(0);
    // The sequence itself goes on, so delivery threads never see it go back; only the
    // numbering restarts.
    layout_->raisedBase.store(layout_->raised.load());
    layout_->delivered.store(0);
    layout_->missed.store(0);
}

bool SimSegment::raise(uint64_t count)
{
    if (!present())
        return false;
    if (count == 0)
        return true;
    // Sequentially consistent on purpose, paired with arm(): either the raise sees the armed
    // count, or the arming sees the raise and leaves it out. So a missed interrupt is never also
    // delivered.
    layout_->raised.fetch_add(count);
    if (layout_->armed.load() == 0)
        layout_->missed.fetch_add(count);
    layout_->irqWord.fetch_add(1);
    if (layout_->waiters.load() != 0)
        futexWakeAll(layout_->irqWord);
    return true;
}

void SimSegment::setPresent(bool present)
{
    layout_->present.store(present ? 1 : 0, std::memory_order_release);
}

void SimSegment::setInput(uint8_t value)
{
    layout_->input.store(value, std::memory_order_release);
}

void SimSegment::setLoopback(bool on)
{
    layout_->loopback.store(on ? 1 : 0, std::memory_order_release);
}

uint8_t SimSegment::readInput() const
{
    if (layout_->loopback.load(std::memory_order_acquire) != 0)
        return output();
    return uint8_t(layout_->input.load(std::memory_order_acquire));
}

uint8_t SimSegment::output() const
{
    return uint8_t(layout_->output.load(std::memory_order_acquire) & 0xff);
}

uint64_t SimSegment::outputSequence() const
{
    return layout_->output.load(std::memory_order_acquire) >> 8;
}

uint64_t SimSegment::writeOutput(uint8_t value)
{
    uint64_t old = layout_->output.load(std::memory_order_relaxed);
    uint64_t next = 0;
    do {
        next = (((old >> 8) + 1) << 8) | value;
    } while (!layout_->output.compare_exchange_weak(old, next, std::memory_order_acq_rel,
                                                    std::memory_order_relaxed));
    const uint64_t sequence = next >> 8;
    // A seqlock with release stores instead of fences: a reader that sees the new value or time
    // also sees the busy mark, and so rejects a record it read while it changed.
    OutputRecord &record = layout_->outputRing[sequence % kOutputRingSize];
    record.sequence.store(kRingBusy, std::memory_order_relaxed);
    record.value.store(value, std::memory_order_release);
    record.realtimeNs.store(realtimeNow(), std::memory_order_release);
    record.sequence.store(sequence, std::memory_order_release);
    return sequence;
}

SimSegment::WriteLookup SimSegment::outputWrite(uint64_t sequence, OutputWrite &write) const
{
    const OutputRecord &record = layout_->outputRing[sequence % kOutputRingSize];
    const uint64_t before = record.sequence.load(std::memory_order_acquire);
    if (before == sequence) {
        const uint32_t value = record.value.load(std::memory_order_acquire);
        const int64_t time = record.realtimeNs.load(std::memory_order_acquire);
        if (record.sequence.load(std::memory_order_relaxed) == sequence) {
            write.value = uint8_t(value);
            write.realtimeNs = time;
            return WriteLookup::Found;
        }
        return WriteLookup::Overwritten;
    }
    if (before != kRingBusy && before > sequence)
        return WriteLookup::Overwritten;
    if (outputSequence() >= sequence + kOutputRingSize)
        return WriteLookup::Overwritten;
    return WriteLookup::NotYetWritten;
}

int SimSegment::claimProcess(std::string &error)
{
    const int32_t pid = int32_t(getpid());
    for (int round = 0; round < 2; ++round) {
        for (unsigned i = 0; i < kProcessEntries; ++i) {
            int32_t expected = 0;
            if (layout_->processes[i].pid.compare_exchange_strong(expected, pid))
                return int(i);
        }
        reapDeadProcesses();
    }
    error = "shared memory segment " + devShmPath(name_) + " already serves " +
            std::to_string(kProcessEntries) + " processes";
    return -1;
}

void SimSegment::releaseProcess(int entry)
{
    ProcessEntry &e = layout_->processes[entry];
    layout_->handles.fetch_sub(e.handles.exchange(0));
    layout_->armed.fetch_sub(e.armed.exchange(0));
    layout_->waiters.fetch_sub(e.waiting.exchange(0));
    e.pid.store(0, std::memory_order_release);
}

void SimSegment::reapDeadProcesses()
{
    for (unsigned i = 0; i < kProcessEntries; ++i) {
        ProcessEntry &e = layout_->processes[i];
        int32_t pid = e.pid.load();
        if (pid <= 0 || !processIsDead(pid))
            continue;
        // Only one reaper may take the dead process's counts off the totals.
        if (!e.pid.compare_exchange_strong(pid, -1))
            continue;
        releaseProcess(int(i));
    }
}

void SimSegment::addHandles(int entry, int delta)
{
    layout_->processes[entry].handles.fetch_add(uint32_t(delta));
    layout_->handles.fetch_add(uint32_t(delta));
}

uint64_t SimSegment::arm(int entry)
{
    layout_->processes[entry].armed.fetch_add(1);
    layout_->armed.fetch_add(1);
    return layout_->raised.load();
}

void SimSegment::disarm(int entry)
{
    layout_->processes[entry].armed.fetch_sub(1);
    layout_->armed.fetch_sub(1);
}

uint32_t SimSegment::beginWait(int entry)
{
    layout_->processes[entry].waiting.fetch_add(1);
    layout_->waiters.fetch_add(1);
    return layout_->irqWord.load();
}

void SimSegment::wait(uint32_t word, int timeoutMs)
{
    futexWait(layout_->irqWord, word, timeoutMs);
}

void SimSegment::endWait(int entry)
{
    layout_->waiters.fetch_sub(1);
    layout_->processes[entry].waiting.fetch_sub(1);
}

void SimSegment::wakeDelivery()
{
    layout_->irqWord.fetch_add(1);
    if (layout_->waiters.load() != 0)
        futexWakeAll(layout_->irqWord);
}

} // namespace mulvo::sim
