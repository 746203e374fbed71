#include "adaptercontract.h"

#include "mulvotestsupport.h"

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <csignal>
#include <pthread.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace mulvotest {

namespace {

// The library the callback calls back into.
std::atomic<const mulvo::Api *> g_api{nullptr};
std::atomic<uint32_t> g_callsWithoutRecorder{0};

enum class Action
{
    Record,
    DisarmInside,
    CloseInside,
    // Once the thread named in `caller` waits for this callback to return:
    ReadExtensionOnceTheCallerWaits,
    CloseOnceTheCallerWaits,
    // Disarms, then closes while the thread named in `caller` arms the handle again.
    DisarmThenCloseWhileTheCallerArms,
    Slow, // 1 ms per call
    Hold  // until the action changes
};

// Per-handle test state, found by the callback through the handle's extension, as a real
// program does.
struct Recorder
{
    std::atomic<Action> action{Action::Record};
    std::atomic<uint32_t> calls{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> entered{false}; // stays set once a callback has begun
    std::atomic<bool> finished{false};
    std::atomic<pid_t> caller{0};
    std::atomic<bool> callerReturned{false};
    std::atomic<int32_t> innerResult{1};
    std::atomic<void *> extensionSeen{nullptr};
    std::atomic<bool> wrongSignalMask{false}; // takes the program's signals, or not its faults

    std::mutex mutex;
    std::vector<uint32_t> values;
    std::vector<uint32_t> handles;
    std::set<std::thread::id> threads;

    std::vector<uint32_t> valuesCopy()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

bool isAsleep(pid_t tid)
{
    std::string stat;
    std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat"), stat);
    // The state follows the command name, which is in parentheses and may hold any byte.
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

// Until the thread `tid` of this process sleeps. A thread that announced itself just before a
// call into the library and then sleeps is blocked in that call, waiting for the callback.
void waitUntilAsleep(pid_t tid)
{
    EXPECT_TRUE(waitFor([&] { return isAsleep(tid); }))
        << "the caller never waited for the callback";
}

void waitUntilTheCallerWaits(Recorder &r)
{
    EXPECT_TRUE(waitFor([&] { return r.caller.load() != 0; }));
    waitUntilAsleep(r.caller.load());
}

void recordingCallback(uint32_t handle, uint32_t value)
{
    const mulvo::Api &api = *g_api.load();
    auto *r = static_cast<Recorder *>(api.get_extension(handle));
    if (!r) {
        ++g_callsWithoutRecorder;
        return;
    }
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    if (!sigismember(&mask, SIGINT) || !sigismember(&mask, SIGTERM) || sigismember(&mask, SIGBUS))
        r->wrongSignalMask.store(true);
    r->calls.fetch_add(1);
    r->inside.store(true);
    r->entered.store(true);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->values.push_back(value);
        r->handles.push_back(handle);
        r->threads.insert(std::this_thread::get_id());
    }
    switch (r->action.load()) {
    case Action::Record:
        break;
    case Action::Slow:
        std::this_thread::sleep_for(1ms);
        break;
    case Action::Hold:
        while (r->action.load() == Action::Hold)
            std::this_thread::sleep_for(1ms);
        break;
    case Action::DisarmInside:
        r->innerResult.store(api.intcout(handle, MULVO_INT_DISARM));
        break;
    case Action::CloseInside:
        r->innerResult.store(api.close(handle));
        break;
    case Action::ReadExtensionOnceTheCallerWaits:
        waitUntilTheCallerWaits(*r);
        r->extensionSeen.store(api.get_extension(handle));
        break;
    case Action::CloseOnceTheCallerWaits:
        waitUntilTheCallerWaits(*r);
        r->innerResult.store(api.close(handle));
        break;
    case Action::DisarmThenCloseWhileTheCallerArms:
        api.intcout(handle, MULVO_INT_DISARM);
        r->action.store(Action::Record);
        // A library whose connect waits for this thread is caught waiting; another one has
        // returned already.
        waitFor([&] { return r->caller.load() != 0; });
        waitFor([&] { return r->callerReturned.load() || isAsleep(r->caller.load()); });
        r->innerResult.store(api.close(handle));
        break;
    }
    r->inside.store(false);
    r->finished.store(true);
}

bool waitCalls(Recorder &r, uint32_t n)
{
    return waitFor([&] { return r.calls.load() >= n; }, 60s);
}

std::vector<uint32_t> oneTo(uint32_t n)
{
    std::vector<uint32_t> v;
    for (uint32_t i = 1; i <= n; ++i)
        v.push_back(i);
    return v;
}

} // namespace

std::unique_ptr<mulvo::Library> loadAdapterLibrary(const std::string &path)
{
    std::string error;
    auto library = mulvo::Library::loadFile(path, error);
    EXPECT_TRUE(library) << error;
    return library;
}

void AdapterContract::SetUp()
{
    rig = GetParam().make();
    ASSERT_TRUE(rig);
    api = &rig->api();
    g_api.store(api);
    g_callsWithoutRecorder = 0;
}

void AdapterContract::TearDown()
{
    if (!rig)
        return;
    for (uint32_t h : opened)
        api->close(h);
    EXPECT_EQ(g_callsWithoutRecorder.load(), 0u);
    rig->expectReleased();
    rig.reset();
}

uint32_t AdapterContract::openAdapter()
{
    const uint32_t h = api->open(0);
    if (h != 0)
        opened.push_back(h);
    return h;
}

TEST_P(AdapterContract, OutputAndInputBytesRoundTrip)
{
    const uint32_t h = openAdapter();
    ASSERT_NE(h, 0u);
    for (uint32_t value : {0xa5u, 0x5au, 0x01u, 0x80u, 0x1ffu, 0x00u}) {
        ASSERT_EQ(api->mbout(h, value), MULVO_OK);
        EXPECT_EQ(rig->output(), value & 0xff) << "after mbout " << value;
    }
    for (uint8_t value : {0x3c, 0x81, 0xff, 0x00}) {
        rig->setInput(value);
        uint32_t read = 0;
        ASSERT_EQ(api->mbin(h, &read), MULVO_OK);
        EXPECT_EQ(read, value);
    }
}

TEST_P(AdapterContract, ZeroStaleAndUnknownHandlesChangeNothing)
{
    int first = 0;
    int second = 0;
    const uint32_t stale = api->open(0);
    ASSERT_NE(stale, 0u);
    ASSERT_EQ(api->mbout(stale, 0x11), MULVO_OK);
    ASSERT_EQ(api->set_extension(stale, &first), MULVO_OK);
    ASSERT_EQ(api->close(stale), MULVO_OK);
    const uint32_t h = openAdapter();
    ASSERT_NE(h, 0u);
    EXPECT_NE(h, stale);
    ASSERT_EQ(api->mbout(h, 0x11), MULVO_OK);
    ASSERT_EQ(api->set_extension(h, &second), MULVO_OK);
    rig->setInput(0x77);

    for (uint32_t bad : {0u, stale, h ^ 0x10000u, h + 1, 0xffffffffu}) {
        SCOPED_TRACE(bad);
        uint32_t value = 0xdeadbeef;
        EXPECT_EQ(api->mbout(bad, 0x22), MULVO_E_HANDLE);
        EXPECT_EQ(api->mbin(bad, &value), MULVO_E_HANDLE);
        EXPECT_EQ(value, 0xdeadbeefu);
        EXPECT_EQ(api->mbin(bad, nullptr), MULVO_E_HANDLE);
        EXPECT_EQ(api->set_extension(bad, &first), MULVO_E_HANDLE);
        EXPECT_EQ(api->get_extension(bad), nullptr);
        EXPECT_EQ(api->connect(bad, recordingCallback), MULVO_E_HANDLE);
        EXPECT_EQ(api->intcout(bad, MULVO_INT_DISARM), MULVO_E_HANDLE);
        EXPECT_EQ(api->out2(bad, MULVO_PORT_ACK, 0), MULVO_E_HANDLE);
        EXPECT_EQ(api->close(bad), MULVO_E_HANDLE);
    }
    EXPECT_EQ(rig->output(), 0x11);
    EXPECT_EQ(api->get_extension(h), &second);

    // Null pointers and values out of range on a good handle.
    EXPECT_EQ(api->mbin(h, nullptr), MULVO_E_ARG);
    EXPECT_EQ(api->connect(h, nullptr), MULVO_E_ARG);
    EXPECT_EQ(api->intcout(h, 0), MULVO_E_ARG);
    EXPECT_EQ(api->out2(h, 7, 0), MULVO_E_ARG);
    EXPECT_EQ(api->out2(h, MULVO_PORT_ACK, 1), MULVO_E_ARG);
    EXPECT_EQ(api->out2(h, MULVO_PORT_ACK, 0), MULVO_OK);
    EXPECT_EQ(api->set_extension(h, nullptr), MULVO_OK);
    EXPECT_EQ(api->get_extension(h), nullptr);
    uint32_t value = 0;
    EXPECT_EQ(api->mbin(h, &value), MULVO_OK);
    EXPECT_EQ(value, 0x77u);
}

TEST_P(AdapterContract, HandlesAreNeverReusedAndManyMayBeOpen)
{
    std::set<uint32_t> seen;
    for (int i = 0; i < 3000; ++i) {
        const uint32_t h = api->open(0);
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(seen.insert(h).second) << "handle " << h << " came back";
        ASSERT_EQ(api->close(h), MULVO_OK);
    }
    uint32_t many[100];
    int records[100];
    for (int i = 0; i < 100; ++i) {
        many[i] = openAdapter();
        ASSERT_NE(many[i], 0u);
        ASSERT_TRUE(seen.insert(many[i]).second);
        ASSERT_EQ(api->set_extension(many[i], &records[i]), MULVO_OK);
    }
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(api->get_extension(many[i]), &records[i]);
    ASSERT_EQ(api->mbout(many[99], 0x42), MULVO_OK);
    EXPECT_EQ(rig->output(), 0x42) << "every handle drives the same lines";
    EXPECT_EQ(api->open(1), 0u) << "only adapter 0 exists";
}

TEST_P(AdapterContract, AHandleInAClosedOnesSlotStartsWithoutExtension)
{
    int record = 0;
    for (int i = 0; i < 300; ++i) { // more than there are slots, whichever one comes next
        const uint32_t h = api->open(0);
        ASSERT_NE(h, 0u);
        ASSERT_EQ(api->get_extension(h), nullptr) << "handle " << h;
        ASSERT_EQ(api->set_extension(h, &record), MULVO_OK);
        ASSERT_EQ(api->close(h), MULVO_OK);
    }
}

TEST_P(AdapterContract, CallbacksComeInOrderOnTheLibrarysThread)
{
    Recorder r;
    Recorder other;
    const uint32_t ha = openAdapter();
    const uint32_t hb = openAdapter();
    ASSERT_NE(ha, 0u);
    ASSERT_NE(hb, 0u);
    ASSERT_EQ(api->set_extension(ha, &r), MULVO_OK);
    ASSERT_EQ(api->set_extension(hb, &other), MULVO_OK);
    ASSERT_EQ(api->connect(ha, recordingCallback), MULVO_OK);
    ASSERT_EQ(api->connect(hb, recordingCallback), MULVO_OK);
    rig->raise(150);
    ASSERT_TRUE(waitCalls(r, 150));
    ASSERT_TRUE(waitCalls(other, 150));
    std::this_thread::sleep_for(20ms);

    // Every armed handle gets every interrupt, numbered on from 1.
    EXPECT_EQ(r.valuesCopy(), oneTo(150));
    EXPECT_EQ(other.valuesCopy(), oneTo(150));
    EXPECT_EQ(r.handles, std::vector<uint32_t>(150, ha));
    EXPECT_EQ(other.handles, std::vector<uint32_t>(150, hb));
    ASSERT_EQ(r.threads.size(), 1u);
    EXPECT_NE(*r.threads.begin(), std::this_thread::get_id());
    // A program's Ctrl+C handler must not run there, where no wait of the program ends by it.
    EXPECT_FALSE(r.wrongSignalMask.load());
}

TEST_P(AdapterContract, EveryInterruptCountsWhileTheCallbackIsSlow)
{
    Recorder r;
    r.action = Action::Hold;
    openArmed(r, recordingCallback);
    // A GPIO chip's kernel buffer holds 1024 edges: the rest are dropped and must still count.
    constexpr uint32_t kCount = 3000;
    rig->raise(1);
    ASSERT_TRUE(waitFor([&] { return r.inside.load(); }));
    rig->raise(kCount - 1);
    r.action = Action::Record;
    ASSERT_TRUE(waitCalls(r, kCount));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(r.valuesCopy(), oneTo(kCount));
}

// A flood that a slow callback cannot keep up with keeps the adapter's event buffer full:
// arming another handle meanwhile still returns.
TEST_P(AdapterContract, ArmingReturnsWhileAFloodOutrunsASlowCallback)
{
    Recorder slow;
    slow.action = Action::Slow;
    const uint32_t first = openArmed(slow, recordingCallback);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load())
            rig->raise(1);
    });
    ASSERT_TRUE(waitCalls(slow, 20));
    Recorder other;
    const uint32_t h = openAdapter();
    api->set_extension(h, &other);
    auto arming =
        std::async(std::launch::async, [&] { return api->connect(h, recordingCallback); });
    const bool returned = arming.wait_for(30s) == std::future_status::ready;
    stop = true;
    flood.join();
    EXPECT_TRUE(returned) << "mulvo_connect waited for the flood to end";
    EXPECT_EQ(arming.get(), MULVO_OK);
    // Before the recorders go: callbacks of the flood may still be due.
    EXPECT_EQ(api->close(h), MULVO_OK);
    EXPECT_EQ(api->close(first), MULVO_OK);
    opened.clear();
}

TEST_P(AdapterContract, NoCallbackAfterDisarmOrCloseReturnsEvenUnderAFlood)
{
    Recorder r;
    const uint32_t h = openAdapter();
    ASSERT_NE(h, 0u);
    api->set_extension(h, &r);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load())
            rig->raise(1);
    });

    for (int cycle = 0; cycle < 6; ++cycle) {
        const bool last = cycle == 5;
        ASSERT_EQ(api->connect(h, recordingCallback), MULVO_OK);
        const uint32_t before = r.calls.load();
        ASSERT_TRUE(waitCalls(r, before + 500)) << "cycle " << cycle;
        ASSERT_EQ(last ? api->close(h) : api->intcout(h, MULVO_INT_DISARM), MULVO_OK);
        EXPECT_FALSE(r.inside.load()) << "cycle " << cycle;
        const uint32_t after = r.calls.load();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(r.calls.load(), after) << "callback after disarm in cycle " << cycle;
    }
    opened.clear();
    stop = true;
    flood.join();

    // One handle sees the interrupts in rising order across its armings.
    const std::vector<uint32_t> values = r.valuesCopy();
    for (size_t i = 1; i < values.size(); ++i)
        ASSERT_LT(values[i - 1], values[i]) << "at " << i;
}

TEST_P(AdapterContract, DisarmFromInsideTheCallback)
{
    Recorder r;
    r.action = Action::DisarmInside;
    const uint32_t h = openArmed(r, recordingCallback);
    rig->raise(1);
    ASSERT_TRUE(waitFor([&] { return r.finished.load(); }));
    EXPECT_EQ(r.innerResult.load(), MULVO_OK);
    rig->raise(2);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.calls.load(), 1u);

    // Armed again, it gets what comes from then on, numbered on from the earlier ones.
    r.action = Action::Record;
    ASSERT_EQ(api->connect(h, recordingCallback), MULVO_OK);
    rig->raise(1);
    ASSERT_TRUE(waitCalls(r, 2));
    EXPECT_EQ(r.valuesCopy(), (std::vector<uint32_t>{1, 4}));
}

TEST_P(AdapterContract, CloseFromInsideTheCallback)
{
    Recorder r;
    r.action = Action::CloseInside;
    const uint32_t h = openArmed(r, recordingCallback);
    rig->raise(2);
    // Once closed, the callback's own end is the only thing left to wait for.
    ASSERT_TRUE(waitFor([&] { return r.finished.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.calls.load(), 1u);
    EXPECT_EQ(r.innerResult.load(), MULVO_OK);
    EXPECT_EQ(api->mbout(h, 1), MULVO_E_HANDLE);
    EXPECT_EQ(api->close(h), MULVO_E_HANDLE);
    opened.clear();
}

TEST_P(AdapterContract, DisarmWhileTheCallbackClosesTheHandle)
{
    Recorder r;
    r.action = Action::CloseOnceTheCallerWaits;
    const uint32_t h = openArmed(r, recordingCallback);
    rig->raise(1);
    ASSERT_TRUE(waitFor([&] { return r.entered.load(); }));
    // Waits for the callback, which closes the handle meanwhile: neither may wait for the other.
    r.caller = gettid();
    EXPECT_EQ(api->intcout(h, MULVO_INT_DISARM), MULVO_OK);
    EXPECT_TRUE(r.finished.load());
    EXPECT_EQ(r.innerResult.load(), MULVO_OK);
    EXPECT_EQ(api->close(h), MULVO_E_HANDLE);
    opened.clear();
}

TEST_P(AdapterContract, ArmingWhileTheCallbackClosesTheHandle)
{
    Recorder r;
    r.action = Action::DisarmThenCloseWhileTheCallerArms;
    const uint32_t h = openArmed(r, recordingCallback);
    rig->raise(1);
    ASSERT_TRUE(waitFor([&] { return r.entered.load() && r.action.load() == Action::Record; }));
    // Arming must not keep a hold on the handle while it waits for the delivery thread, whose
    // callback is closing that handle and waits for every hold to go.
    r.caller = gettid();
    const int32_t armed = api->connect(h, recordingCallback);
    r.callerReturned = true;
    EXPECT_TRUE(armed == MULVO_OK || armed == MULVO_E_HANDLE) << armed;
    ASSERT_TRUE(waitFor([&] { return r.finished.load(); }));
    EXPECT_EQ(r.innerResult.load(), MULVO_OK);
    EXPECT_EQ(api->close(h), MULVO_E_HANDLE);
    opened.clear();
}

TEST_P(AdapterContract, CloseRacingAnArmingLeavesNothingArmed)
{
    Recorder r;
    for (int i = 0; i < 200; ++i) {
        const uint32_t h = api->open(0);
        ASSERT_NE(h, 0u);
        api->set_extension(h, &r);
        std::thread arming([&] {
            while (api->connect(h, recordingCallback) == MULVO_OK) {
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(i % 50));
        ASSERT_EQ(api->close(h), MULVO_OK);
        arming.join();
    }
    // A handle opened in a slot one of them had is not armed until it is connected.
    const uint32_t h = openAdapter();
    api->set_extension(h, &r);
    const uint32_t calls = r.calls.load();
    rig->raise(3);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.calls.load(), calls);
}

TEST_P(AdapterContract, CloseWaitsForTheRunningCallbackWhichKeepsItsExtension)
{
    Recorder r;
    r.action = Action::ReadExtensionOnceTheCallerWaits;
    const uint32_t h = openArmed(r, recordingCallback);
    rig->raise(1);
    ASSERT_TRUE(waitFor([&] { return r.entered.load(); }));
    r.caller = gettid();
    EXPECT_EQ(api->close(h), MULVO_OK);
    EXPECT_TRUE(r.finished.load());
    EXPECT_EQ(r.extensionSeen.load(), &r);
    EXPECT_EQ(api->get_extension(h), nullptr);
    opened.clear();
}

} // namespace mulvotest
