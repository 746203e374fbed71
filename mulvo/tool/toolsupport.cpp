#include "toolsupport.h"

#include "mulvolib.h"
#include "standardfds.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvo::tool {

namespace {

const char *g_programName = "mulvo";

bool isDigitOf(char c, unsigned base, unsigned &digit)
{
    if (c >= '0' && c <= '9')
        digit = unsigned(c - '0');
    else if (c >= 'a' && c <= 'f')
        digit = unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        digit = unsigned(c - 'A' + 10);
    else
        return false;
    return digit < base;
}

// Digits of `base` only, at most `maxDigits` of them, no more than `max`.
std::optional<uint64_t> digits(std::string_view text, unsigned base, size_t maxDigits, uint64_t max)
{
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (!isDigitOf(c, base, digit) || value > (max - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

bool hasPrefix(std::string_view text, char letter)
{
    return text.size() >= 2 && text[0] == '0' && (text[1] == letter || text[1] == letter - 32);
}

} // namespace

void initialise(const char *programName)
{
    dovrax::openStandardDescriptors();
    g_programName = programName;
    std::signal(SIGPIPE, SIG_IGN);
}

const char *programName()
{
    return g_programName;
}

int commonOption(int option, const char *usage, char *const *argv)
{
    if (option != 'h' && option != 'v')
        return optionError(option, argv);
    Output out;
    if (option == 'h')
        out.put(usage);
    else
        out.putf("%s %s\n", g_programName, MULVO_TOOL_VERSION);
    return out.finish(kExitOk);
}

bool takeCommand(int argc, char **argv, std::string &command, std::vector<std::string> &arguments)
{
    if (optind >= argc)
        return false;
    command = argv[optind];
    arguments.assign(argv + optind + 1, argv + argc);
    return true;
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", g_programName, message.c_str(),
                 g_programName);
    return kExitUsage;
}

int failure(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", g_programName, message.c_str());
    return kExitFailure;
}

int optionError(int result, char *const *argv)
{
    // getopt_long has moved past the option it refused; a long option's text is still there.
    const char *text = optind > 0 ? argv[optind - 1] : "";
    const bool isLong = std::strncmp(text, "--", 2) == 0;
    std::string option = isLong ? std::string(text) : std::string("-") + char(optopt);
    if (isLong && option.find('=') != std::string::npos)
        option.resize(option.find('='));
    if (result == ':')
        return usageError("option " + option + " needs a value");
    return usageError("unknown option: " + option);
}

std::optional<uint8_t> parseByte(std::string_view text)
{
    std::optional<uint64_t> value;
    if (hasPrefix(text, 'x'))
        value = digits(text.substr(2), 16, 2, 0xff);
    else if (hasPrefix(text, 'b'))
        value = digits(text.substr(2), 2, 8, 0xff);
    else if (text.size() > 1 && text[0] == '0')
        return std::nullopt;
    else
        value = digits(text, 10, 3, 255);
    if (!value)
        return std::nullopt;
    return uint8_t(*value);
}

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t min, uint64_t max)
{
    const auto value =
        hasPrefix(text, 'x') ? digits(text.substr(2), 16, 16, max) : digits(text, 10, 20, max);
    if (!value || *value < min)
        return std::nullopt;
    return value;
}

std::optional<uint64_t> parseSeconds(std::string_view text, uint64_t maxMs)
{
    const size_t dot = text.find('.');
    const auto whole = digits(text.substr(0, dot), 10, 12, maxMs / 1000);
    if (!whole)
        return std::nullopt;
    uint64_t ms = *whole * 1000;
    if (dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        const auto part = digits(fraction, 10, 3, 999);
        if (!part)
            return std::nullopt;
        uint64_t scaled = *part;
        for (size_t i = fraction.size(); i < 3; ++i)
            scaled *= 10;
        ms += scaled;
    }
    if (ms == 0 || ms > maxMs)
        return std::nullopt;
    return ms;
}

std::string byteRangeMessage(std::string_view what, std::string_view text)
{
    return std::string(what) + " must be 0 to 255, 0x00 to 0xff or 0b0 to 0b11111111: '" +
           std::string(text) + "'";
}

std::string rangeMessage(std::string_view what, uint64_t min, uint64_t max, std::string_view text)
{
    return std::string(what) + " must be a number from " + std::to_string(min) + " to " +
           std::to_string(max) + ": '" + std::string(text) + "'";
}

int64_t realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string_view TimeStamper::format(int64_t ns)
{
    int64_t second = ns / 1000000000;
    int64_t rest = ns % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --second;
    }
    if (second != second_) {
        second_ = second;
        const time_t t = time_t(second);
        tm local{};
        localtime_r(&t, &local);
        prefixLength_ = std::strftime(stamp_, sizeof stamp_ - 8, "%Y-%m-%dT%H:%M:%S", &local);
        stamp_[prefixLength_] = '.';
        std::strftime(offset_, sizeof offset_, "%z", &local);
    }
    // Digits by hand behind the calendar part kept in stamp_: this runs once per line of a
    // flood.
    auto fraction = unsigned(decimals_ == 6 ? rest / 1000 : rest / 1000000);
    char *digits = stamp_ + prefixLength_ + 1;
    for (int i = decimals_ - 1; i >= 0; --i) {
        digits[i] = char('0' + fraction % 10);
        fraction /= 10;
    }
    return std::string_view(stamp_, prefixLength_ + 1 + size_t(decimals_));
}

Output::Output(int fd, size_t capacity) : fd_(fd), capacity_(capacity)
{
    buffer_.reserve(capacity);
    struct stat st
    {
    };
    pipeLike_ = fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

void Output::put(std::string_view text)
{
    if (failed())
        return;
    buffer_.append(text);
    if (buffer_.size() >= capacity_)
        flush();
}

void Output::putf(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0)
        put(std::string_view(line, std::min(size_t(n), sizeof line - 1)));
}

bool Output::writeSome(size_t max)
{
    if (failed() || pending() == 0)
        return !failed();
    const ssize_t n = ::write(fd_, buffer_.data() + written_, std::min(max, pending()));
    if (n > 0)
        written_ += size_t(n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        errno_ = n < 0 ? errno : EIO;
    if (failed() || pending() == 0) {
        discard();
    } else if (written_ > (size_t(1) << 20) && written_ > buffer_.size() / 2) {
        // Reclaimed in large steps, so that a reader which never quite catches up costs
        // neither memory without bound nor a copy per write.
        buffer_.erase(0, written_);
        written_ = 0;
    }
    return !failed();
}

bool Output::flush(int stopFd)
{
    while (!failed() && pending() > 0) {
        if (stopFd < 0) {
            writeSome(pending());
            continue;
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno != EINTR)
                errno_ = errno;
            continue;
        }
        if (fds[1].revents & POLLIN)
            break;
        // A pipe that polled writable takes PIPE_BUF bytes without waiting.
        writeSome(pipeLike_ ? PIPE_BUF : pending());
    }
    return !failed() && pending() == 0;
}

bool Output::wouldWait() const
{
    if (!pipeLike_ || failed() || pending() == 0)
        return false;
    pollfd fd{fd_, POLLOUT, 0};
    return poll(&fd, 1, 0) == 0;
}

bool flushAfterStop(Output &out, const StopSignals &stop, unsigned signalsAtStop)
{
    static bool announced = false;
    // What standard output takes without waiting goes first: only a wait is announced, and a
    // pipe with some room left would otherwise take a little and then wait unannounced.
    while (stop.count() == signalsAtStop && !out.failed() && out.pending() > 0 && !out.wouldWait())
        out.writeSome(PIPE_BUF);
    if (!announced && stop.count() == signalsAtStop && out.wouldWait()) {
        std::fprintf(stderr,
                     "%s: flushing the lines standard output has not taken yet; %s abandons "
                     "them\n",
                     g_programName, signalsAtStop > 0 ? "another Ctrl+C" : "Ctrl+C");
        announced = true;
    }
    if (stop.count() == signalsAtStop && out.flush(stop.fd()))
        return true;
    if (!out.failed())
        out.discard();
    return false;
}

int Output::finish(int status)
{
    flush();
    if (!failed())
        return status;
    return failure(std::string("cannot write to standard output: ") + std::strerror(errno_));
}

namespace {

std::atomic<StopSignals *> g_stopSignals{nullptr};

extern "C" void onStopSignal(int signal)
{
    // Only a thread that does not block the signal (one a library started before the tool
    // blocked it) runs this; the signal is taken all the same.
    const int saved = errno;
    if (StopSignals *stop = g_stopSignals.load())
        stop->take(signal);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(std::initializer_list<int> signals, std::function<void()> alsoWake)
    : alsoWake_(std::move(alsoWake)), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    sigemptyset(&set_);
    for (int signal : signals)
        sigaddset(&set_, signal);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    g_stopSignals.store(this);
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signals)
        sigaction(signal, &action, nullptr);
    // Blocked here as in the thread that made this; sigwait takes them.
    thread_ = std::thread([this] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set_, &signal) != 0)
                continue;
            if (quitting_.load())
                return;
            take(signal);
        }
    });
}

StopSignals::~StopSignals()
{
    quitting_.store(true);
    int first = SIGTERM;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&set_, signal) == 1) {
            first = signal;
            break;
        }
    }
    pthread_kill(thread_.native_handle(), first);
    thread_.join();
    g_stopSignals.store(nullptr);
    // The signals stay blocked: one that comes while the tool finishes is of no more use, and
    // must not end it half way.
    ::close(fd_);
}

void StopSignals::take(int signal)
{
    int none = 0;
    first_.compare_exchange_strong(none, signal);
    if (count_.fetch_add(1) + 1 >= 3 && endOnThird_.load()) {
        // Async-signal-safe only: this may run in a signal handler.
        struct sigaction standard
        {
        };
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        sigaction(signal, &standard, nullptr);
        sigset_t just{};
        sigemptyset(&just);
        sigaddset(&just, signal);
        pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
        raise(signal);
        _exit(128 + signal);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    if (alsoWake_)
        alsoWake_();
}

void StopSignals::clear() const
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

} // namespace mulvo::tool
