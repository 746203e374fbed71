// The kernel layer on the GPIO character device, interface version 2.
#include "gpiokernel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace mulvo::gpio {

namespace {

int ioctlRetry(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : r;
}

void copyString(char *to, size_t size, const std::string &from)
{
    std::memset(to, 0, size);
    std::memcpy(to, from.data(), std::min(from.size(), size - 1));
}

uint64_t flagsOf(const LineRequest &r)
{
    uint64_t flags = r.asIs ? 0 : r.output ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    if (r.activeLow)
        flags |= GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    if (r.edgeRising)
        flags |= GPIO_V2_LINE_FLAG_EDGE_RISING;
    if (r.edgeFalling)
        flags |= GPIO_V2_LINE_FLAG_EDGE_FALLING;
    switch (r.bias) {
    case Bias::AsIs:
        break;
    case Bias::Disabled:
        flags |= GPIO_V2_LINE_FLAG_BIAS_DISABLED;
        break;
    case Bias::PullUp:
        flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
        break;
    case Bias::PullDown:
        flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;
        break;
    }
    return flags;
}

void fillConfig(gpio_v2_line_config &config, const LineRequest &request, uint32_t lines)
{
    config.flags = flagsOf(request);
    const uint64_t all = (lines == 64) ? ~uint64_t(0) : (uint64_t(1) << lines) - 1;
    unsigned attrs = 0;
    if (request.output) {
        config.attrs[attrs].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        config.attrs[attrs].attr.values = request.outputValues;
        config.attrs[attrs].mask = all;
        ++attrs;
    }
    if (request.debounceUs) {
        config.attrs[attrs].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
        config.attrs[attrs].attr.debounce_period_us = request.debounceUs;
        config.attrs[attrs].mask = all;
        ++attrs;
    }
    config.num_attrs = attrs;
}

class CharacterDevice final : public Kernel
{
public:
    std::vector<std::string> chipPaths() override
    {
        std::vector<std::string> paths;
        DIR *dir = opendir("/dev");
        if (!dir)
            return paths;
        while (const dirent *entry = readdir(dir))
            if (std::strncmp(entry->d_name, "gpiochip", 8) == 0)
                paths.push_back(std::string("/dev/") + entry->d_name);
        closedir(dir);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    int openChip(const std::string &path) override
    {
        // Never blocks, whatever the path names (a FIFO, say).
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        return fd < 0 ? -errno : fd;
    }

    int chipInfo(int chip, ChipInfo &info) override
    {
        gpiochip_info raw{};
        const int r = ioctlRetry(chip, GPIO_GET_CHIPINFO_IOCTL, &raw);
        if (r < 0)
            return r;
        info.name = std::string(raw.name, strnlen(raw.name, sizeof raw.name));
        info.label = std::string(raw.label, strnlen(raw.label, sizeof raw.label));
        info.lines = raw.lines;
        return 0;
    }

    int lineName(int chip, uint32_t offset, std::string &name) override
    {
        gpio_v2_line_info raw{};
        raw.offset = offset;
        const int r = ioctlRetry(chip, GPIO_V2_GET_LINEINFO_IOCTL, &raw);
        if (r < 0)
            return r;
        name = std::string(raw.name, strnlen(raw.name, sizeof raw.name));
        return 0;
    }

    int requestLines(int chip, const LineRequest &request) override
    {
        if (request.offsets.empty() || request.offsets.size() > GPIO_V2_LINES_MAX)
            return -EINVAL;
        gpio_v2_line_request raw{};
        for (size_t i = 0; i < request.offsets.size(); ++i)
            raw.offsets[i] = request.offsets[i];
        raw.num_lines = uint32_t(request.offsets.size());
        copyString(raw.consumer, sizeof raw.consumer, request.consumer);
        raw.event_buffer_size = request.eventBufferSize;
        fillConfig(raw.config, request, raw.num_lines);
        const int r = ioctlRetry(chip, GPIO_V2_GET_LINE_IOCTL, &raw);
        if (r < 0)
            return r;
        // The delivery thread reads only after poll() said so, but a reader must never block.
        const int flags = fcntl(raw.fd, F_GETFL);
        if (flags < 0 || fcntl(raw.fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
            fcntl(raw.fd, F_SETFD, FD_CLOEXEC) < 0) {
            const int err = errno;
            ::close(raw.fd);
            return -err;
        }
        return raw.fd;
    }

    int reconfigure(int request, const LineRequest &config) override
    {
        if (config.offsets.empty() || config.offsets.size() > GPIO_V2_LINES_MAX)
            return -EINVAL;
        gpio_v2_line_config raw{};
        fillConfig(raw, config, uint32_t(config.offsets.size()));
        return ioctlRetry(request, GPIO_V2_LINE_SET_CONFIG_IOCTL, &raw);
    }

    int setValues(int request, uint64_t mask, uint64_t bits) override
    {
        gpio_v2_line_values values{};
        values.mask = mask;
        values.bits = bits;
        return ioctlRetry(request, GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
    }

    int getValues(int request, uint64_t mask, uint64_t &bits) override
    {
        gpio_v2_line_values values{};
        values.mask = mask;
        const int r = ioctlRetry(request, GPIO_V2_LINE_GET_VALUES_IOCTL, &values);
        if (r < 0)
            return r;
        bits = values.bits;
        return 0;
    }

    int readEvents(int request, LineEvent *events, int max) override
    {
        constexpr int kBatch = 64;
        gpio_v2_line_event raw[kBatch];
        const size_t want = size_t(std::min(max, kBatch)) * sizeof raw[0];
        ssize_t n;
        do {
            n = ::read(request, raw, want);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return errno == EAGAIN ? 0 : -errno;
        const int count = int(size_t(n) / sizeof raw[0]);
        for (int i = 0; i < count; ++i) {
            events[i].timestampNs = raw[i].timestamp_ns;
            events[i].offset = raw[i].offset;
            events[i].rising = raw[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE;
            events[i].lineSeqno = raw[i].line_seqno;
        }
        return count;
    }

    void close(int fd) override
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

Kernel &systemKernel()
{
    static CharacterDevice device;
    return device;
}

Kernel &libraryKernel()
{
    return systemKernel();
}

} // namespace mulvo::gpio
