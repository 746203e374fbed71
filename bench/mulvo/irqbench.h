// What the interrupt benchmarks share: a callback that counts and checks the order of what it
// is given, the wait for it, and the figures they report.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace irqbench {

inline int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Written by the callback on the library's thread, read by the measuring thread.
inline std::atomic<uint64_t> g_calls{0};
inline std::atomic<int64_t> g_entryNs{0};
inline std::atomic<uint32_t> g_expected{0};
inline std::atomic<uint64_t> g_disorder{0};

inline void timingCallback(uint32_t, uint32_t value)
{
    g_entryNs.store(nowNs(), std::memory_order_relaxed);
    const uint32_t expected = g_expected.load(std::memory_order_relaxed);
    if (expected != 0 && value != expected)
        g_disorder.fetch_add(1, std::memory_order_relaxed);
    g_expected.store(value + 1, std::memory_order_relaxed);
    g_calls.fetch_add(1, std::memory_order_release);
}

// Before the callback is connected again.
inline void resetCalls()
{
    g_calls = 0;
    g_expected = 0;
    g_disorder = 0;
}

// Latency runs spin so that waking the measuring thread adds nothing; throughput runs poll
// at 0.1 ms so that the measuring thread leaves both cores to the raiser and the delivery.
inline bool waitCalls(uint64_t n, int64_t timeoutNs, bool spin)
{
    const int64_t deadline = nowNs() + timeoutNs;
    const timespec pause{0, 100000};
    while (g_calls.load(std::memory_order_acquire) < n) {
        if (nowNs() > deadline)
            return false;
        if (!spin)
            nanosleep(&pause, nullptr);
    }
    return true;
}

struct Percentiles
{
    size_t samples = 0;
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0;
};

inline Percentiles percentiles(std::vector<int64_t> samples)
{
    std::sort(samples.begin(), samples.end());
    Percentiles p;
    p.samples = samples.size();
    if (samples.empty())
        return p;
    p.medianUs = double(samples[samples.size() / 2]) / 1000.0;
    p.p99Us = double(samples[samples.size() * 99 / 100]) / 1000.0;
    p.maxUs = double(samples.back()) / 1000.0;
    return p;
}

struct Throughput
{
    double seconds = 0;
    uint64_t delivered = 0;
    uint64_t disorder = 0;
    bool exact = false;
    double rate() const { return seconds > 0 ? double(delivered) / seconds : 0; }
};

// Waits up to `timeoutS` for `count` calls since `t0`, then a moment for any beyond (a
// duplicate) to show, and disarms.
template <class Disarm>
Throughput finishThroughput(uint64_t count, int64_t t0, int timeoutS, Disarm &&disarm)
{
    Throughput t;
    const bool all = waitCalls(count, int64_t(timeoutS) * 1000000000, false);
    t.seconds = double(nowNs() - t0) / 1e9;
    const timespec settle{0, 50000000};
    nanosleep(&settle, nullptr);
    disarm();
    t.delivered = g_calls.load();
    t.disorder = g_disorder.load();
    t.exact = all && t.delivered == count && t.disorder == 0;
    return t;
}

// One line each, the figures in the same columns; `tail` ends the line.
inline void printLatency(const char *what, const Percentiles &p, const std::string &tail)
{
    std::printf("%-36s median %8.1f us   p99 %8.1f us   max %9.1f us%s\n", what, p.medianUs,
                p.p99Us, p.maxUs, tail.c_str());
}

inline void printThroughput(const char *what, const Throughput &t, uint64_t count,
                            const std::string &tail)
{
    std::printf("%-36s %10.0f /s  (%llu of %llu in %.3f s, %s)%s\n", what, t.rate(),
                static_cast<unsigned long long>(t.delivered),
                static_cast<unsigned long long>(count), t.seconds,
                t.exact ? "exact, in order" : "NOT EXACT", tail.c_str());
}

} // namespace irqbench
