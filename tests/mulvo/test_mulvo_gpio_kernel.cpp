// The adapter contract against libmulvo-gpio on a real kernel: a chip of the kernel's GPIO
// simulator (gpio-sim), made through configfs, whose line levels the test drives through the
// simulator's sysfs "pull" files. Where the kernel has no configfs gpio-sim the test says so and
// reports itself skipped (exit status 77); scripts/gpio-vm runs it in a small VM that has.
// The same contract runs through the adapter service holding the GPIO adapter, and two
// programs share it there.
#include "adaptercontract.h"
#include "gpiosimchip.h"
#include "mulvotestsupport.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace mulvotest {

namespace {

GpioSimChip g_chip;
std::string g_configPath;

class GpioSimRig : public AdapterRig
{
public:
    explicit GpioSimRig(bool direct = true)
    {
        for (unsigned i = 0; i < GpioSimChip::kLines; ++i)
            EXPECT_TRUE(g_chip.pull(i, false));
        if (direct)
            library_ = loadAdapterLibrary(MULVO_GPIO_LIB_PATH);
    }
    const mulvo::Api &api() override { return library_->api(); }
    uint8_t output() override
    {
        uint8_t value = 0;
        for (unsigned i = 0; i < 8; ++i)
            value |= uint8_t(g_chip.level(i) << i);
        return value;
    }
    void setInput(uint8_t value) override
    {
        for (unsigned i = 0; i < 8; ++i)
            ASSERT_TRUE(g_chip.pull(8 + i, (value >> i) & 1));
    }
    void raise(int count) override
    {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(g_chip.pull(16, true));
            ASSERT_TRUE(g_chip.pull(16, false));
        }
    }
    void expectReleased() override
    {
        // A handle closed inside its callback lets go of the lines once the callback returns.
        EXPECT_TRUE(waitFor([] { return g_chip.usedLines() == 0; })) << g_chip.usedLines();
    }

protected:
    std::unique_ptr<mulvo::Library> library_;
};

// The GPIO adapter held by a mulvod of the test's own, reached through the client library.
class ServiceOnGpioSimRig final : public GpioSimRig
{
public:
    ServiceOnGpioSimRig() : GpioSimRig(false)
    {
        EXPECT_TRUE(service_.start({"--adapter", MULVO_GPIO_LIB_PATH})) << service_.log();
        setenv("MULVO_SERVICE_SOCKET", service_.socket().c_str(), 1);
        library_ = loadAdapterLibrary(MULVO_SERVICE_LIB_PATH);
    }
    ~ServiceOnGpioSimRig() override { unsetenv("MULVO_SERVICE_SOCKET"); }
    void expectReleased() override
    {
        // The service keeps the adapter's 18 lines while it runs, whatever its clients did.
        EXPECT_EQ(g_chip.usedLines(), 18u);
    }

private:
    ServiceProcess service_;
};

MULVO_CONTRACT_RIGS(RigMaker{"GpioOnGpioSim", [] { return std::make_unique<GpioSimRig>(); }},
                    RigMaker{"ServiceOnGpioSim",
                             [] { return std::make_unique<ServiceOnGpioSimRig>(); }});

void ignoreInterrupt(uint32_t, uint32_t) {}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(GpioOnGpioSim, OpeningKeepsTheOutputsAndARemovedChipIsAbsentWithoutSpinning)
{
    for (unsigned i = 0; i < 8; ++i)
        ASSERT_TRUE(g_chip.pull(i, i % 2 == 0)); // 0x55 on the lines at rest
    auto library = loadAdapterLibrary(MULVO_GPIO_LIB_PATH);
    const mulvo::Api &api = library->api();
    const uint32_t h = api.open(0);
    ASSERT_NE(h, 0u);
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(g_chip.level(i), i % 2 == 0) << "line " << i << " changed at open";
    ASSERT_EQ(api.connect(h, ignoreInterrupt), MULVO_OK);

    g_chip.destroy();
    const double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuSeconds() - before, 0.1) << "the delivery thread spins on the removed chip";
    uint32_t value = 0;
    EXPECT_EQ(api.mbin(h, &value), MULVO_E_ABSENT);
    EXPECT_EQ(api.mbout(h, 1), MULVO_E_ABSENT);
    EXPECT_EQ(api.close(h), MULVO_OK);
    std::string error;
    ASSERT_TRUE(g_chip.create(error)) << error;
}

// Two programs on one GPIO adapter through the service: one armed and counting while another
// writes a byte and exits; the lines keep that byte after the writer is gone.
TEST(ServiceOnGpioSim, TwoProgramsShareTheAdapterAndTheWrittenByteOutlivesItsWriter)
{
    for (unsigned i = 0; i < GpioSimChip::kLines; ++i)
        ASSERT_TRUE(g_chip.pull(i, false));
    ServiceProcess service;
    ASSERT_TRUE(service.start({"--adapter", MULVO_GPIO_LIB_PATH})) << service.log();
    setenv("MULVO_SERVICE_SOCKET", service.socket().c_str(), 1);
    auto library = loadAdapterLibrary(MULVO_SERVICE_LIB_PATH);
    const mulvo::Api &api = library->api();
    const uint32_t h = api.open(0);
    ASSERT_NE(h, 0u);
    static std::atomic<uint32_t> calls{0};
    ASSERT_EQ(api.connect(h, [](uint32_t, uint32_t) { ++calls; }), MULVO_OK);

    const pid_t writer = fork();
    if (writer == 0) {
        // A program of its own: the parent's connection is not this one's.
        const uint32_t mine = api.open(0);
        _exit(mine != 0 && api.mbout(mine, 0x5a) == MULVO_OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.log();
    uint8_t lines = 0;
    for (unsigned i = 0; i < 8; ++i)
        lines |= uint8_t(g_chip.level(i) << i);
    EXPECT_EQ(lines, 0x5a) << "the byte stays on the lines after its writer exited";

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(g_chip.pull(16, true));
        ASSERT_TRUE(g_chip.pull(16, false));
    }
    EXPECT_TRUE(waitFor([] { return calls.load() == 3; })) << calls.load() << " callbacks";
    EXPECT_EQ(api.close(h), MULVO_OK);
    EXPECT_EQ(service.stop(), 0);
    unsetenv("MULVO_SERVICE_SOCKET");
}

} // namespace

} // namespace mulvotest

int main(int argc, char **argv)
{
    using namespace mulvotest;
    ::testing::InitGoogleTest(&argc, argv);
    std::string error;
    if (!g_chip.create(error)) {
        std::printf("SKIPPED: %s\n", error.c_str());
        return 77;
    }
    const std::string dir = makeTempDir();
    g_configPath = dir + "/gpio.conf";
    std::ofstream(g_configPath) << "[adapter 0]\nchip = " << g_chip.label()
                                << "\noutputs = 0 1 2 3 4 5 6 7\n"
                                   "inputs = sim-in-8 sim-in-9 sim-in-10 sim-in-11 sim-in-12 "
                                   "sim-in-13 sim-in-14 sim-in-15\n"
                                   "interrupt = 16\nacknowledge = 17\n";
    setenv("MULVO_GPIO_CONFIG", g_configPath.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    unlink(g_configPath.c_str());
    rmdir(dir.c_str());
    g_chip.destroy();
    return result;
}
