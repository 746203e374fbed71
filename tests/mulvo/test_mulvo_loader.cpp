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
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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

// The library the program would load with nothing on its command line or in its settings.
std::unique_ptr<Library> loadChosen(std::string &error)
{
    mulvo::Choice choice;
    if (!mulvo::resolveChoice(std::nullopt, std::nullopt, choice, error))
        return nullptr;
    return Library::choose(choice, error);
}

mulvo::Choice choiceOf(mulvo::Choice::Library library)
{
    mulvo::Choice choice;
    choice.library = library;
    return choice;
}

std::string canonical(const std::string &path)
{
    return std::filesystem::canonical(path).string();
}

TEST(Loader, FilesThatAreNoAdapterLibraryAreNamed)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string text = dir + "/libmulvo.so.1";
    std::ofstream(text) << "not a library\n";
    const std::string fifo = dir + "/fifo.so";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Our own library with its header saying it is for another machine, as a library built for
    // one is.
    auto foreign = [&](const std::string &name, char elfClass, uint16_t machine) {
        const std::string file = dir + "/" + name;
        std::filesystem::copy_file(MULVO_LIB_PATH, file);
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4).put(elfClass);
        f.seekp(18).put(char(machine & 0xff)).put(char(machine >> 8));
        return file;
    };
    const std::string i386 = foreign("lib32.so", ELFCLASS32, EM_386);
    const std::string arm64 = foreign("libarm64.so", ELFCLASS64, EM_AARCH64);
    // A FIFO would block dlopen until someone writes to it; a directory is no library either.
    // The short form, for the form's log, names the file and says why in a few words.
    const std::pair<std::string, std::string> cases[] = {
        {"/nonexistent/libnothing.so", "not found"},
        {text, "cannot be loaded"},
        {fifo, "is not a regular file"},
        {i386, "is a 32-bit library"},
        {arm64, "is a library for ARM64"},
        {dir, "is not a regular file"},
        {PARTIAL_LIB_PATH, "lacks mulvo_close"}};
    for (const auto &[file, reason] : cases) {
        std::string error;
        mulvo::LoadFailure failure;
        EXPECT_FALSE(Library::loadFile(file, error, &failure));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_EQ(failure.file + " " + failure.reason, file + " " + reason);
    }
    std::string error;
#if defined(__x86_64__)
    EXPECT_FALSE(Library::loadFile(i386, error));
    EXPECT_EQ(error, "cannot load adapter library " + i386 +
                         ": a 32-bit library; this program needs x86-64");
#endif
    std::filesystem::remove_all(dir);

    EXPECT_FALSE(Library::loadFile(PARTIAL_LIB_PATH, error));
    EXPECT_EQ(error, std::string(PARTIAL_LIB_PATH) + ": missing function mulvo_close");
}

TEST(Choice, OrderOfTheSourcesAndRefusals)
{
    using Lib = mulvo::Choice::Library;
    using Source = mulvo::Choice::Source;
    mulvo::Choice choice;
    std::string error;
    unsetenv(mulvo::kLibraryEnv);
    ASSERT_TRUE(mulvo::resolveChoice(std::nullopt, std::nullopt, choice, error)) << error;
    EXPECT_EQ(choice.library, Lib::Automatic);
    EXPECT_EQ(choice.source, Source::Default);
    ASSERT_TRUE(mulvo::resolveChoice(std::nullopt, "gpio", choice, error)) << error;
    EXPECT_EQ(choice.library, Lib::Gpio);
    EXPECT_EQ(choice.source, Source::Setting);
    ASSERT_TRUE(mulvo::resolveChoice("service", "gpio", choice, error)) << error;
    EXPECT_EQ(choice.library, Lib::Service);
    {
        EnvGuard env(mulvo::kLibraryEnv, "/opt/maker/libmulvo.so.1");
        ASSERT_TRUE(mulvo::resolveChoice(std::nullopt, "gpio", choice, error)) << error;
        EXPECT_EQ(choice.library, Lib::File);
        EXPECT_EQ(choice.file, "/opt/maker/libmulvo.so.1");
        EXPECT_EQ(choice.source, Source::Environment);
        ASSERT_TRUE(mulvo::resolveChoice("system", "gpio", choice, error)) << error;
        EXPECT_EQ(choice.library, Lib::System);
        EXPECT_EQ(choice.source, Source::Option);
    }
    {
        // Only the source that decides is read: a wrong value further down does not matter.
        EnvGuard env(mulvo::kLibraryEnv, "rel/libmulvo.so.1");
        ASSERT_TRUE(mulvo::resolveChoice("virtual", "", choice, error)) << error;
        EXPECT_EQ(choice.library, Lib::Virtual);
        EXPECT_FALSE(mulvo::resolveChoice(std::nullopt, "virtual", choice, error));
        EXPECT_EQ(choice.library, Lib::Virtual) << "a refused choice left the previous one";
        EXPECT_EQ(error, "DOVRAX_MULVOLIB must be an absolute path, not the relative path "
                         "\"rel/libmulvo.so.1\" (the current directory is never searched)");
    }
    const std::pair<const char *, const char *> refused[] = {
        {"", "--adapter is empty; give virtual, gpio, service, system or an absolute path"},
        {"libmulvo.so.1", "--adapter must be an absolute path, not the relative path "
                          "\"libmulvo.so.1\" (the current directory is never searched)"},
        {"./lib.so", "--adapter must be an absolute path, not the relative path \"./lib.so\" "
                     "(the current directory is never searched)"},
        {"Virtual", "--adapter: unknown adapter library \"Virtual\"; give virtual, gpio, "
                    "service, system or an absolute path"},
    };
    for (const auto &[value, message] : refused) {
        EXPECT_FALSE(mulvo::resolveChoice(value, std::nullopt, choice, error)) << value;
        EXPECT_EQ(error, message);
    }
    // A wrong setting says where to mend it: the file, the key and what it takes.
    EnvGuard config("XDG_CONFIG_HOME", "/home/op/.cfg");
    EXPECT_FALSE(mulvo::resolveChoice(std::nullopt, "", choice, error));
    EXPECT_EQ(error, "the setting Library in group [Adapter] of /home/op/.cfg/Velmora/DOVRAX.conf "
                     "is empty; give virtual, gpio, service, system or an absolute path");
    EXPECT_FALSE(mulvo::resolveChoice(std::nullopt, "gpoi", choice, error));
    EXPECT_EQ(error, "the setting Library in group [Adapter] of /home/op/.cfg/Velmora/DOVRAX.conf: "
                     "unknown adapter library \"gpoi\"; give virtual, gpio, service, system or an "
                     "absolute path");
}

TEST(Loader, MakersLibraryOnTheSystemPathComesBeforeTheVirtualAdapterNeverTheCurrentDirectory)
{
    // A decoy of the default name in the current directory and on relative and empty entries of
    // the library path must not be picked up.
    const std::string decoys = mulvotest::makeTempDir();
    std::filesystem::copy_file(PARTIAL_LIB_PATH, decoys + "/libmulvo.so.1");
    char previous[PATH_MAX];
    ASSERT_TRUE(getcwd(previous, sizeof previous));
    ASSERT_EQ(chdir(decoys.c_str()), 0);
    unsetenv(mulvo::kLibraryEnv);
    std::string error;
    std::unique_ptr<Library> automatic, system;
    {
        EnvGuard path("LD_LIBRARY_PATH", ":.:lib");
        automatic = loadChosen(error);
        system = Library::choose(choiceOf(mulvo::Choice::Library::System), error);
    }
    const std::string systemError = error;
    ASSERT_EQ(chdir(previous), 0);
    ASSERT_TRUE(automatic) << error;
    EXPECT_EQ(canonical(automatic->file()), canonical(MULVO_LIB_PATH));
    EXPECT_EQ(automatic->kind(), Library::Kind::Virtual);
    EXPECT_FALSE(system);
    EXPECT_EQ(systemError, "libmulvo.so.1 is not on the system's library path");

    // A maker's library (here a copy of the virtual adapter) on the library path comes first.
    const std::string maker = mulvotest::makeTempDir();
    std::filesystem::copy_file(MULVO_LIB_PATH, maker + "/libmulvo.so.1");
    // Before it, one built for another machine, which the program could not load, is passed over.
    std::filesystem::create_directory(decoys + "/foreign");
    std::string foreign = mulvotest::readFile(MULVO_LIB_PATH);
    foreign[18] = char(foreign[18] ^ 0x40); // the ELF header's machine type
    std::ofstream(decoys + "/foreign/libmulvo.so.1", std::ios::binary) << foreign;
    {
        EnvGuard path("LD_LIBRARY_PATH", decoys + "/none:" + decoys + "/foreign:" + maker);
        automatic = loadChosen(error);
        ASSERT_TRUE(automatic) << error;
        EXPECT_EQ(automatic->file(), maker + "/libmulvo.so.1");
        EXPECT_EQ(automatic->kind(), Library::Kind::Other);
        auto virtualAdapter = Library::choose(choiceOf(mulvo::Choice::Library::Virtual), error);
        ASSERT_TRUE(virtualAdapter) << error;
        EXPECT_EQ(virtualAdapter->kind(), Library::Kind::Virtual);
    }
    automatic.reset();
    std::filesystem::remove_all(maker);
    std::filesystem::remove_all(decoys);
}

TEST(Loader, NothingFromTheCurrentDirectoryWithoutALibraryBesideTheProgram)
{
    // The program alone in a bin/ of its own; started from a folder holding a planted library.
    const std::string root = mulvotest::makeTempDir();
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::create_directories(root + "/work");
    std::filesystem::copy_file(CHOOSE_PROBE_PATH, root + "/bin/probe");
    std::filesystem::copy_file(PARTIAL_LIB_PATH, root + "/work/libmulvo.so.1");
    std::filesystem::copy_file(PARTIAL_LIB_PATH, root + "/work/libmulvo-gpio.so.1");
    for (const char *lib : {"", "virtual", "gpio"}) {
        const auto result = mulvotest::runProgram(
            {"/bin/sh", "-c", "unset DOVRAX_MULVOLIB; cd \"$0\" && exec ../bin/probe $1",
             root + "/work", lib},
            {"LD_LIBRARY_PATH=:."});
        const std::string own =
            root + "/lib/dovrax/" +
            (std::string(lib) == "gpio" ? "libmulvo-gpio.so.1" : "libmulvo.so.1");
        EXPECT_EQ(result.exitCode, 1) << lib << ": " << result.out << result.err;
        EXPECT_EQ(result.out,
                  "none: cannot load adapter library " + own + ": No such file or directory\n")
            << lib;
    }
    std::filesystem::remove_all(root);
}

TEST(Loader, LabelNamesTheLibraryInUse)
{
    using Kind = Library::Kind;
    std::string error;
    auto virtualAdapter = Library::choose(choiceOf(mulvo::Choice::Library::Virtual), error);
    ASSERT_TRUE(virtualAdapter) << error;
    auto label = mulvo::describeLibrary(virtualAdapter.get(), "");
    EXPECT_EQ(label.text, "Virtual adapter: " + mulvotest::instance());
    EXPECT_EQ(label.detail, virtualAdapter->file());
    for (const char *instance : {"", "default"}) {
        EnvGuard env(mulvo::sim::kInstanceEnv, instance);
        EXPECT_EQ(mulvo::describeLibrary(virtualAdapter.get(), "").text, "Virtual adapter");
    }

    const std::string dir = mulvotest::makeTempDir();
    std::ofstream(dir + "/gpio.conf") << "[adapter 0]\nchip = gpio-sim.0\n"
                                         "outputs = 0 1 2 3 4 5 6 7\n"
                                         "inputs = 8 9 10 11 12 13 14 15\n";
    {
        EnvGuard config("MULVO_GPIO_CONFIG", dir + "/gpio.conf");
        label = mulvo::describeLibrary(Kind::Gpio, "/usr/lib/dovrax/libmulvo-gpio.so.1");
        EXPECT_EQ(label.text, "GPIO: gpio-sim.0");
        // What keeps the adapter from opening, for the window's log and the pane's tooltip.
        EXPECT_EQ(mulvo::openProblem(Kind::Gpio, 0),
                  "GPIO adapter: no GPIO chip labelled 'gpio-sim.0' is present");
        EXPECT_EQ(label.detail,
                  "/usr/lib/dovrax/libmulvo-gpio.so.1\n" + mulvo::openProblem(Kind::Gpio, 0));
        EXPECT_EQ(mulvo::openProblem(Kind::Virtual, 0), "");
    }
    {
        EnvGuard config("MULVO_GPIO_CONFIG", dir + "/none.conf");
        label = mulvo::describeLibrary(Kind::Gpio, "/x/libmulvo-gpio.so.1");
        EXPECT_EQ(label.text, "GPIO");
        EXPECT_EQ(label.detail, "/x/libmulvo-gpio.so.1\nGPIO adapter: cannot read the GPIO "
                                "configuration " +
                                    dir + "/none.conf: No such file or directory");
    }
    {
        EnvGuard config("MULVO_GPIO_CONFIG", "");
        EnvGuard home("XDG_CONFIG_HOME", dir);
        if (access("/etc/dovrax/gpio.conf", F_OK) != 0) {
            EXPECT_NE(mulvo::openProblem(Kind::Gpio, 0).find("; a commented example is /"),
                      std::string::npos);
        }
    }
    std::filesystem::remove_all(dir);

    label = mulvo::describeLibrary(Kind::Other, "/opt/maker/lib/libmulvo.so.1");
    EXPECT_EQ(label.text, "libmulvo.so.1");
    EXPECT_EQ(label.detail, "/opt/maker/lib/libmulvo.so.1");
    label = mulvo::describeLibrary(nullptr, "cannot load adapter library /x.so: not found");
    EXPECT_EQ(label.text, "No adapter library");
    EXPECT_EQ(label.detail, "cannot load adapter library /x.so: not found");
}

TEST(Loader, DynamicLinkersCacheGivesTheLibraryItLoads)
{
    // The C library this process runs on is the one the cache names.
    const std::string maps = mulvotest::readFile("/proc/self/maps");
    const size_t at = maps.find("/libc.so.6\n");
    ASSERT_NE(at, std::string::npos);
    const std::string mapped =
        maps.substr(maps.rfind(' ', at) + 1, at + 10 - maps.rfind(' ', at) - 1);
    const std::string cached = mulvo::findInCache("libc.so.6", "/etc/ld.so.cache");
    ASSERT_FALSE(cached.empty());
    EXPECT_EQ(canonical(cached), canonical(mapped));
    EXPECT_EQ(mulvo::findInCache("libmulvo-none.so.1", "/etc/ld.so.cache"), "");

    // A damaged cache gives nothing rather than a read past its end.
    const std::string cache = mulvotest::readFile("/etc/ld.so.cache");
    const std::string dir = mulvotest::makeTempDir();
    for (size_t size :
         {size_t(0), size_t(20), size_t(47), size_t(48), size_t(60), cache.size() / 2}) {
        std::ofstream(dir + "/cache", std::ios::binary | std::ios::trunc) << cache.substr(0, size);
        const std::string found = mulvo::findInCache("libc.so.6", dir + "/cache");
        EXPECT_TRUE(found.empty() || (size > 60 && found == cached)) << size << ": " << found;
    }
    // So does one that counts more entries than it holds, although the one sought is whole.
    std::string overcounted = cache;
    overcounted.replace(cache.find("glibc-ld.so.cache1.1") + 20, 4, "\xff\xff\xff\x0f");
    std::ofstream(dir + "/cache", std::ios::binary | std::ios::trunc) << overcounted;
    EXPECT_EQ(mulvo::findInCache("libc.so.6", dir + "/cache"), "");
    std::string corrupt = cache;
    std::fill(corrupt.begin() + 48, corrupt.end(), '\xff');
    std::ofstream(dir + "/cache", std::ios::binary | std::ios::trunc) << corrupt;
    EXPECT_EQ(mulvo::findInCache("libc.so.6", dir + "/cache"), "");
    std::filesystem::remove_all(dir);
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
        auto library = loadChosen(error);
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
    const std::string name = SimSegment::segmentPath(instance);
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    const uint32_t header[4] = {mulvo::sim::kSegmentMagic, 0, 4096, 0};
    ASSERT_EQ(write(fd, header, sizeof header), ssize_t(sizeof header));
    close(fd);

    EnvGuard instanceEnv(mulvo::sim::kInstanceEnv, instance);
    std::string error;
    auto library = Library::loadFile(MULVO_LIB_PATH, error);
    ASSERT_TRUE(library) << error;
    testing::internal::CaptureStderr();
    const uint32_t first = library->api().open(0);
    const uint32_t second = library->api().open(0);
    const std::string err = testing::internal::GetCapturedStderr();
    library.reset();
    unlink(name.c_str());

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
    std::string error;
    auto library = Library::loadFile(MULVO_LIB_PATH, error);
    ASSERT_TRUE(library) << error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(library->api().open(0), 0u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MULVO_SIM_INSTANCE is not a valid instance name"), std::string::npos)
        << err;
}

} // namespace
