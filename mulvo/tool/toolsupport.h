// What the command-line tools mulvo and mulvo-sim share: their messages and exit statuses,
// strict parsing of numbers, local time stamps, and a checked writer for standard output.
// No Qt.
#pragma once

#include "resulttext.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace mulvo::tool {

// Exit statuses of every tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // the adapter is absent, a call failed, output failed
inline constexpr int kExitUsage = 2;   // bad arguments; nothing was done

// Opens closed standard descriptors on /dev/null (first thing: call it before anything else),
// names the tool in its messages, and ignores SIGPIPE so that a closed pipe on standard output
// is a write error the tool reports instead of a silent death.
void initialise(const char *programName);
const char *programName();

// The options every tool has, as getopt_long (with opterr 0, ':' leading the short options,
// and -h/--help, -v/--version among them) returned them: --help writes `usage` and --version
// "NAME VERSION" to standard output; anything else is an unknown option or a missing value.
// Returns the exit status.
int commonOption(int option, const char *usage, char *const *argv);
// The command and its arguments after getopt_long has taken the options; false without one.
bool takeCommand(int argc, char **argv, std::string &command, std::vector<std::string> &arguments);
// "NAME: MESSAGE" and "Try 'NAME --help'." on standard error; returns kExitUsage.
int usageError(const std::string &message);
// "NAME: MESSAGE" on standard error; returns kExitFailure.
int failure(const std::string &message);
// The usage error for what getopt_long (with opterr 0 and ':' leading the short options)
// returned as '?' or ':'; `argv` and `optind` as getopt_long left them.
int optionError(int result, char *const *argv);

// A byte as a script writes it: 0x followed by one or two hex digits, 0b followed by one to
// eight binary digits, or decimal 0 to 255 without a leading zero (so that "010" is never taken
// for 10 when 8 was meant). No sign, no blanks.
std::optional<uint8_t> parseByte(std::string_view text);
// Decimal digits, or hexadecimal after 0x; from `min` to `max`.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t min, uint64_t max);
// Seconds as "2" or "0.25" (at most three decimals), in milliseconds, from 1 ms to `maxMs`.
std::optional<uint64_t> parseSeconds(std::string_view text, uint64_t maxMs);
// "VALUE must be ...: TEXT" for the refusals of the three above.
std::string byteRangeMessage(std::string_view what, std::string_view text);
std::string rangeMessage(std::string_view what, uint64_t min, uint64_t max, std::string_view text);

// What a negative MULVO_E_* result of an adapter call means, for messages.
using mulvo::resultText;

// Nanoseconds since the epoch (CLOCK_REALTIME).
int64_t realtimeNs();

// Local time stamps "YYYY-MM-DDTHH:MM:SS.fff" with 3 or 6 decimals. The calendar part is worked
// out once per second, so stamping a flood of events costs little.
class TimeStamper
{
public:
    explicit TimeStamper(int decimals) : decimals_(decimals) {}
    std::string_view format(int64_t realtimeNs);
    // The offset from UTC of the last stamp, "+0100".
    std::string_view utcOffset() const { return offset_; }

private:
    int decimals_;
    int64_t second_ = INT64_MIN;
    size_t prefixLength_ = 0;
    char offset_[8] = {};
    char stamp_[40] = {};
};

// Standard output written with write(2) instead of stdio, so that every failure is seen: a
// closed pipe or a full disk fails the command with a message instead of passing unnoticed.
// Text is buffered; a full pipe makes flush() wait, which is how a slow reader slows the
// writer down.
class Output
{
public:
    explicit Output(int fd = 1, size_t capacity = size_t(1) << 16);
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // True when the output is a pipe or a socket: a reader that falls behind makes writes
    // wait there, so a writer with other work polls before each writeSome().
    bool pipeLike() const { return pipeLike_; }

    // Buffered text beyond `capacity` is written at once by put(); SIZE_MAX leaves all
    // writing to the caller.
    void setCapacity(size_t capacity) { capacity_ = capacity; }
    // Reserves room for `bytes` of buffered text at once, so that text up to that much never
    // makes the buffer grow (and double) while it waits.
    void reserve(size_t bytes) { buffer_.reserve(bytes); }
    // Buffered text, what was written of it included until the buffer is compacted.
    size_t held() const { return buffer_.size(); }
    // True when a write now would wait for the reader: a pipe or socket that has no room.
    bool wouldWait() const;
    void put(std::string_view text);
    void putf(const char *format, ...) __attribute__((format(printf, 2, 3)));
    size_t pending() const { return buffer_.size() - written_; }

    // Writes what is buffered. False when a write failed (failed() is then true, and nothing
    // more is ever written), or when `stopFd` (when given) became readable while a reader held
    // the pipe full; the rest is then still buffered.
    bool flush(int stopFd = -1);
    // One write of at most `max` buffered bytes; false once a write failed.
    bool writeSome(size_t max);
    bool failed() const { return errno_ != 0; }
    // Drops what is buffered.
    void discard()
    {
        buffer_.clear();
        written_ = 0;
    }
    // Flushes, and turns a failed write into kExitFailure with its message; else `status`.
    int finish(int status);

private:
    int fd_;
    size_t capacity_;
    std::string buffer_;
    size_t written_ = 0; // of buffer_, by writeSome()
    int errno_ = 0;
    bool pipeLike_ = false;
};

class StopSignals;
// After a stop request (or the end of the work): writes out what `out` still holds. When the
// reader keeps it waiting, it says so on standard error, and a (further) stop request gives the
// rest up. `signalsAtStop`: the signals taken when the work stopped, before stop.clear().
// False when something was given up or the write failed.
bool flushAfterStop(Output &out, const StopSignals &stop, unsigned signalsAtStop);

// Stop requests by signal for the commands that wait: Ctrl+C, kill, and the timer of a time
// limit. The signals are blocked in the thread that makes this, and so in every thread started
// after it (make it before loading an adapter library), and a thread of its own takes them:
// nothing of the tool runs in a signal handler, and no signal is lost to a thread that is busy
// with something else. A wait that a signal must end polls fd(), or waits on what `alsoWake`
// sets off.
class StopSignals
{
public:
    StopSignals(std::initializer_list<int> signals, std::function<void()> alsoWake = {});
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Signals taken so far, and the first of them (0 before any).
    unsigned count() const { return count_.load(); }
    int first() const { return first_.load(); }
    // Readable once a signal has come since the last clear().
    int fd() const { return fd_; }
    void clear() const;
    // What a signal does: counts, makes fd() readable and calls `alsoWake`. The third signal
    // ends the process at once, by the signal's own default action: a tool that waits on
    // something that never returns (a library stuck in a call) can still be stopped without
    // SIGKILL.
    void take(int signal);
    // For work that must never be cut short, where the first signal already ends it soon.
    void neverEndOnThird() { endOnThird_.store(false); }

private:
    sigset_t set_{};
    std::function<void()> alsoWake_;
    std::atomic<unsigned> count_{0};
    std::atomic<int> first_{0};
    std::atomic<bool> endOnThird_{true};
    std::atomic<bool> quitting_{false};
    int fd_ = -1;
    std::thread thread_;
};

} // namespace mulvo::tool
