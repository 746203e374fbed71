// Interrupt delivery through the virtual adapter: latency from raise to callback entry, and
// sustained throughput with an exact count check.
//
//   bench_irq [--samples N] [--count N]
//
// Runs on an instance of its own ("bench-<pid>"), removed at the end. Exit status 1 when an
// interrupt was lost, duplicated or delivered out of order; the timings are only reported.
#include "mulvolib.h"
#include "simsegment.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using mulvo::sim::SimSegment;

constexpr double kTargetMedianUs = 30.0;
constexpr double kTargetRate = 100000.0;

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Written by the callback on the library's thread, read by the measuring thread.
std::atomic<uint64_t> g_calls{0};
std::atomic<int64_t> g_entryNs{0};
std::atomic<uint32_t> g_expected{0};
std::atomic<uint64_t> g_disorder{0};

void timingCallback(uint32_t, uint32_t value)
{
    g_entryNs.store(nowNs(), std::memory_order_relaxed);
    const uint32_t expected = g_expected.load(std::memory_order_relaxed);
    if (expected != 0 && value != expected)
        g_disorder.fetch_add(1, std::memory_order_relaxed);
    g_expected.store(value + 1, std::memory_order_relaxed);
    g_calls.fetch_add(1, std::memory_order_release);
}

// Latency runs spin so that waking the measuring thread adds nothing; throughput runs poll
// at 0.1 ms so that the measuring thread leaves both cores to the raiser and the delivery.
bool waitCalls(uint64_t n, int64_t timeoutNs, bool spin = true)
{
    const int64_t deadline = nowNs() + timeoutNs;
    const timespec poll{0, 100000};
    while (g_calls.load(std::memory_order_acquire) < n) {
        if (nowNs() > deadline)
            return false;
        if (!spin)
            nanosleep(&poll, nullptr);
    }
    return true;
}

struct Percentiles
{
    double medianUs = 0;
    double p99Us = 0;
    double maxUs = 0;
};

Percentiles percentiles(std::vector<int64_t> samples)
{
    std::sort(samples.begin(), samples.end());
    Percentiles p;
    if (samples.empty())
        return p;
    p.medianUs = double(samples[samples.size() / 2]) / 1000.0;
    p.p99Us = double(samples[samples.size() * 99 / 100]) / 1000.0;
    p.maxUs = double(samples.back()) / 1000.0;
    return p;
}

// A process that raises one interrupt per request on `requests` and answers with the
// CLOCK_MONOTONIC time just before the raise. Forked before the library starts any thread.
struct RemoteRaiser
{
    pid_t pid = -1;
    int requestFd = -1;
    int answerFd = -1;

    bool start(const std::string &instance)
    {
        int req[2];
        int ans[2];
        if (pipe(req) != 0 || pipe(ans) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            close(req[1]);
            close(ans[0]);
            std::string error;
            auto segment = SimSegment::open(instance, error);
            char c = 0;
            while (segment && read(req[0], &c, 1) == 1) {
                const int64_t t = nowNs();
                segment->raise(1);
                if (write(ans[1], &t, sizeof t) != ssize_t(sizeof t))
                    break;
            }
            _exit(0);
        }
        close(req[0]);
        close(ans[1]);
        requestFd = req[1];
        answerFd = ans[0];
        return pid > 0;
    }
    bool raise(int64_t &raisedAt)
    {
        const char c = 1;
        return write(requestFd, &c, 1) == 1 &&
               read(answerFd, &raisedAt, sizeof raisedAt) == ssize_t(sizeof raisedAt);
    }
    void stop()
    {
        close(requestFd);
        close(answerFd);
        int status = 0;
        waitpid(pid, &status, 0);
    }
};

void arm(uint32_t handle)
{
    g_calls = 0;
    g_expected = 0;
    g_disorder = 0;
    mulvo_connect(handle, timingCallback);
}

Percentiles latencyInProcess(SimSegment &segment, uint32_t handle, int samples)
{
    arm(handle);
    std::vector<int64_t> latencies;
    latencies.reserve(size_t(samples));
    for (int i = 0; i < samples; ++i) {
        const int64_t t0 = nowNs();
        segment.raise(1);
        if (!waitCalls(uint64_t(i) + 1, 1000000000))
            break;
        latencies.push_back(g_entryNs.load(std::memory_order_relaxed) - t0);
        // Let the delivery thread go back to sleep, as between real interrupts.
        const timespec gap{0, 20000};
        nanosleep(&gap, nullptr);
    }
    mulvo_intcout(handle, MULVO_INT_DISARM);
    return percentiles(latencies);
}

Percentiles latencyFromProcess(RemoteRaiser &raiser, uint32_t handle, int samples)
{
    arm(handle);
    std::vector<int64_t> latencies;
    latencies.reserve(size_t(samples));
    for (int i = 0; i < samples; ++i) {
        int64_t t0 = 0;
        if (!raiser.raise(t0) || !waitCalls(uint64_t(i) + 1, 1000000000))
            break;
        latencies.push_back(g_entryNs.load(std::memory_order_relaxed) - t0);
    }
    mulvo_intcout(handle, MULVO_INT_DISARM);
    return percentiles(latencies);
}

struct Throughput
{
    double seconds = 0;
    uint64_t delivered = 0;
    uint64_t disorder = 0;
    bool exact = false;
    double rate() const { return seconds > 0 ? double(delivered) / seconds : 0; }
};

Throughput finishThroughput(uint32_t handle, uint64_t count, int64_t t0)
{
    Throughput t;
    const bool all = waitCalls(count, int64_t(120) * 1000000000, false);
    t.seconds = double(nowNs() - t0) / 1e9;
    // Anything beyond `count` would be a duplicate; give it a moment to show.
    const timespec settle{0, 50000000};
    nanosleep(&settle, nullptr);
    mulvo_intcout(handle, MULVO_INT_DISARM);
    t.delivered = g_calls.load();
    t.disorder = g_disorder.load();
    t.exact = all && t.delivered == count && t.disorder == 0;
    return t;
}

Throughput throughputFromThread(SimSegment &segment, uint32_t handle, uint64_t count)
{
    arm(handle);
    const int64_t t0 = nowNs();
    std::thread raiser([&] {
        for (uint64_t i = 0; i < count; ++i)
            segment.raise(1);
    });
    Throughput t = finishThroughput(handle, count, t0);
    raiser.join();
    return t;
}

Throughput throughputFromTool(uint32_t handle, uint64_t count)
{
    arm(handle);
    std::string countText = std::to_string(count);
    char tool[] = MULVO_SIM_PATH;
    char irq[] = "irq";
    char *argv[] = {tool, irq, countText.data(), nullptr};
    const int64_t t0 = nowNs();
    pid_t pid = -1;
    if (posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0)
        return {};
    Throughput t = finishThroughput(handle, count, t0);
    int status = 0;
    waitpid(pid, &status, 0);
    return t;
}

std::string cpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

void printLatency(const char *what, const Percentiles &p)
{
    std::printf("%-36s median %8.1f us   p99 %8.1f us   max %9.1f us   median/target %.2f\n", what,
                p.medianUs, p.p99Us, p.maxUs, p.medianUs / kTargetMedianUs);
}

void printThroughput(const char *what, const Throughput &t, uint64_t count)
{
    std::printf("%-36s %10.0f /s  (%llu of %llu in %.3f s, %s)   rate/target %.2f\n", what,
                t.rate(), static_cast<unsigned long long>(t.delivered),
                static_cast<unsigned long long>(count), t.seconds,
                t.exact ? "exact, in order" : "NOT EXACT", t.rate() / kTargetRate);
}

} // namespace

int main(int argc, char **argv)
{
    int samples = 20000;
    uint64_t count = 1000000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--samples") == 0)
            samples = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--count") == 0)
            count = std::max(1ull, std::strtoull(argv[i + 1], nullptr, 10));
    }

    const std::string instance = "bench-" + std::to_string(getpid());
    setenv(mulvo::sim::kInstanceEnv, instance.c_str(), 1);
    std::string error;
    auto segment = SimSegment::open(instance, error);
    if (!segment) {
        std::fprintf(stderr, "bench_irq: %s\n", error.c_str());
        return 1;
    }
    RemoteRaiser remote;
    if (!remote.start(instance)) {
        std::fprintf(stderr, "bench_irq: cannot start the raising process\n");
        return 1;
    }
    const uint32_t handle = mulvo_open(0);
    if (handle == 0) {
        std::fprintf(stderr, "bench_irq: the virtual adapter did not open\n");
        return 1;
    }

    std::printf("machine: %u cores, %s\n", std::thread::hardware_concurrency(), cpuModel().c_str());
    std::printf("latency: %d interrupts raised one at a time; throughput: %llu interrupts\n\n",
                samples, static_cast<unsigned long long>(count));

    const Percentiles local = latencyInProcess(*segment, handle, samples);
    const Percentiles crossProcess = latencyFromProcess(remote, handle, samples);
    remote.stop();
    printLatency("latency, raise in this process", local);
    printLatency("latency, raise in another process", crossProcess);
    std::printf("%-36s %.2f\n\n", "median ratio other/this process",
                crossProcess.medianUs / local.medianUs);

    const Throughput fromThread = throughputFromThread(*segment, handle, count);
    const Throughput fromTool = throughputFromTool(handle, count);
    printThroughput("throughput, raising thread", fromThread, count);
    printThroughput("throughput, mulvo-sim irq process", fromTool, count);
    std::printf("%-36s %.2f\n", "rate ratio process/thread", fromTool.rate() / fromThread.rate());

    mulvo_close(handle);
    SimSegment::remove(instance, error);
    return fromThread.exact && fromTool.exact ? 0 : 1;
}
