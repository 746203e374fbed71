#include "simsegment.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mulvo::sim {

namespace {

std::string systemError(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
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

// Each process entry has a byte of the segment's file that its process holds a lock on, on its
// own open file description, while it uses the entry. The kernel drops the lock when the
// process exits, also while it lingers unreaped as a zombie, which kill(pid, 0) still finds.
off_t entryLockOffset(unsigned entry)
{
    return off_t(offsetof(SegmentLayout, processes) + entry * sizeof(ProcessEntry));
}

bool lockEntry(int fd, unsigned entry, short type)
{
    struct flock lock
    {
    };
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = entryLockOffset(entry);
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether some open file description other than `fd`'s holds the entry's lock.
bool entryLockHeld(int fd, unsigned entry)
{
    struct flock lock
    {
    };
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = entryLockOffset(entry);
    lock.l_len = 1;
    // When the question cannot be asked, the owner counts as alive.
    return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// A directory of this user that nobody else may enter or write.
bool isPrivateDirectory(const char *dir)
{
    struct stat st
    {
    };
    return dir && dir[0] == '/' && stat(dir, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// Any process of the user may shrink the segment's file while others have it mapped; touching
// a page past the new end raises SIGBUS. The handler puts zero-filled private memory in place
// of the whole mapping and marks it lost, so the access that faulted, and every one after it,
// goes on and finds an unplugged adapter. Nothing on the interrupt path pays for the guard.
// Plain data only, since the handler reads it at any moment, also while the library unloads.
constexpr unsigned kGuardedMappings = 256;

struct GuardedMapping
{
    std::atomic<uintptr_t> base;
    std::atomic<size_t> length;
    std::atomic<bool> lost;
};

GuardedMapping g_guarded[kGuardedMappings];
pthread_mutex_t g_guardMutex = PTHREAD_MUTEX_INITIALIZER;
unsigned g_guardedCount = 0; // under g_guardMutex
struct sigaction g_previousSigbus;

void onSigbus(int signal, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (info->si_code > 0) {
        for (GuardedMapping &m : g_guarded) {
            const uintptr_t base = m.base.load(std::memory_order_acquire);
            const size_t length = m.length.load(std::memory_order_relaxed);
            if (base == 0 || address < base || address - base >= length)
                continue;
            // The system call itself, as nothing in a signal handler should go through wrappers
            // that tools such as sanitizers put around mmap.
            if (syscall(SYS_mmap, base, length, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == -1)
                break;
            m.lost.store(true, std::memory_order_release);
            errno = savedErrno;
            return;
        }
    }
    errno = savedErrno;
    // Not ours: whatever handled SIGBUS before us does, or the default action ends the process.
    if ((g_previousSigbus.sa_flags & SA_SIGINFO) && g_previousSigbus.sa_sigaction) {
        g_previousSigbus.sa_sigaction(signal, info, context);
    } else if (g_previousSigbus.sa_handler != SIG_DFL && g_previousSigbus.sa_handler != SIG_IGN) {
        g_previousSigbus.sa_handler(signal);
    } else {
        struct sigaction fallback
        {
        };
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &fallback, nullptr);
        raise(SIGBUS);
    }
}

// Returns the guard's entry, or -1 when every entry is taken.
int guardMapping(void *base, size_t length)
{
    pthread_mutex_lock(&g_guardMutex);
    int entry = -1;
    for (unsigned i = 0; i < kGuardedMappings && entry < 0; ++i) {
        if (g_guarded[i].base.load(std::memory_order_relaxed) != 0)
            continue;
        entry = int(i);
        g_guarded[i].length.store(length, std::memory_order_relaxed);
        g_guarded[i].lost.store(false, std::memory_order_relaxed);
        g_guarded[i].base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    }
    if (entry >= 0 && g_guardedCount++ == 0) {
        struct sigaction action
        {
        };
        action.sa_sigaction = onSigbus;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_previousSigbus);
    }
    pthread_mutex_unlock(&g_guardMutex);
    return entry;
}

// With the last mapping gone the handler is taken out again, so that no handler of an unloaded
// library stays behind; unless another was installed over it meanwhile, which then keeps ours.
void unguardMapping(int entry)
{
    pthread_mutex_lock(&g_guardMutex);
    g_guarded[entry].base.store(0, std::memory_order_release);
    if (--g_guardedCount == 0) {
        struct sigaction current
        {
        };
        sigaction(SIGBUS, nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onSigbus)
            sigaction(SIGBUS, &g_previousSigbus, nullptr);
        else
            ++g_guardedCount;
    }
    pthread_mutex_unlock(&g_guardMutex);
}

std::string devShmPath(std::string_view instance)
{
    return "/dev/shm/mulvo-" + std::to_string(geteuid()) + "-" + std::string(instance);
}

std::string byteCount(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
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

std::string SimSegment::segmentPath(std::string_view instance)
{
    // /dev/shm is open to every user, so any name in it can be taken first by someone else.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (isPrivateDirectory(runtime))
        return std::string(runtime) + "/mulvo-" + std::string(instance);
    const std::string userRun = "/run/user/" + std::to_string(geteuid());
    if (isPrivateDirectory(userRun.c_str()))
        return userRun + "/mulvo-" + std::string(instance);
    return devShmPath(instance);
}

SimSegment::SimSegment(std::string path, int fd, SegmentLayout *layout, int guard)
    : path_(std::move(path)), fd_(fd), layout_(layout), guard_(guard)
{}

SimSegment::~SimSegment()
{
    unguardMapping(guard_);
    munmap(layout_, sizeof(SegmentLayout));
    ::close(fd_);
}

bool SimSegment::intact() const
{
    if (g_guarded[guard_].lost.load(std::memory_order_acquire))
        return false;
    struct stat st
    {
    };
    return fstat(fd_, &st) == 0 && st.st_nlink > 0 && uint64_t(st.st_size) == sizeof(SegmentLayout);
}

bool SimSegment::current() const
{
    struct stat mapped
    {
    };
    struct stat named
    {
    };
    return intact() && fstat(fd_, &mapped) == 0 && stat(path_.c_str(), &named) == 0 &&
           mapped.st_dev == named.st_dev && mapped.st_ino == named.st_ino;
}

std::unique_ptr<SimSegment> SimSegment::open(std::string_view instance, std::string &error,
                                             OpenMode mode, bool *created)
{
    if (created)
        *created = false;
    if (!isValidInstance(instance)) {
        error = "not a valid instance name (1 to 64 characters of A-Z a-z 0-9 _ . -): " +
                std::string(instance);
        return nullptr;
    }
    const std::string path = segmentPath(instance);
    // The segment may be removed between a failed open and the creation that follows, or be
    // created by another process in between.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            return attach(path, fd, error);
        if (errno == ENOENT && mode == OpenMode::ExistingOnly) {
            error = "there is no virtual adapter '" + std::string(instance) + "' (" + path +
                    " does not exist)";
            return nullptr;
        }
        if (errno != ENOENT) {
            error = systemError("cannot open shared memory segment " + path, errno);
            return nullptr;
        }
        bool exists = false;
        auto segment = create(path, exists, error);
        if (segment || !exists) {
            if (created)
                *created = segment != nullptr;
            return segment;
        }
    }
    error = "shared memory segment " + path + " keeps disappearing";
    return nullptr;
}

std::unique_ptr<SimSegment> SimSegment::map(const std::string &path, int fd, std::string &error)
{
    void *p = mmap(nullptr, sizeof(SegmentLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        error = systemError("cannot map shared memory segment " + path, errno);
        ::close(fd);
        return nullptr;
    }
    const int guard = guardMapping(p, sizeof(SegmentLayout));
    if (guard < 0) {
        error = "too many virtual adapter segments mapped in this process";
        munmap(p, sizeof(SegmentLayout));
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SimSegment>(
        new SimSegment(path, fd, static_cast<SegmentLayout *>(p), guard));
}

std::unique_ptr<SimSegment> SimSegment::create(const std::string &path, bool &exists,
                                               std::string &error)
{
    // Built in a file of no name and given its name only when complete, so that a segment
    // found at the name is always ready: nobody has to wait for its creator.
    const std::string dir = path.substr(0, path.rfind('/'));
    std::string temporary;
    int fd = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        temporary = dir + "/.mulvo-XXXXXX";
        fd = mkostemp(temporary.data(), O_CLOEXEC);
    }
    // A full folder is named as such: the segment would otherwise fault on its first write.
    auto spaceError = [&](const std::string &what, int err) {
        error = err == ENOSPC || err == EDQUOT
                    ? "cannot create shared memory segment " + path + ": no space left in " + dir
                    : systemError(what + path, err);
    };
    if (fd < 0) {
        spaceError("cannot create shared memory segment ", errno);
        return nullptr;
    }
    auto discardTemporary = [&] {
        if (!temporary.empty())
            unlink(temporary.c_str());
    };
    // Every page is reserved before the file gets its name: on a full file system nothing is
    // left behind, and no write to the mapping can fault later for want of space.
    int sized = fchmod(fd, 0600) != 0 ? errno : posix_fallocate(fd, 0, sizeof(SegmentLayout));
    if (sized == 0 && ftruncate(fd, sizeof(SegmentLayout)) != 0)
        sized = errno;
    if (sized != 0) {
        spaceError("cannot size shared memory segment ", sized);
        discardTemporary();
        ::close(fd);
        return nullptr;
    }
    auto segment = map(path, fd, error);
    if (!segment) {
        discardTemporary();
        return nullptr;
    }
    auto *layout = new (segment->layout_) SegmentLayout{};
    layout->present.store(1, std::memory_order_relaxed);
    layout->header.version.store(kLayoutVersion, std::memory_order_relaxed);
    layout->header.size.store(sizeof(SegmentLayout), std::memory_order_relaxed);
    layout->header.magic.store(kSegmentMagic, std::memory_order_release);

    int linked = 0;
    if (temporary.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(segment->fd_);
        linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        linked = link(temporary.c_str(), path.c_str());
    }
    const int linkErr = errno;
    discardTemporary();
    if (linked != 0) {
        exists = linkErr == EEXIST;
        if (!exists)
            spaceError("cannot create shared memory segment ", linkErr);
        return nullptr;
    }
    return segment;
}

std::unique_ptr<SimSegment> SimSegment::attach(const std::string &path, int fd, std::string &error)
{
    auto refuse = [&](const std::string &message) {
        error = "shared memory segment " + path + " " + message;
        ::close(fd);
        return nullptr;
    };
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0) {
        error = systemError("cannot inspect shared memory segment " + path, errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode))
        return refuse("is not a regular file; delete it");
    if (st.st_uid != geteuid())
        return refuse("belongs to another user; choose another instance (--instance or " +
                      std::string(kInstanceEnv) +
                      "), or set XDG_RUNTIME_DIR to a directory that only you may use");
    if ((st.st_mode & 077) != 0)
        return refuse("is open to other users; delete it");

    // Read, not mapped: the file may shrink at any moment, and a read past its end only comes
    // back short.
    uint32_t words[4] = {};
    static_assert(sizeof words == sizeof(SegmentHeader));
    const ssize_t got = pread(fd, words, sizeof words, 0);
    const uint64_t fileSize = uint64_t(st.st_size);
    if (got < ssize_t(sizeof words))
        return refuse("is " + byteCount(std::min(fileSize, uint64_t(got < 0 ? 0 : got))) +
                      " long, too short to hold a virtual adapter; delete it");
    const uint32_t magic = words[0];
    const uint32_t version = words[1];
    const uint64_t size = words[2] | (uint64_t(words[3]) << 32);
    if (magic == 0)
        return refuse("was never initialised (its creator may have died); delete it");
    if (magic != kSegmentMagic)
        return refuse("does not hold a virtual adapter; delete it");
    const std::string advice = "; close the programs that use it and delete it";
    if (version != kLayoutVersion || size != sizeof(SegmentLayout))
        return refuse("has layout version " + std::to_string(version) + " of " + byteCount(size) +
                      ", this program needs version " + std::to_string(kLayoutVersion) + " of " +
                      byteCount(sizeof(SegmentLayout)) + advice);
    if (fileSize != sizeof(SegmentLayout))
        return refuse("is " + byteCount(fileSize) + " long, but its layout version " +
                      std::to_string(version) + " takes " + byteCount(sizeof(SegmentLayout)) +
                      advice);
    return map(path, fd, error);
}

bool SimSegment::remove(std::string_view instance, std::string &error)
{
    if (!isValidInstance(instance)) {
        error = "not a valid instance name: " + std::string(instance);
        return false;
    }
    const std::string path = segmentPath(instance);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = systemError("cannot delete shared memory segment " + path, errno);
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
    const uint64_t interrupts = layout_->interrupts.load();
    s.armed = uint32_t(interrupts & kArmedMask);
    s.handles = layout_->handles.load();
    s.raised = (interrupts >> kRaisedShift) - layout_->raisedBase.load();
    s.delivered = layout_->deliveredBase.load();
    for (const ProcessEntry &e : layout_->processes)
        s.delivered += e.delivered.load();
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
    layout_->raisedBase.store(raisedSequence());
    uint64_t delivered = 0;
    for (const ProcessEntry &e : layout_->processes)
        delivered += e.delivered.load();
    layout_->deliveredBase.store(0 - delivered);
    layout_->missed.store(0);
    notifyChange();
}

bool SimSegment::raise(uint64_t count)
{
    if (!present())
        return false;
    if (count == 0)
        return true;
    // One word holds the sequence and the armed count: the handles armed at this moment owe
    // these interrupts a callback or a miss, and with none armed they are missed here.
    const uint64_t before = layout_->interrupts.fetch_add(count << kRaisedShift);
    if ((before & kArmedMask) == 0)
        layout_->missed.fetch_add(count);
    layout_->irqWord.fetch_add(1);
    if (layout_->waiters.load() != 0)
        futexWakeAll(layout_->irqWord);
    notifyChange();
    return true;
}

void SimSegment::setPresent(bool present)
{
    layout_->present.store(present ? 1 : 0, std::memory_order_release);
    notifyChange();
}

void SimSegment::setInput(uint8_t value)
{
    layout_->input.store(value, std::memory_order_release);
    notifyChange();
}

void SimSegment::setLoopback(bool on)
{
    layout_->loopback.store(on ? 1 : 0, std::memory_order_release);
    notifyChange();
}

uint8_t SimSegment::inputLines() const
{
    return uint8_t(layout_->input.load(std::memory_order_acquire));
}

bool SimSegment::loopback() const
{
    return layout_->loopback.load(std::memory_order_acquire) != 0;
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
    notifyChange();
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
            if (layout_->processes[i].pid.load() != 0)
                continue;
            // The lock first, so that an entry never has an owner that does not hold it; a lock
            // held by someone else is an entry taken or being taken.
            if (!lockEntry(fd_, i, F_WRLCK))
                continue;
            int32_t expected = 0;
            if (layout_->processes[i].pid.compare_exchange_strong(expected, pid))
                return int(i);
            lockEntry(fd_, i, F_UNLCK);
        }
        reapDeadProcesses();
    }
    error = "shared memory segment " + path_ + " already serves " +
            std::to_string(kProcessEntries) + " processes";
    return -1;
}

void SimSegment::releaseProcess(int entry)
{
    settleEntry(entry);
    lockEntry(fd_, unsigned(entry), F_UNLCK);
}

void SimSegment::settleEntry(int entry)
{
    ProcessEntry &e = layout_->processes[entry];
    const uint64_t state = e.armedState.exchange(0);
    const uint64_t armed = state >> kEntryArmedShift;
    const uint64_t until = layout_->interrupts.fetch_sub(armed) >> kRaisedShift;
    const uint64_t delivered = e.delivered.exchange(0);
    layout_->deliveredBase.fetch_add(delivered);
    // Each armed handle was due every interrupt from where it was armed up to now; what the
    // process delivered to them comes off.
    const uint64_t owed = (armed * until - state - delivered) & kEntrySumMask;
    if (owed != 0)
        layout_->missed.fetch_add(owed);
    layout_->handles.fetch_sub(e.handles.exchange(0));
    layout_->waiters.fetch_sub(e.waiting.exchange(0));
    e.pid.store(0, std::memory_order_release);
}

void SimSegment::reapDeadProcesses()
{
    const int32_t self = int32_t(getpid());
    for (unsigned i = 0; i < kProcessEntries; ++i) {
        ProcessEntry &e = layout_->processes[i];
        int32_t pid = e.pid.load();
        if (pid <= 0)
            continue;
        // Dead once its lock is gone (a zombie holds none), or once the pid is gone (a child
        // forked without exec may hold the description, and with it the lock, a while longer).
        // This process's own entries are alive, and their lock may be on this very
        // description, which never conflicts with itself.
        const bool dead =
            pid != self && ((kill(pid, 0) != 0 && errno == ESRCH) || !entryLockHeld(fd_, i));
        if (!dead)
            continue;
        // Only one reaper may take the dead process's counts off the totals.
        if (!e.pid.compare_exchange_strong(pid, -1))
            continue;
        settleEntry(int(i));
    }
}

void SimSegment::addHandles(int entry, int delta)
{
    layout_->processes[entry].handles.fetch_add(uint32_t(delta));
    layout_->handles.fetch_add(uint32_t(delta));
}

namespace {

// Adds one armed handle with `sum` to a process entry's armed state, or takes one off.
void changeArmedState(ProcessEntry &e, int armed, uint64_t sum)
{
    uint64_t state = e.armedState.load();
    uint64_t next = 0;
    do {
        const uint64_t count = (state >> kEntryArmedShift) + uint64_t(int64_t(armed));
        next = (count << kEntryArmedShift) | ((state + sum) & kEntrySumMask);
    } while (!e.armedState.compare_exchange_weak(state, next));
}

} // namespace

uint64_t SimSegment::arm(int entry)
{
    const uint64_t from = layout_->interrupts.fetch_add(1) >> kRaisedShift;
    changeArmedState(layout_->processes[entry], 1, from);
    return from;
}

void SimSegment::disarm(int entry, uint64_t from, uint64_t reached, bool countMissed)
{
    const uint64_t until = layout_->interrupts.fetch_sub(1) >> kRaisedShift;
    reached = std::max(reached, from);
    // Callbacks of the handle were added to the process's `delivered`; where the handle started
    // and what it got come off its armed state, so that the two together stay exact.
    changeArmedState(layout_->processes[entry], -1, 0 - reached);
    if (countMissed && until > reached)
        layout_->missed.fetch_add(until - reached);
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

uint32_t SimSegment::beginWatch()
{
    layout_->changeWatchers.fetch_add(1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return layout_->changeWord.load();
}

void SimSegment::waitForChange(uint32_t word, int timeoutMs)
{
    futexWait(layout_->changeWord, word, timeoutMs);
}

void SimSegment::endWatch()
{
    layout_->changeWatchers.fetch_sub(1);
}

void SimSegment::notifyChange()
{
    // Paired with beginWatch: either the watcher, registered first, is woken here, or its look
    // at the state after registering sees this change.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (layout_->changeWatchers.load(std::memory_order_relaxed) == 0)
        return;
    layout_->changeWord.fetch_add(1);
    futexWakeAll(layout_->changeWord);
}

} // namespace mulvo::sim
