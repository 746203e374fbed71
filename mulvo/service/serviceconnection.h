// The client's side of one connection to the adapter service: a call is one request and one
// answer, made by one thread at a time; interrupt messages that arrive meanwhile, or while no
// call is under way, are kept as the latest sequence of each adapter.
#pragma once

#include "protocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mulvo::service {

class Connection
{
public:
    // How long a call waits for its answer before the service counts as gone.
    static constexpr std::chrono::milliseconds kAnswerTimeout{5000};

    // Connects to the service at `path` and greets it; null with `error` (which names the
    // socket) when no service answers there. `onInterrupt` is called, on whichever thread read
    // it, after an interrupt message has updated latest().
    static std::unique_ptr<Connection> open(const std::string &path,
                                            std::function<void()> onInterrupt, std::string &error);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Sends `request` and waits for its answer. False once the connection is broken: the
    // service went away, did not answer in time or sent something malformed (reason()).
    bool call(const Message &request, Message &answer);
    // Asks the service about itself.
    bool info(ServiceInfo &info);

    // Reads what has arrived without waiting; for the thread that watches fd(). False once the
    // connection is broken.
    bool poll();
    int fd() const { return fd_.load(std::memory_order_acquire); }
    bool broken() const { return broken_.load(std::memory_order_acquire); }
    std::string reason() const;
    const std::string &path() const { return path_; }

    // The latest interrupt of `device` the service told of: its sequence and the adapter's
    // number for it. False before the first.
    struct Latest
    {
        uint64_t sequence = 0;
        uint32_t number = 0;
    };
    bool latest(uint32_t device, Latest &out) const;

    // A broken connection gives its descriptor back (nothing reads or writes it any more);
    // handles opened on it keep failing as before.
    void release();

    // In a child made by fork(): the socket is the parent's; the child's calls fail, and the
    // descriptor is closed without a word to the service.
    void forgetAfterFork();

private:
    Connection(int fd, std::string path, std::function<void()> onInterrupt);

    // Called with callMutex_ held.
    bool callLocked(const Message &request, Message &answer);
    bool takeInterrupt(const Message &message);
    bool sendAll(const uint8_t *bytes, size_t size);
    bool fill(int timeoutMs);
    // fill() until `deadline` (monotonic ms); once it has passed, the connection is broken.
    bool fillBefore(int64_t deadline);
    bool takeMessages(const Message *request, Message *answer, bool &answered);
    bool readText(size_t length, std::string &text);
    void breakWith(const std::string &reason);

    // -1 once released; read without the call's hold only by the thread that watches it.
    std::atomic<int> fd_;
    std::string path_;
    std::function<void()> onInterrupt_;
    std::atomic<bool> broken_{false};

    std::mutex callMutex_; // one call at a time; also guards the input buffer
    uint8_t in_[kMessageSize * 64];
    size_t inLength_ = 0;

    mutable std::mutex stateMutex_; // guards latest_ and reason_
    std::vector<std::pair<uint32_t, Latest>> latest_;
    std::string reason_;
};

} // namespace mulvo::service
