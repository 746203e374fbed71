// What the GPIO adapter does beyond the common contract, on the fake kernel layer: lost edge
// events, refusals at open, shared lines, the acknowledge pulse and active-low groups.
#include "fakegpiolibrary.h"
#include "mulvotestsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

// What the parent's threads had allocated is in a forked child's copy of the memory, out of
// anyone's reach: not the child's leak. LeakSanitizer asks this before its check at exit.
static bool g_forkedChild = false;
extern "C" int __lsan_is_turned_off()
{
    return g_forkedChild;
}

namespace {

using mulvotest::FakeGpioLibrary;
using mulvotest::kFakeConfig;

std::atomic<bool> g_hold{false};
std::mutex g_mutex;
std::vector<uint32_t> g_values;

void blockingCallback(uint32_t, uint32_t value)
{
    while (g_hold.load())
        std::this_thread::sleep_for(1ms);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.push_back(value);
}

size_t valueCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_values.size();
}

// What the library writes to standard error while `call` runs.
template <typename Call> std::string standardError(Call call)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string file = dir + "/err";
    fflush(stderr);
    const int saved = dup(2);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    ::close(fd);
    call();
    fflush(stderr);
    dup2(saved, 2);
    ::close(saved);
    const std::string text = mulvotest::readFile(file);
    unlink(file.c_str());
    rmdir(dir.c_str());
    return text;
}

TEST(GpioAdapter, EventsTheKernelDroppedStillGiveOneCallbackEachInOrder)
{
    FakeGpioLibrary gpio(kFakeConfig);
    const uint32_t h = gpio.api().open(0);
    ASSERT_NE(h, 0u);
    g_values.clear();
    g_hold = true;
    ASSERT_EQ(gpio.api().connect(h, blockingCallback), MULVO_OK);
    // The first edge is taken and its callback held; the next ones overflow the kernel's buffer.
    constexpr uint32_t kEdges = 3000;
    for (uint32_t i = 0; i < kEdges; ++i) {
        gpio.rig().setLevel(16, true);
        gpio.rig().setLevel(16, false);
    }
    EXPECT_GT(gpio.rig().droppedEvents(), 0u);
    const std::string err = standardError([&] {
        g_hold = false;
        ASSERT_TRUE(mulvotest::waitFor([] { return valueCount() >= kEdges; }));
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(gpio.api().close(h), MULVO_OK);
    });
    std::lock_guard<std::mutex> lock(g_mutex);
    ASSERT_EQ(g_values.size(), kEdges);
    for (uint32_t i = 0; i < kEdges; ++i)
        ASSERT_EQ(g_values[i], i + 1) << "at " << i;
    EXPECT_NE(err.find("adapter 0: the kernel dropped " +
                       std::to_string(gpio.rig().droppedEvents()) + " interrupt events"),
              std::string::npos)
        << err;
}

TEST(GpioAdapter, EdgesBeforeConnectAreNotInterrupts)
{
    FakeGpioLibrary gpio(kFakeConfig);
    const uint32_t h = gpio.api().open(0);
    g_values.clear();
    gpio.rig().setLevel(16, true); // rising: an event, but before the handle is armed
    gpio.rig().setLevel(16, false);
    std::this_thread::sleep_for(2ms);
    ASSERT_EQ(gpio.api().connect(h, blockingCallback), MULVO_OK);
    gpio.rig().setLevel(16, true);
    ASSERT_TRUE(mulvotest::waitFor([] { return valueCount() >= 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(g_values, std::vector<uint32_t>{2});
    EXPECT_EQ(gpio.api().close(h), MULVO_OK);
}

TEST(GpioAdapter, OpenFailsWithTheReasonAndHoldsNothing)
{
    const std::string lines = "outputs = 0 1 2 3 4 5 6 7\ninputs = 8 9 10 11 12 13 14 15\n";
    const struct
    {
        std::string config;
        uint32_t heldElsewhere;
        std::string reason;
    } cases[] = {
        {"[adapter 0]\nchip = other-bank\n" + lines, 99,
         "no GPIO chip labelled 'other-bank' is present"},
        {"[adapter 0]\nchip = /fake/gpiochip9\n" + lines, 99,
         "cannot open GPIO chip /fake/gpiochip9: No such file or directory"},
        {"[adapter 0]\nchip = fake-bank\n" + lines, 12,
         "the input lines of fake-bank are held by another program"},
        {"[adapter 0]\nchip = fake-bank\n" + lines + "interrupt = line-40\n", 99,
         "fake-bank has no line named 'line-40'"},
        {"[adapter 0]\nchip = fake-bank\n" + lines + "acknowledge = 32\n", 99,
         "fake-bank has no line 32 (it has 32)"},
        {"[adapter 1]\nchip = fake-bank\n" + lines, 99, "no [adapter 0] section"},
        {"[adapter 0]\nchip = fake-bank\noutputs = 0 1 2 3 4 5 6 7\n"
         "inputs = 8 9 10 line-3 12 13 14 15\n",
         99, "[adapter 0] uses line 3 of fake-bank twice: as output and as input (line 'line-3')"},
    };
    for (const auto &c : cases) {
        FakeGpioLibrary gpio(c.config);
        if (c.heldElsewhere != 99)
            gpio.rig().holdElsewhere(c.heldElsewhere, true);
        uint32_t h = 1;
        const std::string err = standardError([&] { h = gpio.api().open(0); });
        EXPECT_EQ(h, 0u) << c.config;
        EXPECT_NE(err.find("mulvo-gpio: "), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(gpio.rig().requestedLines(), 0u) << c.config;
        EXPECT_EQ(gpio.rig().openDescriptors(), 0u) << c.config;
    }
}

TEST(GpioAdapter, OpeningLeavesTheOutputsWhereTheyAre)
{
    FakeGpioLibrary gpio(kFakeConfig);
    for (uint32_t i = 0; i < 8; ++i)
        gpio.rig().setLevel(i, i % 2 == 0);
    const uint32_t h = gpio.api().open(0);
    ASSERT_NE(h, 0u);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(gpio.rig().level(i), i % 2 == 0) << "line " << i;
    ASSERT_EQ(gpio.api().mbout(h, 0xf0), MULVO_OK);
    EXPECT_TRUE(gpio.rig().level(7));
    EXPECT_FALSE(gpio.rig().level(0));
    EXPECT_EQ(gpio.api().close(h), MULVO_OK);
}

TEST(GpioAdapter, ARemovedChipIsAnAbsentAdapterSaidOnceAndNotPolled)
{
    FakeGpioLibrary gpio(kFakeConfig);
    const mulvo::Api &api = gpio.api();
    const uint32_t h = api.open(0);
    ASSERT_NE(h, 0u);
    g_values.clear();
    ASSERT_EQ(api.connect(h, blockingCallback), MULVO_OK);
    uint32_t value = 0;
    const std::string err = standardError([&] {
        gpio.rig().removeChip();
        std::this_thread::sleep_for(100ms);
        EXPECT_LT(gpio.rig().eventReads(), 10u) << "the hung-up line is polled on and on";
        EXPECT_EQ(api.mbin(h, &value), MULVO_E_ABSENT);
        EXPECT_EQ(api.mbout(h, 1), MULVO_E_ABSENT);
        EXPECT_EQ(api.connect(h, blockingCallback), MULVO_E_ABSENT);
    });
    EXPECT_NE(err.find("mulvo-gpio: adapter 0 is absent: GPIO chip fake-bank was removed\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("absent", err.find("absent") + 1), std::string::npos) << "said once";
    EXPECT_EQ(api.intcout(h, MULVO_INT_DISARM), MULVO_OK);
    EXPECT_EQ(api.close(h), MULVO_OK);
    // Back again, a new open finds it.
    gpio.rig().reset();
    const uint32_t again = api.open(0);
    EXPECT_NE(again, 0u);
    EXPECT_EQ(api.mbin(again, &value), MULVO_OK);
    EXPECT_EQ(api.close(again), MULVO_OK);
}

const mulvo::Api *g_api = nullptr;
std::atomic<bool> g_closedInside{false};

void closeThenLinger(uint32_t handle, uint32_t)
{
    g_closedInside = g_api->close(handle) == MULVO_OK;
    std::this_thread::sleep_for(50ms);
}

TEST(GpioAdapter, HandlesShareTheLinesUntilTheLastCloses)
{
    FakeGpioLibrary gpio(kFakeConfig);
    const mulvo::Api &api = gpio.api();
    g_api = &api;
    g_closedInside = false;
    const uint32_t first = api.open(0);
    const uint32_t second = api.open(0);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(gpio.rig().requestedLines(), 18u);
    // The first closes inside its callback, which then keeps the library's thread a while.
    ASSERT_EQ(api.connect(first, closeThenLinger), MULVO_OK);
    gpio.rig().setLevel(16, true);
    ASSERT_TRUE(mulvotest::waitFor([] { return g_closedInside.load(); }));
    EXPECT_EQ(api.mbout(second, 0x81), MULVO_OK);
    EXPECT_EQ(gpio.rig().requestedLines(), 18u);
    ASSERT_EQ(api.close(second), MULVO_OK);
    EXPECT_EQ(gpio.rig().requestedLines(), 0u) << "lines given back when close returns";
    const uint32_t again = api.open(0);
    EXPECT_NE(again, 0u) << "and at once available again";
    EXPECT_EQ(api.close(again), MULVO_OK);
}

TEST(GpioAdapter, ClosedInsideTheCallbackOpensAgainAtOnce)
{
    FakeGpioLibrary gpio(kFakeConfig);
    g_api = &gpio.api();
    g_closedInside = false;
    const uint32_t h = g_api->open(0);
    ASSERT_EQ(g_api->connect(h, closeThenLinger), MULVO_OK);
    gpio.rig().setLevel(16, true);
    ASSERT_TRUE(mulvotest::waitFor([] { return g_closedInside.load(); }));
    // The callback still runs and the thread still holds the closed lines.
    const uint32_t again = g_api->open(0);
    EXPECT_NE(again, 0u);
    EXPECT_EQ(g_api->close(again), MULVO_OK);
}

TEST(GpioAdapter, AForkedChildStartsAfreshAndExitsCleanly)
{
    FakeGpioLibrary gpio(kFakeConfig);
    const uint32_t h = gpio.api().open(0);
    g_values.clear();
    ASSERT_EQ(gpio.api().connect(h, blockingCallback), MULVO_OK);
    const pid_t child = fork();
    if (child == 0) {
        g_forkedChild = true;
        // The parent's handles are not the child's; leaving runs the library's destructor.
        std::exit(gpio.api().mbout(h, 1) == MULVO_E_HANDLE ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(mulvotest::waitProgram(child), 0);
    gpio.rig().setLevel(16, true);
    EXPECT_TRUE(mulvotest::waitFor([] { return valueCount() == 1; }));
    EXPECT_EQ(gpio.api().close(h), MULVO_OK);
}

TEST(GpioAdapter, AcknowledgePulseAndActiveLowGroups)
{
    FakeGpioLibrary gpio("[adapter 0]\nchip = fake-bank\n"
                         "outputs = 0 1 2 3 4 5 6 7\noutput-active-low = yes\n"
                         "inputs = 8 9 10 11 12 13 14 15\ninput-active-low = yes\n"
                         "acknowledge = 20\n");
    const mulvo::Api &api = gpio.api();
    const uint32_t h = api.open(0);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(api.mbout(h, 0x00), MULVO_OK);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_TRUE(gpio.rig().level(i)) << "inactive outputs of an active-low group are high";
    ASSERT_EQ(api.mbout(h, 0x0f), MULVO_OK);
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(gpio.rig().level(i), i >= 4) << i;
    for (uint32_t i = 0; i < 8; ++i)
        gpio.rig().setLevel(8 + i, i == 0);
    uint32_t value = 0;
    ASSERT_EQ(api.mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0xfeu);

    EXPECT_EQ(gpio.rig().risingEdges(20), 0u);
    ASSERT_EQ(api.out2(h, MULVO_PORT_ACK, 0), MULVO_OK);
    ASSERT_EQ(api.out2(h, MULVO_PORT_ACK, 0), MULVO_OK);
    EXPECT_EQ(gpio.rig().risingEdges(20), 2u);
    EXPECT_FALSE(gpio.rig().level(20));
    EXPECT_EQ(api.close(h), MULVO_OK);
}

TEST(GpioAdapter, EachGroupHasItsOwnActiveLow)
{
    for (const bool outputsLow : {true, false}) {
        FakeGpioLibrary gpio(std::string("[adapter 0]\nchip = fake-bank\n") +
                             "outputs = 0 1 2 3 4 5 6 7\ninputs = 8 9 10 11 12 13 14 15\n" +
                             (outputsLow ? "output" : "input") + "-active-low = yes\n");
        const uint32_t h = gpio.api().open(0);
        ASSERT_NE(h, 0u);
        uint32_t value = 0;
        ASSERT_EQ(gpio.api().mbout(h, 0), MULVO_OK);
        ASSERT_EQ(gpio.api().mbin(h, &value), MULVO_OK); // every input line is low
        EXPECT_EQ(gpio.rig().level(0), outputsLow);
        EXPECT_EQ(value, outputsLow ? 0u : 0xffu);
        EXPECT_EQ(gpio.api().close(h), MULVO_OK);
    }
}

} // namespace
