// The adapter service: the round trip of mulvo_mbin through it beside the direct call, and
// interrupts of the virtual adapter behind it delivered to 1 and 4 client processes, with and
// without a client whose callback sleeps.
//
//   bench_service [--samples N] [--count N] [--repeat N]
//
// Runs a mulvod of its own on an adapter instance of its own ("bench-<pid>"), both removed at
// the end. Exit status 1 when a client lost, duplicated or reordered an interrupt; the timings
// are only reported.
#include "irqbench.h"
#include "mulvoloader.h"
#include "simsegment.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace irqbench;
using mulvo::sim::SimSegment;

constexpr double kTargetMedianUs = 25.0;
constexpr double kTargetRate = 500000.0;

std::string g_socket;

bool startService(const std::string &dir, pid_t &pid)
{
    g_socket = dir + "/mulvod.sock";
    const std::string log = dir + "/mulvod.log";
    std::vector<std::string> args{MULVOD_PATH, "--adapter", "virtual", "--socket", g_socket};
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", g_socket.c_str());
    for (int i = 0; i < 5000; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(fd);
        if (up)
            return true;
        usleep(1000);
    }
    return false;
}

struct ClientResult
{
    uint64_t calls = 0;
    uint64_t disorder = 0;
    int64_t lastNs = 0;
};

void stalledCallback(uint32_t handle, uint32_t value)
{
    usleep(1000);
    timingCallback(handle, value);
}

// A client process: arms the service's adapter, says so on `ready`, counts until `count`
// (or, stalled, until `stop` is readable), then writes what it counted on `ready`.
[[noreturn]] void runClient(uint64_t count, bool stalled, int ready, int stop)
{
    std::string error;
    auto library = mulvo::Library::loadFile(MULVO_SERVICE_LIB_PATH, error);
    const mulvo::Api *api = library ? &library->api() : nullptr;
    const uint32_t h = api ? api->open(0) : 0;
    if (h == 0 || api->connect(h, stalled ? stalledCallback : timingCallback) != MULVO_OK) {
        std::fprintf(stderr, "bench_service: client cannot arm: %s\n", error.c_str());
        _exit(1);
    }
    const char armed = 'R';
    (void)!write(ready, &armed, 1);
    if (stalled) {
        pollfd p{stop, POLLIN, 0};
        poll(&p, 1, -1);
    } else {
        waitCalls(count, int64_t(120) * 1000000000, false);
    }
    ClientResult result{g_calls.load(), g_disorder.load(), g_entryNs.load()};
    (void)!write(ready, &result, sizeof result);
    _exit(0);
}

struct Run
{
    std::vector<double> rates; // of the clients that do not stall
    bool exact = true;
    uint64_t stalledCalls = 0;
    bool stalledInOrder = true;
};

Run interruptRun(SimSegment &segment, uint64_t count, int clients, bool withStalled)
{
    segment.reset();
    struct Child
    {
        pid_t pid;
        int ready;
        int stop;
        bool stalled;
    };
    std::vector<Child> children;
    const int total = clients + (withStalled ? 1 : 0);
    for (int i = 0; i < total; ++i) {
        int ready[2];
        int stop[2];
        if (pipe(ready) != 0 || pipe(stop) != 0)
            std::exit(1);
        const bool stalled = i == clients;
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(stop[1]);
            runClient(count, stalled, ready[1], stop[0]);
        }
        close(ready[1]);
        close(stop[0]);
        children.push_back({pid, ready[0], stop[1], stalled});
        char armed = 0;
        if (read(ready[0], &armed, 1) != 1)
            std::exit(1);
    }
    const int64_t t0 = nowNs();
    for (uint64_t i = 0; i < count; ++i)
        segment.raise(1);
    Run run;
    for (const Child &child : children) {
        if (child.stalled)
            continue;
        ClientResult result;
        const bool got = read(child.ready, &result, sizeof result) == ssize_t(sizeof result);
        const bool exact = got && result.calls == count && result.disorder == 0;
        run.exact = run.exact && exact;
        run.rates.push_back(
            got && result.lastNs > t0 ? double(count) * 1e9 / double(result.lastNs - t0) : 0);
    }
    for (const Child &child : children) {
        if (child.stalled) {
            (void)!write(child.stop, "x", 1);
            ClientResult result;
            if (read(child.ready, &result, sizeof result) == ssize_t(sizeof result)) {
                run.stalledCalls = result.calls;
                run.stalledInOrder = result.disorder == 0;
            }
        }
        close(child.ready);
        close(child.stop);
        int status = 0;
        waitpid(child.pid, &status, 0);
    }
    return run;
}

Percentiles roundTrips(const mulvo::Api &api, int samples)
{
    const uint32_t h = api.open(0);
    std::vector<int64_t> times;
    times.reserve(size_t(samples));
    uint32_t value = 0;
    for (int i = 0; i < 200; ++i)
        api.mbin(h, &value); // warm up
    for (int i = 0; i < samples; ++i) {
        const int64_t t = nowNs();
        if (api.mbin(h, &value) != MULVO_OK)
            std::exit(1);
        times.push_back(nowNs() - t);
    }
    api.close(h);
    return percentiles(times);
}

} // namespace

int main(int argc, char **argv)
{
    int samples = 20000;
    uint64_t count = 1000000;
    int repeat = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--samples") == 0)
            samples = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--count") == 0)
            count = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--repeat") == 0)
            repeat = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::string instance = "bench-" + std::to_string(getpid());
    setenv(mulvo::sim::kInstanceEnv, instance.c_str(), 1);
    std::string error;
    auto segment = SimSegment::open(instance, error);
    char pattern[] = "/tmp/bench-service-XXXXXX";
    const char *dir = mkdtemp(pattern);
    pid_t service = -1;
    if (!segment || !dir || !startService(dir, service)) {
        std::fprintf(stderr, "bench_service: cannot start: %s\n", error.c_str());
        return 1;
    }
    setenv("MULVO_SERVICE_SOCKET", g_socket.c_str(), 1);

    bool exact = true;
    // Clients first, forked before this process loads any library. The floods of one
    // configuration differ from run to run by more than a stalled client could take away, so
    // every configuration runs `repeat` times, interleaved, and the medians are compared.
    const std::pair<int, bool> configurations[] = {{1, false}, {4, false}, {3, false}, {3, true}};
    std::vector<double> slowest[4];
    uint64_t stalledCalls = 0;
    bool stalledInOrder = true;
    for (int r = 0; r < repeat; ++r) {
        for (int c = 0; c < 4; ++c) {
            const Run run =
                interruptRun(*segment, count, configurations[c].first, configurations[c].second);
            exact = exact && run.exact;
            slowest[c].push_back(
                run.rates.empty() ? 0 : *std::min_element(run.rates.begin(), run.rates.end()));
            if (configurations[c].second) {
                stalledCalls = std::max(stalledCalls, run.stalledCalls);
                stalledInOrder = stalledInOrder && run.stalledInOrder;
            }
        }
    }
    double medians[4];
    for (int c = 0; c < 4; ++c) {
        const auto [clients, stalled] = configurations[c];
        std::sort(slowest[c].begin(), slowest[c].end());
        medians[c] = slowest[c][slowest[c].size() / 2];
        char what[64];
        std::snprintf(what, sizeof what, "interrupts, %d client%s%s", clients,
                      clients > 1 ? "s" : "", stalled ? " + 1 stalled" : "");
        std::printf("%-36s median %10.0f /s, runs %.0f - %.0f (slowest client; %s)%s\n", what,
                    medians[c], slowest[c].front(), slowest[c].back(),
                    exact ? "each exact, in order" : "NOT EXACT",
                    medians[c] >= kTargetRate ? "" : "  below target");
    }
    std::printf("%-36s at most %llu delivered when the others were done, %s\n", "  stalled client",
                static_cast<unsigned long long>(stalledCalls),
                stalledInOrder ? "in order" : "OUT OF ORDER");
    const double kept = medians[3] / medians[2];
    std::printf("%-36s %.2f of the rate without it%s\n", "  the others beside it", kept,
                kept >= 0.9 ? "" : "  below target (0.90)");

    auto direct = mulvo::Library::loadFile(MULVO_LIB_PATH, error);
    auto through = mulvo::Library::loadFile(MULVO_SERVICE_LIB_PATH, error);
    if (!direct || !through) {
        std::fprintf(stderr, "bench_service: %s\n", error.c_str());
        return 1;
    }
    const Percentiles d = roundTrips(direct->api(), samples);
    const Percentiles s = roundTrips(through->api(), samples);
    printLatency("mulvo_mbin, direct", d, "");
    printLatency("mulvo_mbin, through the service", s,
                 s.medianUs <= kTargetMedianUs ? "" : "  above target");

    through.reset();
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    SimSegment::remove(instance, error);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return exact ? 0 : 1;
}
