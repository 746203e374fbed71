// mulvo: the adapter from the command line, for scripts and bench tests. It opens the adapter
// through the same loader, and the same choice of library, as the program.
// Exit status: 0 done, 1 the adapter is absent or a call or the output failed, 2 bad arguments.
#include "adaptersetting.h"
#include "interruptwatch.h"
#include "mulvoloader.h"
#include "protocol.h"
#include "simsegment.h"
#include "toolsupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <getopt.h>
#include <link.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using mulvo::tool::failure;
using mulvo::tool::Output;
using mulvo::tool::resultText;
using mulvo::tool::StopSignals;
using mulvo::tool::usageError;

constexpr uint64_t kMaxPulseMs = 3600000;
constexpr uint64_t kMaxTimeoutMs = uint64_t(365) * 24 * 3600 * 1000;
constexpr uint64_t kMaxCount = UINT64_MAX / 2;

const char kUsage[] =
    "Usage: mulvo [OPTIONS] COMMAND [ARGUMENTS]\n"
    "Reads, writes and watches a DOV-RAX adapter through its access library.\n"
    "\n"
    "Commands:\n"
    "  info                      the library in use, whether the adapter is present\n"
    "  get [--format FORMAT]     print the input byte; FORMAT hex (0x3c, the default), dec,\n"
    "                            bin or json\n"
    "  set VALUE                 write the output byte\n"
    "  pulse VALUE --ms N        write VALUE, wait N ms (1..3600000), write back the byte that\n"
    "                            was there before\n"
    "  watch [-n COUNT] [--timeout SECONDS] [--format text|json]\n"
    "                            arm the interrupt and print one line per interrupt (time,\n"
    "                            interrupt number, input byte) until COUNT interrupts, the\n"
    "                            timeout or Ctrl+C; a summary goes to standard error\n"
    "\n"
    "VALUE is 0 to 255, 0x00 to 0xff or 0b0 to 0b11111111; anything else is refused.\n"
    "\n"
    "Options (before or after the command):\n"
    "  -a, --adapter LIB         the adapter library: virtual, gpio, service, system or an\n"
    "                            absolute path; default: $DOVRAX_MULVOLIB, the program's\n"
    "                            setting, the system's libmulvo.so.1, the virtual adapter\n"
    "  -d, --device N            adapter number N (default 0)\n"
    "  -f, --format FORMAT       output format of get and watch\n"
    "  -n, --count COUNT         watch: stop after COUNT interrupts\n"
    "  -t, --timeout SECONDS     watch: stop after SECONDS (such as 1 or 0.5)\n"
    "  -m, --ms N                pulse: milliseconds to hold VALUE\n"
    "  -h, --help                show this text\n"
    "  -v, --version             show the version\n"
    "\n"
    "Exit status: 0 done, 1 the adapter is absent or a call or the output failed (the reason\n"
    "on standard error), 2 bad arguments (nothing was done).\n";

enum class Format
{
    Default,
    Hex,
    Dec,
    Bin,
    Json,
    Text
};

struct Options
{
    std::optional<std::string> adapter;
    uint32_t device = 0;
    Format format = Format::Default;
    std::optional<uint64_t> count;
    std::optional<uint64_t> timeoutMs;
    std::optional<uint64_t> pulseMs;
    std::string command;
    std::vector<std::string> arguments;
    uint8_t value = 0;
};

// Parses the options and checks every argument against its command, so that nothing is
// loaded or written for a command line with a mistake in it. Returns an exit status or -1.
int parseArguments(int argc, char **argv, Options &options)
{
    static const option longOptions[] = {
        {"adapter", required_argument, nullptr, 'a'},
        {"device", required_argument, nullptr, 'd'},
        {"format", required_argument, nullptr, 'f'},
        {"count", required_argument, nullptr, 'n'},
        {"timeout", required_argument, nullptr, 't'},
        {"ms", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    std::optional<std::string> format;
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":a:d:f:n:t:m:hv", longOptions, nullptr)) != -1) {
        const std::string_view value = optarg ? optarg : "";
        switch (c) {
        case 'a':
            options.adapter = std::string(value);
            break;
        case 'd': {
            const auto device = mulvo::tool::parseNumber(value, 0, UINT32_MAX);
            if (!device)
                return usageError(mulvo::tool::rangeMessage("--device", 0, UINT32_MAX, value));
            options.device = uint32_t(*device);
            break;
        }
        case 'f':
            format = std::string(value);
            break;
        case 'n':
            options.count = mulvo::tool::parseNumber(value, 1, kMaxCount);
            if (!options.count)
                return usageError(mulvo::tool::rangeMessage("--count", 1, kMaxCount, value));
            break;
        case 't':
            options.timeoutMs = mulvo::tool::parseSeconds(value, kMaxTimeoutMs);
            if (!options.timeoutMs)
                return usageError("--timeout must be a number of seconds from 0.001 to " +
                                  std::to_string(kMaxTimeoutMs / 1000) + ": '" +
                                  std::string(value) + "'");
            break;
        case 'm':
            options.pulseMs = mulvo::tool::parseNumber(value, 1, kMaxPulseMs);
            if (!options.pulseMs)
                return usageError(mulvo::tool::rangeMessage("--ms", 1, kMaxPulseMs, value));
            break;
        default:
            return mulvo::tool::commonOption(c, kUsage, argv);
        }
    }
    if (!mulvo::tool::takeCommand(argc, argv, options.command, options.arguments))
        return usageError("no command given");
    const std::string &command = options.command;
    const auto &args = options.arguments;

    const bool takesValue = command == "set" || command == "pulse";
    if (command != "info" && command != "get" && command != "watch" && !takesValue)
        return usageError("unknown command: " + command);
    if (args.size() != (takesValue ? 1u : 0u))
        return usageError("'" + command + "' takes " +
                          (takesValue ? "one VALUE" : std::string("no argument")));
    if (takesValue) {
        const auto value = mulvo::tool::parseByte(args[0]);
        if (!value)
            return usageError(mulvo::tool::byteRangeMessage("VALUE", args[0]));
        options.value = *value;
    }
    if ((options.count || options.timeoutMs) && command != "watch")
        return usageError(std::string(options.count ? "--count" : "--timeout") +
                          " goes only with 'watch'");
    if (options.pulseMs.has_value() != (command == "pulse"))
        return usageError(command == "pulse" ? "'pulse' needs --ms N"
                                             : "--ms goes only with 'pulse'");
    if (format) {
        static const std::pair<const char *, Format> formats[] = {
            {"hex", Format::Hex},   {"dec", Format::Dec},   {"bin", Format::Bin},
            {"json", Format::Json}, {"text", Format::Text},
        };
        for (const auto &[name, f] : formats) {
            if (*format == name)
                options.format = f;
        }
        const bool forGet = options.format != Format::Default && options.format != Format::Text;
        const bool forWatch = options.format == Format::Text || options.format == Format::Json;
        if (command == "get" && !forGet)
            return usageError("--format for 'get' is hex, dec, bin or json: '" + *format + "'");
        if (command == "watch" && !forWatch)
            return usageError("--format for 'watch' is text or json: '" + *format + "'");
        if (command != "get" && command != "watch")
            return usageError("--format goes only with 'get' and 'watch'");
    }
    return -1;
}

// The library in use, chosen and loaded as the program would.
struct LoadedLibrary
{
    std::unique_ptr<mulvo::Library> library;
    mulvo::Choice choice;

    bool isVirtual() const { return library->kind() == mulvo::Library::Kind::Virtual; }
    bool isService() const { return library->kind() == mulvo::Library::Kind::Service; }
};

int loadLibrary(const Options &options, LoadedLibrary &loaded)
{
    // The settings store is read only when it decides, as the program's choice would.
    std::optional<std::string> setting;
    if (!options.adapter && !std::getenv(mulvo::kLibraryEnv))
        setting = mulvo::readAdapterSetting();
    std::string error;
    if (!mulvo::resolveChoice(options.adapter, setting, loaded.choice, error))
        return usageError(error);
    loaded.library = mulvo::Library::choose(loaded.choice, error);
    if (!loaded.library)
        return failure("no adapter library: " + error);
    return -1;
}

const char *kindName(mulvo::Library::Kind kind)
{
    switch (kind) {
    case mulvo::Library::Kind::Virtual:
        return "virtual";
    case mulvo::Library::Kind::Gpio:
        return "gpio";
    case mulvo::Library::Kind::Service:
        return "service";
    default:
        return "other";
    }
}

const char *sourceName(mulvo::Choice::Source source)
{
    switch (source) {
    case mulvo::Choice::Source::Option:
        return "option";
    case mulvo::Choice::Source::Environment:
        return "environment";
    case mulvo::Choice::Source::Setting:
        return "setting";
    default:
        return "default";
    }
}

// The adapter open for one command; closed again at the end.
class OpenAdapter
{
public:
    OpenAdapter(const mulvo::Api &api, uint32_t device) : api_(api), handle_(api.open(device)) {}
    ~OpenAdapter()
    {
        if (handle_ != 0)
            api_.close(handle_);
    }
    OpenAdapter(const OpenAdapter &) = delete;
    OpenAdapter &operator=(const OpenAdapter &) = delete;

    uint32_t handle() const { return handle_; }

private:
    const mulvo::Api &api_;
    uint32_t handle_;
};

std::string absentMessage(uint32_t device)
{
    return "adapter " + std::to_string(device) + " is absent";
}

// The virtual adapter's own record of its output byte, in the segment of the instance the
// library uses.
std::optional<uint8_t> virtualAdapterOutput()
{
    std::string instance;
    std::string error;
    if (!mulvo::sim::SimSegment::instanceFromEnvironment(instance, error))
        return std::nullopt;
    auto segment = mulvo::sim::SimSegment::open(instance, error,
                                                mulvo::sim::SimSegment::OpenMode::ExistingOnly);
    if (!segment)
        return std::nullopt;
    return segment->output();
}

// Where this tool remembers the byte it last wrote to an adapter of a library: a file in the
// folder "dovrax" of the user's runtime directory, which goes with the session. The folder is
// used only while it is this user's and closed to others; its files are reached through the
// folder's descriptor and never through a symbolic link, written under a fresh name and then
// renamed into place, and read only when they are this user's and hold what this tool writes.
// Anything else is left alone with a warning, and the byte is not remembered.
class OutputMemory
{
public:
    OutputMemory() = default;
    OutputMemory(const std::string &library, uint32_t device)
    {
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || runtime[0] != '/')
            return;
        runtime_ = runtime;
        uint64_t hash = 1469598103934665603u; // FNV-1a of the library's path
        for (unsigned char c : library)
            hash = (hash ^ c) * 1099511628211u;
        char name[64];
        std::snprintf(name, sizeof name, "mulvo-output-%016" PRIx64 "-%" PRIu32, hash, device);
        name_ = name;
    }

    std::optional<uint8_t> recall()
    {
        const int dir = openFolder(false);
        if (dir < 0)
            return std::nullopt;
        const int fd = openat(dir, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const int openErr = errno;
        ::close(dir);
        if (fd < 0) {
            if (openErr != ENOENT)
                warn(file() + " is not a file of yours (" + std::strerror(openErr) +
                     "); ignoring it");
            return std::nullopt;
        }
        struct stat st
        {
        };
        char text[8] = {};
        const bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                          (st.st_mode & 022) == 0;
        const ssize_t n = ours ? read(fd, text, sizeof text) : -1;
        ::close(fd);
        if (!ours) {
            warn(file() + " is not a file of yours; ignoring it");
            return std::nullopt;
        }
        // Exactly what remember() writes: "0x" and two hex digits on a line.
        std::optional<uint8_t> value;
        if (n == 5 && text[0] == '0' && text[1] == 'x' && text[4] == '\n')
            value = mulvo::tool::parseByte(std::string_view(text, 4));
        if (!value)
            warn(file() + " does not hold an output byte as this tool writes it; ignoring it");
        return value;
    }

    void remember(uint8_t value)
    {
        const int dir = openFolder(true);
        if (dir < 0)
            return;
        char text[8];
        const int length = std::snprintf(text, sizeof text, "0x%02x\n", value);
        // A name nobody else can have made: created here, never an existing file or link.
        std::string temporary;
        int fd = -1;
        for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
            temporary = "." + name_ + "-" + std::to_string(getpid()) + "-" +
                        std::to_string(mulvo::tool::realtimeNs() % 1000000007) + ".new";
            fd = openat(dir, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        bool done = fd >= 0 && write(fd, text, size_t(length)) == length;
        int err = errno;
        if (fd >= 0 && ::close(fd) != 0 && done) {
            done = false;
            err = errno;
        }
        if (done && renameat(dir, temporary.c_str(), dir, name_.c_str()) != 0) {
            done = false;
            err = errno;
        }
        if (!done) {
            std::fprintf(stderr, "mulvo: cannot remember the output byte in %s: %s\n",
                         file().c_str(), std::strerror(err));
            if (fd >= 0)
                unlinkat(dir, temporary.c_str(), 0);
        }
        ::close(dir);
    }

private:
    std::string folder() const { return runtime_ + "/dovrax"; }
    std::string file() const { return folder() + "/" + name_; }

    void warn(const std::string &message)
    {
        if (!warned_)
            std::fprintf(stderr, "mulvo: %s\n", message.c_str());
        warned_ = true;
    }

    // The folder's descriptor, or -1 (with a warning unless it is simply not there).
    int openFolder(bool create)
    {
        if (name_.empty())
            return -1;
        const int runtime = ::open(runtime_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (runtime < 0)
            return -1;
        if (create)
            mkdirat(runtime, "dovrax", 0700);
        const int dir = openat(runtime, "dovrax", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openErr = errno;
        ::close(runtime);
        if (dir < 0) {
            if (openErr != ENOENT)
                warn("not remembering the output byte: " + folder() +
                     " is not a folder of yours (" + std::strerror(openErr) + ")");
            return -1;
        }
        struct stat st
        {
        };
        const char *problem = nullptr;
        if (fstat(dir, &st) != 0 || st.st_uid != geteuid())
            problem = "belongs to another user";
        else if ((st.st_mode & 077) != 0)
            problem = "is open to other users";
        if (problem) {
            warn("not remembering the output byte: " + folder() + " " + problem);
            ::close(dir);
            return -1;
        }
        return dir;
    }

    std::string runtime_;
    std::string name_;
    bool warned_ = false;
};

// The soname the library gives itself, or empty.
std::string sonameOf(const std::string &file)
{
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return {};
    std::string soname;
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_ld) {
        const char *strings = nullptr;
        ElfW(Xword) offset = 0;
        bool haveName = false;
        for (const ElfW(Dyn) *d = map->l_ld; d->d_tag != DT_NULL; ++d) {
            if (d->d_tag == DT_STRTAB)
                strings = reinterpret_cast<const char *>(d->d_un.d_ptr);
            if (d->d_tag == DT_SONAME) {
                offset = d->d_un.d_val;
                haveName = true;
            }
        }
        if (strings && haveName)
            soname = strings + offset;
    }
    dlclose(handle);
    return soname;
}

int runInfo(const Options &options, const LoadedLibrary &loaded, Output &out)
{
    const std::string &file = loaded.library->file();
    out.putf("library=%s\nkind=%s\nchosen-by=%s\n", file.c_str(), kindName(loaded.library->kind()),
             sourceName(loaded.choice.source));
    const std::string soname = sonameOf(file);
    if (!soname.empty())
        out.putf("soname=%s\n", soname.c_str());
    if (loaded.isVirtual()) {
        std::string instance;
        std::string error;
        if (mulvo::sim::SimSegment::instanceFromEnvironment(instance, error))
            out.putf("instance=%s\n", instance.c_str());
    }
    if (loaded.library->kind() == mulvo::Library::Kind::Service) {
        // Which socket, and what the service behind it holds.
        std::string socket;
        std::string error;
        if (mulvo::service::socketPath(mulvo::service::Side::Client, {}, socket, error))
            out.putf("socket=%s\n", socket.c_str());
        const mulvo::LibraryLabel label = mulvo::describeLibrary(loaded.library.get(), error);
        out.putf("service=%s\nservice-detail=%s\n", label.text.c_str(), label.detail.c_str());
    }
    OpenAdapter adapter(loaded.library->api(), options.device);
    out.putf("device=%" PRIu32 "\npresent=%d\n", options.device, adapter.handle() != 0 ? 1 : 0);
    return adapter.handle() != 0 ? 0 : failure(absentMessage(options.device));
}

int runGet(const Options &options, const mulvo::Api &api, uint32_t handle, Output &out)
{
    uint32_t value = 0;
    const int32_t rc = api.mbin(handle, &value);
    if (rc < 0)
        return failure("cannot read the input: " + resultText(rc));
    value &= 0xff;
    switch (options.format) {
    case Format::Dec:
        out.putf("%u\n", value);
        break;
    case Format::Bin: {
        char bits[9] = {};
        for (int i = 0; i < 8; ++i)
            bits[i] = (value >> (7 - i)) & 1 ? '1' : '0';
        out.putf("0b%s\n", bits);
        break;
    }
    case Format::Json:
        out.putf("{\"input\":%u}\n", value);
        break;
    default:
        out.putf("0x%02x\n", value);
        break;
    }
    return 0;
}

int writeOutput(const mulvo::Api &api, uint32_t handle, uint8_t value, OutputMemory *memory)
{
    const int32_t rc = api.mbout(handle, value);
    if (rc < 0)
        return failure("cannot write the output: " + resultText(rc));
    if (memory)
        memory->remember(value);
    return 0;
}

int runPulse(const Options &options, const LoadedLibrary &loaded, uint32_t handle,
             OutputMemory *memory, const StopSignals &stop)
{
    const mulvo::Api &api = loaded.library->api();
    std::optional<uint8_t> before;
    if (loaded.isVirtual())
        before = virtualAdapterOutput();
    else if (loaded.isService())
        before = mulvo::serviceOutput(options.device);
    if (!before && memory)
        before = memory->recall();
    if (int rc = writeOutput(api, handle, options.value, memory))
        return rc;
    // Ctrl+C during the hold must not leave VALUE on the adapter: it ends the hold early.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(*options.pulseMs);
    for (auto now = std::chrono::steady_clock::now(); now < end && stop.count() == 0;
         now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
        pollfd fd{stop.fd(), POLLIN, 0};
        poll(&fd, 1, int(std::min<int64_t>(left, INT_MAX)));
    }
    if (int rc = writeOutput(api, handle, before.value_or(0), memory))
        return rc;
    return stop.count() > 0 ? failure("interrupted; the byte before the pulse was written back")
                            : 0;
}

} // namespace

int main(int argc, char **argv)
{
    mulvo::tool::initialise("mulvo");
    // Large enough for a batch of watch lines, so that only watch's own flushes wait on a pipe.
    Output out(1, size_t(1) << 20);
    Options options;
    if (int rc = parseArguments(argc, argv, options); rc >= 0)
        return rc;

    // Before the library is loaded, so that no thread of its own takes the signals.
    std::optional<StopSignals> stop;
    if (options.command == "watch")
        stop.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP, SIGALRM});
    else if (options.command == "pulse")
        stop.emplace(std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP});

    LoadedLibrary loaded;
    if (int rc = loadLibrary(options, loaded); rc >= 0)
        return rc;
    if (options.command == "info")
        return out.finish(runInfo(options, loaded, out));

    const mulvo::Api &api = loaded.library->api();
    OpenAdapter adapter(api, options.device);
    if (adapter.handle() == 0)
        return failure(absentMessage(options.device));
    // A library with state of its own, or a service that keeps it for every client, needs no
    // memory of ours.
    std::optional<OutputMemory> memory;
    if (!loaded.isVirtual() && !loaded.isService())
        memory.emplace(loaded.library->file(), options.device);
    int rc = 0;
    if (options.command == "get") {
        rc = runGet(options, api, adapter.handle(), out);
    } else if (options.command == "set") {
        rc = writeOutput(api, adapter.handle(), options.value, memory ? &*memory : nullptr);
    } else if (options.command == "pulse") {
        rc = runPulse(options, loaded, adapter.handle(), memory ? &*memory : nullptr, *stop);
    } else {
        mulvo::tool::WatchOptions watch;
        watch.count = options.count.value_or(0);
        watch.timeoutMs = options.timeoutMs.value_or(0);
        watch.json = options.format == Format::Json;
        watch.device = options.device;
        rc = mulvo::tool::watchInterrupts(api, adapter.handle(), watch, out, *stop);
    }
    return out.finish(rc);
}
