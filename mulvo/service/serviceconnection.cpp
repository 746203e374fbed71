#include "serviceconnection.h"

#include "mulvolib.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace mulvo::service {

namespace {

int64_t monotonicMs()
{
    return monotonicNs() / 1'000'000;
}

} // namespace

std::unique_ptr<Connection> Connection::open(const std::string &path,
                                             std::function<void()> onInterrupt, std::string &error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "bad service socket path \"" + path + "\"";
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int cause = errno;
        close(fd);
        error = "no adapter service at " + path + ": " +
                (cause == ENOENT || cause == ECONNREFUSED ? std::string("mulvod is not running")
                                                          : std::strerror(cause));
        return nullptr;
    }
    std::unique_ptr<Connection> connection(new Connection(fd, path, std::move(onInterrupt)));
    Message hello;
    hello.kind = Kind::Hello;
    Message answer;
    if (!connection->call(hello, answer) || answer.result != MULVO_OK) {
        // The reason names the socket already.
        error = connection->broken() ? connection->reason()
                                     : "the adapter service at " + path + " refused the greeting";
        return nullptr;
    }
    return connection;
}

Connection::Connection(int fd, std::string path, std::function<void()> onInterrupt)
    : fd_(fd), path_(std::move(path)), onInterrupt_(std::move(onInterrupt))
{}

Connection::~Connection()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string Connection::reason() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return reason_;
}

void Connection::breakWith(const std::string &reason)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!broken_.load())
            reason_ = reason;
    }
    broken_.store(true, std::memory_order_release);
    // Nothing more is read or written, and the service sees the connection end.
    shutdown(fd_, SHUT_RDWR);
}

bool Connection::latest(uint32_t device, Latest &out) const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (const auto &[number, value] : latest_) {
        if (number == device) {
            out = value;
            return true;
        }
    }
    return false;
}

void Connection::release()
{
    std::lock_guard<std::mutex> lock(callMutex_);
    if (broken() && fd_ >= 0)
        close(fd_.exchange(-1));
}

void Connection::forgetAfterFork()
{
    new (&callMutex_) std::mutex;
    new (&stateMutex_) std::mutex;
    reason_ = "the service connection belongs to the parent process";
    broken_.store(true);
    close(fd_);
    fd_ = -1;
}

bool Connection::sendAll(const uint8_t *bytes, size_t size)
{
    const int64_t deadline = monotonicMs() + kAnswerTimeout.count();
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t left = deadline - monotonicMs();
            pollfd p{fd_, POLLOUT, 0};
            if (left > 0 && ::poll(&p, 1, int(left)) >= 0)
                continue;
            breakWith("the adapter service at " + path_ + " takes no requests");
            return false;
        }
        breakWith("the adapter service at " + path_ + " went away");
        return false;
    }
    return true;
}

// Reads what is there, waiting up to `timeoutMs` (0: not at all) for something to come.
bool Connection::fill(int timeoutMs)
{
    if (inLength_ == sizeof in_)
        return true;
    if (timeoutMs > 0) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return true;
    }
    const ssize_t n = recv(fd_, in_ + inLength_, sizeof in_ - inLength_, MSG_DONTWAIT);
    if (n > 0) {
        inLength_ += size_t(n);
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    breakWith(n == 0 ? "the adapter service at " + path_ + " went away"
                     : "lost the adapter service at " + path_ + ": " + std::strerror(errno));
    return false;
}

// Takes the whole messages in the buffer: interrupts update latest_, and the answer to
// `request` (when one is awaited) is kept in `answer`. Interrupts that came after the answer in
// the same read are taken too, since nothing else may read them before the next call; only
// Info's answer stops the taking, as its text follows. Anything else breaks the connection.
bool Connection::takeMessages(const Message *request, Message *answer, bool &answered)
{
    size_t at = 0;
    bool interrupted = false;
    for (; inLength_ - at >= kMessageSize; at += kMessageSize) {
        if (answered && request->kind == Kind::Info)
            break; // the text's reader takes what follows
        Message message;
        const Decoded decoded = decodeFromService(in_ + at, message);
        if (answered && (decoded != Decoded::Ok || message.kind != Kind::Interrupt))
            break; // for the next call to refuse
        if (decoded == Decoded::BadVersion) {
            breakWith("the adapter service at " + path_ + " speaks protocol version " +
                      std::to_string(message.version) + ", this library " +
                      std::to_string(kVersion));
            return false;
        }
        if (decoded != Decoded::Ok) {
            breakWith(std::string("the adapter service at ") + path_ +
                      " sent a malformed message (" + decodedText(decoded) + ")");
            return false;
        }
        if (message.kind == Kind::Interrupt) {
            if (!takeInterrupt(message))
                return false;
            interrupted = true;
            continue;
        }
        if (!request || message.kind != request->kind || message.device != request->device) {
            breakWith("the adapter service at " + path_ + " answered what was not asked");
            return false;
        }
        *answer = message;
        answered = true;
    }
    std::memmove(in_, in_ + at, inLength_ - at);
    inLength_ -= at;
    if (interrupted && onInterrupt_)
        onInterrupt_();
    return true;
}

bool Connection::takeInterrupt(const Message &message)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    for (auto &[device, value] : latest_) {
        if (device != message.device)
            continue;
        if (message.sequence < value.sequence) {
            lock.unlock();
            breakWith("the adapter service at " + path_ + " counted interrupts backwards");
            return false;
        }
        value = {message.sequence, message.value};
        return true;
    }
    latest_.push_back({message.device, {message.sequence, message.value}});
    return true;
}

bool Connection::readText(size_t length, std::string &text)
{
    const int64_t deadline = monotonicMs() + kAnswerTimeout.count();
    text.clear();
    while (text.size() < length) {
        if (inLength_ > 0) {
            const size_t take = std::min(inLength_, length - text.size());
            text.append(reinterpret_cast<const char *>(in_), take);
            std::memmove(in_, in_ + take, inLength_ - take);
            inLength_ -= take;
            continue;
        }
        if (!fillBefore(deadline))
            return false;
    }
    return true;
}

bool Connection::fillBefore(int64_t deadline)
{
    const int64_t left = deadline - monotonicMs();
    if (left <= 0) {
        breakWith("the adapter service at " + path_ + " did not answer in time");
        return false;
    }
    return fill(int(left));
}

bool Connection::call(const Message &request, Message &answer)
{
    std::lock_guard<std::mutex> lock(callMutex_);
    return callLocked(request, answer);
}

bool Connection::callLocked(const Message &request, Message &answer)
{
    if (broken())
        return false;
    uint8_t bytes[kMessageSize];
    encode(request, bytes);
    if (!sendAll(bytes, sizeof bytes))
        return false;
    const int64_t deadline = monotonicMs() + kAnswerTimeout.count();
    bool answered = false;
    // A service that is awake answers within microseconds: look for it a while before
    // sleeping, which on a dozing processor costs more than the answer.
    if (spinningPays()) {
        const int64_t until = monotonicNs() + kSpinNs;
        while (!answered && monotonicNs() < until) {
            if (!fill(0) || !takeMessages(&request, &answer, answered))
                return false;
            if (!answered)
                sched_yield(); // a thread that has work goes first
        }
    }
    for (;;) {
        if (!takeMessages(&request, &answer, answered))
            return false;
        if (answered)
            return true;
        if (!fillBefore(deadline))
            return false;
    }
}

bool Connection::info(ServiceInfo &info)
{
    Message request;
    request.kind = Kind::Info;
    Message answer;
    std::lock_guard<std::mutex> lock(callMutex_);
    if (!callLocked(request, answer))
        return false;
    std::string text;
    if (answer.result != MULVO_OK || !readText(answer.value, text))
        return false;
    bool none = false;
    if (!takeMessages(nullptr, nullptr, none)) // interrupts that followed the text
        return false;
    if (!parseInfo(text, info)) {
        breakWith("the adapter service at " + path_ + " described itself in a malformed text");
        return false;
    }
    return true;
}

bool Connection::poll()
{
    std::lock_guard<std::mutex> lock(callMutex_);
    if (broken())
        return false;
    bool answered = false;
    return fill(0) && takeMessages(nullptr, nullptr, answered);
}

} // namespace mulvo::service
