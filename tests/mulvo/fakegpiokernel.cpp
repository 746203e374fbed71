// A GPIO chip in memory behind the kernel layer's interface, modelled on what the character
// device does: lines held by one request at a time (EBUSY otherwise), active-low applied both
// ways, edge events with per-line sequence numbers in a bounded buffer that drops the oldest,
// and descriptors that poll() reports readable while events wait.
#include "fakegpiokernel.h"
#include "gpiokernel.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

#define MULVO_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace mulvo::gpio;
using mulvotest::kFakeChipLines;

struct Request
{
    LineRequest config;
    std::vector<uint32_t> lineSeqno;
    std::deque<LineEvent> events;
    size_t capacity = 0;
};

class FakeKernel final : public Kernel, public mulvotest::FakeGpioRig
{
public:
    // Kernel
    std::vector<std::string> chipPaths() override { return {mulvotest::kFakeChipPath}; }

    int openChip(const std::string &path) override
    {
        if (path != mulvotest::kFakeChipPath)
            return -ENOENT;
        std::lock_guard<std::mutex> lock(mutex_);
        const int fd = newDescriptor();
        if (fd >= 0)
            chips_.push_back(fd);
        return fd;
    }

    int chipInfo(int chip, ChipInfo &info) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(chips_.begin(), chips_.end(), chip) == chips_.end())
            return -ENOTTY;
        info = {"gpiochip0", mulvotest::kFakeChipLabel, kFakeChipLines};
        return 0;
    }

    int lineName(int chip, uint32_t offset, std::string &name) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(chips_.begin(), chips_.end(), chip) == chips_.end())
            return -ENOTTY;
        if (offset >= kFakeChipLines)
            return -EINVAL;
        name = "line-" + std::to_string(offset);
        return 0;
    }

    int requestLines(int chip, const LineRequest &config) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(chips_.begin(), chips_.end(), chip) == chips_.end())
            return -ENOTTY;
        if (config.offsets.empty() || config.offsets.size() > 64 ||
            (config.output && (config.edgeRising || config.edgeFalling)))
            return -EINVAL;
        for (uint32_t offset : config.offsets) {
            if (offset >= kFakeChipLines)
                return -EINVAL;
            if (lines_[offset].owner >= 0 || lines_[offset].heldElsewhere)
                return -EBUSY;
        }
        const int fd = newDescriptor();
        if (fd < 0)
            return fd;
        Request &r = requests_[fd];
        r.config = config;
        r.lineSeqno.assign(config.offsets.size(), 0);
        r.capacity = config.eventBufferSize ? std::min<size_t>(config.eventBufferSize, 1024)
                                            : 16 * config.offsets.size();
        for (size_t i = 0; i < config.offsets.size(); ++i)
            lines_[config.offsets[i]].owner = fd;
        driveOutputs(r.config);
        return fd;
    }

    int reconfigure(int fd, const LineRequest &config) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = requests_.find(fd);
        if (it == requests_.end())
            return -EBADF;
        if (removed_)
            return -ENODEV;
        if (config.offsets != it->second.config.offsets)
            return -EINVAL;
        it->second.config = config;
        driveOutputs(config);
        return 0;
    }

    int setValues(int fd, uint64_t mask, uint64_t bits) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = requests_.find(fd);
        if (it == requests_.end())
            return -EBADF;
        if (removed_)
            return -ENODEV;
        const LineRequest &c = it->second.config;
        if (!c.output)
            return -EPERM;
        if (mask == 0)
            return -EINVAL;
        for (size_t i = 0; i < c.offsets.size(); ++i)
            if ((mask >> i) & 1)
                drive(c.offsets[i], ((bits >> i) & 1) != c.activeLow);
        return 0;
    }

    int getValues(int fd, uint64_t mask, uint64_t &bits) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = requests_.find(fd);
        if (it == requests_.end())
            return -EBADF;
        if (removed_)
            return -ENODEV;
        const LineRequest &c = it->second.config;
        bits = 0;
        for (size_t i = 0; i < c.offsets.size(); ++i)
            if ((mask >> i) & 1)
                bits |= uint64_t(lines_[c.offsets[i]].high != c.activeLow) << i;
        return 0;
    }

    int readEvents(int fd, LineEvent *events, int max) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = requests_.find(fd);
        if (it == requests_.end())
            return -EBADF;
        ++eventReads_;
        if (removed_)
            return -ENODEV;
        std::deque<LineEvent> &queue = it->second.events;
        int n = 0;
        while (n < max && !queue.empty()) {
            events[n++] = queue.front();
            queue.pop_front();
        }
        if (queue.empty()) {
            uint64_t count;
            (void)!::read(fd, &count, sizeof count);
        }
        return n;
    }

    void close(int fd) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const auto it = requests_.find(fd); it != requests_.end()) {
            for (uint32_t offset : it->second.config.offsets)
                lines_[offset].owner = -1;
            requests_.erase(it);
        } else if (std::erase(chips_, fd) == 0) {
            return; // not one of ours
        }
        --descriptors_;
        ::close(fd);
    }

    // FakeGpioRig
    void setLevel(uint32_t offset, bool high) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Line &line = lines_.at(offset);
        const auto it = requests_.find(line.owner);
        if (it != requests_.end() && it->second.config.output)
            return; // a driven output keeps its level
        const bool wasHigh = line.high;
        drive(offset, high);
        if (it == requests_.end() || wasHigh == high)
            return;
        Request &r = it->second;
        const bool rising = high != r.config.activeLow;
        if (!(rising ? r.config.edgeRising : r.config.edgeFalling))
            return;
        const size_t index =
            size_t(std::find(r.config.offsets.begin(), r.config.offsets.end(), offset) -
                   r.config.offsets.begin());
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        LineEvent event;
        event.timestampNs = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
        event.offset = offset;
        event.rising = rising;
        event.lineSeqno = ++r.lineSeqno[index];
        if (r.events.size() == r.capacity) {
            r.events.pop_front();
            ++dropped_;
        }
        r.events.push_back(event);
        const uint64_t one = 1;
        (void)!::write(it->first, &one, sizeof one);
    }

    bool level(uint32_t offset) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.at(offset).high;
    }

    unsigned risingEdges(uint32_t offset) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.at(offset).risingEdges;
    }

    uint64_t droppedEvents() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

    unsigned requestedLines() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return unsigned(std::count_if(lines_.begin(), lines_.end(),
                                      [](const Line &l) { return l.owner >= 0; }));
    }

    unsigned openDescriptors() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return descriptors_;
    }

    void holdElsewhere(uint32_t offset, bool held) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.at(offset).heldElsewhere = held;
    }

    void removeChip() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed_ = true;
        const uint64_t one = 1;
        for (const auto &request : requests_)
            (void)!::write(request.first, &one, sizeof one);
    }

    unsigned eventReads() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return eventReads_;
    }

    void reset() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed_ = false;
        eventReads_ = 0;
        for (Line &line : lines_) {
            if (line.owner < 0)
                line.high = false;
            line.risingEdges = 0;
            line.heldElsewhere = false;
        }
        dropped_ = 0;
    }

private:
    struct Line
    {
        bool high = false;
        int owner = -1; // descriptor of the request that holds it
        bool heldElsewhere = false;
        unsigned risingEdges = 0;
    };

    int newDescriptor()
    {
        const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0)
            return -errno;
        ++descriptors_;
        return fd;
    }

    void driveOutputs(const LineRequest &config)
    {
        if (!config.output)
            return;
        for (size_t i = 0; i < config.offsets.size(); ++i)
            drive(config.offsets[i], ((config.outputValues >> i) & 1) != config.activeLow);
    }

    void drive(uint32_t offset, bool high)
    {
        Line &line = lines_[offset];
        if (high && !line.high)
            ++line.risingEdges;
        line.high = high;
    }

    std::mutex mutex_;
    std::vector<Line> lines_ = std::vector<Line>(kFakeChipLines);
    std::map<int, Request> requests_;
    std::vector<int> chips_;
    unsigned descriptors_ = 0;
    uint64_t dropped_ = 0;
    bool removed_ = false;
    unsigned eventReads_ = 0;
};

FakeKernel &fake()
{
    static FakeKernel kernel;
    return kernel;
}

} // namespace

namespace mulvo::gpio {

Kernel &libraryKernel()
{
    return fake();
}

} // namespace mulvo::gpio

MULVO_TEST_EXPORT mulvotest::FakeGpioRig *mulvo_gpio_fake_rig()
{
    return &fake();
}
