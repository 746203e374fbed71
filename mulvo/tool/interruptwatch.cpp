#include "interruptwatch.h"

#include "eventring.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace mulvo::tool {

namespace {

// A second of a flood of a million interrupts a second, should the printer fall that far
// behind; memory is used only as far as it does.
constexpr size_t kRingCapacity = size_t(1) << 20;
constexpr size_t kBatch = 4096;
constexpr size_t kLineMax = 128; // bytes of one line, at most

// Everything the callback touches. The callback only counts, stamps and queues: it never
// waits and makes no system call except the wake-up of a sleeping printer.
struct WatchState
{
    explicit WatchState(uint64_t limit) : limit(limit) {}

    const uint64_t limit;
    EventRing ring{kRingCapacity};

    alignas(64) std::atomic<uint64_t> taken{0}; // interrupts counted, at most `limit`
    std::atomic<uint64_t> unqueued{0};          // counted, but the ring was full
    std::atomic<uint64_t> lost{0};              // gaps in the library's numbering
    std::atomic<uint64_t> afterLimit{0};        // came after the limit, before disarming
    uint32_t lastNumber = 0;                    // the callback's own, calls come one by one
    bool haveLast = false;
    int64_t firstNs = 0; // read after disarming, when no callback runs
    int64_t lastNs = 0;

    alignas(64) std::atomic<uint32_t> printerAsleep{0};
    int wakeFd = -1; // eventfd the printer polls while asleep
};

std::atomic<WatchState *> g_state{nullptr};

void wake(WatchState &state)
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(state.wakeFd, &one, sizeof one);
}

extern "C" void onInterrupt(uint32_t, uint32_t number)
{
    WatchState *state = g_state.load(std::memory_order_acquire);
    if (!state)
        return;
    const int64_t now = realtimeNs();
    uint64_t taken = state->taken.load(std::memory_order_relaxed);
    do {
        if (taken >= state->limit) {
            state->afterLimit.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    } while (!state->taken.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
    if (state->haveLast && uint64_t(number) > uint64_t(state->lastNumber) + 1)
        state->lost.fetch_add(number - state->lastNumber - 1, std::memory_order_relaxed);
    state->lastNumber = number;
    state->haveLast = true;
    if (taken == 0)
        state->firstNs = now;
    state->lastNs = now;
    if (!state->ring.push({now, number}))
        state->unqueued.fetch_add(1, std::memory_order_relaxed);
    // Paired with the printer's fence before it sleeps: either it sees this event, or this
    // sees it asleep and wakes it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (state->printerAsleep.load(std::memory_order_relaxed))
        wake(*state);
}

class Printer
{
public:
    Printer(const Api &api, uint32_t handle, bool json, Output &out)
        : api_(api), handle_(handle), json_(json), out_(out)
    {}

    // Writes the lines of `n` events; false once reading the input failed.
    void print(const EventRing::Event *events, size_t n)
    {
        // The aftermath of the callbacks, on this thread: answer the adapter, read the input
        // once for all the interrupts handled together.
        api_.out2(handle_, MULVO_PORT_ACK, 0);
        uint32_t input = 0;
        const int32_t rc = api_.mbin(handle_, &input);
        if (rc < 0 && inputError_ == 0)
            inputError_ = rc;
        for (size_t i = 0; i < n; ++i)
            line(events[i], rc < 0 ? -1 : int(input & 0xff));
        printed_ += n;
    }

    // While no interrupt comes: a look at the input tells whether the adapter is still there.
    void checkPresent()
    {
        uint32_t input = 0;
        if (const int32_t rc = api_.mbin(handle_, &input); rc < 0 && inputError_ == 0)
            inputError_ = rc;
    }

    uint64_t printed() const { return printed_; }
    int32_t inputError() const { return inputError_; }

private:
    void line(const EventRing::Event &event, int input)
    {
        char text[kLineMax];
        char *p = text;
        auto append = [&p](std::string_view s) {
            for (char c : s)
                *p++ = c;
        };
        const std::string_view stamp = stamper_.format(event.realtimeNs);
        char number[16];
        const auto converted = std::to_chars(number, number + sizeof number, event.number);
        const std::string_view numberText(number, size_t(converted.ptr - number));
        static const char hex[] = "0123456789abcdef";
        if (json_) {
            append("{\"time\":\"");
            append(stamp);
            append(stamper_.utcOffset());
            append("\",\"irq\":");
            append(numberText);
            append(",\"input\":");
            if (input < 0) {
                append("null");
            } else {
                const auto done = std::to_chars(p, p + 4, input);
                p = done.ptr;
            }
            append("}\n");
        } else {
            append(stamp);
            append(" irq=");
            append(numberText);
            append(" input=");
            if (input < 0) {
                append("--");
            } else {
                *p++ = '0';
                *p++ = 'x';
                *p++ = hex[input >> 4];
                *p++ = hex[input & 15];
            }
            *p++ = '\n';
        }
        out_.put(std::string_view(text, size_t(p - text)));
    }

    const Api &api_;
    uint32_t handle_;
    bool json_;
    Output &out_;
    TimeStamper stamper_{6};
    uint64_t printed_ = 0;
    int32_t inputError_ = 0;
};

double secondsSince(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// What the printer does while interrupts come: take events from the ring, turn them into
// lines, and write the lines out as fast as standard output takes them. Lines wait in memory
// while a reader falls behind, so the ring keeps draining; only past kMaxPending does the ring
// fill up, and then the callback still counts what it cannot queue.
class WatchLoop
{
public:
    WatchLoop(WatchState &state, Printer &printer, Output &out, StopSignals &stop)
        : state_(state), printer_(printer), out_(out), stop_(stop), batch_(kBatch)
    {}

    void run()
    {
        while (stop_.count() == 0 && !out_.failed() && printer_.inputError() == 0 &&
               !limitReached()) {
            size_t n = 0;
            if (canTake()) {
                n = state_.ring.pop(batch_.data(), batch_.size());
                if (n > 0)
                    printer_.print(batch_.data(), n);
            }
            const bool writable = out_.pending() > 0 && (!out_.pipeLike() || canWrite(0));
            if (writable) {
                // A pipe that polled writable takes PIPE_BUF bytes without waiting; anything
                // else takes all (a signal still ends a wait there).
                if (out_.pipeLike())
                    out_.writeSome(PIPE_BUF);
                else
                    out_.flush(stop_.fd());
            }
            if (n > 0 || writable) {
                busy_ = busy_ || n > 0;
                continue;
            }
            if (busy_) {
                // Interrupts came a moment ago, more are likely: a short pause in which the
                // callback need not wake anyone lets them gather into one batch, instead of one
                // wake-up (a system call on the library's thread) per interrupt.
                busy_ = false;
                const timespec pause{0, kGatherNs};
                nanosleep(&pause, nullptr);
                continue;
            }
            sleep();
        }
    }

    // After disarming: every event the callback queued goes out.
    void finish()
    {
        // A reader that holds the pipe full gets the rest unless another signal says to give up.
        const unsigned signalsAtStop = stop_.count();
        stop_.clear();
        for (;;) {
            while (canTake()) {
                const size_t n = state_.ring.pop(batch_.data(), batch_.size());
                if (n == 0)
                    break;
                printer_.print(batch_.data(), n);
            }
            // More queued than memory holds for lines: what is held goes out first.
            if (state_.ring.empty() || !flushAfterStop(out_, stop_, signalsAtStop))
                break;
        }
        flushAfterStop(out_, stop_, signalsAtStop);
    }

    // The most lines kept in memory for a slow reader: the buffer is reserved at this size
    // once and never grows.
    static constexpr size_t kMaxHeld = size_t(64) << 20;

private:
    bool limitReached() const
    {
        return printer_.printed() + state_.unqueued.load() >= state_.limit;
    }

    bool canWrite(int timeoutMs)
    {
        pollfd fd{1, POLLOUT, 0};
        return poll(&fd, 1, timeoutMs) == 1;
    }

    // Until an event, a signal or (with lines waiting) room in the pipe.
    void sleep()
    {
        // With memory full of lines, only room in the pipe (or a signal) helps: the callback
        // need not wake the printer then.
        const bool taking = canTake();
        if (taking) {
            state_.printerAsleep.store(1, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
        if ((!taking || state_.ring.empty()) && !limitReached() && stop_.count() == 0) {
            pollfd fds[3] = {{state_.wakeFd, POLLIN, 0}, {stop_.fd(), POLLIN, 0}, {1, POLLOUT, 0}};
            // An adapter that goes away says so to no callback: it is looked at now and then.
            if (poll(fds, out_.pending() > 0 ? 3 : 2, kPresenceCheckMs) == 0)
                printer_.checkPresent();
        }
        state_.printerAsleep.store(0, std::memory_order_relaxed);
        uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t n = read(state_.wakeFd, &wakes, sizeof wakes);
    }

    // Room for another batch of lines (at most kLineMax bytes each) in the reserved buffer.
    // Text already written counts until the buffer is compacted, which writing does once it
    // is half the buffer.
    bool canTake() const { return out_.held() + kBatch * kLineMax <= kMaxHeld; }
    // How often a watch that sees no interrupt makes sure the adapter is still there.
    static constexpr int kPresenceCheckMs = 500;
    // How long the printer lets interrupts gather once they come (1 ms).
    static constexpr long kGatherNs = 1000000;

    WatchState &state_;
    Printer &printer_;
    Output &out_;
    StopSignals &stop_;
    std::vector<EventRing::Event> batch_;
    bool busy_ = false; // events since the last pause
};

} // namespace

int watchInterrupts(const Api &api, uint32_t handle, const WatchOptions &options, Output &out,
                    StopSignals &stop)
{
    auto state = std::make_unique<WatchState>(options.count ? options.count : UINT64_MAX);
    state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0)
        return failure(std::string("cannot make an event descriptor: ") + std::strerror(errno));
    if (!state->ring.valid())
        return failure(std::string("cannot map the event ring: ") + std::strerror(errno));
    struct FdCloser
    {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{state->wakeFd};
    out.setCapacity(SIZE_MAX);
    out.reserve(WatchLoop::kMaxHeld);
    Printer printer(api, handle, options.json, out);
    WatchLoop loop(*state, printer, out, stop);

    if (options.timeoutMs > 0) {
        itimerval timer{};
        timer.it_value.tv_sec = time_t(options.timeoutMs / 1000);
        timer.it_value.tv_usec = suseconds_t(options.timeoutMs % 1000) * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }

    g_state.store(state.get(), std::memory_order_release);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int32_t connected = api.connect(handle, &onInterrupt);
    if (connected < 0) {
        g_state.store(nullptr);
        return failure("cannot arm the interrupt: " + resultText(connected));
    }
    loop.run();

    // Disarming comes first, whatever ended the watch; once it returns no callback runs.
    const int32_t disarmed = api.intcout(handle, MULVO_INT_DISARM);
    const double seconds = secondsSince(start);
    g_state.store(nullptr);
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    loop.finish();

    const uint64_t taken = state->taken.load();
    const uint64_t unqueued = state->unqueued.load();
    std::string summary = std::to_string(taken) + (taken == 1 ? " interrupt" : " interrupts");
    char figures[160];
    std::snprintf(figures, sizeof figures, " in %.3f s, %llu lost", seconds,
                  static_cast<unsigned long long>(state->lost.load()));
    summary += figures;
    if (taken > 1) {
        // The rate while they came: from the first to the last, not from arming.
        const double span = double(state->lastNs - state->firstNs) / 1e9;
        std::snprintf(figures, sizeof figures, "; %.0f/s from the first to the last (%.3f s)",
                      span > 0 ? double(taken - 1) / span : 0.0, span);
        summary += figures;
    }
    if (unqueued > 0)
        summary += "; " + std::to_string(unqueued) + " not shown";
    if (const uint64_t after = state->afterLimit.load())
        summary += " (" + std::to_string(after) + " more came before the interrupt was disarmed)";
    std::fprintf(stderr, "%s: %s\n", programName(), summary.c_str());

    if (disarmed < 0)
        return failure("cannot disarm the interrupt: " + resultText(disarmed));
    if (printer.inputError() == MULVO_E_ABSENT)
        return failure("adapter " + std::to_string(options.device) + " is absent");
    if (printer.inputError() < 0)
        return failure("cannot read the input: " + resultText(printer.inputError()));
    if (unqueued > 0)
        return failure(std::to_string(unqueued) +
                       " interrupts came faster than standard output took their lines; their "
                       "lines are missing");
    // With a count, running out of time is a failure; without one it is how the watch ends.
    if (options.count > 0 && taken < options.count && stop.first() == SIGALRM) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%llu.%03llu",
                      static_cast<unsigned long long>(options.timeoutMs / 1000),
                      static_cast<unsigned long long>(options.timeoutMs % 1000));
        std::string seconds(limit);
        while (seconds.back() == '0')
            seconds.pop_back();
        if (seconds.back() == '.')
            seconds.pop_back();
        return failure("timed out after " + seconds + " s: " + std::to_string(taken) + " of " +
                       std::to_string(options.count) + " interrupts");
    }
    return kExitOk;
}

} // namespace mulvo::tool
