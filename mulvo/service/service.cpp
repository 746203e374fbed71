#include "service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace mulvo::service {

namespace {

// Clients served at once; more are let in and closed at once, so that a flood of connections
// costs the others nothing but the time to turn them away.
constexpr size_t kMaxClients = 4096;
// Adapters one client may have opened.
constexpr size_t kMaxDevicesPerClient = 16;
// Armed handles one client may hold on one adapter.
constexpr uint32_t kMaxArmedPerDevice = 65536;
// Requests taken from one client before the others get a turn.
constexpr int kRequestsPerTurn = 64;
// What a client may leave unread before it is dropped: far more than its own requests'
// answers and one interrupt message per adapter, which is all a client that reads ever has.
constexpr size_t kMaxUnread = 64 * 1024;

constexpr uint64_t kListenTag = 0;
constexpr uint64_t kStopTag = 1;
constexpr uint64_t kWakeTag = 2;
constexpr uint64_t kFirstClientTag = 16;

Service *g_service = nullptr;
const Api *g_api = nullptr;

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

bool setUpAddress(const std::string &path, sockaddr_un &address, std::string &error)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A directory of this user that nobody else may enter or write, made if it is missing.
bool privateFolder(const std::string &dir, std::string &error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = errnoText("cannot make " + dir);
        return false;
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        error = errnoText(dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        error = dir + " must be a folder of yours closed to others (mode 0700)";
        return false;
    }
    return true;
}

} // namespace

int listenAt(const std::string &path, Side side, bool userFolder, std::string &error)
{
    sockaddr_un address;
    if (!setUpAddress(path, address, error))
        return -1;
    const std::string dir = path.substr(0, std::max<size_t>(path.rfind('/'), 1));
    if (userFolder && !privateFolder(dir, error))
        return -1;
    if (side == Side::SystemService && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = errnoText("cannot make " + dir);
        return -1;
    }

    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; it is left as it is";
            return -1;
        }
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&address),
                                                sizeof address) == 0;
        const int cause = errno;
        if (probe >= 0)
            close(probe);
        if (live) {
            error = "another service is already listening on " + path;
            return -1;
        }
        if (cause != ECONNREFUSED) {
            error = path + ": " + std::strerror(cause);
            return -1;
        }
        // Left behind by a service that is gone.
        unlink(path.c_str());
    }

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errnoText("socket");
        return -1;
    }
    // The socket file takes its mode from the umask at bind: never open to others.
    const mode_t previous = umask(side == Side::SystemService ? 0117 : 0177);
    const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    const int cause = errno;
    umask(previous);
    if (!bound || listen(fd, 128) != 0) {
        errno = bound ? errno : cause;
        error = errnoText("cannot listen on " + path);
        if (bound)
            unlink(path.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

int activatedSocket(std::string &path, std::string &error)
{
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::to_string(getpid()) != pid)
        return -1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (std::string(fds) != "1") {
        error = std::string("systemd passed ") + fds + " sockets; the unit must pass one";
        return -2;
    }
    constexpr int fd = 3;
    int type = 0;
    int domain = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    const bool ok =
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &(length = sizeof domain)) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &(length = sizeof listening)) == 0;
    if (!ok || type != SOCK_STREAM || domain != AF_UNIX || !listening) {
        error = "the socket systemd passed is not a listening Unix stream socket";
        return -2;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_un address{};
    socklen_t addressLength = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &addressLength) == 0 &&
        addressLength > offsetof(sockaddr_un, sun_path))
        path.assign(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
    return fd;
}

// An adapter the service holds, and its interrupts as its callback thread saw them.
struct Service::Device
{
    uint32_t number = 0;
    uint32_t handle = 0; // 0 until opened
    uint64_t armed = 0;  // armed client handles
    bool lost = false;   // a call found it gone; logged once
    bool connected = false;
    int output = -1; // the last byte written through the service, -1 before the first
    // Written by the library's callback only: (interrupts seen, low 32 bits) << 32 | the
    // library's number of the latest. One word, so that the loop never reads half an update.
    std::atomic<uint64_t> packed{0};
    // The loop's view: the full sequence and the number it goes with.
    uint64_t sequence = 0;
    uint32_t lastLow = 0;
    uint32_t number32 = 0;
};

struct Service::ClientDevice
{
    Device *device = nullptr;
    uint32_t armed = 0;
    uint64_t sent = 0; // the sequence last told, or where the arming began
};

struct Service::Client
{
    uint64_t id = 0;
    int fd = -1;
    bool greeted = false;
    bool writing = false; // waits for EPOLLOUT
    uint8_t in[kMessageSize * 16];
    size_t inLength = 0;
    std::string out;
    size_t outWritten = 0;
    std::vector<ClientDevice> devices;

    ClientDevice *find(uint32_t number)
    {
        for (ClientDevice &cd : devices)
            if (cd.device->number == number)
                return &cd;
        return nullptr;
    }
};

Service::Service(const Api &api, ServiceInfo info, int listenFd, std::string path,
                 bool removeSocket)
    : api_(api), info_(std::move(info)), listenFd_(listenFd), path_(std::move(path)),
      removeSocket_(removeSocket)
{
    g_service = this;
    g_api = &api_;
}

Service::~Service()
{
    for (auto &[id, client] : clients_)
        close(client->fd);
    clients_.clear();
    // Closing disarms: no callback runs once the handles are closed.
    for (auto &device : devices_) {
        if (device->handle != 0)
            api_.close(device->handle);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        if (removeSocket_)
            unlink(path_.c_str());
    }
    for (int fd : {epollFd_, wakeFd_, reserveFd_})
        if (fd >= 0)
            close(fd);
    g_service = nullptr;
}

void Service::log(const std::string &line)
{
    std::fprintf(stderr, "mulvod: %s\n", line.c_str());
}

void Service::onInterrupt(uint32_t handle, uint32_t value)
{
    // On the adapter library's thread: one atomic update, and a wake-up of the loop unless one
    // is on its way. Nothing here waits, so disarming from the loop never waits long.
    Service *service = g_service;
    if (!service)
        return;
    auto *device = static_cast<Device *>(g_api->get_extension(handle));
    if (!device)
        return;
    uint64_t packed = device->packed.load(std::memory_order_relaxed);
    while (!device->packed.compare_exchange_weak(packed, (((packed >> 32) + 1) << 32) | value,
                                                 std::memory_order_release,
                                                 std::memory_order_relaxed)) {
    }
    if (!service->wakePending_.exchange(true)) {
        const uint64_t one = 1;
        while (write(service->wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void Service::refreshSequence(Device &device)
{
    const uint64_t packed = device.packed.load(std::memory_order_acquire);
    const auto low = uint32_t(packed >> 32);
    device.sequence += uint32_t(low - device.lastLow);
    device.lastLow = low;
    device.number32 = uint32_t(packed);
}

bool Service::run(int stopFd)
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        log(errnoText("cannot set up the event loop"));
        return false;
    }
    const auto watch = [this](int fd, uint64_t tag) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tag;
        return epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0;
    };
    if (!watch(listenFd_, kListenTag) || !watch(stopFd, kStopTag) || !watch(wakeFd_, kWakeTag)) {
        log(errnoText("cannot set up the event loop"));
        return false;
    }
    epoll_event events[64];
    // Until when the loop keeps looking for the next request without sleeping: a client that
    // just had its answer often asks again at once.
    int64_t spinUntil = 0;
    for (;;) {
        const bool spin = spinUntil != 0 && monotonicNs() < spinUntil;
        const int n = epoll_wait(epollFd_, events, 64, spin ? 0 : -1);
        if (n == 0 && spin)
            sched_yield(); // a thread that has work goes first
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log(errnoText("epoll_wait"));
            return false;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kStopTag)
                return true;
            if (tag == kListenTag) {
                acceptClients();
                continue;
            }
            if (tag == kWakeTag) {
                uint64_t count;
                (void)!read(wakeFd_, &count, sizeof count);
                wakePending_.store(false);
                deliverInterrupts();
                continue;
            }
            const auto it = clients_.find(tag);
            if (it == clients_.end())
                continue; // dropped earlier in this round
            Client &client = *it->second;
            if (events[i].events & EPOLLOUT && !flush(client))
                continue;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                readClient(client);
                if (spinningPays())
                    spinUntil = monotonicNs() + kSpinNs;
            }
        }
    }
}

void Service::acceptClients()
{
    for (int round = 0; round < 64; ++round) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the waiting connection would keep the socket readable
                // for ever. One spare descriptor lets it in to be closed.
                if (reserveFd_ >= 0) {
                    close(reserveFd_);
                    const int turned = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (turned >= 0)
                        close(turned);
                    reserveFd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
                }
                log("out of file descriptors: a client was turned away");
                return;
            }
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                log(errnoText("accept"));
            return;
        }
        if (clients_.size() >= kMaxClients) {
            close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->id = kFirstClientTag + nextClientId_++;
        client->fd = fd;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = client->id;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        std::string who;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0)
            who = " (pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid) + ")";
        log("client " + std::to_string(client->id - kFirstClientTag) + " connected" + who);
        clients_.emplace(client->id, std::move(client));
    }
}

void Service::readClient(Client &client)
{
    for (int taken = 0; taken < kRequestsPerTurn;) {
        const ssize_t n = recv(client.fd, client.in + client.inLength,
                               sizeof client.in - client.inLength, MSG_DONTWAIT);
        if (n == 0) {
            drop(client, client.inLength ? "lost in the middle of a message" : "lost");
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                drop(client, std::string("lost: ") + std::strerror(errno));
            return;
        }
        client.inLength += size_t(n);
        size_t at = 0;
        for (; client.inLength - at >= kMessageSize; at += kMessageSize, ++taken) {
            Message request;
            const Decoded decoded = decodeRequest(client.in + at, request);
            std::string why;
            if (decoded == Decoded::BadVersion) {
                // Said in the one message every version reads, then the client goes.
                Message hello;
                hello.kind = Kind::Hello;
                hello.answer = true;
                hello.result = MULVO_E_SYSTEM;
                uint8_t bytes[kMessageSize];
                encode(hello, bytes);
                (void)!send(client.fd, bytes, sizeof bytes, MSG_DONTWAIT | MSG_NOSIGNAL);
                drop(client, "dropped: speaks protocol version " + std::to_string(request.version) +
                                 ", not " + std::to_string(kVersion));
                return;
            }
            if (decoded != Decoded::Ok) {
                drop(client,
                     std::string("dropped: malformed message (") + decodedText(decoded) + ")");
                return;
            }
            if (!handle(client, request, why)) {
                drop(client, "dropped: " + why);
                return;
            }
        }
        std::memmove(client.in, client.in + at, client.inLength - at);
        client.inLength -= at;
        if (!flush(client))
            return;
    }
}

void Service::answer(Client &client, const Message &request, int32_t result, uint32_t value,
                     uint64_t sequence)
{
    Message reply;
    reply.kind = request.kind;
    reply.answer = true;
    reply.device = request.device;
    reply.result = result;
    reply.value = result == MULVO_OK ? value : 0;
    reply.sequence = result == MULVO_OK ? sequence : 0;
    uint8_t bytes[kMessageSize];
    encode(reply, bytes);
    client.out.append(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

bool Service::handle(Client &client, const Message &request, std::string &why)
{
    if (!client.greeted) {
        if (request.kind != Kind::Hello) {
            why = "no greeting";
            return false;
        }
        client.greeted = true;
        answer(client, request, MULVO_OK);
        return true;
    }
    switch (request.kind) {
    case Kind::Hello:
        why = "greeted twice";
        return false;
    case Kind::Info: {
        ServiceInfo info = info_;
        for (const auto &device : devices_)
            if (device->output >= 0)
                info.outputs.emplace_back(device->number, uint8_t(device->output));
        const std::string text = formatInfo(info);
        answer(client, request, MULVO_OK, uint32_t(text.size()));
        client.out += text;
        return true;
    }
    case Kind::Open: {
        Device *device = openDevice(request.device);
        if (device && !client.find(request.device)) {
            if (client.devices.size() >= kMaxDevicesPerClient) {
                why = "opens more than " + std::to_string(kMaxDevicesPerClient) + " adapters";
                return false;
            }
            ClientDevice cd;
            cd.device = device;
            client.devices.push_back(cd);
        }
        answer(client, request, device ? MULVO_OK : MULVO_E_ABSENT);
        return true;
    }
    default:
        break;
    }
    ClientDevice *cd = client.find(request.device);
    if (!cd) {
        why = "calls adapter " + std::to_string(request.device) + " without opening it";
        return false;
    }
    Device &device = *cd->device;
    switch (request.kind) {
    case Kind::Write: {
        // The decoder let through nothing above 0xff.
        const int32_t result =
            onDevice(device, [&](uint32_t h) { return api_.mbout(h, request.value); });
        if (result == MULVO_OK)
            device.output = int(request.value);
        answer(client, request, result);
        return true;
    }
    case Kind::Read: {
        uint32_t value = 0;
        const int32_t result = onDevice(device, [&](uint32_t h) { return api_.mbin(h, &value); });
        answer(client, request, result, value & 0xff);
        return true;
    }
    case Kind::Acknowledge:
        answer(client, request,
               onDevice(device, [&](uint32_t h) { return api_.out2(h, MULVO_PORT_ACK, 0); }));
        return true;
    case Kind::Arm: {
        if (cd->armed >= kMaxArmedPerDevice) {
            why = "arms more than " + std::to_string(kMaxArmedPerDevice) + " handles";
            return false;
        }
        // Where the client's handle begins: interrupts counted from here on are its own.
        refreshSequence(device);
        const uint64_t from = device.sequence;
        if (device.armed == 0) {
            const int32_t result = onDevice(
                device, [&](uint32_t h) { return api_.connect(h, &Service::onInterrupt); });
            if (result != MULVO_OK) {
                answer(client, request, result);
                return true;
            }
            device.connected = true;
        }
        ++device.armed;
        if (cd->armed++ == 0) {
            cd->sent = from;
            log("client " + std::to_string(client.id - kFirstClientTag) + " armed adapter " +
                std::to_string(device.number));
        }
        answer(client, request, MULVO_OK, 0, from);
        return true;
    }
    case Kind::Disarm:
        if (cd->armed == 0) {
            why = "disarms a handle it never armed";
            return false;
        }
        if (--cd->armed == 0)
            log("client " + std::to_string(client.id - kFirstClientTag) + " disarmed adapter " +
                std::to_string(device.number));
        if (--device.armed == 0)
            setArmed(device, false);
        answer(client, request, MULVO_OK);
        return true;
    default:
        why = "unexpected request";
        return false;
    }
}

Service::Device *Service::openDevice(uint32_t number)
{
    for (auto &device : devices_) {
        if (device->number != number)
            continue;
        // Found gone before: a client's open is the moment to look again.
        if (device->lost && !reopen(*device))
            return nullptr;
        return device.get();
    }
    const uint32_t handle = api_.open(number);
    if (handle == 0)
        return nullptr;
    auto device = std::make_unique<Device>();
    device->number = number;
    device->handle = handle;
    api_.set_extension(handle, device.get());
    log("adapter " + std::to_string(number) + " opened");
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

bool Service::reopen(Device &device)
{
    const uint32_t handle = api_.open(device.number);
    if (handle == 0)
        return false;
    api_.set_extension(handle, &device);
    if (device.armed > 0 && api_.connect(handle, &Service::onInterrupt) != MULVO_OK) {
        api_.close(handle);
        return false;
    }
    const uint32_t old = device.handle;
    device.handle = handle;
    device.connected = device.armed > 0;
    device.lost = false;
    // The old handle's callbacks are over once it is closed; it may still have counted some.
    api_.close(old);
    log("adapter " + std::to_string(device.number) + " opened again");
    return true;
}

template <class Call> int32_t Service::onDevice(Device &device, Call &&call)
{
    int32_t result = call(device.handle);
    if (result != MULVO_E_ABSENT && result != MULVO_E_HANDLE && result != MULVO_E_SYSTEM) {
        if (result == MULVO_OK && device.lost) {
            device.lost = false;
            log("adapter " + std::to_string(device.number) + " is back");
        }
        return result;
    }
    if (!device.lost) {
        device.lost = true;
        log("adapter " + std::to_string(device.number) +
            " lost: " + (result == MULVO_E_ABSENT ? "not present" : "not reachable"));
    }
    if (reopen(device))
        result = call(device.handle);
    // The service's own handle is no client's business: a gone adapter is an absent one.
    return result == MULVO_E_HANDLE ? MULVO_E_ABSENT : result;
}

void Service::setArmed(Device &device, bool armed)
{
    if (!armed && device.connected) {
        api_.intcout(device.handle, MULVO_INT_DISARM);
        device.connected = false;
    }
}

void Service::deliverInterrupts()
{
    for (auto &device : devices_)
        refreshSequence(*device);
    std::vector<Client *> armed;
    for (auto &[id, client] : clients_) {
        // A client that has not read what it was sent gets the latest once it has.
        if (client->writing)
            continue;
        for (const ClientDevice &cd : client->devices) {
            if (cd.armed > 0 && cd.sent < cd.device->sequence) {
                armed.push_back(client.get());
                break;
            }
        }
    }
    for (Client *client : armed)
        flush(*client);
}

bool Service::flush(Client &client)
{
    for (;;) {
        if (client.outWritten == client.out.size()) {
            client.out.clear();
            client.outWritten = 0;
            // Only once everything before has gone: then the interrupt message carries the
            // latest sequence, however long the client took to read.
            for (ClientDevice &cd : client.devices) {
                if (cd.armed == 0 || cd.sent >= cd.device->sequence)
                    continue;
                Message interrupt;
                interrupt.kind = Kind::Interrupt;
                interrupt.device = cd.device->number;
                interrupt.sequence = cd.device->sequence;
                interrupt.value = cd.device->number32;
                uint8_t bytes[kMessageSize];
                encode(interrupt, bytes);
                client.out.append(reinterpret_cast<const char *>(bytes), sizeof bytes);
                cd.sent = cd.device->sequence;
            }
            if (client.out.empty())
                break;
        }
        const ssize_t n = send(client.fd, client.out.data() + client.outWritten,
                               client.out.size() - client.outWritten, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            client.outWritten += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (client.out.size() - client.outWritten > kMaxUnread) {
                drop(client, "dropped: does not read its answers");
                return false;
            }
            if (!client.writing) {
                epoll_event event{};
                event.events = EPOLLIN | EPOLLOUT;
                event.data.u64 = client.id;
                epoll_ctl(epollFd_, EPOLL_CTL_MOD, client.fd, &event);
                client.writing = true;
            }
            return true;
        }
        drop(client, std::string("lost: ") + std::strerror(errno));
        return false;
    }
    if (client.writing) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = client.id;
        epoll_ctl(epollFd_, EPOLL_CTL_MOD, client.fd, &event);
        client.writing = false;
    }
    return true;
}

void Service::drop(Client &client, const std::string &why)
{
    // A client gone while armed is disarmed at once.
    for (ClientDevice &cd : client.devices) {
        if (cd.armed == 0)
            continue;
        cd.device->armed -= cd.armed;
        if (cd.device->armed == 0)
            setArmed(*cd.device, false);
    }
    log("client " + std::to_string(client.id - kFirstClientTag) + " " + why);
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, client.fd, nullptr);
    close(client.fd);
    clients_.erase(client.id);
}

} // namespace mulvo::service
