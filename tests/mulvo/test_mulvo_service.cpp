// The adapter service: its message decoders, its socket, and the service under clients that
// break the protocol, through the real mulvod on the virtual adapter.
#include "mulvotestsupport.h"
#include "protocol.h"
#include "serviceconnection.h"
#include "simsegment.h"

#include "mulvolib.h"
#include "mulvoloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace mulvo::service;
using mulvotest::ServiceProcess;

namespace {

std::vector<uint8_t> bytesOf(const Message &message)
{
    std::vector<uint8_t> bytes(kMessageSize);
    encode(message, bytes.data());
    return bytes;
}

Message request(Kind kind, uint32_t device = 0, uint32_t value = 0)
{
    Message m;
    m.kind = kind;
    m.device = device;
    m.value = value;
    return m;
}

Message answerTo(Kind kind, int32_t result = MULVO_OK, uint32_t value = 0, uint64_t sequence = 0)
{
    Message m = request(kind);
    m.answer = true;
    m.result = result;
    m.value = value;
    m.sequence = sequence;
    return m;
}

TEST(ServiceProtocol, DecodersTakeOnlyWhatEachKindMayCarry)
{
    struct Row
    {
        const char *what;
        std::vector<uint8_t> bytes;
        Decoded asRequest;
        Decoded fromService;
    };
    auto with = [](Message m, size_t at, uint8_t byte) {
        std::vector<uint8_t> b = bytesOf(m);
        b[at] = byte;
        return b;
    };
    Message interrupt = request(Kind::Interrupt, 0, 7);
    interrupt.sequence = 1u << 20;
    const Row rows[] = {
        {"hello", bytesOf(request(Kind::Hello)), Decoded::Ok, Decoded::BadKind},
        {"write 0xff", bytesOf(request(Kind::Write, 3, 0xff)), Decoded::Ok, Decoded::BadKind},
        {"write 0x100", bytesOf(request(Kind::Write, 0, 0x100)), Decoded::BadField,
         Decoded::BadKind},
        {"read with a value", bytesOf(request(Kind::Read, 0, 1)), Decoded::BadField,
         Decoded::BadKind},
        {"hello to a device", bytesOf(request(Kind::Hello, 1)), Decoded::BadField,
         Decoded::BadKind},
        {"info to a device", bytesOf(request(Kind::Info, 2)), Decoded::BadField, Decoded::BadKind},
        {"open device 0xffffffff", bytesOf(request(Kind::Open, 0xffffffffu)), Decoded::Ok,
         Decoded::BadKind},
        {"kind 0", with(request(Kind::Hello), 6, 0), Decoded::BadKind, Decoded::BadKind},
        {"kind past disarm", with(request(Kind::Hello), 6, 9), Decoded::BadKind, Decoded::BadKind},
        {"magic", with(request(Kind::Hello), 0, 'X'), Decoded::BadMagic, Decoded::BadMagic},
        {"version 2", with(request(Kind::Hello), 4, 2), Decoded::BadVersion, Decoded::BadVersion},
        {"version 0x101", with(request(Kind::Hello), 5, 1), Decoded::BadVersion,
         Decoded::BadVersion},
        {"reserved", with(request(Kind::Read), 23, 1), Decoded::BadField, Decoded::BadField},
        {"request with a result", with(request(Kind::Read), 16, 0xfe), Decoded::BadField,
         Decoded::BadKind},
        {"request with a sequence", with(request(Kind::Arm), 31, 1), Decoded::BadField,
         Decoded::BadKind},
        {"read answer 0xff", bytesOf(answerTo(Kind::Read, 0, 0xff)), Decoded::BadKind, Decoded::Ok},
        {"read answer 0x100", bytesOf(answerTo(Kind::Read, 0, 0x100)), Decoded::BadKind,
         Decoded::BadField},
        {"failed read with a value", bytesOf(answerTo(Kind::Read, MULVO_E_ABSENT, 1)),
         Decoded::BadKind, Decoded::BadField},
        {"result -4", bytesOf(answerTo(Kind::Write, MULVO_E_SYSTEM)), Decoded::BadKind,
         Decoded::Ok},
        {"result -5", bytesOf(answerTo(Kind::Write, -5)), Decoded::BadKind, Decoded::BadField},
        {"result 1", bytesOf(answerTo(Kind::Write, 1)), Decoded::BadKind, Decoded::BadField},
        {"info answer at the limit", bytesOf(answerTo(Kind::Info, 0, kMaxInfoText)),
         Decoded::BadKind, Decoded::Ok},
        {"info answer past it", bytesOf(answerTo(Kind::Info, 0, kMaxInfoText + 1)),
         Decoded::BadKind, Decoded::BadField},
        {"arm answer with its sequence", bytesOf(answerTo(Kind::Arm, 0, 0, 99)), Decoded::BadKind,
         Decoded::Ok},
        {"write answer with a sequence", bytesOf(answerTo(Kind::Write, 0, 0, 99)), Decoded::BadKind,
         Decoded::BadField},
        {"interrupt", bytesOf(interrupt), Decoded::BadKind, Decoded::Ok},
        {"interrupt with a result", with(interrupt, 16, 1), Decoded::BadKind, Decoded::BadField},
        {"answer to an interrupt", with(interrupt, 6, 0x40 | 0x80), Decoded::BadKind,
         Decoded::BadKind},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Message m;
        EXPECT_EQ(decodeRequest(row.bytes.data(), m), row.asRequest);
        EXPECT_EQ(decodeFromService(row.bytes.data(), m), row.fromService);
        if (row.fromService == Decoded::Ok || row.asRequest == Decoded::Ok) {
            EXPECT_EQ(bytesOf(m), row.bytes) << "decoded and encoded again";
        }
    }
    Message m;
    decodeFromService(bytesOf(interrupt).data(), m);
    EXPECT_EQ(m.sequence, 1u << 20);
    EXPECT_EQ(m.value, 7u);
}

TEST(ServiceProtocol, SocketPathInItsOrder)
{
    const std::string dir = mulvotest::makeTempDir();
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    unsetenv(kSocketEnv);
    std::string path, error;
    ASSERT_TRUE(socketPath(Side::UserService, "", path, error)) << error;
    EXPECT_EQ(path, dir + "/dovrax/mulvod.sock");
    ASSERT_TRUE(socketPath(Side::SystemService, "", path, error));
    EXPECT_EQ(path, kSystemSocket);
    setenv(kSocketEnv, "/tmp/bench.sock", 1);
    ASSERT_TRUE(socketPath(Side::Client, "", path, error));
    EXPECT_EQ(path, "/tmp/bench.sock");
    ASSERT_TRUE(socketPath(Side::UserService, "/x/given.sock", path, error));
    EXPECT_EQ(path, "/x/given.sock");
    setenv(kSocketEnv, "bench.sock", 1);
    EXPECT_FALSE(socketPath(Side::Client, "", path, error));
    EXPECT_NE(error.find("absolute"), std::string::npos) << error;
    EXPECT_FALSE(socketPath(Side::UserService, "/" + std::string(120, 'x'), path, error));
    EXPECT_NE(error.find("too long"), std::string::npos) << error;
    unsetenv(kSocketEnv);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(socketPath(Side::UserService, "", path, error));
    EXPECT_NE(error.find("XDG_RUNTIME_DIR"), std::string::npos) << error;
    rmdir(dir.c_str());
}

int connectTo(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendMessages(int fd, const std::vector<Message> &messages)
{
    for (const Message &m : messages) {
        const auto bytes = bytesOf(m);
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
}

// Reads until the service closes the connection; false when it keeps it open for 10 s.
bool closedByService(int fd, std::vector<uint8_t> *received = nullptr)
{
    return mulvotest::waitFor([&] {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return false;
        uint8_t buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 && received)
            received->insert(received->end(), buffer, buffer + n);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    });
}

// A service of the test's own writes each answer together with the interrupt that followed it,
// as one read on the client may take them: the interrupt is known once the call returns, and
// is never left for a reader that will not come.
TEST(ServiceConnection, InterruptsReadWithAnAnswerAreTakenAtOnce)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string path = dir + "/peer.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::thread peer([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        uint8_t in[kMessageSize];
        for (uint64_t sequence = 1; recv(fd, in, sizeof in, MSG_WAITALL) == ssize_t(sizeof in);
             ++sequence) {
            Message asked;
            decodeRequest(in, asked);
            Message interrupt = request(Kind::Interrupt, 0, uint32_t(40 + sequence));
            interrupt.sequence = sequence;
            std::vector<uint8_t> out = bytesOf(answerTo(asked.kind, MULVO_OK, 0, 0));
            if (asked.kind == Kind::Info) {
                const std::string text = formatInfo({"/l.so", "virtual", "Virtual", "1", {}});
                out = bytesOf(answerTo(Kind::Info, MULVO_OK, uint32_t(text.size())));
                out.insert(out.end(), text.begin(), text.end());
            }
            const auto more = bytesOf(interrupt);
            out.insert(out.end(), more.begin(), more.end());
            send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
        close(fd);
    });
    std::atomic<int> told{0};
    std::string error;
    auto client = Connection::open(
        path, [&told] { ++told; }, error);
    ASSERT_TRUE(client) << error;
    Connection::Latest latest;
    ASSERT_TRUE(client->latest(0, latest)) << "the interrupt after the greeting's answer";
    EXPECT_EQ(latest.sequence, 1u);
    Message answer;
    ASSERT_TRUE(client->call(request(Kind::Read), answer)) << client->reason();
    ASSERT_TRUE(client->latest(0, latest));
    EXPECT_EQ(latest.sequence, 2u);
    EXPECT_EQ(latest.number, 42u);
    ServiceInfo info;
    ASSERT_TRUE(client->info(info)) << client->reason();
    ASSERT_TRUE(client->latest(0, latest));
    EXPECT_EQ(latest.sequence, 3u) << "the interrupt after Info's text";
    EXPECT_EQ(told.load(), 3);
    client.reset();
    peer.join();
    close(listener);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        segment = mulvo::sim::SimSegment::open(mulvotest::instance(), error);
        ASSERT_TRUE(segment) << error;
        segment->reset();
        ASSERT_TRUE(service.start()) << service.log();
    }

    std::unique_ptr<mulvo::sim::SimSegment> segment;
    ServiceProcess service;
};

TEST_F(ServiceTest, ClientsThatBreakTheProtocolAreDroppedAloneAndTheOthersAnswered)
{
    std::string error;
    auto good = Connection::open(service.socket(), {}, error);
    ASSERT_TRUE(good) << error;
    Message answer;
    ASSERT_TRUE(good->call(request(Kind::Open), answer));
    ASSERT_EQ(answer.result, MULVO_OK);
    ASSERT_TRUE(good->call(request(Kind::Write, 0, 0x5a), answer));
    ASSERT_EQ(answer.result, MULVO_OK);
    EXPECT_EQ(segment->output(), 0x5a);

    // Clients that say nothing, or half a message, are no one's trouble.
    const int silent = connectTo(service.socket());
    const int half = connectTo(service.socket());
    ASSERT_GE(half, 0);
    ASSERT_EQ(send(half, bytesOf(request(Kind::Hello)).data(), 20, MSG_NOSIGNAL), 20);

    struct Breaker
    {
        const char *what;
        std::vector<Message> messages;
        std::vector<uint8_t> raw;
    };
    std::vector<uint8_t> garbage(4096);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = uint8_t(i * 131 + 7);
    const Breaker breakers[] = {
        {"garbage", {}, garbage},
        {"no greeting", {request(Kind::Open)}, {}},
        {"greeted twice", {request(Kind::Hello), request(Kind::Hello)}, {}},
        {"write before open", {request(Kind::Hello), request(Kind::Write, 0, 1)}, {}},
        {"write 0x100",
         {request(Kind::Hello), request(Kind::Open), request(Kind::Write, 0, 0x100)},
         {}},
        {"disarm never armed",
         {request(Kind::Hello), request(Kind::Open), request(Kind::Disarm)},
         {}},
    };
    for (const Breaker &b : breakers) {
        SCOPED_TRACE(b.what);
        const int fd = connectTo(service.socket());
        ASSERT_GE(fd, 0);
        sendMessages(fd, b.messages);
        if (!b.raw.empty()) {
            ASSERT_EQ(send(fd, b.raw.data(), b.raw.size(), MSG_NOSIGNAL), ssize_t(b.raw.size()));
        }
        EXPECT_TRUE(closedByService(fd));
        close(fd);
    }
    // Another version hears which one the service speaks, then is let go.
    const int other = connectTo(service.socket());
    std::vector<uint8_t> hello = bytesOf(request(Kind::Hello));
    hello[4] = 2;
    ASSERT_EQ(send(other, hello.data(), hello.size(), MSG_NOSIGNAL), ssize_t(hello.size()));
    std::vector<uint8_t> received;
    EXPECT_TRUE(closedByService(other, &received));
    ASSERT_EQ(received.size(), kMessageSize);
    Message refusal;
    ASSERT_EQ(decodeFromService(received.data(), refusal), Decoded::Ok);
    EXPECT_EQ(refusal.result, MULVO_E_SYSTEM);
    close(other);

    // Thousands of connections held open.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> crowd;
    for (int i = 0; i < 3000; ++i) {
        const int fd = connectTo(service.socket());
        if (fd < 0)
            break;
        crowd.push_back(fd);
    }
    EXPECT_GT(crowd.size(), 1000u);
    ASSERT_TRUE(good->call(request(Kind::Read), answer)) << good->reason();
    EXPECT_EQ(answer.result, MULVO_OK);
    for (int fd : crowd)
        close(fd);
    close(silent);
    close(half);

    EXPECT_EQ(segment->output(), 0x5a) << "nothing a dropped client sent reached the adapter";
    ASSERT_TRUE(good->call(request(Kind::Write, 0, 0xa5), answer));
    EXPECT_EQ(segment->output(), 0xa5);
    const std::string log = service.log();
    for (const char *line :
         {"dropped: malformed message (not a message of this protocol)", "dropped: no greeting",
          "dropped: greeted twice", "dropped: calls adapter 0 without opening it",
          "dropped: malformed message (field out of range)",
          "dropped: disarms a handle it never armed", "dropped: speaks protocol version 2, not 1",
          "adapter 0 opened"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log.substr(0, 3000);
    }
    EXPECT_EQ(service.stop(SIGTERM), 0);
}

TEST_F(ServiceTest, InfoNamesTheLibraryAndAClientSeesTheServiceGoFast)
{
    std::string error;
    auto client = Connection::open(service.socket(), {}, error);
    ASSERT_TRUE(client) << error;
    ServiceInfo info;
    ASSERT_TRUE(client->info(info)) << client->reason();
    EXPECT_EQ(info.kind, "virtual");
    EXPECT_EQ(info.label.rfind("Virtual adapter", 0), 0u) << info.label;
    EXPECT_EQ(info.library.substr(info.library.rfind('/')), "/libmulvo.so.1");

    EXPECT_EQ(service.stop(SIGTERM), 0);
    struct stat st;
    EXPECT_NE(lstat(service.socket().c_str(), &st), 0) << "the socket file is removed";
    const auto before = std::chrono::steady_clock::now();
    Message answer;
    EXPECT_FALSE(client->call(request(Kind::Read), answer));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_NE(client->reason().find("went away"), std::string::npos) << client->reason();
    EXPECT_FALSE(Connection::open(service.socket(), {}, error));
    EXPECT_NE(error.find("mulvod is not running"), std::string::npos) << error;
}

TEST_F(ServiceTest, TheSocketPathIsNeverTakenFromSomethingElse)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string file = dir + "/file", fifo = dir + "/fifo", link = dir + "/link";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(service.socket().c_str(), link.c_str()), 0);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {file, "is not a socket"},
        {fifo, "is not a socket"},
        {link, "is not a socket"},
        {service.socket(), "another service is already listening"},
        {"relative.sock", "must be an absolute path"},
    };
    for (const auto &[path, message] : refused) {
        SCOPED_TRACE(path);
        const auto r = mulvotest::runTool(MULVOD_PATH, {"--adapter", "virtual", "--socket", path});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    struct stat st;
    EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode));
    EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));

    // The socket is its owner's alone; in the runtime folder, so is the folder made for it.
    ASSERT_EQ(lstat(service.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string runtime = dir + "/runtime";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    {
        const pid_t pid =
            mulvotest::startProgram({MULVOD_PATH, "--adapter", "virtual"}, {}, {},
                                    {"XDG_RUNTIME_DIR=" + runtime, "MULVO_SERVICE_SOCKET="});
        const std::string socket = runtime + "/dovrax/mulvod.sock";
        EXPECT_TRUE(mulvotest::waitFor([&] { return lstat(socket.c_str(), &st) == 0; }));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(lstat((runtime + "/dovrax").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        kill(pid, SIGTERM);
        EXPECT_EQ(mulvotest::waitProgram(pid), 0);
        rmdir((runtime + "/dovrax").c_str());
    }
    // A runtime folder of ours that others may enter is refused, not used.
    ASSERT_EQ(mkdir((runtime + "/dovrax").c_str(), 0755), 0);
    const auto open = mulvotest::runTool(MULVOD_PATH, {"--adapter", "virtual"},
                                         {"XDG_RUNTIME_DIR=" + runtime, "MULVO_SERVICE_SOCKET="});
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_NE(open.err.find("closed to others"), std::string::npos) << open.err;

    // A socket left by a service that was killed is taken over.
    EXPECT_EQ(service.stop(SIGKILL), -1);
    ASSERT_EQ(lstat(service.socket().c_str(), &st), 0);
    ASSERT_TRUE(service.start()) << service.log();
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(ServiceActivation, TakesTheSocketSystemdPassesAndLeavesItsFile)
{
    const std::string dir = mulvotest::makeTempDir();
    const std::string path = dir + "/activated.sock";
    const std::string log = dir + "/log";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        // What systemd does for a socket unit with Accept=no.
        dup2(listener, 3);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDS", "1", 1);
        execl(MULVOD_PATH, "mulvod", "--adapter", "virtual", nullptr);
        _exit(127);
    }
    close(listener);
    std::string error;
    std::unique_ptr<Connection> client;
    ASSERT_TRUE(mulvotest::waitFor([&] {
        client = Connection::open(path, {}, error);
        return client != nullptr;
    })) << error;
    Message answer;
    EXPECT_TRUE(client->call(request(Kind::Open), answer));
    kill(pid, SIGTERM);
    EXPECT_EQ(mulvotest::waitProgram(pid), 0);
    EXPECT_NE(mulvotest::readFile(log).find("(from systemd)"), std::string::npos);
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << "systemd's socket file stays";
    std::system(("rm -rf '" + dir + "'").c_str());
}

// Through the client library: SIGTERM to the service makes the next call of every client fail
// at once with the reason, and once the service is back the next open reaches it.
TEST_F(ServiceTest, CallsFailFastWhenTheServiceStopsAndTheNextOpenReconnects)
{
    setenv(kSocketEnv, service.socket().c_str(), 1);
    std::string error;
    auto library = mulvo::Library::loadFile(MULVO_SERVICE_LIB_PATH, error);
    ASSERT_TRUE(library) << error;
    const mulvo::Api &api = library->api();
    const uint32_t h = api.open(0);
    ASSERT_NE(h, 0u);
    static std::atomic<uint32_t> calls{0};
    // Arming that the service refuses is a failure the caller hears of, not a silent OK.
    segment->setPresent(false);
    EXPECT_EQ(api.connect(h, [](uint32_t, uint32_t) { ++calls; }), MULVO_E_ABSENT);
    segment->setPresent(true);
    ASSERT_EQ(api.connect(h, [](uint32_t, uint32_t) { ++calls; }), MULVO_OK);
    ASSERT_TRUE(segment->raise(3));
    ASSERT_TRUE(mulvotest::waitFor([] { return calls.load() == 3; }));

    EXPECT_EQ(service.stop(SIGTERM), 0);
    testing::internal::CaptureStderr();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(api.mbout(h, 0x11), MULVO_E_SYSTEM);
    uint32_t value = 0;
    EXPECT_EQ(api.mbin(h, &value), MULVO_E_SYSTEM);
    EXPECT_EQ(api.intcout(h, MULVO_INT_DISARM), MULVO_OK) << "disarming always works";
    EXPECT_EQ(api.open(0), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("mulvo-service: the adapter service at " + service.socket() + " went away"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("mulvod is not running"), std::string::npos) << said;

    ASSERT_TRUE(service.start()) << service.log();
    const uint32_t again = api.open(0);
    ASSERT_NE(again, 0u);
    EXPECT_EQ(api.mbout(again, 0x22), MULVO_OK);
    EXPECT_EQ(segment->output(), 0x22);
    EXPECT_EQ(api.mbout(h, 0x33), MULVO_E_SYSTEM) << "a handle stays on its own connection";
    // Restarts of the service cost a long-running client no descriptor.
    const auto descriptors = [] {
        size_t n = 0;
        DIR *dir = opendir("/proc/self/fd");
        while (dir && readdir(dir))
            ++n;
        if (dir)
            closedir(dir);
        return n;
    };
    std::vector<uint32_t> handles{again};
    const size_t held = descriptors();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(service.stop(SIGTERM), 0);
        ASSERT_TRUE(service.start()) << service.log();
        EXPECT_EQ(api.mbout(handles.back(), 0x44), MULVO_E_SYSTEM);
        handles.push_back(api.open(0));
        ASSERT_NE(handles.back(), 0u);
    }
    EXPECT_EQ(descriptors(), held);
    EXPECT_EQ(api.close(h), MULVO_OK);
    for (const uint32_t handle : handles)
        EXPECT_EQ(api.close(handle), MULVO_OK);
    unsetenv(kSocketEnv);
}

// The callback's own call reads the next interrupt's message off the connection (it comes
// before the call's answer): that interrupt still gets its callback.
TEST_F(ServiceTest, AnInterruptReadByACallInsideTheCallbackIsDelivered)
{
    setenv(kSocketEnv, service.socket().c_str(), 1);
    std::string error;
    auto library = mulvo::Library::loadFile(MULVO_SERVICE_LIB_PATH, error);
    ASSERT_TRUE(library) << error;
    static const mulvo::Api *api = &library->api();
    static mulvo::sim::SimSegment *raiser = segment.get();
    static std::atomic<uint32_t> calls{0};
    calls = 0;
    const uint32_t h = api->open(0);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(api->connect(h,
                           [](uint32_t handle, uint32_t) {
                               if (++calls == 1) {
                                   raiser->raise(1);
                                   // The service's message of it is on its way meanwhile.
                                   std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                   api->mbout(handle, 0x01);
                               }
                           }),
              MULVO_OK);
    ASSERT_TRUE(segment->raise(1));
    EXPECT_TRUE(mulvotest::waitFor([] { return calls.load() == 2; }, std::chrono::seconds(3)))
        << calls.load() << " callbacks";
    api->close(h);
    unsetenv(kSocketEnv);
}

} // namespace
