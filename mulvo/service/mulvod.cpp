// mulvod: the adapter service. It holds one adapter library (chosen as every program of ours
// chooses it), opens each adapter once and keeps it, and serves the programs that use the
// service's client library over a Unix socket: they share one output byte, one input byte and
// the interrupt, and what one wrote stays after it ends.
// Exit status: 0 stopped by a signal, 1 could not start or serve, 2 bad arguments.
#include "adaptersetting.h"
#include "mulvoloader.h"
#include "protocol.h"
#include "service.h"
#include "toolsupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using mulvo::tool::failure;
using mulvo::tool::usageError;

const char kUsage[] =
    "Usage: mulvod [OPTIONS]\n"
    "The adapter service: holds a DOV-RAX adapter for every program that chooses the adapter\n"
    "library 'service', so that they share it and what one wrote stays after it ends.\n"
    "Runs in the foreground and logs to standard error; SIGTERM or Ctrl+C stops it.\n"
    "\n"
    "Options:\n"
    "  -a, --adapter LIB         the adapter library the service uses: virtual, gpio, system or\n"
    "                            an absolute path; default: $DOVRAX_MULVOLIB, the program's\n"
    "                            setting, the system's libmulvo.so.1, the virtual adapter\n"
    "  -s, --socket PATH         listen on PATH; default: $MULVO_SERVICE_SOCKET, else\n"
    "                            $XDG_RUNTIME_DIR/dovrax/mulvod.sock\n"
    "      --system              the bench PC's service: /run/dovrax/mulvod.sock, open to the\n"
    "                            socket's group\n"
    "  -h, --help                show this text\n"
    "  -v, --version             show the version\n"
    "\n"
    "Started by systemd's socket activation, it takes the socket systemd passes.\n"
    "\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT, 1 could not start (the reason on standard\n"
    "error), 2 bad arguments.\n";

struct Options
{
    std::optional<std::string> adapter;
    std::string socket;
    bool system = false;
};

int parseArguments(int argc, char **argv, Options &options)
{
    enum
    {
        kSystemOption = 1000
    };
    static const option longOptions[] = {
        {"adapter", required_argument, nullptr, 'a'},
        {"socket", required_argument, nullptr, 's'},
        {"system", no_argument, nullptr, kSystemOption},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":a:s:hv", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'a':
            options.adapter = std::string(optarg);
            break;
        case 's':
            if (optarg[0] == '\0')
                return usageError("--socket is empty");
            options.socket = optarg;
            break;
        case kSystemOption:
            options.system = true;
            break;
        default:
            return mulvo::tool::commonOption(c, kUsage, argv);
        }
    }
    if (optind < argc)
        return usageError(std::string("no arguments are taken: '") + argv[optind] + "'");
    return -1;
}

// A service started with a standard descriptor closed would hand that number to its socket,
// and its log lines would go to a client.
void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

const char *kindWord(mulvo::Library::Kind kind)
{
    switch (kind) {
    case mulvo::Library::Kind::Virtual:
        return "virtual";
    case mulvo::Library::Kind::Gpio:
        return "gpio";
    default:
        return "other";
    }
}

} // namespace

int main(int argc, char **argv)
{
    openStandardDescriptors();
    mulvo::tool::initialise("mulvod");
    Options options;
    if (int rc = parseArguments(argc, argv, options); rc >= 0)
        return rc;

    // Taken through a descriptor by the loop, and blocked before the library starts threads
    // of its own, so that none of them takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0)
        return failure("cannot take signals");

    // Many clients at once each take a descriptor.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    std::optional<std::string> setting;
    if (!options.adapter && !std::getenv(mulvo::kLibraryEnv))
        setting = mulvo::readAdapterSetting();
    std::string error;
    mulvo::Choice choice;
    if (!mulvo::resolveChoice(options.adapter, setting, choice, error))
        return usageError(error);
    if (choice.library == mulvo::Choice::Library::Service)
        return usageError("the service cannot use the service's own client library; choose the "
                          "library that reaches the adapter");
    auto library = mulvo::Library::choose(choice, error);
    if (!library)
        return failure("no adapter library: " + error);
    if (library->kind() == mulvo::Library::Kind::Service)
        return usageError(library->file() + " is the service's own client library");

    using mulvo::service::Side;
    const Side side = options.system ? Side::SystemService : Side::UserService;
    std::string path;
    int listenFd = mulvo::service::activatedSocket(path, error);
    const bool activated = listenFd >= 0;
    if (listenFd == -2)
        return failure(error);
    if (!activated) {
        if (!mulvo::service::socketPath(side, options.socket, path, error))
            return failure(error);
        // Our own folder in the runtime directory is made private; a path the user gave is
        // the user's business.
        const char *env = std::getenv(mulvo::service::kSocketEnv);
        const bool userFolder =
            side == Side::UserService && options.socket.empty() && !(env && *env);
        listenFd = mulvo::service::listenAt(path, side, userFolder, error);
        if (listenFd < 0)
            return failure(error);
    }

    const mulvo::LibraryLabel label = mulvo::describeLibrary(library.get(), error);
    mulvo::service::ServiceInfo info;
    info.library = library->file();
    info.kind = kindWord(library->kind());
    info.label = label.text;
    info.version = MULVO_TOOL_VERSION;
    std::fprintf(stderr, "mulvod: adapter library %s (%s), listening on %s%s\n",
                 library->file().c_str(), label.text.c_str(), path.c_str(),
                 activated ? " (from systemd)" : "");

    bool served = false;
    {
        mulvo::service::Service service(library->api(), info, listenFd, path, !activated);
        served = service.run(stopFd);
    }
    signalfd_siginfo signal{};
    if (read(stopFd, &signal, sizeof signal) == ssize_t(sizeof signal))
        std::fprintf(stderr, "mulvod: stopped by SIG%s\n", sigabbrev_np(int(signal.ssi_signo)));
    return served ? 0 : 1;
}
