// mulvod's work: one adapter library, each adapter opened once and kept, and every client on a
// Unix socket served from one thread that never waits for any of them.
#pragma once

#include "mulvoloader.h"
#include "protocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace mulvo::service {

// Makes the listening socket at `path`. A socket file left by a service that is gone is
// replaced; a live one, or anything else at the path (a file, a FIFO, a symbolic link), is
// refused and left alone. For the user's own socket the folder is made private (0700) or must
// already be. The socket is open to its owner only, or to owner and group for the system
// service. Returns the descriptor, or -1 with `error`.
int listenAt(const std::string &path, Side side, bool userFolder, std::string &error);

// The socket systemd passed by socket activation ($LISTEN_PID, $LISTEN_FDS: one listening Unix
// stream socket at descriptor 3). -1 when the service was not started so; -2 with `error` when
// what was passed is not such a socket. Puts its address into `path`.
int activatedSocket(std::string &path, std::string &error);

class Service
{
public:
    // Serves on `listenFd`; stops when `stopFd` becomes readable. The socket file at `path` is
    // removed at the end when `removeSocket` says it is ours.
    Service(const Api &api, ServiceInfo info, int listenFd, std::string path, bool removeSocket);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Runs until stopFd is readable; false when the loop itself failed (the reason logged).
    bool run(int stopFd);

private:
    struct Device;
    struct Client;
    struct ClientDevice;

    static void onInterrupt(uint32_t handle, uint32_t value);

    void acceptClients();
    void readClient(Client &client);
    // Handles one well-formed request; false when the client must be dropped (`why` says).
    bool handle(Client &client, const Message &request, std::string &why);
    bool flush(Client &client);
    void drop(Client &client, const std::string &why);
    void answer(Client &client, const Message &request, int32_t result, uint32_t value = 0,
                uint64_t sequence = 0);
    void deliverInterrupts();
    void refreshSequence(Device &device);

    Device *openDevice(uint32_t number);
    // Calls `call` on the device's handle; when the adapter is found gone, opens it afresh
    // once and tries again.
    template <class Call> int32_t onDevice(Device &device, Call &&call);
    bool reopen(Device &device);
    void setArmed(Device &device, bool armed);

    void log(const std::string &line);

    const Api &api_;
    ServiceInfo info_;
    int listenFd_;
    std::string path_;
    bool removeSocket_;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    int reserveFd_ = -1; // given up to accept and close a client when descriptors run out
    uint64_t nextClientId_ = 1;
    std::unordered_map<uint64_t, std::unique_ptr<Client>> clients_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::atomic<bool> wakePending_{false};
};

} // namespace mulvo::service
