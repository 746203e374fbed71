// The adapter contract against libmulvo-gpio on a real kernel: a chip of the kernel's GPIO
// simulator (gpio-sim), made through configfs, whose line levels the test drives through the
// simulator's sysfs "pull" files. Where the kernel has no configfs gpio-sim the test says so and
// reports itself skipped (exit status 77); scripts/gpio-vm runs it in a small VM that has.
#include "adaptercontract.h"
#include "mulvotestsupport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvotest {

namespace {

constexpr const char *kSimRoot = "/sys/kernel/config/gpio-sim";
constexpr unsigned kLines = 24;

std::string readLine(const std::string &path)
{
    std::string text = readFile(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool writeText(const std::string &path, const std::string &text)
{
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// One gpio-sim chip of 24 lines for the whole run; inputs 8-15 carry names.
class SimChip
{
public:
    bool create(std::string &error)
    {
        dir_ = std::string(kSimRoot) + "/dovrax-" + std::to_string(getpid());
        label_ = "dovrax-sim-" + std::to_string(getpid());
        const std::string bank = dir_ + "/bank0";
        if (mkdir(dir_.c_str(), 0755) != 0 || mkdir(bank.c_str(), 0755) != 0) {
            error = "cannot make a gpio-sim chip in " + dir_ + ": " + std::strerror(errno);
            return false;
        }
        writeText(bank + "/num_lines", std::to_string(kLines));
        writeText(bank + "/label", label_);
        for (unsigned i = 8; i < 16; ++i) {
            const std::string line = bank + "/line" + std::to_string(i);
            mkdir(line.c_str(), 0755);
            writeText(line + "/name", "sim-in-" + std::to_string(i));
        }
        if (!writeText(dir_ + "/live", "1")) {
            error = "cannot bring the gpio-sim chip live: " + std::string(std::strerror(errno));
            return false;
        }
        const std::string chip = readLine(bank + "/chip_name");
        devicePath_ = "/dev/" + chip;
        sysfs_ = "/sys/devices/platform/" + readLine(dir_ + "/dev_name") + "/" + chip;
        return true;
    }
    void destroy()
    {
        if (dir_.empty())
            return;
        writeText(dir_ + "/live", "0");
        for (unsigned i = 8; i < 16; ++i)
            rmdir((dir_ + "/bank0/line" + std::to_string(i)).c_str());
        rmdir((dir_ + "/bank0").c_str());
        rmdir(dir_.c_str());
    }

    const std::string &label() const { return label_; }
    bool level(unsigned line) const { return readLine(lineFile(line, "value")) == "1"; }
    void pull(unsigned line, bool up) const
    {
        ASSERT_TRUE(writeText(lineFile(line, "pull"), up ? "pull-up" : "pull-down"));
    }
    // Lines some program holds now.
    unsigned usedLines() const
    {
        const int fd = ::open(devicePath_.c_str(), O_RDWR | O_CLOEXEC);
        unsigned used = 0;
        for (unsigned i = 0; fd >= 0 && i < kLines; ++i) {
            gpio_v2_line_info info{};
            info.offset = i;
            if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 &&
                (info.flags & GPIO_V2_LINE_FLAG_USED))
                ++used;
        }
        if (fd >= 0)
            ::close(fd);
        return used;
    }

private:
    std::string lineFile(unsigned line, const char *file) const
    {
        return sysfs_ + "/sim_gpio" + std::to_string(line) + "/" + file;
    }

    std::string dir_;
    std::string label_;
    std::string devicePath_;
    std::string sysfs_;
};

SimChip g_chip;
std::string g_configPath;

class GpioSimRig final : public AdapterRig
{
public:
    GpioSimRig()
    {
        for (unsigned i = 0; i < kLines; ++i)
            g_chip.pull(i, false);
        library_ = loadAdapterLibrary(MULVO_GPIO_LIB_PATH);
    }
    const mulvo::Api &api() override { return library_->api(); }
    uint8_t output() override
    {
        uint8_t value = 0;
        for (unsigned i = 0; i < 8; ++i)
            value |= uint8_t(g_chip.level(i) << i);
        return value;
    }
    void setInput(uint8_t value) override
    {
        for (unsigned i = 0; i < 8; ++i)
            g_chip.pull(8 + i, (value >> i) & 1);
    }
    void raise(int count) override
    {
        for (int i = 0; i < count; ++i) {
            g_chip.pull(16, true);
            g_chip.pull(16, false);
        }
    }
    void expectReleased() override { EXPECT_EQ(g_chip.usedLines(), 0u); }

private:
    std::unique_ptr<mulvo::Library> library_;
};

MULVO_CONTRACT_RIGS(RigMaker{"GpioOnGpioSim", [] { return std::make_unique<GpioSimRig>(); }});

} // namespace

} // namespace mulvotest

int main(int argc, char **argv)
{
    using namespace mulvotest;
    ::testing::InitGoogleTest(&argc, argv);
    struct stat st
    {
    };
    if (stat(kSimRoot, &st) != 0) {
        std::printf("SKIPPED: %s does not exist: this kernel has no configfs mounted or no "
                    "gpio-sim (CONFIG_GPIO_SIM). scripts/gpio-vm runs this test in a VM that "
                    "has both.\n",
                    kSimRoot);
        return 77;
    }
    std::string error;
    if (!g_chip.create(error)) {
        g_chip.destroy();
        std::printf("SKIPPED: %s\n", error.c_str());
        return 77;
    }
    const std::string dir = makeTempDir();
    g_configPath = dir + "/gpio.conf";
    std::ofstream(g_configPath) << "[adapter 0]\nchip = " << g_chip.label()
                                << "\noutputs = 0 1 2 3 4 5 6 7\n"
                                   "inputs = sim-in-8 sim-in-9 sim-in-10 sim-in-11 sim-in-12 "
                                   "sim-in-13 sim-in-14 sim-in-15\n"
                                   "interrupt = 16\nacknowledge = 17\n";
    setenv("MULVO_GPIO_CONFIG", g_configPath.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    unlink(g_configPath.c_str());
    rmdir(dir.c_str());
    g_chip.destroy();
    return result;
}
