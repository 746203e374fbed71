// The shared memory segment that holds the virtual adapter's state, and every operation on it.
// Used by the adapter library, by the control tool and by tests; no Qt.
#pragma once

#include "segmentlayout.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace mulvo::sim {

// Environment variable that selects the instance (segment); "default" when unset or empty.
inline constexpr const char *kInstanceEnv = "MULVO_SIM_INSTANCE";
inline constexpr const char *kDefaultInstance = "default";

class SimSegment
{
public:
    struct Status
    {
        bool present = false;
        uint8_t output = 0;
        uint8_t input = 0; // as the adapter reads it: the output byte in loopback mode
        bool loopback = false;
        uint32_t armed = 0;
        uint64_t raised = 0;
        uint64_t delivered = 0;
        uint64_t missed = 0;
        uint32_t handles = 0;
    };

    // One recorded write of the output byte.
    struct OutputWrite
    {
        uint8_t value = 0;
        int64_t realtimeNs = 0;
    };
    enum class WriteLookup
    {
        Found,
        NotYetWritten,
        Overwritten
    };

    // 1 to 64 characters of [A-Za-z0-9_.-].
    static bool isValidInstance(std::string_view name);
    // The instance that MULVO_SIM_INSTANCE selects; false with `error` set when it is invalid.
    static bool instanceFromEnvironment(std::string &instance, std::string &error);
    // The file of the instance's segment: "mulvo-<instance>" in the user's private runtime
    // directory ($XDG_RUNTIME_DIR, else /run/user/<uid>, when it is a directory of this user
    // that nobody else may enter), where no other user can take the name first; else
    // "/dev/shm/mulvo-<uid>-<instance>".
    static std::string segmentPath(std::string_view instance);

    enum class OpenMode
    {
        CreateIfMissing,
        ExistingOnly
    };
    // Opens the instance's segment, creating and initialising it if it does not exist (unless
    // `mode` is ExistingOnly: then a missing segment is an error). Refuses (null, `error` set)
    // a segment of another layout or size, another owner or one open to others. `created`, if
    // given, tells whether this call created it.
    static std::unique_ptr<SimSegment> open(std::string_view instance, std::string &error,
                                            OpenMode mode = OpenMode::CreateIfMissing,
                                            bool *created = nullptr);
    // Removes the instance's segment; processes that have it mapped keep their mapping.
    static bool remove(std::string_view instance, std::string &error);

    ~SimSegment();
    SimSegment(const SimSegment &) = delete;
    SimSegment &operator=(const SimSegment &) = delete;

    const std::string &path() const { return path_; }
    SegmentLayout &layout() { return *layout_; }

    // False once the file was removed, replaced or resized. A mapping whose file shrank reads as
    // zeros (an unplugged adapter, no interrupts) instead of faulting.
    bool intact() const;
    // Intact, and still the file at the instance's path.
    bool current() const;

    Status status();
    // Back to a plugged-in adapter with all bytes and counters 0; armed handles stay armed.
    void reset();

    // Raises `count` interrupts at once. False (nothing raised) when the adapter is unplugged.
    bool raise(uint64_t count = 1);
    uint64_t raisedSequence() const
    {
        return layout_->interrupts.load(std::memory_order_acquire) >> kRaisedShift;
    }
    uint64_t raisedBase() const { return layout_->raisedBase.load(std::memory_order_acquire); }

    bool present() const { return layout_->present.load(std::memory_order_acquire) != 0; }
    void setPresent(bool present);
    void setInput(uint8_t value);
    void setLoopback(bool on);
    uint8_t inputLines() const;
    bool loopback() const;
    // The byte the adapter reads: the input lines, or the output byte in loopback mode.
    uint8_t readInput() const;
    uint8_t output() const;

    // Sets the output byte and records the write; returns its sequence number (from 1).
    uint64_t writeOutput(uint8_t value);
    uint64_t outputSequence() const;
    WriteLookup outputWrite(uint64_t sequence, OutputWrite &write) const;

    // Bookkeeping of the adapter library's process: one entry per process, found again by pid.
    // The process holds a lock on its entry through this object's file for as long as it has
    // the entry, so that the entry is known dead once the process has ended, reaped or not.
    // -1 with `error` set when every entry is taken by a live process.
    int claimProcess(std::string &error);
    void releaseProcess(int entry);
    void addHandles(int entry, int delta);
    // Arms one handle of the process; returns the interrupt sequence at that moment: the handle
    // receives the interrupts numbered above it.
    uint64_t arm(int entry);
    // Disarms a handle armed at `from` that got the interrupts up to `reached`; the ones it
    // was still due are counted as missed unless `countMissed` is false.
    void disarm(int entry, uint64_t from, uint64_t reached, bool countMissed = true);
    // Counts one callback of the process.
    void countDelivered(int entry)
    {
        layout_->processes[entry].delivered.fetch_add(1, std::memory_order_relaxed);
    }
    // Returns entries of dead processes to the pool and takes their counts off the totals; what
    // their armed handles were still due counts as missed.
    void reapDeadProcesses();

    // Sleeping until the next interrupt: beginWait returns the futex word to pass to wait; the
    // caller checks for work between the two, and calls endWait afterwards.
    uint32_t beginWait(int entry);
    void wait(uint32_t word, int timeoutMs);
    void endWait(int entry);
    // Wakes every delivery thread of every process, so they look at their handles again.
    void wakeDelivery();

    // Sleeping until something a watcher shows changes: beginWatch returns the futex word to
    // pass to waitForChange (which returns after `timeoutMs` at the latest); the caller looks
    // at the state between the two, and calls endWatch afterwards. A watcher that dies asleep
    // only costs every later change a wake-up call.
    uint32_t beginWatch();
    void waitForChange(uint32_t word, int timeoutMs);
    void endWatch();
    // Wakes every watcher; every change of the state calls it. Async-signal-safe.
    void notifyChange();

private:
    SimSegment(std::string path, int fd, SegmentLayout *layout, int guard);
    static std::unique_ptr<SimSegment> create(const std::string &path, bool &exists,
                                              std::string &error);
    static std::unique_ptr<SimSegment> attach(const std::string &path, int fd, std::string &error);
    static std::unique_ptr<SimSegment> map(const std::string &path, int fd, std::string &error);
    // Takes a process entry's counts off the totals and frees it.
    void settleEntry(int entry);

    std::string path_;
    int fd_;
    SegmentLayout *layout_;
    int guard_; // this mapping's entry among the mappings guarded against shrinking files
};

} // namespace mulvo::sim
