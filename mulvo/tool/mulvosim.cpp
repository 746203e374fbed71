// mulvo-sim: drives the virtual adapter from a terminal while programs use it.
// Exit status: 0 done, 1 the adapter state could not be used or output failed, 2 bad arguments.
#include "simsegment.h"
#include "toolsupport.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <getopt.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

using mulvo::sim::SimSegment;
using mulvo::tool::failure;
using mulvo::tool::Output;
using mulvo::tool::StopSignals;
using mulvo::tool::usageError;

constexpr uint64_t kMaxIrqCount = 100000000;
constexpr uint64_t kMaxIntervalMs = 3600000;
// How often watch looks whether the segment is still there while nothing changes.
constexpr int kIntactCheckMs = 1000;
// While interrupts keep coming, watch shows their count at most this often.
constexpr long kIrqLinePeriodNs = 100000000;

const char kUsage[] =
    "Usage: mulvo-sim [--instance NAME] COMMAND [ARGUMENTS]\n"
    "Drives the virtual DOV-RAX adapter that programs reach through libmulvo.\n"
    "\n"
    "Commands:\n"
    "  status                       print the adapter state, one key=value per line\n"
    "  input VALUE                  set the input lines to VALUE (0..255, 0x00..0xff or\n"
    "                               0b0..0b11111111)\n"
    "  irq [COUNT] [--interval MS]  raise COUNT interrupts (1..100000000, default 1), MS\n"
    "                               milliseconds apart (default 0: as fast as possible)\n"
    "  plug                         plug the adapter in\n"
    "  unplug                       pull the adapter out\n"
    "  loopback on|off              read the output byte back as input, or the input lines\n"
    "  watch                        print every change of the output byte, the input lines,\n"
    "                               the plug state, loopback and the interrupt count with a\n"
    "                               time stamp, until interrupted\n"
    "  reset                        plugged in, bytes 0, loopback off, counters 0\n"
    "\n"
    "Options (before or after the command):\n"
    "  -i, --instance NAME          use adapter instance NAME (1 to 64 characters of\n"
    "                               A-Z a-z 0-9 _ . -); default: $MULVO_SIM_INSTANCE, else\n"
    "                               \"default\"\n"
    "  -h, --help                   show this text\n"
    "  -v, --version                show the version\n"
    "\n"
    "status and watch need an instance that exists; the other commands create it, and say so.\n"
    "Exit status: 0 done, 1 the adapter state could not be used or output failed, 2 bad\n"
    "arguments.\n";

struct Options
{
    std::string instance;
    bool instanceGiven = false;
    std::optional<std::string> interval;
    std::string command;
    std::vector<std::string> arguments;
};

// A segment removed or cut short while in use is an adapter that is gone.
int segmentGone(const SimSegment &segment)
{
    return failure("shared memory segment " + segment.path() +
                   " was removed or cut short: the virtual adapter is gone");
}

int runStatus(SimSegment &segment, Output &out)
{
    const SimSegment::Status s = segment.status();
    out.putf("present=%d\noutput=0x%02x\ninput=0x%02x\nloopback=%s\narmed=%u\n"
             "raised=%llu\ndelivered=%llu\nmissed=%llu\nhandles=%u\n",
             s.present ? 1 : 0, s.output, s.input, s.loopback ? "on" : "off", s.armed,
             static_cast<unsigned long long>(s.raised),
             static_cast<unsigned long long>(s.delivered),
             static_cast<unsigned long long>(s.missed), s.handles);
    return 0;
}

void addMilliseconds(timespec &t, uint64_t ms)
{
    t.tv_sec += time_t(ms / 1000);
    t.tv_nsec += long(ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_nsec -= 1000000000;
        ++t.tv_sec;
    }
}

// Until the monotonic clock reaches `until`, or a stop request comes.
void sleepUntil(const timespec &until, const StopSignals &stop)
{
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left{until.tv_sec - now.tv_sec, until.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000;
            --left.tv_sec;
        }
        if (left.tv_sec < 0 || (left.tv_sec == 0 && left.tv_nsec == 0) || stop.count() > 0)
            return;
        pollfd fd{stop.fd(), POLLIN, 0};
        ppoll(&fd, 1, &left, nullptr);
    }
}

int runIrq(SimSegment &segment, uint64_t count, uint64_t intervalMs)
{
    // A signal that would end the tool is taken by a thread of its own and stops the raising
    // between two raises, never within one: a raise counts the interrupt and, with nothing
    // armed, its miss, and the counters must add up afterwards.
    StopSignals stop(
        {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF});
    stop.neverEndOnThird();
    // A process that died with handles armed would make every interrupt look delivered.
    segment.reapDeadProcesses();
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    auto raised = [count](uint64_t n) {
        return std::to_string(n) + " of " + std::to_string(count) + " interrupts raised";
    };
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0 && intervalMs > 0) {
            addMilliseconds(next, intervalMs);
            sleepUntil(next, stop);
        }
        if (stop.count() > 0)
            return failure("interrupted; " + raised(i));
        if (!segment.raise(1)) {
            if (!segment.intact())
                return segmentGone(segment);
            return failure("the adapter is unplugged; " + raised(i));
        }
    }
    return 0;
}

// What watch shows besides the output byte, as last shown.
struct Shown
{
    bool present = false;
    uint8_t input = 0;
    bool loopback = false;
    uint64_t raised = 0;

    static Shown of(const SimSegment &segment)
    {
        return {segment.present(), segment.inputLines(), segment.loopback(),
                segment.raisedSequence() - segment.raisedBase()};
    }
};

class Watcher
{
public:
    Watcher(SimSegment &segment, Output &out, const StopSignals &stop)
        : segment_(segment), out_(out), stop_(stop)
    {}

    int run()
    {
        seenWrite_ = segment_.outputSequence();
        lastOutput_ = segment_.output();
        shown_ = Shown::of(segment_);
        int status = 0;
        while (stop_.count() == 0 && !out_.failed()) {
            if (!segment_.intact()) {
                status = segmentGone(segment_);
                break;
            }
            const uint32_t word = segment_.beginWatch();
            bool irqShown = false;
            const bool changed = showChanges(irqShown);
            // Removing or cutting the segment short is no change that wakes anyone: it is
            // looked for once a second.
            if (!changed && stop_.count() == 0)
                segment_.waitForChange(word, kIntactCheckMs);
            segment_.endWatch();
            if (changed && !out_.flush(stop_.fd()))
                break;
            // A flood of interrupts gives a few lines a second, not one per wake-up. Writes of
            // the output byte are kept in the segment meanwhile, with their times.
            if (irqShown) {
                const timespec pause{0, kIrqLinePeriodNs};
                nanosleep(&pause, nullptr);
            }
        }
        // Stopped by a signal while a reader held the pipe full: what is left goes out unless
        // another signal says to give up.
        const unsigned signalsAtStop = stop_.count();
        stop_.clear();
        mulvo::tool::flushAfterStop(out_, stop_, signalsAtStop);
        return status;
    }

private:
    void line(int64_t realtimeNs, const char *format, ...) __attribute__((format(printf, 3, 4)))
    {
        char text[64];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        out_.put(stamper_.format(realtimeNs));
        out_.put(" ");
        out_.put(text);
        out_.put("\n");
    }

    bool showChanges(bool &irqShown)
    {
        bool changed = showOutputWrites();
        const Shown now = Shown::of(segment_);
        const int64_t at = mulvo::tool::realtimeNs();
        if (now.present != shown_.present)
            line(at, "present=%d", now.present ? 1 : 0);
        if (now.input != shown_.input)
            line(at, "input=0x%02x", now.input);
        if (now.loopback != shown_.loopback)
            line(at, "loopback=%s", now.loopback ? "on" : "off");
        if (now.raised != shown_.raised) {
            line(at, "raised=%llu", static_cast<unsigned long long>(now.raised));
            irqShown = true;
        }
        changed = changed || now.present != shown_.present || now.input != shown_.input ||
                  now.loopback != shown_.loopback || irqShown;
        shown_ = now;
        return changed;
    }

    bool showOutputWrites()
    {
        const uint64_t current = segment_.outputSequence();
        uint64_t lost = 0;
        bool shown = false;
        for (uint64_t sequence = seenWrite_ + 1; sequence <= current; ++sequence) {
            SimSegment::OutputWrite write;
            auto lookup = segment_.outputWrite(sequence, write);
            // A writer records its write just after making it; a writer that died in between
            // leaves the record missing for good.
            const timespec moment{0, 1000000};
            for (int tries = 0; lookup == SimSegment::WriteLookup::NotYetWritten && tries < 50;
                 ++tries) {
                nanosleep(&moment, nullptr);
                lookup = segment_.outputWrite(sequence, write);
            }
            if (lookup != SimSegment::WriteLookup::Found) {
                ++lost;
                continue;
            }
            if (write.value != lastOutput_) {
                line(write.realtimeNs, "output=0x%02x", write.value);
                lastOutput_ = write.value;
                shown = true;
            }
        }
        if (lost > 0)
            std::fprintf(stderr,
                         "mulvo-sim: %llu writes of the output byte came too fast to show\n",
                         static_cast<unsigned long long>(lost));
        seenWrite_ = current;
        return shown;
    }

    SimSegment &segment_;
    Output &out_;
    const StopSignals &stop_;
    mulvo::tool::TimeStamper stamper_{3};
    uint64_t seenWrite_ = 0;
    uint8_t lastOutput_ = 0;
    Shown shown_;
};

int runWatch(SimSegment &segment, Output &out)
{
    // A signal wakes the watcher from its wait for a change.
    StopSignals stop({SIGINT, SIGTERM, SIGHUP}, [&segment] { segment.notifyChange(); });
    return Watcher(segment, out, stop).run();
}

int runCommand(const Options &options)
{
    const std::string &command = options.command;
    const std::vector<std::string> &args = options.arguments;
    auto expectArguments = [&](size_t n) {
        return args.size() == n
                   ? 0
                   : usageError("'" + command + "' takes " +
                                (n == 0 ? std::string("no argument")
                                        : std::to_string(n) + " argument" + (n > 1 ? "s" : "")));
    };
    if (options.interval && command != "irq")
        return usageError("--interval goes only with 'irq'");

    // Every argument is checked before the segment is touched, so a bad command changes nothing.
    std::function<int(SimSegment &, Output &)> action;
    bool mustExist = false;
    if (command == "status" || command == "plug" || command == "unplug" || command == "reset" ||
        command == "watch") {
        if (int rc = expectArguments(0))
            return rc;
        if (command == "status")
            action = runStatus, mustExist = true;
        else if (command == "plug")
            action = [](SimSegment &s, Output &) { return s.setPresent(true), 0; };
        else if (command == "unplug")
            action = [](SimSegment &s, Output &) { return s.setPresent(false), 0; };
        else if (command == "reset")
            action = [](SimSegment &s, Output &) { return s.reset(), 0; };
        else
            action = runWatch, mustExist = true;
    } else if (command == "input") {
        if (int rc = expectArguments(1))
            return rc;
        const auto value = mulvo::tool::parseByte(args[0]);
        if (!value)
            return usageError(mulvo::tool::byteRangeMessage("input value", args[0]));
        action = [v = *value](SimSegment &s, Output &) { return s.setInput(v), 0; };
    } else if (command == "loopback") {
        if (int rc = expectArguments(1))
            return rc;
        if (args[0] != "on" && args[0] != "off")
            return usageError("loopback takes 'on' or 'off': " + args[0]);
        const bool on = args[0] == "on";
        action = [on](SimSegment &s, Output &) { return s.setLoopback(on), 0; };
    } else if (command == "irq") {
        if (args.size() > 1)
            return usageError("'irq' takes at most one COUNT");
        uint64_t count = 1;
        uint64_t intervalMs = 0;
        if (!args.empty()) {
            const auto parsed = mulvo::tool::parseNumber(args[0], 1, kMaxIrqCount);
            if (!parsed)
                return usageError(
                    mulvo::tool::rangeMessage("interrupt count", 1, kMaxIrqCount, args[0]));
            count = *parsed;
        }
        if (options.interval) {
            const auto parsed = mulvo::tool::parseNumber(*options.interval, 0, kMaxIntervalMs);
            if (!parsed)
                return usageError(
                    mulvo::tool::rangeMessage("--interval", 0, kMaxIntervalMs, *options.interval));
            intervalMs = *parsed;
        }
        action = [count, intervalMs](SimSegment &s, Output &) {
            return runIrq(s, count, intervalMs);
        };
    } else {
        return usageError("unknown command: " + command);
    }

    std::string error;
    bool created = false;
    auto segment = SimSegment::open(options.instance, error,
                                    mustExist ? SimSegment::OpenMode::ExistingOnly
                                              : SimSegment::OpenMode::CreateIfMissing,
                                    &created);
    if (!segment)
        return failure(error);
    // A mistyped instance name must not pass for the adapter a program uses.
    if (created)
        std::fprintf(stderr, "mulvo-sim: created virtual adapter '%s'; no program uses it yet\n",
                     options.instance.c_str());
    Output out;
    int status = action(*segment, out);
    if (status == 0 && !segment->intact())
        status = segmentGone(*segment);
    return out.finish(status);
}

} // namespace

int main(int argc, char **argv)
{
    mulvo::tool::initialise("mulvo-sim");
    static const option longOptions[] = {
        {"instance", required_argument, nullptr, 'i'},
        {"interval", required_argument, nullptr, 'I'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":i:hv", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'i':
            options.instance = optarg;
            options.instanceGiven = true;
            if (!SimSegment::isValidInstance(options.instance))
                return usageError("not a valid instance name (1 to 64 characters of "
                                  "A-Z a-z 0-9 _ . -): '" +
                                  options.instance + "'");
            break;
        case 'I':
            options.interval = optarg;
            break;
        default:
            return mulvo::tool::commonOption(c, kUsage, argv);
        }
    }
    if (!mulvo::tool::takeCommand(argc, argv, options.command, options.arguments))
        return usageError("no command given");
    if (!options.instanceGiven) {
        std::string error;
        if (!SimSegment::instanceFromEnvironment(options.instance, error))
            return usageError(error);
    }
    return runCommand(options);
}
