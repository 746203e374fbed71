// Interrupt delivery through the GPIO adapter: latency from an edge on the interrupt line to
// callback entry, and sustained throughput with an exact, in-order count check.
//
//   bench_gpio_irq [--gpio-sim] [--samples N] [--count N]
//
// By default the library runs on the fake kernel layer of the tests, so the figures are the
// library's own cost (poll wake-up, event read, dispatch). With --gpio-sim it is the real
// libmulvo-gpio on a gpio-sim chip made through configfs (run it as root where the kernel has
// gpio-sim, e.g. in scripts/gpio-vm); each edge is then a write to the simulator's sysfs file.
// Exit status 1 when an interrupt was lost, duplicated or delivered out of order.
#include "fakegpiokernel.h"
#include "gpiosimchip.h"
#include "irqbench.h"
#include "mulvoloader.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace irqbench;

constexpr uint32_t kInterruptLine = 16;

// Drives the interrupt line from outside.
struct Line
{
    virtual ~Line() = default;
    virtual void set(bool high) = 0;
};

struct FakeLine final : Line
{
    mulvotest::FakeGpioRig *rig = nullptr;
    void set(bool high) override { rig->setLevel(kInterruptLine, high); }
};

struct SimLine final : Line
{
    mulvotest::GpioSimChip *chip = nullptr;
    void set(bool high) override { chip->pull(kInterruptLine, high); }
};

} // namespace

int main(int argc, char **argv)
{
    bool gpioSim = false;
    int samples = 20000;
    uint64_t count = 1000000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gpio-sim") == 0)
            gpioSim = true;
        else if (std::strcmp(argv[i], "--samples") == 0 && i + 1 < argc)
            samples = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc)
            count = std::max(1ull, std::strtoull(argv[++i], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: bench_gpio_irq [--gpio-sim] [--samples N] [--count N]\n");
            return 2;
        }
    }

    mulvotest::GpioSimChip chip;
    std::string chipName = mulvotest::kFakeChipLabel;
    if (gpioSim) {
        std::string error;
        if (!chip.create(error)) {
            std::fprintf(stderr, "bench_gpio_irq: %s\n", error.c_str());
            return 1;
        }
        chipName = chip.label();
    }
    char dir[] = "/tmp/bench-gpio-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    const std::string config = std::string(dir) + "/gpio.conf";
    std::ofstream(config) << "[adapter 0]\nchip = " << chipName
                          << "\noutputs = 0 1 2 3 4 5 6 7\ninputs = 8 9 10 11 12 13 14 15\n"
                             "interrupt = 16\n";
    setenv("MULVO_GPIO_CONFIG", config.c_str(), 1);

    const char *path = gpioSim ? MULVO_GPIO_LIB_PATH : MULVO_GPIO_FAKE_LIB_PATH;
    std::string error;
    auto library = mulvo::Library::loadFile(path, error);
    if (!library) {
        std::fprintf(stderr, "bench_gpio_irq: %s\n", error.c_str());
        return 1;
    }
    const mulvo::Api &api = library->api();
    std::unique_ptr<Line> line;
    if (gpioSim) {
        auto sim = std::make_unique<SimLine>();
        sim->chip = &chip;
        line = std::move(sim);
    } else {
        auto fake = std::make_unique<FakeLine>();
        void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        auto rig = handle ? reinterpret_cast<mulvotest::FakeGpioRig *(*)()>(
                                dlsym(handle, "mulvo_gpio_fake_rig"))
                          : nullptr;
        fake->rig = rig ? rig() : nullptr;
        if (!fake->rig)
            return 1;
        line = std::move(fake);
    }
    const uint32_t h = api.open(0);
    if (h == 0)
        return 1;

    std::printf("%s, %u cores\n",
                gpioSim ? "libmulvo-gpio on gpio-sim"
                        : "GPIO adapter on the "
                          "fake kernel layer",
                std::thread::hardware_concurrency());
    api.connect(h, timingCallback);
    std::vector<int64_t> latencies;
    for (int i = 0; i < samples; ++i) {
        const int64_t t0 = nowNs();
        line->set(true);
        if (!waitCalls(uint64_t(i) + 1, 1000000000, true))
            break;
        latencies.push_back(g_entryNs.load(std::memory_order_relaxed) - t0);
        line->set(false);
    }
    api.intcout(h, 0xB0);
    const Percentiles latency = percentiles(latencies);
    if (latency.samples == 0)
        std::printf("latency: no sample\n");
    else
        printLatency("latency, edge to callback entry", latency,
                     "  (" + std::to_string(latency.samples) + " edges)");

    // Throughput: a thread makes `count` rising edges as fast as it can.
    resetCalls();
    api.connect(h, timingCallback);
    const int64_t t0 = nowNs();
    std::thread raiser([&] {
        for (uint64_t i = 0; i < count; ++i) {
            line->set(true);
            line->set(false);
        }
    });
    const Throughput throughput = finishThroughput(count, t0, 300, [&] { api.intcout(h, 0xB0); });
    raiser.join();
    printThroughput("throughput, raising thread", throughput, count, "");
    api.close(h);
    unlink(config.c_str());
    rmdir(dir);
    return throughput.exact ? 0 : 1;
}
