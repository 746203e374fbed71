// The adapter service's wire protocol, spoken over a Unix stream socket between mulvod and the
// client library. Every message is 32 bytes, little-endian:
//
//     0  magic     "MLVD"
//     4  version   u16, kVersion
//     6  kind      u16, a Kind
//     8  device    u32, the adapter number
//    12  value     u32, a byte written or read, an interrupt number, a text length
//    16  result    i32, MULVO_OK or a MULVO_E_* value (answers only)
//    20  reserved  u32, 0
//    24  sequence  u64, the service's interrupt sequence (Arm's answer, Interrupt)
//
// A call is one request and one answer, whose kind is the request's with kAnswer set. The only
// message the service sends unasked is Interrupt: the latest interrupt sequence of an adapter
// this client is armed on, and the adapter's own number of that interrupt. The service never
// sends one per interrupt: a client that reads late gets one with a later sequence, and counts
// every sequence number it has not delivered yet. Info's answer is followed by `value` bytes of
// text, lines of "key=value".
//
// Both sides check every field; a message that fails the check ends the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mulvo::service {

inline constexpr size_t kMessageSize = 32;
inline constexpr uint16_t kVersion = 1;
inline constexpr uint32_t kAnswer = 0x80;
// The longest text an Info answer carries.
inline constexpr uint32_t kMaxInfoText = 4096;

enum class Kind : uint16_t
{
    Hello = 1,       // first request: checks the versions
    Info = 2,        // the service's library and socket, as text
    Open = 3,        // device: opens the adapter in the service unless it is open
    Write = 4,       // device, value 0..255: mulvo_mbout
    Read = 5,        // device: mulvo_mbin, the byte in the answer's value
    Acknowledge = 6, // device: mulvo_out2(MULVO_PORT_ACK, 0)
    Arm = 7,         // device: one more armed handle; the answer's sequence is where it starts
    Disarm = 8,      // device: one armed handle less
    Interrupt = 0x40 // from the service: device, sequence, value the adapter's number
};

struct Message
{
    Kind kind = Kind::Hello;
    uint32_t device = 0;
    uint32_t value = 0;
    int32_t result = 0;
    uint64_t sequence = 0;
    bool answer = false; // kind | kAnswer on the wire
    uint16_t version = kVersion;
};

enum class Decoded
{
    Ok,
    BadMagic,
    BadVersion, // the version field is readable in `message`
    BadKind,
    BadField
};

// The bytes of `message` (its version field is always kVersion).
void encode(const Message &message, uint8_t out[kMessageSize]);

// A request as a client may send it: a request kind, reserved, result and sequence zero,
// device zero for Hello and Info, value zero except Write's, which is at most 255.
Decoded decodeRequest(const uint8_t in[kMessageSize], Message &message);

// A message from the service: an answer to one of the request kinds or an Interrupt, result
// MULVO_OK or a MULVO_E_* value, each field within what its kind may carry.
Decoded decodeFromService(const uint8_t in[kMessageSize], Message &message);

// Why a message was refused, for logs.
const char *decodedText(Decoded decoded);

// Where the socket is. `explicitPath` (the service's --socket) first, then
// $MULVO_SERVICE_SOCKET, then $XDG_RUNTIME_DIR/dovrax/mulvod.sock, or /run/dovrax/mulvod.sock
// for the system service. A client that is given neither path takes the user's socket when it
// exists, else the system's when that exists, else the user's (for the message). False with
// `error` when the path is not absolute, too long for a socket address, or not to be found.
enum class Side
{
    Client,
    UserService,
    SystemService
};
inline constexpr const char *kSocketEnv = "MULVO_SERVICE_SOCKET";
inline constexpr const char *kSystemSocket = "/run/dovrax/mulvod.sock";
bool socketPath(Side side, std::string_view explicitPath, std::string &path, std::string &error);

// How long each side keeps looking for the other's next message before it sleeps. On a machine
// whose processors doze when idle (virtual machines above all), waking one costs tens of
// microseconds, more than a whole round trip between two that are awake. Only where there is a
// second processor for the other side: on one, looking would only keep it from answering.
inline constexpr int64_t kSpinNs = 50'000;
bool spinningPays();
int64_t monotonicNs();

// The service's description of itself in Info's answer.
struct ServiceInfo
{
    std::string library; // absolute path of the adapter library it uses
    std::string kind;    // "virtual", "gpio" or "other"
    std::string label;   // how the operator is shown that library, "GPIO: gpiochip0"
    std::string version; // the service's program version
    // The last byte written through the service to each adapter that has had one ("output.N"
    // lines): the library's functions cannot read an output back, so a client that must put
    // the byte before back (a pulse) asks here.
    std::vector<std::pair<uint32_t, uint8_t>> outputs;
};
std::string formatInfo(const ServiceInfo &info);
// False when `text` is not what formatInfo makes (a line without '=', a byte below 0x20 other
// than the line ends, a missing key).
bool parseInfo(std::string_view text, ServiceInfo &info);

} // namespace mulvo::service
