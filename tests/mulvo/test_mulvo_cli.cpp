// The command-line tools end to end: mulvo on the virtual adapter, with mulvo-sim on the other
// side, through the real executables.
#include "mulvotestsupport.h"
#include "simsegment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using mulvo::sim::SimSegment;

namespace {

class CommandLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(sim({"reset"}).exitCode, 0);
        std::string error;
        segment = SimSegment::open(mulvotest::instance(), error);
        ASSERT_TRUE(segment) << error;
        scratchDir = mulvotest::makeTempDir();
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + scratchDir + "'").c_str()), 0); }

    // With settings of its own, away from the user's.
    mulvotest::ProgramResult mulvo(const std::vector<std::string> &args)
    {
        return mulvotest::runTool(MULVO_PATH, args, {"XDG_CONFIG_HOME=" + scratchDir + "/config"});
    }
    mulvotest::ProgramResult sim(const std::vector<std::string> &args)
    {
        return mulvotest::runTool(MULVO_SIM_PATH, args);
    }
    // Starts `mulvo watch ARGS` writing to `out` and waits until it has armed the interrupt;
    // -1 when it did not.
    pid_t startWatch(const std::vector<std::string> &args, const std::string &out)
    {
        std::vector<std::string> argv{MULVO_PATH, "watch"};
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t pid = mulvotest::startProgram(argv, out);
        if (pid > 0 && !mulvotest::waitFor([&] { return segment->status().armed == 1; })) {
            kill(pid, SIGKILL);
            mulvotest::waitProgram(pid);
            return -1;
        }
        return pid;
    }

    std::unique_ptr<SimSegment> segment;
    std::string scratchDir;
};

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST_F(CommandLine, WritesAndReadsTheAdapterBytes)
{
    EXPECT_EQ(mulvo({"set", "0x5a"}).exitCode, 0);
    EXPECT_NE(sim({"status"}).out.find("\noutput=0x5a\n"), std::string::npos);
    EXPECT_EQ(mulvo({"set", "--device", "0", "0b11"}).exitCode, 0);
    EXPECT_EQ(segment->output(), 3);

    ASSERT_EQ(sim({"input", "0x3c"}).exitCode, 0);
    const std::pair<const char *, const char *> formats[] = {
        {"hex", "0x3c\n"}, {"dec", "60\n"}, {"bin", "0b00111100\n"}, {"json", "{\"input\":60}\n"}};
    for (const auto &[format, expected] : formats) {
        const auto result = mulvo({"get", "--format", format});
        EXPECT_EQ(result.exitCode, 0) << format;
        EXPECT_EQ(result.out, expected);
    }
    EXPECT_EQ(mulvo({"get"}).out, "0x3c\n");

    // pulse writes back what the virtual adapter held, not what this tool wrote last.
    segment->writeOutput(0x81);
    const auto pulse = mulvo({"pulse", "0xff", "--ms", "50"});
    EXPECT_EQ(pulse.exitCode, 0) << pulse.err;
    std::vector<uint8_t> writes;
    for (uint64_t s = segment->outputSequence() - 1; s <= segment->outputSequence(); ++s) {
        SimSegment::OutputWrite write;
        ASSERT_EQ(segment->outputWrite(s, write), SimSegment::WriteLookup::Found);
        writes.push_back(write.value);
    }
    EXPECT_EQ(writes, (std::vector<uint8_t>{0xff, 0x81}));
    // Ctrl+C during the hold ends it early, with the old byte written back all the same.
    const pid_t held = mulvotest::startProgram({MULVO_PATH, "pulse", "0x3c", "--ms", "600000"});
    ASSERT_TRUE(mulvotest::waitFor([&] { return segment->output() == 0x3c; }));
    kill(held, SIGINT);
    EXPECT_EQ(mulvotest::waitProgram(held), 1);
    EXPECT_EQ(segment->output(), 0x81);

    // The library is chosen as the program chooses it, its own setting included.
    ASSERT_EQ(std::system(("mkdir -p '" + scratchDir +
                           "/config/Velmora' && printf "
                           "'[Adapter]\\nLibrary=virtual\\n' >'" +
                           scratchDir + "/config/Velmora/DOVRAX.conf'")
                              .c_str()),
              0);
    const auto info = mulvo({"info"});
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_NE(info.out.find("kind=virtual\nchosen-by=setting\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("instance=" + mulvotest::instance() + "\n"), std::string::npos);
    EXPECT_NE(info.out.find("present=1\n"), std::string::npos);
    // A wrong setting stops it as it stops the program, in the same words.
    ASSERT_EQ(std::system(("printf '[Adapter]\\nLibrary=gpoi\\n' >'" + scratchDir +
                           "/config/Velmora/DOVRAX.conf'")
                              .c_str()),
              0);
    const auto wrong = mulvo({"info"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("the setting Library in group [Adapter] of " + scratchDir +
                             "/config/Velmora/DOVRAX.conf: unknown adapter library \"gpoi\"; "
                             "give virtual, gpio, service, system or an absolute path"),
              std::string::npos)
        << wrong.err;
}

TEST_F(CommandLine, MistakesExitWith2AndWriteNothing)
{
    segment->writeOutput(0x11);
    const uint64_t writes = segment->outputSequence();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"set"},
        {"set", "1", "2"},
        {"set", "256"},
        {"set", "-1"},
        {"set", "0x100"},
        {"set", "0x"},
        {"set", "0b"},
        {"set", "0b111111111"},
        {"set", "010"},
        {"set", "12abc"},
        {"set", " 5"},
        {"set", "5 "},
        {"set", "0xfg"},
        {"set", "1e2"},
        {"set", "99999999999999999999"},
        {"set", "--verbose", "5"},
        {"set", "5", "--device"},
        {"set", "5", "--device", "-1"},
        {"set", "5", "--format", "hex"},
        {"set", "5", "-n", "3"},
        {"pulse", "5"},
        {"pulse", "5", "--ms", "0"},
        {"pulse", "5", "--ms", "x"},
        {"pulse", "300", "--ms", "10"},
        {"get", "--format", "oct"},
        {"get", "--format=text"},
        {"get", "extra"},
        {"watch", "-n", "0"},
        {"watch", "--timeout", "0"},
        {"watch", "--timeout", "1.2345"},
        {"watch", "--timeout", "-1"},
        {"watch", "--format", "hex"},
        {"info", "--ms", "5"},
        {"--adapter", "relative/lib.so", "set", "5"},
        {"--adapter", "", "set", "5"},
    };
    for (const auto &args : cases) {
        std::string joined;
        for (const auto &a : args)
            joined += "[" + a + "] ";
        SCOPED_TRACE(joined);
        const auto result = mulvo(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("mulvo: ", 0), 0u) << result.err;
    }
    EXPECT_EQ(segment->outputSequence(), writes);
    EXPECT_EQ(segment->status().handles, 0u);

    const auto help = mulvo({"get", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: mulvo ", 0), 0u);
    EXPECT_EQ(mulvo({"--version"}).out, "mulvo " MULVO_TOOL_VERSION "\n");
    EXPECT_EQ(sim({"status", "--version"}).out, "mulvo-sim " MULVO_TOOL_VERSION "\n");
}

TEST_F(CommandLine, FailuresExitWith1AndSayWhy)
{
    ASSERT_EQ(sim({"unplug"}).exitCode, 0);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"get"}, {"set", "1"}, {"watch", "-n", "1"}, {"info"}}) {
        const auto result = mulvo(args);
        EXPECT_EQ(result.exitCode, 1) << args[0];
        EXPECT_NE(result.err.find("adapter 0 is absent"), std::string::npos) << result.err;
    }
    ASSERT_EQ(sim({"plug"}).exitCode, 0);
    EXPECT_NE(mulvo({"get", "--device", "7"}).err.find("adapter 7 is absent"), std::string::npos);
    const auto noLibrary = mulvo({"--adapter", "/nonexistent/libmulvo.so.1", "get"});
    EXPECT_EQ(noLibrary.exitCode, 1);
    EXPECT_NE(noLibrary.err.find("/nonexistent/libmulvo.so.1"), std::string::npos);

    // A write error on standard output is a failure, for both tools.
    for (const char *program : {MULVO_PATH, MULVO_SIM_PATH}) {
        const std::string command =
            std::string(program) + (program == std::string(MULVO_PATH) ? " get" : " status");
        EXPECT_EQ(WEXITSTATUS(std::system((command + " >/dev/full 2>/dev/null").c_str())), 1)
            << command;
    }

    // status and watch never create an instance; the other commands say when they do.
    const std::string typo = mulvotest::instance() + "-typo";
    for (const char *command : {"status", "watch"}) {
        const auto result = sim({"--instance", typo, command});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("no virtual adapter '" + typo + "'"), std::string::npos);
    }
    const auto created = sim({"input", "1", "--instance", typo});
    EXPECT_EQ(created.exitCode, 0);
    EXPECT_EQ(created.err,
              "mulvo-sim: created virtual adapter '" + typo + "'; no program uses it yet\n");
    EXPECT_EQ(sim({"--instance", typo, "input", "2"}).err, "");
    std::string error;
    SimSegment::remove(typo, error);
}

TEST_F(CommandLine, WatchPrintsEachInterruptAndAlwaysDisarms)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string out = dir + "/watch";
    ASSERT_EQ(sim({"input", "0xa5"}).exitCode, 0);

    pid_t watcher = startWatch({"-n", "3"}, out);
    ASSERT_GT(watcher, 0);
    ASSERT_EQ(sim({"irq", "4"}).exitCode, 0); // one more than it waits for
    EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6} irq=(\d+) input=0xa5)");
    const auto shown = lines(mulvotest::readFile(out));
    ASSERT_EQ(shown.size(), 3u);
    for (size_t i = 0; i < shown.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(shown[i], m, line)) << shown[i];
        EXPECT_EQ(m[1], std::to_string(i + 1));
    }
    EXPECT_EQ(segment->status().armed, 0u);

    const auto quiet = mulvo({"watch", "--timeout", "0.3", "--format", "json"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_NE(quiet.err.find("mulvo: 0 interrupts in 0.3"), std::string::npos) << quiet.err;
    // With a count, the time running out first is a failure.
    ASSERT_EQ(sim({"irq", "2"}).exitCode, 0);
    const auto short2 = mulvo({"watch", "-n", "5", "--timeout", "0.25"});
    EXPECT_EQ(short2.exitCode, 1);
    EXPECT_NE(short2.err.find("mulvo: timed out after 0.25 s: 0 of 5 interrupts\n"),
              std::string::npos)
        << short2.err;

    // Interrupted while waiting: disarmed, summary, status 0; with a count too, where only
    // running out of time is a failure.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        watcher = startWatch({"-n", "5", "--timeout", "60"}, out);
        ASSERT_GT(watcher, 0);
        kill(watcher, signal);
        EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
        EXPECT_EQ(segment->status().armed, 0u);
    }
    // An adapter that goes away while no interrupt comes ends the watch.
    watcher = startWatch({}, out);
    ASSERT_GT(watcher, 0);
    ASSERT_EQ(sim({"unplug"}).exitCode, 0);
    EXPECT_EQ(mulvotest::waitProgram(watcher), 1);
    ASSERT_EQ(sim({"plug"}).exitCode, 0);

    // A reader that stops reading while a flood comes slows the printer down, but every
    // interrupt still gets its line, in order.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    constexpr int kFlood = 300000;
    watcher = startWatch({"-n", std::to_string(kFlood)}, fifo);
    ASSERT_GT(watcher, 0);
    ASSERT_EQ(sim({"irq", std::to_string(kFlood)}).exitCode, 0);
    fcntl(reader, F_SETFL, 0);
    std::string text;
    char chunk[1 << 16];
    for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;)
        text.append(chunk, size_t(n));
    close(reader);
    EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
    const auto flood = lines(text);
    ASSERT_EQ(flood.size(), size_t(kFlood));
    const uint64_t first = segment->status().raised - kFlood + 1;
    for (size_t i = 0; i < flood.size(); i += 997) {
        const size_t at = flood[i].find(" irq=") + 5;
        ASSERT_EQ(flood[i].substr(at, flood[i].find(' ', at) - at), std::to_string(first + i));
    }
    unlink(fifo.c_str());
    unlink(out.c_str());
    rmdir(dir.c_str());
}

TEST_F(CommandLine, SimWatchShowsEveryKindOfChange)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string out = dir + "/watch";
    const pid_t watcher = mulvotest::startProgram({MULVO_SIM_PATH, "watch"}, out);
    // Registered as a watcher once it sleeps on the change word.
    ASSERT_TRUE(mulvotest::waitFor([&] { return segment->layout().changeWatchers.load() == 1; }));
    segment->setInput(0x3c);
    segment->setPresent(false);
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(out).find("present=0") != std::string::npos; }));
    segment->setPresent(true);
    segment->raise(2);
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(out).find("raised=2") != std::string::npos; }));
    kill(watcher, SIGHUP); // a closed terminal ends it as Ctrl+C does
    EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
    const std::string shown = mulvotest::readFile(out);
    for (const char *change : {" input=0x3c\n", " present=0\n", " present=1\n", " raised=2\n"})
        EXPECT_NE(shown.find(change), std::string::npos) << change << " in\n" << shown;
    unlink(out.c_str());
    rmdir(dir.c_str());
}

TEST_F(CommandLine, SignalsStopPulseAndIrqCleanly)
{
    // A pulse cut short by any stop signal, a closed terminal included, writes the byte back.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        segment->writeOutput(0x81);
        const pid_t pulse = mulvotest::startProgram({MULVO_PATH, "pulse", "0xff", "--ms", "60000"});
        ASSERT_TRUE(mulvotest::waitFor([&] { return segment->output() == 0xff; }));
        kill(pulse, signal);
        EXPECT_EQ(mulvotest::waitProgram(pulse), 1);
        EXPECT_EQ(segment->output(), 0x81);
    }

    // A library stuck in closing the adapter: the third signal ends the tool, by that signal
    // (here the watch's own timer is the first).
    const pid_t stuck = mulvotest::startProgram(
        {MULVO_PATH, "--adapter", STUCK_LIB_PATH, "watch", "--timeout", "0.1"});
    const std::string wchan = "/proc/" + std::to_string(stuck) + "/wchan";
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(wchan).find("pause") != std::string::npos; }));
    int status = 0;
    auto ended = [&] { return waitpid(stuck, &status, WNOHANG) == stuck; };
    kill(stuck, SIGINT);
    EXPECT_FALSE(mulvotest::waitFor(ended, std::chrono::milliseconds(300)))
        << "ended by two signals";
    kill(stuck, SIGHUP);
    if (!mulvotest::waitFor(ended)) {
        kill(stuck, SIGKILL);
        waitpid(stuck, &status, 0);
        ADD_FAILURE() << "not ended by a third signal";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;

    // irq stops between two raises, says how many it raised, and the counters add up.
    const std::string dir = mulvotest::makeTempDir();
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ASSERT_EQ(sim({"reset"}).exitCode, 0);
        const pid_t irq =
            mulvotest::startProgram({MULVO_SIM_PATH, "irq", "50000000"}, {}, dir + "/err");
        ASSERT_TRUE(mulvotest::waitFor([&] { return segment->status().raised > 1000; }));
        kill(irq, signal);
        EXPECT_EQ(mulvotest::waitProgram(irq), 1);
        const auto s = segment->status();
        EXPECT_EQ(s.raised, s.delivered + s.missed);
        EXPECT_EQ(mulvotest::readFile(dir + "/err"), "mulvo-sim: interrupted; " +
                                                         std::to_string(s.raised) +
                                                         " of 50000000 interrupts raised\n");
    }
    std::filesystem::remove_all(dir);
}

TEST_F(CommandLine, WatchWithAStalledReaderSaysItFlushesAndAnotherSignalAbandons)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::vector<std::string> argv{MULVO_PATH, "watch"};
    const pid_t watcher = mulvotest::startProgram(argv, fifo, dir + "/err");
    ASSERT_TRUE(mulvotest::waitFor([&] { return segment->status().armed == 1; }));
    // Far more lines than the pipe holds, none of them read.
    ASSERT_EQ(sim({"irq", "20000"}).exitCode, 0);
    ASSERT_TRUE(mulvotest::waitFor([&] { return segment->status().delivered == 20000; }));
    kill(watcher, SIGINT);
    EXPECT_TRUE(mulvotest::waitFor([&] {
        return mulvotest::readFile(dir + "/err").find("flushing") != std::string::npos;
    })) << mulvotest::readFile(dir + "/err");
    EXPECT_EQ(segment->status().armed, 0u);
    kill(watcher, SIGINT);
    EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
    close(reader);
    std::filesystem::remove_all(dir);
}

// Hostile surroundings for every program of ours: closed standard descriptors, a runtime folder
// of another user, open to others or full, planted links and files. Afterwards the adapter's
// segment and every planted target are as they were.
TEST_F(CommandLine, HostileSurroundingsLeaveTheAdapterAndPlantedFilesAlone)
{
    // A runtime folder of this test's own, for the programs and for this process.
    const std::string run = scratchDir + "/run";
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    const char *previous = std::getenv("XDG_RUNTIME_DIR");
    struct RestoreRuntime
    {
        std::optional<std::string> value;
        ~RestoreRuntime()
        {
            if (value)
                setenv("XDG_RUNTIME_DIR", value->c_str(), 1);
            else
                unsetenv("XDG_RUNTIME_DIR");
        }
    } restore{previous ? std::optional<std::string>(previous) : std::nullopt};
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    std::string error;
    auto adapter = SimSegment::open(mulvotest::instance(), error);
    ASSERT_TRUE(adapter) << error;
    adapter->setInput(0x3c);
    adapter->writeOutput(0x5a);
    const std::string segmentFile = adapter->path();
    ASSERT_EQ(segmentFile.rfind(run, 0), 0u);
    // The header and the state before the output byte, which no program here changes.
    auto stateOf = [](const std::string &file) { return mulvotest::readFile(file).substr(0, 64); };
    const std::string intact = stateOf(segmentFile);
    auto expectIntact = [&](const std::string &what) {
        SCOPED_TRACE(what);
        adapter->reapDeadProcesses(); // a program stopped by a signal keeps no handle open
        EXPECT_EQ(stateOf(segmentFile), intact);
        EXPECT_EQ(adapter->inputLines(), 0x3c);
        std::string e;
        EXPECT_TRUE(SimSegment::open(mulvotest::instance(), e, SimSegment::OpenMode::ExistingOnly))
            << e;
    };
    const std::string config = "XDG_CONFIG_HOME=" + scratchDir + "/config";
    auto shell = [&](const std::string &command) {
        const int rc = std::system((config + " " + command).c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };

    // Closed standard descriptors: the tools' files never take their numbers, so output to a
    // closed one is a write error, not a write into the adapter.
    const std::string mulvoPath = MULVO_PATH;
    const std::string simPath = MULVO_SIM_PATH;
    const std::pair<std::string, int> closed[] = {
        {mulvoPath + " get >&- 2>/dev/null", 1},
        {simPath + " status >&- 2>/dev/null", 1},
        {mulvoPath + " watch --timeout 0.1 >/dev/null 2>&-", 0},
        {mulvoPath + " set 0x5a <&- >&- 2>&-", 0},
    };
    for (const auto &[command, status] : closed) {
        EXPECT_EQ(shell(command), status) << command;
        expectIntact(command);
        EXPECT_EQ(adapter->output(), 0x5a);
    }
    // A segment created with standard error closed holds no message either.
    const std::string fresh = mulvotest::instance() + "-fresh";
    EXPECT_EQ(shell(simPath + " --instance " + fresh + " input 0x21 2>&-"), 0);
    auto freshSegment = SimSegment::open(fresh, error, SimSegment::OpenMode::ExistingOnly);
    EXPECT_TRUE(freshSegment) << error;
    EXPECT_EQ(freshSegment ? freshSegment->inputLines() : -1, 0x21);
    SimSegment::remove(fresh, error);

    // The long-running programs: their standard descriptors are /dev/null by the time they
    // have opened the adapter (the window program) or started (the demo host, the service).
    const std::vector<std::string> display{"QT_QPA_PLATFORM=offscreen", config};
    // A damaged single-copy lock (a FIFO, which would block whoever reads it) is no copy.
    ASSERT_EQ(mkfifo((run + "/dovrax.lock").c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> longRunning{
        {DOVRAX_PATH},
        {HOSTDEMO_PATH},
        {MULVOD_PATH, "--adapter", "virtual", "--socket", run + "/mulvod.sock"}};
    for (const auto &argv : longRunning) {
        const std::string &program = argv.front();
        SCOPED_TRACE(program);
        const pid_t pid = mulvotest::startWithoutStandardDescriptors(argv, display);
        ASSERT_GT(pid, 0);
        auto link = [pid](const std::string &fd) {
            std::error_code e;
            return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd, e)
                .string();
        };
        auto ready = [&] {
            // Filled lowest first: once 2 is there, so are 0 and 1.
            if (program != DOVRAX_PATH)
                return link("2") == "/dev/null";
            std::error_code e;
            for (const auto &fd :
                 std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", e))
                if (link(fd.path().filename()) == segmentFile)
                    return true;
            return false;
        };
        EXPECT_TRUE(mulvotest::waitFor(ready));
        for (const char *fd : {"0", "1", "2"})
            EXPECT_EQ(link(fd), "/dev/null") << "descriptor " << fd;
        kill(pid, SIGTERM);
        mulvotest::waitProgram(pid);
        expectIntact(program);
    }

    // The output byte mulvo keeps for another maker's library (a copy of the virtual adapter
    // passes for one) is never written through a planted link nor read from a planted file.
    const std::string other = scratchDir + "/libother.so.1";
    std::filesystem::copy_file(MULVO_LIB_PATH, other);
    auto mulvoOther = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--adapter", other});
        return mulvo(args);
    };
    ASSERT_EQ(mulvoOther({"set", "0x10"}).exitCode, 0);
    const std::string memoryDir = run + "/dovrax";
    std::string memory;
    for (const auto &entry : std::filesystem::directory_iterator(memoryDir))
        memory = entry.path();
    ASSERT_EQ(mulvotest::readFile(memory), "0x10\n");
    const std::string target = scratchDir + "/target";
    std::ofstream(target) << "precious\n";
    auto lastWrites = [&] {
        const uint64_t last = adapter->outputSequence();
        SimSegment::OutputWrite a, b;
        adapter->outputWrite(last - 1, a);
        adapter->outputWrite(last, b);
        return std::make_pair(a.value, b.value);
    };
    struct Plant
    {
        const char *what;
        std::function<void()> plant;
        const char *warning;
    };
    const bool root = geteuid() == 0;
    const Plant plants[] = {
        {"links at the file and at the name written before",
         [&] {
             std::filesystem::remove(memory);
             std::filesystem::create_symlink(target, memory);
             std::filesystem::create_symlink(target, memory + ".new");
         },
         "is not a file of yours"},
        {"a file others may write",
         [&] {
             std::filesystem::remove(memory);
             std::ofstream(memory) << "0x99\n";
             chmod(memory.c_str(), 0666);
             if (root) {
                 EXPECT_EQ(chown(memory.c_str(), 65534, 65534), 0);
             }
         },
         "is not a file of yours"},
        {"a file of something else",
         [&] {
             std::filesystem::remove(memory);
             std::ofstream(memory) << "0x99 and more\n";
         },
         "does not hold an output byte"},
    };
    for (const Plant &p : plants) {
        SCOPED_TRACE(p.what);
        p.plant();
        const auto pulse = mulvoOther({"pulse", "0x41", "--ms", "1"});
        EXPECT_EQ(pulse.exitCode, 0);
        EXPECT_NE(pulse.err.find(p.warning), std::string::npos) << pulse.err;
        // What was planted is not written back: the byte before is unknown, so 0.
        EXPECT_EQ(lastWrites(), std::make_pair(uint8_t(0x41), uint8_t(0)));
        EXPECT_EQ(mulvotest::readFile(target), "precious\n");
        EXPECT_FALSE(std::filesystem::is_symlink(memory));
        EXPECT_EQ(mulvotest::readFile(memory), "0x00\n");
        std::filesystem::remove(memory + ".new");
    }
    // A folder that others may enter, or that another user owns, is not used at all.
    std::vector<std::function<void()>> folders{[&] { chmod(memoryDir.c_str(), 0777); }};
    if (root)
        folders.push_back([&] {
            chmod(memoryDir.c_str(), 0700);
            EXPECT_EQ(chown(memoryDir.c_str(), 65534, 65534), 0);
        });
    for (const auto &spoil : folders) {
        spoil();
        const auto set = mulvoOther({"set", "0x42"});
        EXPECT_EQ(set.exitCode, 0);
        EXPECT_NE(set.err.find("not remembering the output byte: " + memoryDir), std::string::npos)
            << set.err;
        EXPECT_EQ(mulvotest::readFile(memory), "0x00\n");
    }
    expectIntact("the output byte kept for another library");

    // A full runtime folder: no adapter is made there, and nothing is left behind.
    const std::string full = scratchDir + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=8k,mode=0700") != 0)
        GTEST_SKIP() << "full runtime folder not tried: cannot mount a small tmpfs ("
                     << std::strerror(errno) << ")";
    const auto made = mulvotest::runTool(MULVO_SIM_PATH, {"--instance", "full", "input", "0x42"},
                                         {"XDG_RUNTIME_DIR=" + full});
    const bool empty = std::filesystem::is_empty(full);
    umount2(full.c_str(), MNT_DETACH);
    EXPECT_EQ(made.exitCode, 1);
    EXPECT_NE(made.err.find("no space left in " + full), std::string::npos) << made.err;
    EXPECT_TRUE(empty);
    expectIntact("a full runtime folder");
}

// Through the adapter service, mulvo shares one adapter with every other client: what one
// wrote stays after it ends, every armed watch counts every interrupt, and one killed while
// armed is disarmed at once.
TEST_F(CommandLine, ThroughTheServiceClientsShareOneAdapter)
{
    mulvotest::ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.log();
    const std::vector<std::string> env{service.socketEnv(), "DOVRAX_MULVOLIB=service",
                                       "XDG_CONFIG_HOME=" + scratchDir + "/config"};
    const auto viaService = [&](const std::vector<std::string> &args) {
        return mulvotest::runTool(MULVO_PATH, args, env);
    };
    const auto info = viaService({"info"});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("kind=service\nchosen-by=environment\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("socket=" + service.socket() + "\nservice=Service: Virtual adapter"),
              std::string::npos)
        << info.out;

    ASSERT_EQ(viaService({"set", "0x5a"}).exitCode, 0);
    EXPECT_EQ(segment->output(), 0x5a);
    ASSERT_EQ(sim({"loopback", "on"}).exitCode, 0);
    EXPECT_EQ(viaService({"get"}).out, "0x5a\n") << "the byte stays after the writer ended";
    // A pulse puts back what the service last wrote, whoever wrote it: here a client of
    // another session, whose byte this session's mulvo never saw.
    const std::string session = mulvotest::makeTempDir();
    auto other = env;
    other.push_back("XDG_RUNTIME_DIR=" + session);
    ASSERT_EQ(mulvotest::runTool(MULVO_PATH, {"set", "0x33"}, other).exitCode, 0);
    ASSERT_EQ(viaService({"pulse", "0x81", "--ms", "1"}).exitCode, 0);
    EXPECT_EQ(segment->output(), 0x33);
    ASSERT_EQ(viaService({"set", "0x5a"}).exitCode, 0);
    rmdir(session.c_str());

    // Two watches armed through the service; the service arms the adapter once.
    const std::string dir = mulvotest::makeTempDir();
    const auto armedClients = [&] {
        const std::string log = service.log();
        size_t n = 0;
        for (size_t at = 0; (at = log.find("armed adapter 0", at)) != std::string::npos; ++at)
            n += log.compare(at - 3, 3, "dis") != 0;
        return n;
    };
    std::vector<pid_t> watchers;
    for (int i = 0; i < 3; ++i) {
        watchers.push_back(mulvotest::startProgram({MULVO_PATH, "watch", "-n", "40"},
                                                   dir + "/watch" + std::to_string(i), {}, env));
        ASSERT_TRUE(mulvotest::waitFor([&] { return armedClients() == watchers.size(); }))
            << service.log();
    }
    EXPECT_EQ(segment->status().armed, 1u);
    ASSERT_EQ(sim({"irq", "15"}).exitCode, 0);
    // One of them killed while armed: the others count on.
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return lines(mulvotest::readFile(dir + "/watch2")).size() == 15; }));
    kill(watchers[2], SIGKILL);
    mulvotest::waitProgram(watchers[2]);
    ASSERT_EQ(sim({"irq", "25"}).exitCode, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(mulvotest::waitProgram(watchers[size_t(i)]), 0);
        const auto shown = lines(mulvotest::readFile(dir + "/watch" + std::to_string(i)));
        ASSERT_EQ(shown.size(), 40u);
        for (size_t n = 0; n < shown.size(); ++n)
            EXPECT_NE(shown[n].find(" irq=" + std::to_string(n + 1) + " "), std::string::npos)
                << shown[n];
    }
    EXPECT_TRUE(mulvotest::waitFor([&] { return segment->status().armed == 0; }));
    // It was dropped as lost, armed: nobody disarmed it but the service.
    const std::string log = service.log();
    const size_t connected = log.find(" connected (pid " + std::to_string(watchers[2]) + ",");
    ASSERT_NE(connected, std::string::npos) << log;
    const std::string client =
        log.substr(log.rfind("client ", connected), connected - log.rfind("client ", connected));
    EXPECT_NE(log.find(client + " lost"), std::string::npos) << log;
    EXPECT_EQ(log.find(client + " disarmed"), std::string::npos) << log;

    // The service stopped: a client says why and fails; started again, it is reachable.
    EXPECT_EQ(service.stop(SIGTERM), 0);
    const auto gone = viaService({"get"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.err.find("mulvod is not running"), std::string::npos) << gone.err;
    ASSERT_TRUE(service.start()) << service.log();
    EXPECT_EQ(viaService({"get"}).out, "0x5a\n");
    std::system(("rm -rf '" + dir + "'").c_str());
}

// An operator's machine reaches the service through OpenSSH's forwarding of Unix sockets: here
// an sshd of the test's own on 127.0.0.1 with throwaway keys.
TEST_F(CommandLine, ThroughSshForwardingTheServiceIsReachedAsIfLocal)
{
    const char *sshd = "/usr/sbin/sshd";
    if (access(sshd, X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0)
        GTEST_SKIP() << "OpenSSH's server and client are not installed (scripts/deps)";
    mulvotest::ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.log();
    const std::string dir = mulvotest::makeTempDir();
    for (const char *key : {"host_key", "user_key"}) {
        ASSERT_EQ(mulvotest::runProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "",
                                         "-f", dir + "/" + key})
                      .exitCode,
                  0);
    }
    ASSERT_EQ(std::system(("cp '" + dir + "/user_key.pub' '" + dir + "/authorized_keys'").c_str()),
              0);
    // A port nobody listens on.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    const std::string port = std::to_string(ntohs(address.sin_port));
    {
        std::ofstream config(dir + "/sshd_config");
        config << "ListenAddress 127.0.0.1:" << port << "\nHostKey " << dir
               << "/host_key\nAuthorizedKeysFile " << dir
               << "/authorized_keys\nPidFile none\nStrictModes no\nUsePAM no\n"
                  "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                  "PermitRootLogin prohibit-password\nAllowStreamLocalForwarding yes\n";
    }
    if (geteuid() == 0)
        mkdir("/run/sshd", 0755); // the server's own empty folder, made by its package's service
    const pid_t server = mulvotest::startProgram({sshd, "-D", "-e", "-f", dir + "/sshd_config"}, {},
                                                 dir + "/sshd.log");
    ASSERT_GT(server, 0);
    EXPECT_TRUE(mulvotest::waitFor([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const bool listening =
            connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(fd);
        return listening;
    })) << mulvotest::readFile(dir + "/sshd.log");
    const std::string local = dir + "/bench.sock";
    const pid_t tunnel = mulvotest::startProgram(
        {"/usr/bin/ssh", "-N", "-p", port, "-i", dir + "/user_key", "-o", "BatchMode=yes", "-o",
         "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
         "ExitOnForwardFailure=yes", "-L", local + ":" + service.socket(), "127.0.0.1"},
        {}, dir + "/ssh.log");
    ASSERT_GT(tunnel, 0);
    struct stat st;
    const bool up = mulvotest::waitFor([&] { return lstat(local.c_str(), &st) == 0; });
    if (up) {
        const std::vector<std::string> env{"MULVO_SERVICE_SOCKET=" + local,
                                           "XDG_CONFIG_HOME=" + scratchDir + "/config"};
        const auto set =
            mulvotest::runTool(MULVO_PATH, {"--adapter", "service", "set", "0xc3"}, env);
        EXPECT_EQ(set.exitCode, 0) << set.err;
        EXPECT_EQ(segment->output(), 0xc3);
        const auto info = mulvotest::runTool(MULVO_PATH, {"--adapter", "service", "info"}, env);
        EXPECT_NE(info.out.find("socket=" + local + "\nservice=Service: Virtual adapter"),
                  std::string::npos)
            << info.out << info.err;
        const pid_t watcher = mulvotest::startProgram(
            {MULVO_PATH, "--adapter", "service", "watch", "-n", "7"}, dir + "/watch", {}, env);
        EXPECT_TRUE(mulvotest::waitFor([&] { return segment->status().armed == 1; }));
        ASSERT_EQ(sim({"irq", "7"}).exitCode, 0);
        EXPECT_EQ(mulvotest::waitProgram(watcher), 0);
        EXPECT_EQ(lines(mulvotest::readFile(dir + "/watch")).size(), 7u);
    }
    kill(tunnel, SIGTERM);
    mulvotest::waitProgram(tunnel);
    kill(server, SIGTERM);
    mulvotest::waitProgram(server);
    EXPECT_TRUE(up) << mulvotest::readFile(dir + "/ssh.log")
                    << mulvotest::readFile(dir + "/sshd.log");
    EXPECT_NE(service.log().find("connected"), std::string::npos);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// The bash completions, with a stand-in for bash-completion's word splitting: each row is the
// words typed so far (the last one being completed) and the offers expected.
TEST_F(CommandLine, CompletionOffersOnlyWhatTheToolsTake)
{
    const std::string name = mulvotest::instance();
    const std::pair<std::string, std::string> rows[] = {
        {"mulvo ''", "info get set pulse watch"},
        {"mulvo -d 0 g", "get"},
        {"mulvo --adapter s", "service system"},
        {"mulvo get ''", ""},
        {"mulvo set ''", ""},
        {"mulvo get --format ''", "hex dec bin json"},
        {"mulvo watch -f ''", "text json"},
        {"mulvo --format j", "json"},
        {"mulvo info --format ''", ""},
        {"mulvo-sim ''", "status input irq plug unplug loopback watch reset"},
        {"mulvo-sim status ''", ""},
        {"mulvo-sim loopback ''", "on off"},
        {"mulvo-sim loopback on ''", ""},
        {"mulvo-sim -i " + name + " ''", "status input irq plug unplug loopback watch reset"},
        {"mulvo-sim --instance '" + name.substr(0, name.size() - 1) + "'", name},
    };
    std::string script =
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD;"
        " cur=${words[cword]}; prev=${words[cword-1]}; }\n"
        "source '" COMPLETION_DIR "/mulvo'; source '" COMPLETION_DIR "/mulvo-sim'\n"
        "offer() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=();"
        " [[ $1 == mulvo ]] && _mulvo || _mulvo_sim; echo \"${COMPREPLY[*]}\"; }\n";
    for (const auto &[words, offers] : rows)
        script += "offer " + words + "\n";
    const mulvotest::ProgramResult result = mulvotest::runProgram({"/bin/bash", "-c", script}, {});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> got = lines(result.out);
    ASSERT_EQ(got.size(), std::size(rows)) << result.out;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], rows[i].second) << rows[i].first;
}

} // namespace
