#include "serviceadapter.h"

#include "quietthread.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace mulvo::service {

namespace {

// Callbacks given to one handle before the others get their turn.
constexpr int kChunk = 4096;

} // namespace

// An adapter as reached through one connection.
struct ServiceAdapter::Device final : lib::Device
{
    Link *link = nullptr;
    uint32_t number = 0;
};

ServiceAdapter::ServiceAdapter() : Core("mulvo-service")
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ServiceAdapter::~ServiceAdapter()
{
    // The thread runs code of this library: it must be gone before the library is unmapped.
    stop_.store(true);
    wake();
    if (thread_) {
        if (thread_->get_id() == std::this_thread::get_id())
            thread_->detach();
        else
            thread_->join();
    }
    link_.reset();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void ServiceAdapter::wake()
{
    const uint64_t one = 1;
    while (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

std::shared_ptr<ServiceAdapter::Link> ServiceAdapter::currentLink(std::string &problem)
{
    std::lock_guard<std::mutex> lock(linkMutex_);
    if (link_ && !link_->connection->broken())
        return link_;
    std::string path;
    if (!socketPath(Side::Client, {}, path, problem))
        return nullptr;
    auto connection = Connection::open(
        path, [this] { wake(); }, problem);
    if (!connection)
        return nullptr;
    // The connections this replaces are broken: their descriptors go now, not at unload, so
    // that a program outliving many restarts of the service keeps none of them.
    for (const auto &old : links_)
        old->connection->release();
    auto link = std::make_shared<Link>();
    link->connection = std::move(connection);
    link_ = link;
    links_.push_back(link);
    linkGeneration_.fetch_add(1);
    wake();
    return link;
}

lib::Device *ServiceAdapter::openDevice(uint32_t number, std::string &problem)
{
    // A connection found broken only now (the service was restarted since the last call)
    // is replaced once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::shared_ptr<Link> link = currentLink(problem);
        if (!link)
            return nullptr;
        Message request;
        request.kind = Kind::Open;
        request.device = number;
        Message answer;
        if (!link->connection->call(request, answer)) {
            problem = link->connection->reason();
            continue;
        }
        if (answer.result != MULVO_OK) {
            problem = "the adapter service at " + link->connection->path() + " has no adapter " +
                      std::to_string(number);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(link->devicesMutex);
        for (const auto &device : link->devices)
            if (device->number == number)
                return device.get();
        auto device = std::make_unique<Device>();
        device->link = link.get();
        device->number = number;
        link->devices.push_back(std::move(device));
        return link->devices.back().get();
    }
    return nullptr;
}

void ServiceAdapter::releaseDevice(lib::Device *)
{
    // The service keeps the adapter; the device goes with its link.
}

int32_t ServiceAdapter::call(Device &device, Kind kind, uint32_t value, Message &answer)
{
    Message request;
    request.kind = kind;
    request.device = device.number;
    request.value = value;
    Connection &connection = *device.link->connection;
    if (!connection.call(request, answer)) {
        report(connection.reason());
        return MULVO_E_SYSTEM;
    }
    return answer.result;
}

int32_t ServiceAdapter::write(lib::Device &device, uint8_t value)
{
    Message answer;
    return call(static_cast<Device &>(device), Kind::Write, value, answer);
}

int32_t ServiceAdapter::read(lib::Device &device, uint8_t &value)
{
    Message answer;
    const int32_t result = call(static_cast<Device &>(device), Kind::Read, 0, answer);
    if (result == MULVO_OK)
        value = uint8_t(answer.value);
    return result;
}

int32_t ServiceAdapter::acknowledge(lib::Device &device)
{
    Message answer;
    return call(static_cast<Device &>(device), Kind::Acknowledge, 0, answer);
}

int32_t ServiceAdapter::canArm(lib::Device &device)
{
    return static_cast<Device &>(device).link->connection->broken() ? MULVO_E_SYSTEM : MULVO_OK;
}

int32_t ServiceAdapter::arm(lib::Device &base, lib::HandleSlot &slot)
{
    // The service counts each arming of each handle, and says where it begins.
    auto &device = static_cast<Device &>(base);
    Message answer;
    // Refused (the adapter behind the service is absent) or the service is gone: left
    // disarmed, and the caller hears why.
    if (const int32_t result = call(device, Kind::Arm, 0, answer); result != MULVO_OK)
        return result;
    ensureThread();
    uint64_t expected = lib::kDisarmed;
    if (!slot.armedFrom.compare_exchange_strong(expected, answer.sequence)) {
        // Another thread armed it first; that arming is the one the service counts.
        call(device, Kind::Disarm, 0, answer);
        return MULVO_OK;
    }
    // Interrupts told of before the thread could see the handle armed.
    wake();
    return MULVO_OK;
}

void ServiceAdapter::settleArming(lib::Device &base, lib::HandleSlot &, uint64_t)
{
    auto &device = static_cast<Device &>(base);
    Message answer;
    // A service that is gone has disarmed it already.
    if (!device.link->connection->broken())
        call(device, Kind::Disarm, 0, answer);
}

void ServiceAdapter::forgetAfterFork()
{
    // The connection and the thread are the parent's; the child connects on its first open.
    new (&linkMutex_) std::mutex;
    for (const auto &link : links_)
        link->connection->forgetAfterFork();
    link_.reset();
    linkGeneration_.fetch_add(1);
    (void)thread_.release(); // no such thread in the child; its object must not be destroyed
    stop_.store(false);
    if (wakeFd_ >= 0)
        close(wakeFd_);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void ServiceAdapter::ensureThread()
{
    std::lock_guard<std::mutex> lock(linkMutex_);
    if (!thread_)
        thread_ = lib::startQuietThread([this] { run(); });
}

void ServiceAdapter::run()
{
    pthread_setname_np(pthread_self(), "mulvo-svc-irq");
    std::shared_ptr<Link> link;
    uint64_t generation = ~uint64_t(0);
    bool readable = false;
    while (!stop_.load()) {
        if (generation != linkGeneration_.load()) {
            std::lock_guard<std::mutex> lock(linkMutex_);
            link = link_;
            generation = linkGeneration_.load();
        }
        bool more = false;
        if (link) {
            if (readable)
                link->connection->poll();
            more = deliver(*link);
        }
        // Sleeps until the service says something or a call has read what it said.
        const bool listening = link && !link->connection->broken();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0},
                         {listening ? link->connection->fd() : -1, POLLIN, 0}};
        if (::poll(fds, 2, more ? 0 : -1) < 0)
            continue;
        if (fds[0].revents) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        readable = fds[1].revents != 0;
    }
}

bool ServiceAdapter::deliver(const Link &link)
{
    bool more = false;
    const unsigned inUse = handles().slotsInUse().load(std::memory_order_acquire);
    for (unsigned i = 0; i < inUse; ++i) {
        lib::HandleSlot &slot = handles().slot(i);
        if (slot.armedFrom.load() == lib::kDisarmed)
            continue;
        // Inside the run, an armed handle's device stays until the run ends: closing waits.
        CallbackRun run(slot, i);
        if (run.armedFrom() == lib::kDisarmed)
            continue;
        const auto *device =
            static_cast<const Device *>(slot.device.load(std::memory_order_acquire));
        Connection::Latest latest;
        if (!device || device->link != &link || !link.connection->latest(device->number, latest))
            continue;
        // A callback that closes its handle lets the slot go to another handle.
        const uint64_t handle = slot.control.load() >> 32;
        uint64_t cursor = slot.cursor.load();
        for (int n = 0; n < kChunk; ++n) {
            const uint64_t from = run.armedFrom();
            if (from == lib::kDisarmed || slot.control.load() >> 32 != handle)
                break;
            const uint64_t next = std::max(cursor, from) + 1;
            if (next > latest.sequence)
                break;
            // The adapter numbers its interrupts one by one: the latest's number less those
            // that came after this one.
            const uint32_t number = latest.number - uint32_t(latest.sequence - next);
            cursor = next;
            // Before the call: the callback may close the handle, and the slot may be another
            // handle's once it returns.
            slot.cursor.store(cursor);
            run.call(number);
        }
        if (cursor < latest.sequence && run.armedFrom() != lib::kDisarmed)
            more = true;
    }
    return more;
}

} // namespace mulvo::service
