#include "mulvotestsupport.h"

#include "simsegment.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace mulvotest {

namespace {

// Set up before main, so that the adapter library (which reads the variable at its first use)
// never touches the user's own instance; removed at exit so that tests leave nothing behind.
struct InstanceGuard
{
    std::string name;
    pid_t owner;
    InstanceGuard() : name("test-" + std::to_string(getpid())), owner(getpid())
    {
        setenv(mulvo::sim::kInstanceEnv, name.c_str(), 1);
    }
    ~InstanceGuard()
    {
        if (getpid() != owner)
            return;
        std::string error;
        mulvo::sim::SimSegment::remove(name, error);
    }
};

InstanceGuard &guard()
{
    static InstanceGuard g;
    return g;
}

[[maybe_unused]] const bool g_instanceReady = (guard(), true);

std::vector<char *> cStrings(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv,
            const std::string &outFile, const std::string &errFile, bool closeStandard = false)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](auto &extra) {
            return extra.compare(0, name.size(), name) == 0;
        });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char *> cargs = cStrings(args);
    std::vector<char *> cenv = cStrings(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeStandard) {
        for (int fd = 0; fd <= 2; ++fd)
            posix_spawn_file_actions_addclose(&actions, fd);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (!outFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    if (!errFile.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, cargs[0], &actions, nullptr, cargs.data(), cenv.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

} // namespace

const std::string &instance()
{
    return guard().name;
}

ProgramResult runProgram(const std::vector<std::string> &argv,
                         const std::vector<std::string> &extraEnv)
{
    const std::string dir = makeTempDir();
    ProgramResult result;
    const pid_t pid = spawn(argv, extraEnv, dir + "/out", dir + "/err");
    if (pid > 0) {
        result.exitCode = waitProgram(pid);
        result.out = readFile(dir + "/out");
        result.err = readFile(dir + "/err");
    } else {
        result.err = "cannot start " + argv.at(0);
    }
    unlink((dir + "/out").c_str());
    unlink((dir + "/err").c_str());
    rmdir(dir.c_str());
    return result;
}

ProgramResult runTool(const std::string &path, const std::vector<std::string> &args,
                      const std::vector<std::string> &extraEnv)
{
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, extraEnv);
}

pid_t startProgram(const std::vector<std::string> &argv, const std::string &outFile,
                   const std::string &errFile, const std::vector<std::string> &extraEnv)
{
    return spawn(argv, extraEnv, outFile, errFile);
}

pid_t startWithoutStandardDescriptors(const std::vector<std::string> &argv,
                                      const std::vector<std::string> &extraEnv)
{
    return spawn(argv, extraEnv, {}, {}, true);
}

int waitProgram(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ServiceProcess::~ServiceProcess()
{
    if (pid_ > 0)
        stop(SIGKILL);
    if (!dir_.empty())
        std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool ServiceProcess::start(const std::vector<std::string> &args)
{
    if (dir_.empty()) {
        dir_ = makeTempDir();
        socket_ = dir_ + "/mulvod.sock";
    }
    std::vector<std::string> argv{MULVOD_PATH, "--socket", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, {}, "/dev/null", dir_ + "/log");
    if (pid_ <= 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
    bool exited = false;
    const bool up = waitFor([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(fd);
        exited = !ok && waitpid(pid_, nullptr, WNOHANG) == pid_;
        return ok || exited;
    });
    if (exited)
        pid_ = -1;
    return up && !exited;
}

int ServiceProcess::stop(int signal)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    const int code = waitProgram(pid_);
    pid_ = -1;
    return code;
}

std::string ServiceProcess::log() const
{
    return readFile(dir_ + "/log");
}

std::string makeTempDir()
{
    char pattern[] = "/tmp/mulvo-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir ? dir : "/tmp";
}

} // namespace mulvotest
