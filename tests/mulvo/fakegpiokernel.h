// What tests see of the fake GPIO kernel layer beneath the GPIO adapter's test library: one chip,
// /fake/gpiochip0 labelled "fake-bank", with 32 lines named "line-0" ... "line-31", whose
// levels the test drives from outside as a board would.
#pragma once

#include <cstdint>

namespace mulvotest {

inline constexpr const char *kFakeChipPath = "/fake/gpiochip0";
inline constexpr const char *kFakeChipLabel = "fake-bank";
inline constexpr uint32_t kFakeChipLines = 32;

class FakeGpioRig
{
public:
    // Drives a line from outside: an edge on a line requested for edges becomes an event.
    virtual void setLevel(uint32_t offset, bool high) = 0;
    // The line's physical level (what an output request drives).
    virtual bool level(uint32_t offset) = 0;
    // How often the line has gone from low to high.
    virtual unsigned risingEdges(uint32_t offset) = 0;
    // Events the kernel's buffer had no room for and dropped, the oldest first, as it does.
    virtual uint64_t droppedEvents() = 0;
    // Lines requested by anybody now; descriptors open now.
    virtual unsigned requestedLines() = 0;
    virtual unsigned openDescriptors() = 0;
    // Another program holds the line (or lets it go).
    virtual void holdElsewhere(uint32_t offset, bool held) = 0;
    // The chip goes away: every call on its requests fails with ENODEV, and their descriptors
    // poll readable for ever, as a removed chip's hang up. reset() brings it back.
    virtual void removeChip() = 0;
    // How often the library has read a request's events.
    virtual unsigned eventReads() = 0;
    // Lines back to low, counters to zero, nothing held elsewhere.
    virtual void reset() = 0;

protected:
    ~FakeGpioRig() = default;
};

} // namespace mulvotest

// Exported by the test library built on the fake layer.
extern "C" mulvotest::FakeGpioRig *mulvo_gpio_fake_rig();
