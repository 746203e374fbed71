// The thin layer between the GPIO adapter and the kernel's GPIO character device (uapi v2).
// The adapter's logic only talks to this interface; the real one issues the ioctls, and tests
// put a fake in its place. Every descriptor it hands out is a real file descriptor that poll()
// reports readable when line events wait.
#pragma once

#include "gpioconfig.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mulvo::gpio {

struct ChipInfo
{
    std::string name;  // "gpiochip0"
    std::string label; // the driver's label
    uint32_t lines = 0;
};

// One request: lines that share a configuration.
struct LineRequest
{
    std::vector<uint32_t> offsets;
    std::string consumer;
    bool output = false;
    // Neither input nor output: the lines keep the direction they have (no bias then).
    bool asIs = false;
    bool activeLow = false;
    Bias bias = Bias::AsIs;
    bool edgeRising = false;
    bool edgeFalling = false;
    uint32_t debounceUs = 0;
    uint64_t outputValues = 0;    // bit i for offsets[i], for output lines
    uint32_t eventBufferSize = 0; // 0: the kernel's default
};

struct LineEvent
{
    uint64_t timestampNs = 0; // CLOCK_MONOTONIC
    uint32_t offset = 0;
    bool rising = false;
    uint32_t lineSeqno = 0; // counts this line's events in the request, from 1
};

// Functions return 0 (or a descriptor or a count) on success and -errno on failure.
class Kernel
{
public:
    virtual ~Kernel() = default;

    // Device paths of every GPIO chip, for the lookup by label.
    virtual std::vector<std::string> chipPaths() = 0;
    virtual int openChip(const std::string &path) = 0;
    virtual int chipInfo(int chip, ChipInfo &info) = 0;
    // The name the chip gives line `offset` (empty when it has none).
    virtual int lineName(int chip, uint32_t offset, std::string &name) = 0;
    // Returns the request's descriptor.
    virtual int requestLines(int chip, const LineRequest &request) = 0;
    // Changes the configuration of the request's lines (their offsets stay).
    virtual int reconfigure(int request, const LineRequest &config) = 0;
    // Bit i of `mask`/`bits` stands for the request's offsets[i]; logical levels.
    virtual int setValues(int request, uint64_t mask, uint64_t bits) = 0;
    virtual int getValues(int request, uint64_t mask, uint64_t &bits) = 0;
    // Reads the events waiting, at most `max`; 0 when none waits (never blocks).
    virtual int readEvents(int request, LineEvent *events, int max) = 0;
    virtual void close(int fd) = 0;
};

// Opens the chip `chip` names: a path, a label or a kernel name such as gpiochip0. Returns its
// descriptor and fills `info`, or -errno with the reason in `error`.
int findChip(Kernel &kernel, const std::string &chip, ChipInfo &info, std::string &error);

// The real character device.
Kernel &systemKernel();
// The kernel layer the library's nine functions use: the real one in libmulvo-gpio, a fake in
// the library the tests build from the same sources.
Kernel &libraryKernel();

} // namespace mulvo::gpio
