// The state of the virtual adapter as it lies in its shared memory segment.
//
// Every process of one user that uses the same instance maps the same segment: the adapter
// library in each program and the control tool. Only lock-free atomics live here, because the
// processes share nothing else to synchronise with; a process may die at any point, so no field
// is ever guarded by a lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace mulvo::sim {

inline constexpr uint32_t kSegmentMagic = 0x4f564c4du; // "MLVO" in memory order
// 3: a process holds a lock on its process entry's first byte (see SimSegment::claimProcess).
inline constexpr uint32_t kLayoutVersion = 3;
inline constexpr unsigned kProcessEntries = 64;
inline constexpr unsigned kOutputRingSize = 1024;
inline constexpr uint64_t kRingBusy = ~uint64_t(0);

// SegmentLayout::interrupts holds (raised << kRaisedShift) | armed handles, so that a raise
// learns how many handles were armed at that very moment, and an arming or disarming learns the
// raise it starts or ends at.
inline constexpr unsigned kRaisedShift = 16;
inline constexpr uint64_t kArmedMask = (uint64_t(1) << kRaisedShift) - 1;
// ProcessEntry::armedState holds (armed handles << kEntryArmedShift) | a sum kept modulo
// 2^kEntryArmedShift (a process has at most 256 handles).
inline constexpr unsigned kEntryArmedShift = 55;
inline constexpr uint64_t kEntrySumMask = (uint64_t(1) << kEntryArmedShift) - 1;

// The first bytes of every layout version, so that any version can recognise any other.
struct SegmentHeader
{
    std::atomic<uint32_t> magic; // stored last by the creator: the segment is ready once set
    std::atomic<uint32_t> version;
    std::atomic<uint64_t> size;
};

// What one process that uses the adapter library contributes to the totals, so that the totals
// can be corrected when that process dies without closing its handles.
struct alignas(64) ProcessEntry
{
    std::atomic<int32_t> pid; // 0: free; -1: being reclaimed
    std::atomic<uint32_t> handles;
    std::atomic<uint32_t> waiting;
    uint32_t reserved;
    // The armed handles of the process, and the sum over them of the interrupt each was armed
    // at, less the callbacks made to handles since disarmed: one word, so that the count and the
    // sum always agree. With `delivered` it tells how many interrupts the armed handles of a
    // process that died never got.
    std::atomic<uint64_t> armedState;
    std::atomic<uint64_t> delivered; // callbacks the process made, a single add per callback
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
    std::atomic<uint32_t> handles; // open handles of all processes
    std::atomic<uint32_t> waiters; // delivery threads asleep (or about to be) on irqWord
    // Bumped on a change that a watcher shows (output, input lines, plug state, loopback,
    // interrupts, reset) while someone watches: the futex word watchers sleep on. Both lie in
    // what was padding before `output`, so a segment made before them reads them as 0.
    std::atomic<uint32_t> changeWord;
    std::atomic<uint32_t> changeWatchers; // watchers asleep (or about to be) on changeWord

    // (write sequence << 8) | output byte: one word, so that the order of writes and the
    // current value can never disagree.
    alignas(64) std::atomic<uint64_t> output;

    // (interrupt sequence << kRaisedShift) | armed handles of all processes. The sequence is the
    // number of the latest interrupt ever raised; it never goes back, not even on reset;
    // `raisedBase` is where the numbering shown to users starts.
    alignas(64) std::atomic<uint64_t> interrupts;
    std::atomic<uint64_t> raisedBase;
    // Interrupt request counter: bumped on every raise, the futex word delivery threads sleep on.
    std::atomic<uint32_t> irqWord;

    // Callbacks made: this plus every process entry's `delivered`. For each handle, every
    // interrupt raised while it was armed is either delivered to it or counted as missed when
    // it is disarmed or its process is reaped; an interrupt raised with nothing armed is missed.
    alignas(64) std::atomic<uint64_t> deliveredBase;
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
static_assert(offsetof(SegmentLayout, output) == 64, "the watch fields must stay in the padding");

} // namespace mulvo::sim
