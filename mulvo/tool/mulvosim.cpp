// mulvo-sim: drives the virtual adapter from a terminal while programs use it.
// Exit status: 0 done, 1 the adapter state could not be used, 2 bad arguments.
#include "simsegment.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using mulvo::sim::SimSegment;

constexpr uint64_t kMaxIrqCount = 100000000;
constexpr uint64_t kMaxIntervalMs = 3600000;

const char kUsage[] =
    "Usage: mulvo-sim [--instance NAME] COMMAND [ARGUMENTS]\n"
    "Drives the virtual DOV-RAX adapter that programs reach through libmulvo.\n"
    "\n"
    "Commands:\n"
    "  status                       print the adapter state, one key=value per line\n"
    "  input VALUE                  set the input lines to VALUE (0..255, decimal or 0x hex)\n"
    "  irq [COUNT] [--interval MS]  raise COUNT interrupts (1..100000000, default 1), MS\n"
    "                               milliseconds apart (default 0: as fast as possible)\n"
    "  plug                         plug the adapter in\n"
    "  unplug                       pull the adapter out\n"
    "  loopback on|off              read the output byte back as input, or the input lines\n"
    "  watch                        print every change of the output byte with a time stamp,\n"
    "                               until interrupted\n"
    "  reset                        plugged in, bytes 0, loopback off, counters 0\n"
    "\n"
    "Options:\n"
    "  --instance NAME              use adapter instance NAME (1 to 64 characters of\n"
    "                               A-Z a-z 0-9 _ . -); default: $MULVO_SIM_INSTANCE, else\n"
    "                               \"default\"\n"
    "  --help                       show this text\n"
    "\n"
    "Exit status: 0 done, 1 the adapter state could not be used, 2 bad arguments.\n";

volatile std::sig_atomic_t g_stopRequested = 0;

void requestStop(int)
{
    g_stopRequested = 1;
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "mulvo-sim: %s\nTry 'mulvo-sim --help'.\n", message.c_str());
    return 2;
}

int failure(const std::string &message)
{
    std::fprintf(stderr, "mulvo-sim: %s\n", message.c_str());
    return 1;
}

// Digits only (decimal, or hexadecimal after 0x): no sign, no blanks, no wrap-around.
bool parseNumber(std::string_view text, uint64_t max, uint64_t &value)
{
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        if (value > (max - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

std::string describeRange(std::string_view what, uint64_t min, uint64_t max, std::string_view text)
{
    return std::string(what) + " must be a number from " + std::to_string(min) + " to " +
           std::to_string(max) + ": " + std::string(text);
}

struct Options
{
    std::string instance;
    bool instanceGiven = false;
    std::string command;
    std::vector<std::string> arguments;
};

std::unique_ptr<SimSegment> openSegment(const Options &options, int &status)
{
    std::string error;
    auto segment = SimSegment::open(options.instance, error);
    status = segment ? 0 : failure(error);
    return segment;
}

// A segment removed or cut short while in use is an adapter that is gone.
int segmentGone(const SimSegment &segment)
{
    return failure("shared memory segment " + segment.path() +
                   " was removed or cut short: the virtual adapter is gone");
}

int runStatus(SimSegment &segment)
{
    const SimSegment::Status s = segment.status();
    std::printf("present=%d\noutput=0x%02x\ninput=0x%02x\nloopback=%s\narmed=%u\n"
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

int runIrq(SimSegment &segment, uint64_t count, uint64_t intervalMs)
{
    // A process that died with handles armed would make every interrupt look delivered.
    segment.reapDeadProcesses();
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0 && intervalMs > 0) {
            addMilliseconds(next, intervalMs);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
        }
        if (!segment.raise(1)) {
            if (!segment.intact())
                return segmentGone(segment);
            return failure("the adapter is unplugged; " + std::to_string(i) + " of " +
                           std::to_string(count) + " interrupts raised");
        }
    }
    return 0;
}

void printChange(const SimSegment::OutputWrite &write)
{
    const time_t seconds = time_t(write.realtimeNs / 1000000000);
    const int millis = int((write.realtimeNs / 1000000) % 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::printf("%s.%03d output=0x%02x\n", stamp, millis, write.value);
    std::fflush(stdout);
}

int runWatch(SimSegment &segment)
{
    struct sigaction action
    {
    };
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    uint64_t seen = segment.outputSequence();
    uint8_t last = segment.output();
    const timespec pollPeriod{0, 1000000};
    while (!g_stopRequested) {
        if (!segment.intact())
            return segmentGone(segment);
        const uint64_t current = segment.outputSequence();
        uint64_t lost = 0;
        for (uint64_t sequence = seen + 1; sequence <= current; ++sequence) {
            SimSegment::OutputWrite write;
            auto lookup = segment.outputWrite(sequence, write);
            // A writer records its write just after making it; a writer that died in between
            // leaves the record missing for good.
            for (int tries = 0; lookup == SimSegment::WriteLookup::NotYetWritten && tries < 50;
                 ++tries) {
                nanosleep(&pollPeriod, nullptr);
                lookup = segment.outputWrite(sequence, write);
            }
            if (lookup != SimSegment::WriteLookup::Found) {
                ++lost;
                continue;
            }
            if (write.value != last) {
                printChange(write);
                last = write.value;
            }
        }
        if (lost > 0)
            std::fprintf(stderr,
                         "mulvo-sim: %llu writes of the output byte came too fast to show\n",
                         static_cast<unsigned long long>(lost));
        seen = current;
        nanosleep(&pollPeriod, nullptr);
    }
    return 0;
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

    // Every argument is checked before the segment is touched, so a bad command changes nothing.
    std::function<int(SimSegment &)> action;
    if (command == "status" || command == "plug" || command == "unplug" || command == "reset" ||
        command == "watch") {
        if (int rc = expectArguments(0))
            return rc;
        if (command == "status")
            action = runStatus;
        else if (command == "plug")
            action = [](SimSegment &s) { return s.setPresent(true), 0; };
        else if (command == "unplug")
            action = [](SimSegment &s) { return s.setPresent(false), 0; };
        else if (command == "reset")
            action = [](SimSegment &s) { return s.reset(), 0; };
        else
            action = runWatch;
    } else if (command == "input") {
        if (int rc = expectArguments(1))
            return rc;
        uint64_t value = 0;
        if (!parseNumber(args[0], 255, value))
            return usageError(describeRange("input value", 0, 255, args[0]));
        action = [value](SimSegment &s) { return s.setInput(uint8_t(value)), 0; };
    } else if (command == "loopback") {
        if (int rc = expectArguments(1))
            return rc;
        if (args[0] != "on" && args[0] != "off")
            return usageError("loopback takes 'on' or 'off': " + args[0]);
        const bool on = args[0] == "on";
        action = [on](SimSegment &s) { return s.setLoopback(on), 0; };
    } else if (command == "irq") {
        uint64_t count = 1;
        uint64_t intervalMs = 0;
        bool countGiven = false;
        for (size_t i = 0; i < args.size(); ++i) {
            std::string_view arg = args[i];
            std::string_view interval;
            if (arg == "--interval") {
                if (i + 1 >= args.size())
                    return usageError("--interval needs a number of milliseconds");
                interval = args[++i];
            } else if (arg.substr(0, 11) == "--interval=") {
                interval = arg.substr(11);
            } else if (!arg.empty() && arg[0] == '-' && arg.size() > 1 &&
                       !(arg[1] >= '0' && arg[1] <= '9')) {
                return usageError("unknown option for irq: " + std::string(arg));
            } else {
                if (countGiven)
                    return usageError("'irq' takes at most one COUNT");
                if (!parseNumber(arg, kMaxIrqCount, count) || count == 0)
                    return usageError(describeRange("interrupt count", 1, kMaxIrqCount, arg));
                countGiven = true;
                continue;
            }
            if (!parseNumber(interval, kMaxIntervalMs, intervalMs))
                return usageError(describeRange("--interval", 0, kMaxIntervalMs, interval));
        }
        action = [count, intervalMs](SimSegment &s) { return runIrq(s, count, intervalMs); };
    } else {
        return usageError("unknown command: " + command);
    }

    int status = 0;
    auto segment = openSegment(options, status);
    if (!segment)
        return status;
    status = action(*segment);
    if (status == 0 && !segment->intact())
        return segmentGone(*segment);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    bool commandSeen = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (commandSeen) {
            options.arguments.emplace_back(arg);
            continue;
        }
        if (arg == "--instance" || arg.substr(0, 11) == "--instance=") {
            if (arg == "--instance") {
                if (i + 1 >= argc)
                    return usageError("--instance needs a name");
                options.instance = argv[++i];
            } else {
                options.instance = std::string(arg.substr(11));
            }
            options.instanceGiven = true;
            if (!SimSegment::isValidInstance(options.instance))
                return usageError("not a valid instance name (1 to 64 characters of "
                                  "A-Z a-z 0-9 _ . -): " +
                                  options.instance);
        } else if (!arg.empty() && arg[0] == '-') {
            return usageError("unknown option: " + std::string(arg));
        } else {
            options.command = std::string(arg);
            commandSeen = true;
        }
    }
    if (!commandSeen)
        return usageError("no command given");
    if (!options.instanceGiven) {
        std::string error;
        if (!SimSegment::instanceFromEnvironment(options.instance, error))
            return usageError(error);
    }
    return runCommand(options);
}
