// Loading the adapter library at run time: what the program reports for every way it can
// fail, and that the virtual adapter loads, works and unloads cleanly.
#include "mulvoloader.h"
#include "mulvotestsupport.h"
#include "simsegment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using mulvo::Library;
using mulvo::sim::SimSegment;

namespace {

class EnvGuard
{
public:
    EnvGuard(const char *name, const std::string &value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        hadOld_ = std::getenv(name) != nullptr;
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard()
    {
        if (hadOld_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::string old_;
    bool hadOld_ = false;
};

bool libraryMapped()
{
    return mulvotest::readFile("/proc/self/maps").find("libmulvo.so") != std::string::npos;
}

// The library names its delivery thread.
bool deliveryThreadRuns()
{
    bool found = false;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string comm = std::string("/proc/self/task/") + entry->d_name + "/comm";
            found |= mulvotest::readFile(comm) == "mulvo-irq\n";
        }
        closedir(dir);
    }
    return found;
}

std::atomic<uint32_t> g_calls{0};

void countingCallback(uint32_t, uint32_t)
{
    ++g_calls;
}

TEST(Loader, MissingFileIsNamed)
{
    std::string error;
    EXPECT_FALSE(Library::loadFile("/nonexistent/libnothing.so", error));
    EXPECT_NE(error.find("/nonexistent/libnothing.so"), std::string::npos) << error;
}

TEST(Loader, FileThatIsNoLibraryIsNamed)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string text = dir + "/libmulvo.so.1";
    std::ofstream(text) << "not a library\n";
    std::string error;
    EXPECT_FALSE(Library::loadFile(text, error));
    EXPECT_NE(error.find(text), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

TEST(Loader, LibraryWithoutTheFunctionsNamesFileAndFunction)
{
    std::string error;
    EXPECT_FALSE(Library::loadFile(PARTIAL_LIB_PATH, error));
    EXPECT_EQ(error, std::string(PARTIAL_LIB_PATH) + ": missing function mulvo_close");
}

TEST(Loader, RelativePathsAreRefused)
{
    for (const char *relative : {"lib/libmulvo.so.1", "./libmulvo.so.1", "libmulvo.so.1"}) {
        EnvGuard env(mulvo::kLibraryEnv, relative);
        std::string error;
        EXPECT_FALSE(Library::load(error));
        EXPECT_EQ(error, std::string("DOVRAX_MULVOLIB must be an absolute path: ") + relative);
    }
    std::string error;
    EXPECT_FALSE(Library::loadFile("lib/libmulvo.so.1", error));
    EXPECT_NE(error.find("lib/libmulvo.so.1"), std::string::npos) << error;
}

TEST(Loader, DefaultIsFoundBesideTheProgramNeverInTheCurrentDirectory)
{
    // A decoy of the default name in the current directory must not be picked up.
    const std::string dir = mulvotest::makeTempDir();
    std::filesystem::copy_file(PARTIAL_LIB_PATH, dir + "/libmulvo.so.1");
    char previous[PATH_MAX];
    ASSERT_TRUE(getcwd(previous, sizeof previous));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    unsetenv(mulvo::kLibraryEnv);
    std::string error;
    auto library = Library::load(error);
    ASSERT_EQ(chdir(previous), 0);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(library) << error;
    EXPECT_EQ(std::filesystem::canonical(library->file()),
              std::filesystem::canonical(MULVO_LIB_PATH));
    EXPECT_NE(library->api().out2, nullptr);
}

TEST(Loader, VirtualAdapterNamedByTheVariableWorksAndUnloadsWhileArmed)
{
    std::string error;
    auto segment = SimSegment::open(mulvotest::instance(), error);
    ASSERT_TRUE(segment) << error;
    segment->reset();
    ASSERT_FALSE(deliveryThreadRuns());
    {
        EnvGuard env(mulvo::kLibraryEnv, MULVO_LIB_PATH);
        auto library = Library::load(error);
        ASSERT_TRUE(library) << error;
        EXPECT_EQ(library->file(), MULVO_LIB_PATH);
        const mulvo::Api &api = library->api();
        const uint32_t h = api.open(0);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(api.mbout(h, 0x66), MULVO_OK);
        EXPECT_EQ(segment->output(), 0x66);
        segment->setInput(0x99);
        uint32_t value = 0;
        EXPECT_EQ(api.mbin(h, &value), MULVO_OK);
        EXPECT_EQ(value, 0x99u);
        int record = 0;
        EXPECT_EQ(api.set_extension(h, &record), MULVO_OK);
        EXPECT_EQ(api.get_extension(h), &record);
        g_calls = 0;
        ASSERT_EQ(api.connect(h, countingCallback), MULVO_OK);
        ASSERT_TRUE(segment->raise(3));
        ASSERT_TRUE(mulvotest::waitFor([] { return g_calls.load() == 3; }));
        EXPECT_TRUE(deliveryThreadRuns());
        EXPECT_EQ(segment->status().armed, 1u);
        // Unloaded with the handle open and armed, its thread waiting for the next interrupt.
    }
    EXPECT_FALSE(libraryMapped()) << "dlclose left libmulvo mapped";
    EXPECT_FALSE(deliveryThreadRuns());
    const auto status = segment->status();
    EXPECT_EQ(status.armed, 0u);
    EXPECT_EQ(status.handles, 0u);
    // An interrupt now reaches nobody, and nothing runs code of the unmapped library.
    ASSERT_TRUE(segment->raise(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_calls.load(), 3u);
    EXPECT_EQ(segment->status().missed, 1u);
}

TEST(Loader, VirtualAdapterRefusesASegmentOfAnotherVersion)
{
    const std::string instance = mulvotest::instance() + "-old";
    const std::string name = SimSegment::segmentName(instance);
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    const uint32_t header[4] = {mulvo::sim::kSegmentMagic, 0, 4096, 0};
    ASSERT_EQ(write(fd, header, sizeof header), ssize_t(sizeof header));
    close(fd);

    EnvGuard instanceEnv(mulvo::sim::kInstanceEnv, instance);
    EnvGuard libraryEnv(mulvo::kLibraryEnv, MULVO_LIB_PATH);
    std::string error;
    auto library = Library::load(error);
    ASSERT_TRUE(library) << error;
    testing::internal::CaptureStderr();
    const uint32_t first = library->api().open(0);
    const uint32_t second = library->api().open(0);
    const std::string err = testing::internal::GetCapturedStderr();
    library.reset();
    shm_unlink(name.c_str());

    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0u);
    const std::string expected = "layout version 0 of 4096 bytes";
    const auto at = err.find(expected);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(expected, at + 1), std::string::npos) << "reported more than once: " << err;
    EXPECT_NE(err.find(name), std::string::npos) << err;
}

TEST(Loader, VirtualAdapterRefusesAnInvalidInstanceName)
{
    EnvGuard instanceEnv(mulvo::sim::kInstanceEnv, "../etc");
    EnvGuard libraryEnv(mulvo::kLibraryEnv, MULVO_LIB_PATH);
    std::string error;
    auto library = Library::load(error);
    ASSERT_TRUE(library) << error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(library->api().open(0), 0u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MULVO_SIM_INSTANCE is not a valid instance name"), std::string::npos)
        << err;
}

} // namespace
