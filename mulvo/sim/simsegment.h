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
    // "/mulvo-<uid>-<instance>", as passed to shm_open.
    static std::string segmentName(std::string_view instance);

    // Opens the instance's segment, creating and initialising it if it does not exist. Refuses
    // (null, `error` set) a segment of another layout, another owner or one open to others.
    static std::unique_ptr<SimSegment> open(std::string_view instance, std::string &error);
    // Removes the instance's segment; processes that have it mapped keep their mapping.
    static bool remove(std::string_view instance, std::string &error);

    ~SimSegment();
    SimSegment(const SimSegment &) = delete;
    SimSegment &operator=(const SimSegment &) = delete;

    const std::string &name() const { return name_; }
    SegmentLayout &layout() { return *layout_; }

    Status status();
    // Back to a plugged-in adapter with all bytes and counters 0; armed handles stay armed.
    void reset();

    // Raises `count` interrupts at once. False (nothing raised) when the adapter is unplugged.
    bool raise(uint64_t count = 1);
    uint64_t raisedSequence() const { return layout_->raised.load(std::memory_order_acquire); }
    uint64_t raisedBase() const { return layout_->raisedBase.load(std::memory_order_acquire); }

    bool present() const { return layout_->present.load(std::memory_order_acquire) != 0; }
    void setPresent(bool present);
    void setInput(uint8_t value);
    void setLoopback(bool on);
    // The byte the adapter reads: the input lines, or the output byte in loopback mode.
    uint8_t readInput() const;
    uint8_t output() const;

    // Sets the output byte and records the write; returns its sequence number (from 1).
    uint64_t writeOutput(uint8_t value);
    uint64_t outputSequence() const;
    WriteLookup outputWrite(uint64_t sequence, OutputWrite &write) const;

    // Bookkeeping of the adapter library's process: one entry per process, found again by pid.
    // -1 with `error` set when every entry is taken by a live process.
    int claimProcess(std::string &error);
    void releaseProcess(int entry);
    void addHandles(int entry, int delta);
    // Arms one handle of the process; returns the interrupt sequence at that moment: the handle
    // receives the interrupts numbered above it.
    uint64_t arm(int entry);
    void disarm(int entry);
    // Returns entries of dead processes to the pool and takes their counts off the totals.
    void reapDeadProcesses();

    // Sleeping until the next interrupt: beginWait returns the futex word to pass to wait; the
    // caller checks for work between the two, and calls endWait afterwards.
    uint32_t beginWait(int entry);
    void wait(uint32_t word, int timeoutMs);
    void endWait(int entry);
    // Wakes every delivery thread of every process, so they look at their handles again.
    void wakeDelivery();

private:
    SimSegment(std::string name, SegmentLayout *layout);
    static std::unique_ptr<SimSegment> create(const std::string &name, int fd, std::string &error);
    static std::unique_ptr<SimSegment> attach(const std::string &name, int fd, std::string &error);

    std::string name_;
    SegmentLayout *layout_;
};

} // namespace mulvo::sim
