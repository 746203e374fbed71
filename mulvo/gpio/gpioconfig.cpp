#include "gpioconfig.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvo::gpio {

namespace {

constexpr size_t kGroupSize = 8;
// The kernel takes at most this many lines in one request; larger offsets are no use either.
constexpr uint32_t kMaxOffset = 65535;

// A piece of the file as a message quotes it: at most 80 characters, control characters
// escaped, so that a damaged file gives a readable message of bounded size.
std::string quoted(std::string_view text)
{
    constexpr size_t kMaxQuoted = 80;
    std::string out = "'";
    for (size_t i = 0; i < text.size() && i < kMaxQuoted; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    out += text.size() > kMaxQuoted ? "'..." : "'";
    return out;
}

std::string_view trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool parseNumber(std::string_view s, uint32_t &value)
{
    if (s.empty())
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

LineRef lineRef(std::string_view word)
{
    LineRef ref;
    if (!parseNumber(word, ref.offset))
        ref.name = std::string(word);
    return ref;
}

bool parseLine(std::string_view value, LineRef &ref, std::string &error)
{
    if (value.empty() || value.find_first_of(" \t,") != std::string_view::npos) {
        error = "expected one line (an offset or a line name), got " + quoted(value);
        return false;
    }
    ref = lineRef(value);
    if (ref.name.empty() && ref.offset > kMaxOffset) {
        error = "line offset " + quoted(value) + " is too large";
        return false;
    }
    return true;
}

bool parseLines(std::string_view value, std::vector<LineRef> &lines, std::string &error)
{
    lines.clear();
    size_t pos = 0;
    while (pos < value.size()) {
        const size_t start = value.find_first_not_of(" \t,", pos);
        if (start == std::string_view::npos)
            break;
        const size_t end = std::min(value.find_first_of(" \t,", start), value.size());
        LineRef ref;
        if (!parseLine(value.substr(start, end - start), ref, error))
            return false;
        lines.push_back(ref);
        pos = end;
    }
    if (lines.size() != kGroupSize) {
        error = "expected " + std::to_string(kGroupSize) + " lines, bit 0 first, got " +
                std::to_string(lines.size());
        return false;
    }
    return true;
}

bool parseBool(std::string_view value, bool &flag, std::string &error)
{
    if (value == "yes" || value == "true" || value == "1") {
        flag = true;
        return true;
    }
    if (value == "no" || value == "false" || value == "0") {
        flag = false;
        return true;
    }
    error = "expected yes or no, got " + quoted(value);
    return false;
}

bool parseBias(std::string_view value, Bias &bias, std::string &error)
{
    if (value == "as-is")
        bias = Bias::AsIs;
    else if (value == "disabled")
        bias = Bias::Disabled;
    else if (value == "pull-up")
        bias = Bias::PullUp;
    else if (value == "pull-down")
        bias = Bias::PullDown;
    else {
        error = "expected as-is, disabled, pull-up or pull-down, got " + quoted(value);
        return false;
    }
    return true;
}

bool parseEdge(std::string_view value, Edge &edge, std::string &error)
{
    if (value == "rising")
        edge = Edge::Rising;
    else if (value == "falling")
        edge = Edge::Falling;
    else if (value == "both")
        edge = Edge::Both;
    else {
        error = "expected rising, falling or both, got " + quoted(value);
        return false;
    }
    return true;
}

bool parseKey(AdapterConfig &a, std::string_view key, std::string_view value, std::string &error)
{
    if (key == "chip") {
        if (value.empty()) {
            error = "chip needs a path or a label";
            return false;
        }
        a.chip = std::string(value);
        return true;
    }
    if (key == "outputs")
        return parseLines(value, a.outputs.lines, error);
    if (key == "inputs")
        return parseLines(value, a.inputs.lines, error);
    if (key == "output-active-low")
        return parseBool(value, a.outputs.activeLow, error);
    if (key == "input-active-low")
        return parseBool(value, a.inputs.activeLow, error);
    if (key == "output-bias")
        return parseBias(value, a.outputs.bias, error);
    if (key == "input-bias")
        return parseBias(value, a.inputs.bias, error);
    if (key == "interrupt") {
        LineRef ref;
        if (!parseLine(value, ref, error))
            return false;
        a.interrupt = ref;
        return true;
    }
    if (key == "interrupt-edge")
        return parseEdge(value, a.edge, error);
    if (key == "interrupt-debounce-us") {
        // The kernel keeps the period in microseconds; a second is far beyond any contact bounce.
        if (!parseNumber(value, a.debounceUs) || a.debounceUs > 1000000) {
            error = "expected a debounce period of 0 to 1000000 microseconds, got " + quoted(value);
            return false;
        }
        return true;
    }
    if (key == "interrupt-active-low")
        return parseBool(value, a.interruptActiveLow, error);
    if (key == "interrupt-bias")
        return parseBias(value, a.interruptBias, error);
    if (key == "acknowledge") {
        LineRef ref;
        if (!parseLine(value, ref, error))
            return false;
        a.acknowledge = ref;
        return true;
    }
    if (key == "acknowledge-active-low")
        return parseBool(value, a.acknowledgeActiveLow, error);
    error = "unknown key " + quoted(key);
    return false;
}

// A section is complete and uses no line twice.
bool checkAdapter(const AdapterConfig &a, std::string &error)
{
    const std::string section = "[adapter " + std::to_string(a.device) + "]";
    const char *missing = a.chip.empty()            ? "chip"
                          : a.outputs.lines.empty() ? "outputs"
                          : a.inputs.lines.empty()  ? "inputs"
                                                    : nullptr;
    if (missing) {
        error = section + " has no " + missing;
        return false;
    }
    std::vector<LineRef> all = a.outputs.lines;
    all.insert(all.end(), a.inputs.lines.begin(), a.inputs.lines.end());
    if (a.interrupt)
        all.push_back(*a.interrupt);
    if (a.acknowledge)
        all.push_back(*a.acknowledge);
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = i + 1; j < all.size(); ++j) {
            if (all[i] == all[j]) {
                const LineRef &r = all[i];
                error = section + " uses line " +
                        (r.name.empty() ? std::to_string(r.offset) : quoted(r.name)) + " twice";
                return false;
            }
        }
    }
    return true;
}

std::string userConfigPath()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (!home || home[0] != '/')
            return {};
        base = std::string(home) + "/.config";
    }
    return base + "/dovrax/gpio.conf";
}

} // namespace

const AdapterConfig *Config::find(uint32_t device) const
{
    for (const AdapterConfig &a : adapters)
        if (a.device == device)
            return &a;
    return nullptr;
}

bool parseConfig(std::string_view text, const std::string &fileName, Config &config,
                 std::string &error)
{
    config.adapters.clear();
    AdapterConfig *current = nullptr;
    std::set<std::string> keysSeen;
    int lineNo = 0;
    const auto fail = [&](const std::string &what) {
        error = fileName + ":" + std::to_string(lineNo) + ": " + what;
        return false;
    };
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (lineNo == 1 && line.substr(0, 3) == "\xEF\xBB\xBF")
            line.remove_prefix(3);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return fail("a section header ends with ']'");
            const std::string_view inner = trim(line.substr(1, line.size() - 2));
            constexpr std::string_view kWord = "adapter";
            uint32_t device = 0;
            if (inner.substr(0, kWord.size()) != kWord ||
                !parseNumber(trim(inner.substr(kWord.size())), device) ||
                inner.size() == kWord.size() || inner[kWord.size()] != ' ')
                return fail("expected a section [adapter N], got " + quoted(line));
            if (current && !checkAdapter(*current, error))
                return fail(error);
            if (config.find(device))
                return fail("[adapter " + std::to_string(device) + "] appears twice");
            config.adapters.push_back(AdapterConfig{});
            current = &config.adapters.back();
            current->device = device;
            keysSeen.clear();
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return fail("expected key = value, got " + quoted(line));
        if (!current)
            return fail("key outside an [adapter N] section");
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (!keysSeen.insert(std::string(key)).second)
            return fail("key " + quoted(key) + " given twice");
        if (!parseKey(*current, key, value, error))
            return fail(error);
    }
    if (current && !checkAdapter(*current, error)) {
        error = fileName + ": " + error;
        return false;
    }
    if (config.adapters.empty()) {
        error = fileName + ": no [adapter N] section";
        return false;
    }
    return true;
}

std::string configFilePath()
{
    const char *chosen = std::getenv(kConfigEnv);
    if (chosen && *chosen)
        return chosen;
    const std::string user = userConfigPath();
    if (!user.empty() && access(user.c_str(), F_OK) == 0)
        return user;
    return kSystemConfig;
}

bool loadConfig(Config &config, std::string &error)
{
    const std::string path = configFilePath();
    const auto fail = [&](const std::string &why) {
        error = "cannot read the GPIO configuration " + path + ": " + why;
        return false;
    };
    // Opened without blocking and checked on the open descriptor: a FIFO or a device named as
    // the file is never waited on or read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        const char *chosen = std::getenv(kConfigEnv);
        if (err == ENOENT && !(chosen && *chosen)) {
            const std::string user = userConfigPath();
            error = "no GPIO configuration: neither " + (user.empty() ? "" : user + " nor ") +
                    path + " exists";
            return false;
        }
        return fail(std::strerror(err));
    }
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail("it is a directory");
    if (!S_ISREG(st.st_mode))
        return fail("it is not a regular file");
    std::string text;
    // At most the limit, even if the file grows while it is read.
    while (text.size() <= kMaxConfigBytes) {
        char buffer[16384];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(std::strerror(errno));
        if (n == 0)
            break;
        text.append(buffer, size_t(n));
    }
    if (text.size() > kMaxConfigBytes)
        return fail("it is larger than " + std::to_string(kMaxConfigBytes) + " bytes");
    return parseConfig(text, path, config, error);
}

const AdapterConfig *loadAdapter(uint32_t device, Config &config, std::string &error)
{
    if (!loadConfig(config, error))
        return nullptr;
    const AdapterConfig *a = config.find(device);
    if (!a)
        error = configFilePath() + ": no [adapter " + std::to_string(device) + "] section";
    return a;
}

bool chipOfAdapter(uint32_t device, std::string &chip, std::string &error)
{
    Config config;
    const AdapterConfig *a = loadAdapter(device, config, error);
    if (a)
        chip = a->chip;
    return a != nullptr;
}

} // namespace mulvo::gpio
