// Interrupt events handed from the adapter library's callback to the thread that prints them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace mulvo::tool {

// A bounded queue that never makes a producer wait: push() fails when the queue is full, and
// the caller counts what it could not hand over. Producers may be several threads; the single
// consumer is the printing thread. (A bounded queue after D. Vyukov: each cell carries the
// position it is ready for, so producers and the consumer share no lock.)
class EventRing
{
public:
    struct Event
    {
        int64_t realtimeNs = 0;
        uint32_t number = 0;
    };

    // `capacity` must be a power of two. The cells are mapped, not written, here: a large ring
    // costs memory only as far as a backlog ever fills it.
    explicit EventRing(size_t capacity);
    ~EventRing();
    EventRing(const EventRing &) = delete;
    EventRing &operator=(const EventRing &) = delete;

    bool valid() const { return cells_ != nullptr; }

    bool push(const Event &event)
    {
        uint64_t position = tail_.load(std::memory_order_relaxed);
        Cell *cell = nullptr;
        for (;;) {
            cell = &cells_[position & mask_];
            const uint64_t ready = turn(*cell).load(std::memory_order_acquire);
            const auto difference = int64_t(ready - position);
            if (difference == 0) {
                if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                    break;
            } else if (difference < 0) {
                return false; // full: the consumer has not taken this cell's last event yet
            } else {
                position = tail_.load(std::memory_order_relaxed);
            }
        }
        cell->event = event;
        turn(*cell).store(position + 1, std::memory_order_release);
        return true;
    }

    // Takes up to `max` events in the order they were pushed; consumer only.
    size_t pop(Event *out, size_t max)
    {
        size_t n = 0;
        while (n < max) {
            Cell &cell = cells_[head_ & mask_];
            if (turn(cell).load(std::memory_order_acquire) != head_ + 1)
                break;
            out[n++] = cell.event;
            turn(cell).store(head_ + mask_ + 1, std::memory_order_release);
            ++head_;
        }
        return n;
    }

    // Consumer only.
    bool empty() const
    {
        return turn(cells_[head_ & mask_]).load(std::memory_order_acquire) != head_ + 1;
    }

private:
    // A cell is ready for the push of position p when its turn is p, and for the pop of p when
    // it is p + 1. Kept as the offset from the cell's index, so that zeroed memory is a ring
    // whose every cell awaits its first push.
    struct Cell
    {
        uint64_t offset;
        Event event;
    };
    class Turn
    {
    public:
        Turn(Cell &cell, uint64_t index) : ref_(cell.offset), index_(index) {}
        uint64_t load(std::memory_order order) const { return ref_.load(order) + index_; }
        void store(uint64_t turn, std::memory_order order) { ref_.store(turn - index_, order); }

    private:
        std::atomic_ref<uint64_t> ref_;
        uint64_t index_;
    };
    Turn turn(Cell &cell) const { return Turn(cell, uint64_t(&cell - cells_)); }

    Cell *cells_ = nullptr;
    const uint64_t mask_;
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) uint64_t head_ = 0;
};

inline EventRing::EventRing(size_t capacity) : mask_(capacity - 1)
{
    void *cells = mmap(nullptr, capacity * sizeof(Cell), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (cells != MAP_FAILED)
        cells_ = static_cast<Cell *>(cells);
}

inline EventRing::~EventRing()
{
    if (cells_)
        munmap(cells_, (mask_ + 1) * sizeof(Cell));
}

} // namespace mulvo::tool
