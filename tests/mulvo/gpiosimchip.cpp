#include "gpiosimchip.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/gpio.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvotest {

namespace {

constexpr const char *kSimRoot = "/sys/kernel/config/gpio-sim";

std::string readLine(const std::string &path)
{
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
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

} // namespace

bool GpioSimChip::create(std::string &error)
{
    struct stat st
    {
    };
    if (stat(kSimRoot, &st) != 0) {
        error = std::string(kSimRoot) +
                " does not exist: this kernel has no configfs mounted or no gpio-sim "
                "(CONFIG_GPIO_SIM); scripts/gpio-vm runs the kernel path in a VM that has both";
        return false;
    }
    dir_ = std::string(kSimRoot) + "/dovrax-" + std::to_string(getpid());
    label_ = "dovrax-sim-" + std::to_string(getpid());
    const std::string bank = dir_ + "/bank0";
    if (mkdir(dir_.c_str(), 0755) != 0 || mkdir(bank.c_str(), 0755) != 0) {
        error = "cannot make a gpio-sim chip in " + dir_ + ": " + std::strerror(errno);
        destroy();
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
        destroy();
        return false;
    }
    const std::string chip = readLine(bank + "/chip_name");
    devicePath_ = "/dev/" + chip;
    sysfs_ = "/sys/devices/platform/" + readLine(dir_ + "/dev_name") + "/" + chip;
    return true;
}

void GpioSimChip::destroy()
{
    if (dir_.empty())
        return;
    writeText(dir_ + "/live", "0");
    for (unsigned i = 8; i < 16; ++i)
        rmdir((dir_ + "/bank0/line" + std::to_string(i)).c_str());
    rmdir((dir_ + "/bank0").c_str());
    rmdir(dir_.c_str());
    dir_.clear();
}

bool GpioSimChip::level(unsigned line) const
{
    return readLine(lineFile(line, "value")) == "1";
}

bool GpioSimChip::pull(unsigned line, bool up) const
{
    return writeText(lineFile(line, "pull"), up ? "pull-up" : "pull-down");
}

unsigned GpioSimChip::usedLines() const
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

std::string GpioSimChip::lineFile(unsigned line, const char *file) const
{
    return sysfs_ + "/sim_gpio" + std::to_string(line) + "/" + file;
}

} // namespace mulvotest
