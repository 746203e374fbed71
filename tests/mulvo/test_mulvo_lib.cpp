// The virtual adapter through its nine C functions, driven from the shared segment (as the
// control tool does) and from other processes.
#include "mulvolib.h"
#include "mulvotestsupport.h"
#include "simsegment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

using mulvo::sim::SimSegment;
using namespace std::chrono_literals;

namespace {

enum class Action
{
    Record,
    RearmInsideOnce,
    WriteOutput
};

// Per-handle test state, found by the callback through the handle's extension, as a real
// program does.
struct Recorder
{
    std::atomic<Action> action{Action::Record};
    std::atomic<uint32_t> calls{0};
    std::atomic<int32_t> innerResult{1};

    std::mutex mutex;
    std::vector<uint32_t> values;
    std::vector<uint32_t> handles;

    std::vector<uint32_t> valuesCopy()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

std::atomic<uint32_t> g_callsWithoutRecorder{0};

void recordingCallback(uint32_t handle, uint32_t value)
{
    auto *r = static_cast<Recorder *>(mulvo_get_extension(handle));
    if (!r) {
        ++g_callsWithoutRecorder;
        return;
    }
    r->calls.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->values.push_back(value);
        r->handles.push_back(handle);
    }
    switch (r->action.load()) {
    case Action::Record:
        break;
    case Action::RearmInsideOnce:
        r->action.store(Action::Record);
        mulvo_intcout(handle, MULVO_INT_DISARM);
        r->innerResult.store(mulvo_connect(handle, recordingCallback));
        break;
    case Action::WriteOutput:
        mulvo_mbout(handle, 0);
        mulvo_out2(handle, MULVO_PORT_ACK, 0);
        mulvo_mbout(handle, 1);
        break;
    }
}

// A close that races an arming: the first callback lets close disarm the handle and wait for
// it, then arms the handle again and raises, so that a second callback may start before close
// marks the handle closing. The second one takes its time.
struct CloseRace
{
    SimSegment *segment = nullptr;
    std::atomic<bool> closing{false};
    std::atomic<uint32_t> calls{0};
    std::atomic<bool> inside{false};
};
CloseRace g_closeRace;

void closeRaceCallback(uint32_t handle, uint32_t)
{
    g_closeRace.inside = true;
    if (g_closeRace.calls.fetch_add(1) == 0) {
        while (!g_closeRace.closing.load())
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms);
        mulvo_connect(handle, closeRaceCallback);
        g_closeRace.segment->raise(1);
    } else {
        std::this_thread::sleep_for(50ms);
    }
    g_closeRace.inside = false;
}

class AdapterLibrary : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        segment = SimSegment::open(mulvotest::instance(), error);
        ASSERT_TRUE(segment) << error;
        segment->reset();
        g_callsWithoutRecorder = 0;
    }
    void TearDown() override
    {
        for (uint32_t h : opened)
            mulvo_close(h);
        EXPECT_EQ(g_callsWithoutRecorder.load(), 0u);
        EXPECT_EQ(segment->status().armed, 0u);
        segment->reset();
    }

    uint32_t openAdapter()
    {
        const uint32_t h = mulvo_open(0);
        if (h != 0)
            opened.push_back(h);
        return h;
    }
    uint32_t connected(Recorder &r)
    {
        const uint32_t h = openAdapter();
        EXPECT_NE(h, 0u);
        EXPECT_EQ(mulvo_set_extension(h, &r), MULVO_OK);
        EXPECT_EQ(mulvo_connect(h, recordingCallback), MULVO_OK);
        return h;
    }
    void raiseEach(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(segment->raise(1));
    }
    static bool waitCalls(Recorder &r, uint32_t n)
    {
        return mulvotest::waitFor([&] { return r.calls.load() >= n; });
    }
    static mulvotest::ProgramResult tool(const std::vector<std::string> &args)
    {
        return mulvotest::runTool(MULVO_SIM_PATH, args);
    }

    std::unique_ptr<SimSegment> segment;
    std::vector<uint32_t> opened;
};

// The order, the numbers and the thread of the callbacks are part of the contract suite run
// against every library (test_mulvo_contract); here the segment's own counters.
TEST_F(AdapterLibrary, SegmentCountsRaisedDeliveredArmedAndHandles)
{
    Recorder a;
    Recorder b;
    const uint32_t ha = connected(a);
    const uint32_t hb = connected(b);
    raiseEach(100);
    ASSERT_TRUE(segment->raise(50));
    ASSERT_TRUE(waitCalls(a, 150));
    ASSERT_TRUE(waitCalls(b, 150));
    std::this_thread::sleep_for(20ms);
    // Through the recorders' locks, so that their last callbacks are over before they go.
    EXPECT_EQ(a.valuesCopy().size(), 150u);
    EXPECT_EQ(b.valuesCopy().size(), 150u);
    const auto status = segment->status();
    EXPECT_EQ(status.raised, 150u);
    EXPECT_EQ(status.delivered, 300u);
    EXPECT_EQ(status.missed, 0u);
    EXPECT_EQ(status.armed, 2u);
    EXPECT_EQ(status.handles, 2u);
    EXPECT_EQ(mulvo_intcout(ha, MULVO_INT_DISARM), MULVO_OK);
    EXPECT_EQ(mulvo_intcout(hb, MULVO_INT_DISARM), MULVO_OK);
}

TEST_F(AdapterLibrary, FloodFromAnotherProcessIsDeliveredExactlyOnceInOrder)
{
    Recorder r;
    connected(r);
    const auto result = tool({"irq", "100000"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_TRUE(mulvotest::waitFor([&] { return r.calls.load() >= 100000; }, 60s));
    std::this_thread::sleep_for(50ms);
    const std::vector<uint32_t> values = r.valuesCopy();
    ASSERT_EQ(values.size(), 100000u);
    for (uint32_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(values[i], i + 1) << "at " << i;
    EXPECT_EQ(segment->status().missed, 0u);
}

TEST_F(AdapterLibrary, ArmedAgainInsideTheCallbackSkipsWhatCameBefore)
{
    Recorder r;
    r.action = Action::RearmInsideOnce;
    connected(r);
    // Three at once: the thread sees all three before the first callback disarms and re-arms.
    ASSERT_TRUE(segment->raise(3));
    ASSERT_TRUE(waitCalls(r, 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.innerResult.load(), MULVO_OK);
    raiseEach(1);
    ASSERT_TRUE(waitCalls(r, 2));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(r.valuesCopy(), (std::vector<uint32_t>{1, 4}));
    // The two the handle was still due when disarmed count as missed.
    const auto status = segment->status();
    EXPECT_EQ(status.delivered, 2u);
    EXPECT_EQ(status.missed, 2u);
}

TEST_F(AdapterLibrary, OutputWritesFromSeveralThreadsAtOnce)
{
    Recorder r;
    r.action = Action::WriteOutput;
    const uint32_t h = connected(r);
    const uint64_t before = segment->outputSequence();
    constexpr int kWrites = 20000;
    std::atomic<int> failures{0};
    auto writer = [&](uint32_t value) {
        for (int i = 0; i < kWrites; ++i)
            if (mulvo_mbout(h, value) != MULVO_OK)
                ++failures;
    };
    std::thread a(writer, 0x1a5u); // only the low 8 bits count
    std::thread b(writer, 0x5au);
    raiseEach(500);
    a.join();
    b.join();
    ASSERT_TRUE(waitCalls(r, 500));
    ASSERT_EQ(mulvo_intcout(h, MULVO_INT_DISARM), MULVO_OK);

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(segment->outputSequence() - before, uint64_t(2 * kWrites + 2 * 500));
    const uint8_t output = segment->output();
    EXPECT_TRUE(output == 0xa5 || output == 0x5a || output == 0x01) << int(output);
    SimSegment::OutputWrite last;
    ASSERT_EQ(segment->outputWrite(segment->outputSequence(), last),
              SimSegment::WriteLookup::Found);
    EXPECT_EQ(last.value, output);
}

TEST_F(AdapterLibrary, UnpluggedAdapter)
{
    Recorder r;
    const uint32_t h = connected(r);
    ASSERT_EQ(mulvo_mbout(h, 0x42), MULVO_OK);
    segment->setPresent(false);

    EXPECT_EQ(mulvo_open(0), 0u);
    EXPECT_EQ(mulvo_mbout(h, 0x24), MULVO_E_ABSENT);
    EXPECT_EQ(segment->output(), 0x42);
    uint32_t value = 0xdeadbeef;
    EXPECT_EQ(mulvo_mbin(h, &value), MULVO_E_ABSENT);
    EXPECT_EQ(value, 0xdeadbeefu);
    EXPECT_EQ(mulvo_out2(h, MULVO_PORT_ACK, 0), MULVO_E_ABSENT);
    EXPECT_EQ(mulvo_connect(h, recordingCallback), MULVO_E_ABSENT);
    EXPECT_FALSE(segment->raise(1));
    // What a caller needs to release its own resources works without the adapter.
    EXPECT_EQ(mulvo_get_extension(h), &r);
    EXPECT_EQ(mulvo_intcout(h, MULVO_INT_DISARM), MULVO_OK);
    EXPECT_EQ(segment->status().armed, 0u);

    segment->setPresent(true);
    EXPECT_EQ(mulvo_mbout(h, 0x24), MULVO_OK);
    EXPECT_EQ(segment->output(), 0x24);
    EXPECT_NE(openAdapter(), 0u);
    EXPECT_EQ(r.calls.load(), 0u);
}

TEST_F(AdapterLibrary, LoopbackReadsTheOutputByte)
{
    const uint32_t h = openAdapter();
    segment->setInput(0x11);
    uint32_t value = 0;
    ASSERT_EQ(mulvo_mbout(h, 0xa5), MULVO_OK);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x11u);
    segment->setLoopback(true);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0xa5u);
    ASSERT_EQ(mulvo_mbout(h, 0x3c), MULVO_OK);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x3cu);
    segment->setLoopback(false);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x11u);
}

TEST_F(AdapterLibrary, InterruptsWithNothingArmedAreMissed)
{
    ASSERT_TRUE(segment->raise(3));
    auto status = segment->status();
    EXPECT_EQ(status.raised, 3u);
    EXPECT_EQ(status.missed, 3u);

    Recorder r;
    const uint32_t h = connected(r);
    raiseEach(2);
    ASSERT_TRUE(waitCalls(r, 2));
    EXPECT_EQ(r.valuesCopy(), (std::vector<uint32_t>{4, 5}));
    ASSERT_EQ(mulvo_intcout(h, MULVO_INT_DISARM), MULVO_OK);
    const auto irq = tool({"irq", "2"});
    EXPECT_EQ(irq.exitCode, 0) << irq.err;
    status = segment->status();
    EXPECT_EQ(status.raised, 7u);
    EXPECT_EQ(status.delivered, 2u);
    EXPECT_EQ(status.missed, 5u);
    EXPECT_EQ(r.calls.load(), 2u);
}

TEST_F(AdapterLibrary, ControlToolRoundTrips)
{
    const uint32_t h = openAdapter();
    auto result = tool({"input", "0x3c"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    uint32_t value = 0;
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x3cu);

    Recorder r;
    mulvo_set_extension(h, &r);
    ASSERT_EQ(mulvo_connect(h, recordingCallback), MULVO_OK);
    ASSERT_EQ(mulvo_mbout(h, 0x55), MULVO_OK);
    result = tool({"status"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\noutput=0x55\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\ninput=0x3c\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\narmed=1\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\nhandles=1\n"), std::string::npos) << result.out;

    ASSERT_EQ(tool({"irq", "3", "--interval", "2"}).exitCode, 0);
    ASSERT_TRUE(waitCalls(r, 3));
    EXPECT_EQ(r.valuesCopy(), (std::vector<uint32_t>{1, 2, 3}));

    ASSERT_EQ(tool({"unplug"}).exitCode, 0);
    EXPECT_EQ(mulvo_mbin(h, &value), MULVO_E_ABSENT);
    EXPECT_EQ(tool({"irq"}).exitCode, 1);
    ASSERT_EQ(tool({"plug"}).exitCode, 0);
    ASSERT_EQ(tool({"loopback", "on"}).exitCode, 0);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x55u);
    ASSERT_EQ(tool({"reset"}).exitCode, 0);
    ASSERT_EQ(mulvo_mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(segment->status().armed, 1u) << "reset leaves armed handles armed";
}

TEST_F(AdapterLibrary, HandlesOfADeadProcessAreNoLongerCounted)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string out = dir + "/out";
    const pid_t holder = mulvotest::startProgram({C_CLIENT_PATH, "--hold"}, out);
    ASSERT_GT(holder, 0);
    const bool ready = mulvotest::waitFor(
        [&] { return mulvotest::readFile(out).find("ready") != std::string::npos; });
    const auto whileAlive = segment->status();
    kill(holder, SIGKILL);
    // Not waited for yet: dead all the same, although its pid is still taken. Its threads
    // are gone too (the last one to go drops its files), only the unreaped leader is left.
    const std::string proc = "/proc/" + std::to_string(holder);
    const bool zombie = mulvotest::waitFor([&] {
        std::error_code e;
        const auto threads = std::distance(std::filesystem::directory_iterator(proc + "/task", e),
                                           std::filesystem::directory_iterator());
        return mulvotest::readFile(proc + "/stat").find(") Z ") != std::string::npos &&
               threads == 1;
    });
    unlink(out.c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(ready);
    ASSERT_TRUE(zombie);
    EXPECT_EQ(whileAlive.handles, 1u);
    EXPECT_EQ(whileAlive.armed, 1u);

    // Raised while the dead process still counts as armed: missed once it is reaped.
    ASSERT_TRUE(segment->raise(2));
    const auto afterDeath = segment->status();
    mulvotest::waitProgram(holder);
    EXPECT_EQ(afterDeath.handles, 0u);
    EXPECT_EQ(afterDeath.armed, 0u);
    EXPECT_EQ(afterDeath.raised, 2u);
    EXPECT_EQ(afterDeath.missed, 2u);
    ASSERT_TRUE(segment->raise(1));
    EXPECT_EQ(segment->status().missed, 3u);
}

TEST_F(AdapterLibrary, ASegmentRemovedAndMadeAgainIsTheAdapterOfTheNextOpen)
{
    // Armed, as a program is at the renewal that opens the adapter again.
    Recorder stale;
    const uint32_t old = connected(stale);
    std::string error;
    ASSERT_TRUE(SimSegment::remove(mulvotest::instance(), error)) << error;
    ASSERT_EQ(tool({"input", "0x3c"}).exitCode, 0);
    segment = SimSegment::open(mulvotest::instance(), error);
    ASSERT_TRUE(segment) << error;

    uint32_t value = 0;
    EXPECT_EQ(mulvo_mbin(old, &value), MULVO_E_ABSENT);
    EXPECT_EQ(mulvo_mbout(old, 1), MULVO_E_ABSENT);
    const uint32_t fresh = openAdapter();
    ASSERT_NE(fresh, 0u);
    ASSERT_EQ(mulvo_mbin(fresh, &value), MULVO_OK);
    EXPECT_EQ(value, 0x3cu);
    EXPECT_EQ(segment->status().handles, 1u);

    // Interrupts come from the new segment.
    Recorder r;
    ASSERT_EQ(mulvo_set_extension(fresh, &r), MULVO_OK);
    ASSERT_EQ(mulvo_connect(fresh, recordingCallback), MULVO_OK);
    raiseEach(2);
    ASSERT_TRUE(waitCalls(r, 2));
    EXPECT_EQ(r.valuesCopy(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(stale.calls.load(), 0u);
    const auto status = segment->status();
    EXPECT_EQ(status.delivered, 2u);
    EXPECT_EQ(status.missed, 0u);
}

TEST_F(AdapterLibrary, ASegmentCutShortIsAnAbsentAdapterAndCrashesNothing)
{
    Recorder r;
    const uint32_t h = connected(r);
    const std::string path = SimSegment::segmentPath(mulvotest::instance());
    const pid_t watcher = mulvotest::startProgram({MULVO_SIM_PATH, "watch"});
    ASSERT_GT(watcher, 0);
    const std::string maps = "/proc/" + std::to_string(watcher) + "/maps";
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(maps).find(path) != std::string::npos; }));

    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    // The delivery thread, asleep on the segment, wakes into the missing pages.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(mulvo_out2(h, MULVO_PORT_ACK, 0), MULVO_E_ABSENT);
    uint32_t value = 0;
    EXPECT_EQ(mulvo_mbin(h, &value), MULVO_E_ABSENT);
    EXPECT_EQ(mulvo_mbout(h, 1), MULVO_E_ABSENT);
    EXPECT_EQ(mulvo_connect(h, recordingCallback), MULVO_E_ABSENT);
    EXPECT_FALSE(segment->present());
    EXPECT_FALSE(segment->raise(1));
    EXPECT_EQ(mulvo_open(0), 0u);
    EXPECT_EQ(mulvotest::waitProgram(watcher), 1) << "watch must say the adapter is gone";
    const auto status = tool({"status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.err.find("is 0 bytes long"), std::string::npos) << status.err;

    EXPECT_EQ(mulvo_intcout(h, MULVO_INT_DISARM), MULVO_OK);
    EXPECT_EQ(mulvo_close(h), MULVO_OK);
    opened.clear();
    std::string error;
    ASSERT_TRUE(SimSegment::remove(mulvotest::instance(), error)) << error;
    segment = SimSegment::open(mulvotest::instance(), error);
    ASSERT_TRUE(segment) << error;
}

TEST_F(AdapterLibrary, CloseWaitsForACallbackOfAnArmingThatRacedIt)
{
    g_closeRace.segment = segment.get();
    for (int round = 0; round < 10; ++round) {
        g_closeRace.calls = 0;
        g_closeRace.closing = false;
        const uint32_t h = mulvo_open(0);
        ASSERT_NE(h, 0u);
        ASSERT_EQ(mulvo_connect(h, closeRaceCallback), MULVO_OK);
        raiseEach(1);
        ASSERT_TRUE(mulvotest::waitFor([] { return g_closeRace.inside.load(); }));
        g_closeRace.closing = true;
        EXPECT_EQ(mulvo_close(h), MULVO_OK);
        EXPECT_FALSE(g_closeRace.inside.load()) << "a callback still runs, round " << round;
        const uint32_t calls = g_closeRace.calls.load();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(g_closeRace.calls.load(), calls) << "a callback after close, round " << round;
    }
}

} // namespace
