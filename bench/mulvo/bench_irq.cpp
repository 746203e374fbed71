// Interrupt delivery through the virtual adapter: latency from raise to callback entry, and
// sustained throughput with an exact count check.
//
//   bench_irq [--samples N] [--count N]
//
// Runs on an instance of its own ("bench-<pid>"), removed at the end. Exit status 1 when an
// interrupt was lost, duplicated or delivered out of order; the timings are only reported.
#include "irqbench.h"
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
using namespace irqbench;

constexpr double kTargetMedianUs = 30.0;
constexpr double kTargetRate = 100000.0;

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
    resetCalls();
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
        if (!waitCalls(uint64_t(i) + 1, 1000000000, true))
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
        if (!raiser.raise(t0) || !waitCalls(uint64_t(i) + 1, 1000000000, true))
            break;
        latencies.push_back(g_entryNs.load(std::memory_order_relaxed) - t0);
    }
    mulvo_intcout(handle, MULVO_INT_DISARM);
    return percentiles(latencies);
}

Throughput finishThroughput(uint32_t handle, uint64_t count, int64_t t0)
{
    return irqbench::finishThroughput(count, t0, 120,
                                      [&] { mulvo_intcout(handle, MULVO_INT_DISARM); });
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
    char tail[40];
    std::snprintf(tail, sizeof tail, "   median/target %.2f", p.medianUs / kTargetMedianUs);
    irqbench::printLatency(what, p, tail);
}

void printThroughput(const char *what, const Throughput &t, uint64_t count)
{
    char tail[40];
    std::snprintf(tail, sizeof tail, "   rate/target %.2f", t.rate() / kTargetRate);
    irqbench::printThroughput(what, t, count, tail);
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
