// The state of the virtual adapter as it lies in its shared memory segment.
//
// Every process of one user that uses the same instance maps the same segment: the adapter
// library in each program and the control tool. Only lock-free atomics live here, because the
// processes share nothing else to synchronise with; a process may die at any point, so no field
// is ever guarded by a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace mulvo::sim {

inline constexpr uint32_t kSegmentMagic = 0x4f564c4du; // "MLVO" in memory order
inline constexpr uint32_t kLayoutVersion = 1;
inline constexpr unsigned kProcessEntries = 64;
inline constexpr unsigned kOutputRingSize = 1024;
inline constexpr uint64_t kRingBusy = ~uint64_t(0);

// The first bytes of every layout version, so that any version can recognise any other.
struct SegmentHeader
{
    std::atomic<uint32_t> magic; // stored last by the creator: the segment is ready once set
    std::atomic<uint32_t> version;
    std::atomic<uint64_t> size;
};

// What one process that uses the adapter library contributes to the totals, so that the totals
// can be corrected when that process dies without closing its handles.
struct ProcessEntry
{
    std::atomic<int32_t> pid; // 0: free; -1: being reclaimed
    std::atomic<uint32_t> handles;
    std::atomic<uint32_t> armed;
    std::atomic<uint32_t> waiting;
};

// One write of the output byte, kept so that a watcher sees short pulses too.
struct OutputRecord
{
    std::atomic<uint64_t> sequence; // the write held here; kRingBusy while it is being written
    std::atomic<int64_t> realtimeNs;
    std::atomic<uint32_t> value;
    uint32_t reserved;
};

struct SegmentLayout
{
    SegmentHeader header;

    std::atomic<uint32_t> present;
    std::atomic<uint32_t> input;
    std::atomic<uint32_t> loopback;
    std::atomic<uint32_t> armed;   // armed handles of all processes
    std::atomic<uint32_t> handles; // open handles of all processes
    std::atomic<uint32_t> waiters; // delivery threads asleep (or about to be) on irqWord

    // (write sequence << 8) | output byte: one word, so that the order of writes and the
    // current value can never disagree.
    alignas(64) std::atomic<uint64_t> output;

    // Interrupt sequence: the number of the latest interrupt ever raised. Never goes back, not
    // even on reset; `raisedBase` is where the numbering shown to users starts.
    alignas(64) std::atomic<uint64_t> raised;
    std::atomic<uint64_t> raisedBase;
    // Interrupt request counter: bumped on every raise, the futex word delivery threads sleep on.
    std::atomic<uint32_t> irqWord;

    alignas(64) std::atomic<uint64_t> delivered;
    std::atomic<uint64_t> missed;

    alignas(64) ProcessEntry processes[kProcessEntries];
    alignas(64) OutputRecord outputRing[kOutputRingSize];
};

static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex words are plain ints");
static_assert(std::is_standard_layout_v<SegmentLayout>);
static_assert(sizeof(SegmentHeader) == 16);

} // namespace mulvo::sim
