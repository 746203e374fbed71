// Shared by the adapter library tests: each test process gets an adapter instance of its own
// (MULVO_SIM_INSTANCE is set before main, the segment removed at exit), and can run programs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace mulvotest {

// The instance this process uses: "test-<pid>".
const std::string &instance();

struct ProgramResult
{
    int exitCode = -1; // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] a path) to its end, with `extraEnv` ("NAME=value") added.
ProgramResult runProgram(const std::vector<std::string> &argv,
                         const std::vector<std::string> &extraEnv = {});
// The same for the program at `path` with `args`.
ProgramResult runTool(const std::string &path, const std::vector<std::string> &args,
                      const std::vector<std::string> &extraEnv = {});
// Starts `argv` with stdout going to `outFile` and stderr to `errFile` (each if not empty),
// with `extraEnv` added, and returns its pid.
pid_t startProgram(const std::vector<std::string> &argv, const std::string &outFile = {},
                   const std::string &errFile = {}, const std::vector<std::string> &extraEnv = {});
// Starts `argv`, with `extraEnv` added, with descriptors 0, 1 and 2 closed.
pid_t startWithoutStandardDescriptors(const std::vector<std::string> &argv,
                                      const std::vector<std::string> &extraEnv);
// Waits for a started program; its exit code, or -1 when it did not exit normally.
int waitProgram(pid_t pid);

// Polls `condition` until it holds or `timeout` passes.
bool waitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::string readFile(const std::string &path);

// mulvod run by a test on a socket of its own, on the virtual adapter of the test's instance
// unless `args` choose otherwise; its log goes to a file.
class ServiceProcess
{
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts it and waits until it answers on its socket; false when it does not.
    bool start(const std::vector<std::string> &args = {"--adapter", "virtual"});
    // Sends `signal` and returns its exit code (-1 when it did not exit normally).
    int stop(int signal = 15);
    pid_t pid() const { return pid_; }
    const std::string &socket() const { return socket_; }
    std::string log() const;
    // "MULVO_SERVICE_SOCKET=..." for a client.
    std::string socketEnv() const { return "MULVO_SERVICE_SOCKET=" + socket_; }

private:
    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
};
// A fresh empty directory under /tmp, removed by the caller.
std::string makeTempDir();

} // namespace mulvotest
