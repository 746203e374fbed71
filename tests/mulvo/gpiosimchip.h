// A chip of the kernel's GPIO simulator (gpio-sim), made through configfs: 24 lines, lines 8-15
// named "sim-in-8" ... "sim-in-15", labelled "dovrax-sim-<pid>". Its line levels are driven
// through the simulator's sysfs "pull" files, as a board's signals would drive them.
#pragma once

#include <string>

namespace mulvotest {

class GpioSimChip
{
public:
    static constexpr unsigned kLines = 24;

    GpioSimChip() = default;
    ~GpioSimChip() { destroy(); }
    GpioSimChip(const GpioSimChip &) = delete;
    GpioSimChip &operator=(const GpioSimChip &) = delete;

    // False with a plain reason where the kernel has no configfs gpio-sim.
    bool create(std::string &error);
    void destroy();

    const std::string &label() const { return label_; }
    bool level(unsigned line) const;
    bool pull(unsigned line, bool up) const;
    // Lines some program holds now.
    unsigned usedLines() const;

private:
    std::string lineFile(unsigned line, const char *file) const;

    std::string dir_;
    std::string label_;
    std::string devicePath_;
    std::string sysfs_;
};

} // namespace mulvotest
