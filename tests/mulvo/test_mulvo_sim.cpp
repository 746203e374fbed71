// The control tool and the shared segment it drives: arguments, state changes, watching the
// output byte, and refusing segments it must not use.
#include "mulvotestsupport.h"
#include "simsegment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using mulvo::sim::SimSegment;
using namespace std::chrono_literals;

namespace {

mulvotest::ProgramResult tool(const std::vector<std::string> &args,
                              const std::vector<std::string> &env = {})
{
    return mulvotest::runTool(MULVO_SIM_PATH, args, env);
}

const char kDefaults[] = "present=1\noutput=0x00\ninput=0x00\nloopback=off\narmed=0\n"
                         "raised=0\ndelivered=0\nmissed=0\nhandles=0\n";

class ControlTool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(tool({"reset"}).exitCode, 0);
        std::string error;
        segment = SimSegment::open(mulvotest::instance(), error);
        ASSERT_TRUE(segment) << error;
    }
    void TearDown() override
    {
        std::string error;
        for (const std::string &name : extraInstances)
            SimSegment::remove(name, error);
    }
    std::string extraInstance(const std::string &suffix)
    {
        extraInstances.push_back(mulvotest::instance() + "-" + suffix);
        return extraInstances.back();
    }
    // A segment of this instance's name written by hand, as another version would, with a
    // header saying `size` in a file of `fileSize` bytes.
    static void writeSegment(const std::string &path, uint32_t magic, uint32_t version,
                             uint64_t size, mode_t mode = 0600, uint64_t fileSize = ~0ull)
    {
        fileSize = fileSize == ~0ull ? size : fileSize;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
        ASSERT_GE(fd, 0) << path;
        fchmod(fd, mode);
        ASSERT_EQ(ftruncate(fd, off_t(fileSize)), 0);
        const uint32_t header[4] = {magic, version, uint32_t(size), uint32_t(size >> 32)};
        const size_t length = std::min<size_t>(sizeof header, fileSize);
        ASSERT_EQ(write(fd, header, length), ssize_t(length));
        close(fd);
    }

    std::unique_ptr<SimSegment> segment;
    std::vector<std::string> extraInstances;
};

TEST_F(ControlTool, StatusAfterResetShowsTheDefaults)
{
    const auto result = tool({"status"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kDefaults);
    EXPECT_EQ(result.err, "");
}

TEST_F(ControlTool, CommandsChangeTheState)
{
    EXPECT_EQ(tool({"input", "200"}).exitCode, 0);
    EXPECT_EQ(segment->readInput(), 200);
    EXPECT_EQ(tool({"input", "0xA7"}).exitCode, 0);
    EXPECT_EQ(segment->readInput(), 0xa7);
    EXPECT_EQ(tool({"loopback", "on"}).exitCode, 0);
    segment->writeOutput(0x42);
    EXPECT_EQ(segment->readInput(), 0x42);
    EXPECT_EQ(tool({"irq", "4", "--interval", "1"}).exitCode, 0);
    EXPECT_EQ(tool({"irq", "--interval=0", "2"}).exitCode, 0);
    EXPECT_EQ(tool({"irq"}).exitCode, 0);

    auto result = tool({"status"});
    EXPECT_EQ(result.out, "present=1\noutput=0x42\ninput=0x42\nloopback=on\narmed=0\n"
                          "raised=7\ndelivered=0\nmissed=7\nhandles=0\n");

    EXPECT_EQ(tool({"unplug"}).exitCode, 0);
    EXPECT_FALSE(segment->present());
    result = tool({"irq", "3"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("unplugged"), std::string::npos) << result.err;
    EXPECT_EQ(segment->status().raised, 7u);
    EXPECT_EQ(tool({"plug"}).exitCode, 0);
    EXPECT_TRUE(segment->present());

    EXPECT_EQ(tool({"reset"}).exitCode, 0);
    EXPECT_EQ(tool({"status"}).out, kDefaults);
}

TEST_F(ControlTool, MalformedArgumentsChangeNothingAndExitWith2)
{
    segment->setInput(0x12);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--verbose", "status"},
        {"status", "extra"},
        {"input"},
        {"input", "256"},
        {"input", "-1"},
        {"input", "0x100"},
        {"input", "12abc"},
        {"input", "0x"},
        {"input", " 5"},
        {"input", "1", "2"},
        {"input", "99999999999999999999999"},
        {"irq", "0"},
        {"irq", "-3"},
        {"irq", "100000001"},
        {"irq", "1", "2"},
        {"irq", "--interval", "abc"},
        {"irq", "--interval"},
        {"irq", "--interval", "-5"},
        {"irq", "--fast"},
        {"loopback"},
        {"loopback", "maybe"},
        {"plug", "now"},
        {"watch", "1"},
        {"--instance"},
        {"--instance", "", "status"},
        {"--instance", "bad/name", "status"},
        {"--instance", std::string(65, 'a'), "status"},
    };
    for (const auto &args : cases) {
        std::string joined;
        for (const auto &a : args)
            joined += "[" + a + "] ";
        SCOPED_TRACE(joined);
        const auto result = tool(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("mulvo-sim: "), std::string::npos) << result.err;
    }
    const auto badEnv = tool({"status"}, {"MULVO_SIM_INSTANCE=no spaces"});
    EXPECT_EQ(badEnv.exitCode, 2);
    EXPECT_NE(badEnv.err.find("MULVO_SIM_INSTANCE"), std::string::npos) << badEnv.err;

    const auto status = segment->status();
    EXPECT_EQ(status.input, 0x12);
    EXPECT_EQ(status.raised, 0u);
}

TEST_F(ControlTool, HelpGoesToStdout)
{
    for (const char *flag : {"--help", "-h"}) {
        const auto result = tool({flag});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out.rfind("Usage: mulvo-sim", 0), 0u) << result.out;
        EXPECT_NE(result.out.find("irq [COUNT] [--interval MS]"), std::string::npos);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(ControlTool, InstanceOptionAndVariableChooseTheSegment)
{
    const std::string other = extraInstance("other");
    EXPECT_EQ(tool({"--instance", other, "input", "7"}).exitCode, 0);
    EXPECT_EQ(tool({"--instance=" + other, "irq", "2"}).exitCode, 0);
    EXPECT_EQ(segment->readInput(), 0);
    EXPECT_EQ(segment->status().raised, 0u);

    const auto viaEnv = tool({"status"}, {"MULVO_SIM_INSTANCE=" + other});
    EXPECT_NE(viaEnv.out.find("\ninput=0x07\n"), std::string::npos) << viaEnv.out;
    EXPECT_NE(viaEnv.out.find("\nraised=2\n"), std::string::npos) << viaEnv.out;
    // The option wins over the variable.
    const auto both =
        tool({"--instance", mulvotest::instance(), "status"}, {"MULVO_SIM_INSTANCE=" + other});
    EXPECT_EQ(both.out, kDefaults);
}

TEST_F(ControlTool, SegmentsOfAnotherLayoutOrOwnerAreRefused)
{
    struct Case
    {
        const char *suffix;
        uint32_t magic;
        uint32_t version;
        uint64_t size;
        mode_t mode;
        uint64_t fileSize;
        std::string message;
    };
    constexpr uint32_t kMagic = mulvo::sim::kSegmentMagic;
    constexpr uint32_t kVersion = mulvo::sim::kLayoutVersion;
    constexpr uint64_t kSize = sizeof(mulvo::sim::SegmentLayout);
    const Case cases[] = {
        {"newer", kMagic, kVersion + 1, kSize, 0600, kSize,
         "layout version " + std::to_string(kVersion + 1)},
        {"big", kMagic, kVersion, 2 * kSize, 0600, 2 * kSize,
         "layout version " + std::to_string(kVersion) + " of " + std::to_string(2 * kSize)},
        {"alien", 0x12345678, kVersion, kSize, 0600, kSize, "does not hold a virtual adapter"},
        {"shared", kMagic, kVersion, kSize, 0666, kSize, "open to other users"},
        // Cut short or grown behind the header's back: the size that differs is named.
        {"cut", kMagic, kVersion, kSize, 0600, 4096, "is 4096 bytes long, but its layout"},
        {"grown", kMagic, kVersion, kSize, 0600, kSize + 1,
         "is " + std::to_string(kSize + 1) + " bytes long"},
        // Nothing to wait for: a segment is complete before it has a name.
        {"empty", kMagic, kVersion, kSize, 0600, 0, "is 0 bytes long, too short"},
        {"byte", kMagic, kVersion, kSize, 0600, 1, "is 1 byte long, too short"},
        {"zeros", 0, 0, 0, 0600, kSize, "was never initialised"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.suffix);
        const std::string instance = extraInstance(c.suffix);
        const std::string path = SimSegment::segmentPath(instance);
        writeSegment(path, c.magic, c.version, c.size, c.mode, c.fileSize);
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SimSegment::open(instance, error));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "waited for a creator";
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_NE(error.find(path), std::string::npos) << error;

        for (const char *command : {"status", "reset", "irq"}) {
            const auto result = tool({"--instance", instance, command});
            EXPECT_EQ(result.exitCode, 1) << command;
            EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        }
        // Never rewritten by the refusal.
        struct stat st
        {
        };
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(uint64_t(st.st_size), c.fileSize);
        if (c.fileSize < 8)
            continue;
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        uint32_t header[2] = {};
        ASSERT_EQ(read(fd, header, sizeof header), ssize_t(sizeof header));
        close(fd);
        EXPECT_EQ(header[0], c.magic);
        EXPECT_EQ(header[1], c.version);
    }
}

TEST_F(ControlTool, ManyProcessesCreatingOneSegmentAllSeeItReady)
{
    const std::string fresh = extraInstance("fresh");
    std::vector<pid_t> pids;
    std::vector<std::string> outputs;
    const std::string dir = mulvotest::makeTempDir();
    for (int i = 0; i < 6; ++i) {
        outputs.push_back(dir + "/out" + std::to_string(i));
        pids.push_back(
            mulvotest::startProgram({MULVO_SIM_PATH, "--instance", fresh, "plug"}, outputs[i]));
    }
    for (size_t i = 0; i < pids.size(); ++i) {
        EXPECT_EQ(mulvotest::waitProgram(pids[i]), 0);
        unlink(outputs[i].c_str());
    }
    rmdir(dir.c_str());
    EXPECT_EQ(tool({"--instance", fresh, "status"}).out, kDefaults);
}

TEST_F(ControlTool, WatchPrintsEveryChangeOfTheOutputByteIncludingShortPulses)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string out = dir + "/watch";
    const pid_t watcher = mulvotest::startProgram({MULVO_SIM_PATH, "watch"}, out);
    ASSERT_GT(watcher, 0);
    // Ready once it has the segment mapped.
    const std::string maps = "/proc/" + std::to_string(watcher) + "/maps";
    const std::string name = SimSegment::segmentPath(mulvotest::instance());
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(maps).find(name) != std::string::npos; }));
    // Then it reads where the writes stand, a moment later even on a busy machine.
    std::this_thread::sleep_for(200ms);

    segment->writeOutput(0x55);
    segment->writeOutput(0x00); // a pulse far shorter than the watcher's polling period
    segment->writeOutput(0x01);
    segment->writeOutput(0x01); // no change
    ASSERT_TRUE(mulvotest::waitFor(
        [&] { return mulvotest::readFile(out).find("output=0x01") != std::string::npos; }));
    kill(watcher, SIGINT);
    EXPECT_EQ(mulvotest::waitProgram(watcher), 0);

    std::istringstream lines(mulvotest::readFile(out));
    std::vector<std::string> values;
    std::string line;
    const std::regex format(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} output=(0x[0-9a-f]{2}))");
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, format)) << line;
        values.push_back(m[1]);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"0x55", "0x00", "0x01"}));
    unlink(out.c_str());
    rmdir(dir.c_str());
}

TEST(InstanceName, AllowedCharactersAndLength)
{
    EXPECT_TRUE(SimSegment::isValidInstance("default"));
    EXPECT_TRUE(SimSegment::isValidInstance("A-z_0.9"));
    EXPECT_TRUE(SimSegment::isValidInstance(std::string(64, 'x')));
    EXPECT_FALSE(SimSegment::isValidInstance(std::string(65, 'x')));
    EXPECT_FALSE(SimSegment::isValidInstance(""));
    for (const char *bad : {"a/b", "..\\x", "a b", "a\nb", "ä", "a:b"})
        EXPECT_FALSE(SimSegment::isValidInstance(bad)) << bad;
}

TEST_F(ControlTool, AnotherUserCannotTakeTheNameFirst)
{
    // /dev/shm is open to all: what another user may create there must not matter.
    const std::string instance = extraInstance("taken");
    const std::string shared = "/dev/shm/mulvo-" + std::to_string(geteuid()) + "-" + instance;
    writeSegment(shared, 0x12345678, 1, 64);
    char pattern[] = "/dev/shm/mulvo-test-run-XXXXXX";
    const std::string runtime = mkdtemp(pattern);
    const char *saved = getenv("XDG_RUNTIME_DIR");
    const std::string previous = saved ? saved : "";

    setenv("XDG_RUNTIME_DIR", "/tmp", 1); // open to others: not a place for the segment
    EXPECT_NE(SimSegment::segmentPath(instance), "/tmp/mulvo-" + instance);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(SimSegment::segmentPath(instance), runtime + "/mulvo-" + instance);
    const std::string env = "XDG_RUNTIME_DIR=" + runtime;
    const auto input = tool({"--instance", instance, "input", "5"}, {env});
    EXPECT_EQ(input.exitCode, 0) << input.err;
    const auto status = tool({"--instance", instance, "status"}, {env});
    EXPECT_NE(status.out.find("\ninput=0x05\n"), std::string::npos) << status.err;

    std::string error;
    SimSegment::remove(instance, error);
    if (previous.empty())
        unsetenv("XDG_RUNTIME_DIR");
    else
        setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
    unlink(shared.c_str());
    EXPECT_EQ(rmdir(runtime.c_str()), 0) << "left behind in " << runtime;
}

} // namespace
