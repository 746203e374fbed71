#include "gpiokernel.h"

#include <cerrno>
#include <cstring>

namespace mulvo::gpio {

int findChip(Kernel &kernel, const std::string &chip, ChipInfo &info, std::string &error)
{
    if (chip[0] == '/') {
        const int fd = kernel.openChip(chip);
        if (fd < 0) {
            error = "cannot open GPIO chip " + chip + ": " + std::strerror(-fd);
            return fd;
        }
        if (const int r = kernel.chipInfo(fd, info); r < 0) {
            kernel.close(fd);
            error = chip + " is not a GPIO chip: " + std::strerror(-r);
            return r;
        }
        return fd;
    }
    for (const std::string &path : kernel.chipPaths()) {
        const int fd = kernel.openChip(path);
        if (fd < 0)
            continue;
        if (kernel.chipInfo(fd, info) == 0 && (info.label == chip || info.name == chip))
            return fd;
        kernel.close(fd);
    }
    error = "no GPIO chip labelled '" + chip + "' is present";
    return -ENODEV;
}

} // namespace mulvo::gpio
