#include "protocol.h"

#include "mulvolib.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace mulvo::service {

bool spinningPays()
{
    static const bool pays = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return pays;
}

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

namespace {

constexpr uint8_t kMagicBytes[4] = {'M', 'L', 'V', 'D'};

void put16(uint8_t *at, uint16_t v)
{
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
}

void put32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(v >> (8 * i));
}

void put64(uint8_t *at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        at[i] = uint8_t(v >> (8 * i));
}

uint16_t get16(const uint8_t *at)
{
    return uint16_t(at[0] | (at[1] << 8));
}

uint32_t get32(const uint8_t *at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | at[i];
    return v;
}

uint64_t get64(const uint8_t *at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | at[i];
    return v;
}

bool isRequestKind(uint32_t kind)
{
    return kind >= uint32_t(Kind::Hello) && kind <= uint32_t(Kind::Disarm);
}

// Magic, version and the raw fields; the kind is checked by the caller.
Decoded decodeCommon(const uint8_t in[kMessageSize], Message &message, uint16_t &rawKind)
{
    if (std::memcmp(in, kMagicBytes, sizeof kMagicBytes) != 0)
        return Decoded::BadMagic;
    message.version = get16(in + 4);
    if (message.version != kVersion)
        return Decoded::BadVersion;
    rawKind = get16(in + 6);
    message.device = get32(in + 8);
    message.value = get32(in + 12);
    message.result = int32_t(get32(in + 16));
    message.sequence = get64(in + 24);
    if (get32(in + 20) != 0)
        return Decoded::BadField;
    return Decoded::Ok;
}

bool absolute(std::string_view path)
{
    return !path.empty() && path.front() == '/';
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

void encode(const Message &message, uint8_t out[kMessageSize])
{
    std::memcpy(out, kMagicBytes, sizeof kMagicBytes);
    put16(out + 4, kVersion);
    put16(out + 6, uint16_t(uint32_t(message.kind) | (message.answer ? kAnswer : 0)));
    put32(out + 8, message.device);
    put32(out + 12, message.value);
    put32(out + 16, uint32_t(message.result));
    put32(out + 20, 0);
    put64(out + 24, message.sequence);
}

Decoded decodeRequest(const uint8_t in[kMessageSize], Message &message)
{
    uint16_t raw = 0;
    const Decoded common = decodeCommon(in, message, raw);
    if (common != Decoded::Ok)
        return common;
    if (!isRequestKind(raw))
        return Decoded::BadKind;
    message.kind = Kind(raw);
    message.answer = false;
    if (message.result != 0 || message.sequence != 0)
        return Decoded::BadField;
    const bool global = message.kind == Kind::Hello || message.kind == Kind::Info;
    if (global && message.device != 0)
        return Decoded::BadField;
    if (message.kind == Kind::Write ? message.value > 0xff : message.value != 0)
        return Decoded::BadField;
    return Decoded::Ok;
}

Decoded decodeFromService(const uint8_t in[kMessageSize], Message &message)
{
    uint16_t raw = 0;
    const Decoded common = decodeCommon(in, message, raw);
    if (common != Decoded::Ok)
        return common;
    if (raw == uint16_t(Kind::Interrupt)) {
        message.kind = Kind::Interrupt;
        message.answer = false;
        return message.result == 0 ? Decoded::Ok : Decoded::BadField;
    }
    if (!(raw & kAnswer) || !isRequestKind(raw & ~kAnswer))
        return Decoded::BadKind;
    message.kind = Kind(raw & ~kAnswer);
    message.answer = true;
    if (message.result > 0 || message.result < MULVO_E_SYSTEM)
        return Decoded::BadField;
    uint32_t maxValue = 0;
    if (message.kind == Kind::Read)
        maxValue = 0xff;
    else if (message.kind == Kind::Info)
        maxValue = kMaxInfoText;
    // A failed call carries nothing but its result.
    if (message.value > (message.result == 0 ? maxValue : 0))
        return Decoded::BadField;
    if (message.sequence != 0 && (message.kind != Kind::Arm || message.result != 0))
        return Decoded::BadField;
    return Decoded::Ok;
}

const char *decodedText(Decoded decoded)
{
    switch (decoded) {
    case Decoded::Ok:
        return "well-formed";
    case Decoded::BadMagic:
        return "not a message of this protocol";
    case Decoded::BadVersion:
        return "another protocol version";
    case Decoded::BadKind:
        return "unknown message kind";
    case Decoded::BadField:
        return "field out of range";
    }
    return "malformed";
}

bool socketPath(Side side, std::string_view explicitPath, std::string &path, std::string &error)
{
    std::string origin;
    if (!explicitPath.empty()) {
        path = explicitPath;
        origin = "--socket";
    } else if (const char *env = std::getenv(kSocketEnv);
               env && *env && side != Side::SystemService) {
        path = env;
        origin = kSocketEnv;
    } else if (side == Side::SystemService) {
        path = kSystemSocket;
        origin = "the system socket";
    } else {
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !absolute(runtime)) {
            if (side == Side::Client && exists(kSystemSocket)) {
                path = kSystemSocket;
                return true;
            }
            error = "XDG_RUNTIME_DIR is not set to an absolute path; set " +
                    std::string(kSocketEnv) + (side == Side::Client ? "" : " or give --socket");
            return false;
        }
        path = std::string(runtime) + "/dovrax/mulvod.sock";
        origin = "XDG_RUNTIME_DIR";
        if (side == Side::Client && !exists(path) && exists(kSystemSocket))
            path = kSystemSocket;
    }
    if (!absolute(path)) {
        error = origin + " must be an absolute path, not \"" + path + "\"";
        return false;
    }
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
                std::to_string(sizeof(sockaddr_un::sun_path) - 1) + "): " + path;
        return false;
    }
    return true;
}

std::string formatInfo(const ServiceInfo &info)
{
    std::string text = "library=" + info.library + "\nkind=" + info.kind + "\nlabel=" + info.label +
                       "\nversion=" + info.version + "\n";
    if (text.size() > kMaxInfoText)
        text.resize(kMaxInfoText);
    // Whole lines only: the outputs that do not fit are not told.
    for (const auto &[device, value] : info.outputs) {
        const std::string line =
            "output." + std::to_string(device) + "=" + std::to_string(value) + "\n";
        if (text.size() + line.size() > kMaxInfoText)
            break;
        text += line;
    }
    return text;
}

namespace {

// Digits only, no sign or leading zero, at most `limit`.
std::optional<uint64_t> decimal(std::string_view text, uint64_t limit)
{
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > limit)
        return std::nullopt;
    return value;
}

} // namespace

bool parseInfo(std::string_view text, ServiceInfo &info)
{
    ServiceInfo parsed;
    unsigned seen = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return false;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        for (const char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return false;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return false;
        const std::string_view key = line.substr(0, equals);
        const std::string value(line.substr(equals + 1));
        if (key == "library")
            parsed.library = value, seen |= 1;
        else if (key == "kind")
            parsed.kind = value, seen |= 2;
        else if (key == "label")
            parsed.label = value, seen |= 4;
        else if (key == "version")
            parsed.version = value, seen |= 8;
        else if (key.rfind("output.", 0) == 0) {
            const auto device = decimal(key.substr(7), 0xffffffffu);
            const auto byte = decimal(value, 0xff);
            if (!device || !byte)
                return false;
            parsed.outputs.emplace_back(uint32_t(*device), uint8_t(*byte));
        }
        // Keys of a later version are passed over.
    }
    if (seen != 15)
        return false;
    info = std::move(parsed);
    return true;
}

} // namespace mulvo::service
