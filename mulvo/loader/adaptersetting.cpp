// Reads DOVRAX's settings store without Qt, the way Qt's settings read it on Linux: the same files
// in the same order, the same INI quoting and escapes, the same oddities. Only reading is done
// here; the window program keeps writing through Qt. The steps follow the store's own: the file
// is cut into sections at lines starting with '[', and only the section whose name is the
// longest one not greater than the key (as sorted text) is read for it.
#include "adaptersetting.h"

#include "mulvoloader.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace mulvo {

namespace {

// The store's strings are UTF-16; a value is worked on as such and handed out as UTF-8.
using Text = std::u16string;

constexpr char16_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

constexpr int kInvalid = -1;
constexpr int kCut = -2;

// Decodes the UTF-8 character at the start of `bytes` (not empty) onto `out`: the bytes it took,
// kInvalid for a sequence that is wrong, kCut for one cut short by the end of `bytes`.
int decodeCharacter(std::string_view bytes, Text &out)
{
    const unsigned char lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) {
        out += char16_t(lead);
        return 1;
    }
    size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0 && lead >= 0xC2)
        length = 2, code = lead & 0x1F, least = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, code = lead & 0x0F, least = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, code = lead & 0x07, least = 0x10000;
    else
        return kInvalid;
    const size_t available = bytes.size() - 1;
    for (size_t k = 1; k < length; ++k) {
        if (k > available)
            return kCut;
        const unsigned char next = static_cast<unsigned char>(bytes[k]);
        if (!isContinuation(next))
            return kInvalid;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return kInvalid;
    if (code >= 0x10000) {
        code -= 0x10000;
        out += char16_t(0xD800 + (code >> 10));
        out += char16_t(0xDC00 + (code & 0x3FF));
    } else {
        out += char16_t(code);
    }
    return int(length);
}

// Appends UTF-8 `bytes`; each byte that starts no whole, valid sequence becomes U+FFFD.
void appendUtf8(Text &out, std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        const int taken = decodeCharacter(bytes.substr(i), out);
        if (taken > 0) {
            i += size_t(taken);
        } else {
            out += kReplacement;
            ++i;
        }
    }
}

// The decoder the store runs over the pieces of one value (the runs between backslashes, quotes
// and commas): a sequence cut at the end of a piece is finished by the next piece, or lost when
// none comes; when that does not finish it, the piece's first byte goes with it. A byte order
// mark opening the first piece is dropped.
class PieceDecoder
{
public:
    void append(Text &out, std::string_view piece)
    {
        size_t at = 0;
        if (!pending_.empty() || !started_) {
            const std::string joined = pending_ + std::string(piece.substr(0, 4 - pending_.size()));
            const size_t before = out.size();
            const int taken = decodeCharacter(joined, out);
            if (taken == kCut) {
                pending_ = joined;
                return;
            }
            if (taken == kInvalid) {
                out += kReplacement;
                ++at;
            } else {
                if (!started_ && out.size() == before + 1 && out.back() == 0xFEFF)
                    out.pop_back();
                at += size_t(taken) - pending_.size();
            }
            started_ = true;
            pending_.clear();
        }
        while (at < piece.size()) {
            const int taken = decodeCharacter(piece.substr(at), out);
            if (taken == kCut) {
                pending_ = piece.substr(at);
                return;
            }
            if (taken == kInvalid)
                out += kReplacement;
            at += taken > 0 ? size_t(taken) : 1;
        }
    }

private:
    std::string pending_;
    bool started_ = false;
};

Text fromUtf8(std::string_view bytes)
{
    Text text;
    appendUtf8(text, bytes);
    return text;
}

// UTF-16 to UTF-8; a surrogate without its pair becomes '?', as Qt writes it.
std::string toUtf8(const Text &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            out += '?';
            continue;
        }
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return out;
}

bool startsWith(const Text &text, std::u16string_view prefix)
{
    return std::u16string_view(text).substr(0, prefix.size()) == prefix;
}

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// The ASCII white space that the store trims from names: blank, tab, LF, VT, FF, CR.
bool isBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? char(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

// A group or key name as the file spells it: '\' stands for '/', %XX and %UXXXX for characters.
void appendKey(Text &out, std::string_view spelled)
{
    const Text name = fromUtf8(spelled);
    size_t i = 0;
    while (i < name.size()) {
        const char16_t c = name[i];
        if (c == u'\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i + 1 == name.size()) {
            out += c;
            ++i;
            continue;
        }
        const size_t first = name[i + 1] == u'U' ? i + 2 : i + 1;
        const size_t digits = name[i + 1] == u'U' ? 4 : 2;
        char16_t value = 0;
        bool ok = first + digits <= name.size();
        for (size_t k = 0; ok && k < digits; ++k) {
            const int digit = hexValue(name[first + k]);
            ok = digit >= 0;
            value = char16_t(value * 16 + digit);
        }
        if (!ok) {
            out += u'%';
            ++i;
            continue;
        }
        out += value;
        i = first + digits;
    }
}

// One logical line of a settings file, as the store cuts them: a quoted part or a backslash
// carries the line over a line break, ';' outside quotes starts a comment.
struct Line
{
    size_t start = 0;
    size_t length = 0;
    size_t equals = std::string_view::npos; // the first '=' outside quotes, in the data
};

enum : unsigned char
{
    kSpace = 1,
    kSpecial = 2
};

unsigned char traits(char c)
{
    switch (c) {
    case '\t':
    case ' ':
        return kSpace;
    case '\n':
    case '\r':
        return kSpace | kSpecial;
    case '"':
    case ';':
    case '=':
    case '\\':
        return kSpecial;
    default:
        return 0;
    }
}

bool nextLine(std::string_view data, size_t &position, Line &line)
{
    const size_t size = data.size();
    bool inQuotes = false;
    line.equals = std::string_view::npos;
    size_t start = position;
    while (start < size && (traits(data[start]) & kSpace))
        ++start;
    size_t i = start;
    while (i < size) {
        const char c = data[i++];
        if (!(traits(c) & kSpecial))
            continue;
        if (c == '=') {
            if (!inQuotes && line.equals == std::string_view::npos)
                line.equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = data[i++];
                if (i < size &&
                    ((escaped == '\n' && data[i] == '\r') || (escaped == '\r' && data[i] == '\n')))
                    ++i;
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (i == start + 1) { // ';' first on the line: the whole line is a comment
            while (i < size && data[i] != '\n' && data[i] != '\r')
                ++i;
            while (i < size && (traits(data[i]) & kSpace))
                ++i;
            start = i;
        } else if (!inQuotes) {
            --i;
            break;
        }
    }
    position = i;
    line.start = start;
    line.length = i - start;
    return line.length > 0;
}

// A value as the store unescapes it. Returns true when an unquoted comma made it a list.
bool unescapeValue(std::string_view value, Text &text)
{
    bool isList = false;
    bool inQuotes = false;
    bool quoted = false;
    size_t i = 0;
    size_t keep = 0; // trailing blanks are dropped down to here
    const size_t size = value.size();
    auto skipBlanks = [&] {
        while (i < size && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        keep = text.size();
    };
    auto chopBlanks = [&] {
        while (text.size() > keep && (text.back() == u' ' || text.back() == u'\t'))
            text.pop_back();
    };
    // \x and \0..\7: as many digits as follow, in a 16-bit character. False at the end of the
    // value, which ends the reading at once.
    auto numericEscape = [&](char16_t code, int base) {
        for (;;) {
            if (i >= size) {
                text += code;
                return false;
            }
            const int digit = hexValue(char16_t(static_cast<unsigned char>(value[i])));
            if (digit < 0 || digit >= base) {
                text += code;
                keep = text.size();
                return true;
            }
            code = char16_t(code * base + digit);
            ++i;
        }
    };
    PieceDecoder decoder;
    skipBlanks();
    while (i < size) {
        const char c = value[i];
        if (c == '\\') {
            if (++i >= size)
                return isList;
            const char escaped = value[i++];
            static constexpr std::pair<char, char> kCodes[] = {
                {'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'},  {'t', '\t'},
                {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'},
            };
            bool simple = false;
            for (const auto &[name, code] : kCodes) {
                if (escaped == name) {
                    text += char16_t(static_cast<unsigned char>(code));
                    simple = true;
                    break;
                }
            }
            if (!simple && escaped == 'x') {
                if (i >= size)
                    return isList;
                if (hexValue(char16_t(static_cast<unsigned char>(value[i]))) >= 0) {
                    if (!numericEscape(0, 16))
                        return isList;
                    continue;
                }
            } else if (!simple && escaped >= '0' && escaped <= '7') {
                if (!numericEscape(char16_t(escaped - '0'), 8))
                    return isList;
                continue;
            } else if (!simple && (escaped == '\n' || escaped == '\r')) {
                if (i < size && (value[i] == '\n' || value[i] == '\r') && value[i] != escaped)
                    ++i;
            }
            // Any other character after a backslash is dropped.
            keep = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopBlanks();
            isList = true;
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
        } else {
            size_t end = i + 1;
            while (end < size && value[end] != '\\' && value[end] != '"' && value[end] != ',')
                ++end;
            decoder.append(text, value.substr(i, end - i));
            i = end;
        }
    }
    if (!quoted)
        chopBlanks();
    return isList;
}

// The string the store gives for a value of the form @Variant(...) holding a string or bytes;
// other kinds of value name no library and are given as empty.
Text variantText(const Text &serialized)
{
    std::string bytes;
    for (char16_t c : serialized)
        bytes += c <= 0xFF ? char(c) : '?';
    auto word = [&](size_t at) {
        return uint32_t(static_cast<unsigned char>(bytes[at])) << 24 |
               uint32_t(static_cast<unsigned char>(bytes[at + 1])) << 16 |
               uint32_t(static_cast<unsigned char>(bytes[at + 2])) << 8 |
               uint32_t(static_cast<unsigned char>(bytes[at + 3]));
    };
    constexpr uint32_t kString = 10;
    constexpr uint32_t kBytes = 12;
    if (bytes.size() < 8)
        return {};
    const uint32_t type = word(0);
    const uint32_t length = word(4);
    if (length == 0xFFFFFFFF || length > bytes.size() - 8 || (type != kString && type != kBytes))
        return {};
    if (type == kBytes)
        return fromUtf8(std::string_view(bytes).substr(8, length));
    Text text;
    for (size_t at = 8; at + 1 < 8 + size_t(length); at += 2)
        text += char16_t(static_cast<unsigned char>(bytes[at]) << 8 |
                         static_cast<unsigned char>(bytes[at + 1]));
    return text;
}

// How many arguments the store finds in @Rect(...), @Size(...) or @Point(...).
size_t argumentCount(const Text &text, size_t open)
{
    size_t count = 0;
    for (size_t i = open + 1; i < text.size(); ++i)
        count += text[i] == u')' || text[i] == u' ';
    return count;
}

// A single value as the store turns it into a string: '@' starts a typed value, "@@" an
// escaped '@'. Typed values other than strings and bytes read as empty strings.
Text valueText(const Text &text)
{
    if (text.empty() || text.front() != u'@')
        return text;
    if (text.back() == u')') {
        if (startsWith(text, u"@ByteArray(")) {
            std::string bytes;
            for (size_t i = 11; i + 1 < text.size(); ++i)
                bytes += text[i] <= 0xFF ? char(text[i]) : '?';
            return fromUtf8(bytes);
        }
        if (startsWith(text, u"@String("))
            return text.substr(8, text.size() - 9);
        if (startsWith(text, u"@Variant("))
            return variantText(text.substr(9));
        if (startsWith(text, u"@DateTime(") || text == u"@Invalid()")
            return {};
        if ((startsWith(text, u"@Rect(") && argumentCount(text, 5) == 4) ||
            (startsWith(text, u"@Size(") && argumentCount(text, 5) == 2) ||
            (startsWith(text, u"@Point(") && argumentCount(text, 6) == 2))
            return {};
    }
    if (startsWith(text, u"@@"))
        return text.substr(1);
    return text;
}

// The value of `key` in the lines of one section whose name (with its '/') is `group`; the
// last line naming the key wins.
std::optional<Text> sectionValue(std::string_view data, const Text &group, const Text &key)
{
    std::optional<Text> found;
    size_t position = 0;
    Line line;
    while (nextLine(data, position, line)) {
        if (line.equals == std::string_view::npos)
            continue;
        const std::string_view text = data.substr(line.start, line.length);
        const size_t equals = line.equals - line.start;
        Text name = group;
        appendKey(name, trimmed(text.substr(0, equals)));
        if (name != key)
            continue;
        Text value;
        // A list (an unquoted comma) is not a string, and reads as an empty one.
        found = unescapeValue(text.substr(equals + 1), value) ? Text() : valueText(value);
    }
    return found;
}

// Reads a regular file whole; anything else (missing, unreadable, a folder, a FIFO) holds
// no settings.
bool readSettingsFile(const std::string &path, std::string &data)
{
    return readRegularFile(path, SIZE_MAX, data);
}

// The path without "." and ".." steps, doubled or trailing slashes.
std::string cleanPath(const std::string &path)
{
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string> steps;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string step = path.substr(start, end - start);
        if (step == "..") {
            if (!steps.empty() && steps.back() != "..")
                steps.pop_back();
            else if (!absolute)
                steps.push_back(step);
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = end + 1;
    }
    std::string clean = absolute ? "/" : "";
    for (size_t i = 0; i < steps.size(); ++i)
        clean += (i ? "/" : "") + steps[i];
    return clean.empty() ? "." : clean;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

} // namespace

std::vector<std::string> settingsFiles()
{
    constexpr const char *kOrganisation = "Velmora";
    constexpr const char *kApplication = "DOVRAX";
    std::string home = environment("HOME");
    if (home.empty())
        home = "/";
    std::string user = environment("XDG_CONFIG_HOME");
    if (user.empty())
        user = cleanPath(home) + "/.config";
    std::vector<std::string> system;
    const std::string dirs = environment("XDG_CONFIG_DIRS");
    for (size_t start = 0; start < dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (end > start)
            system.push_back(dirs.substr(start, end - start));
        start = end + 1;
    }
    if (system.empty())
        system.push_back("/etc/xdg");

    const std::string app = std::string(kOrganisation) + "/" + kApplication + ".conf";
    const std::string org = std::string(kOrganisation) + ".conf";
    std::vector<std::string> files = {user + "/" + app, user + "/" + org};
    for (const std::string &dir : system)
        files.push_back(dir + "/" + app);
    for (const std::string &dir : system)
        files.push_back(dir + "/" + org);
    return files;
}

std::optional<std::string> settingsFileValue(std::string_view data, std::string_view key)
{
    if (data.substr(0, 3) == "\xEF\xBB\xBF")
        data.remove_prefix(3);

    // The sections by name ("Group/", the general one ""), lines of repeated sections joined.
    std::map<Text, std::string> sections;
    Text current;
    size_t currentStart = 0;
    size_t position = 0;
    Line line;
    auto endSection = [&] {
        std::string &lines = sections[current];
        if (!lines.empty())
            lines += '\n';
        lines.append(data.substr(currentStart, line.start - currentStart));
    };
    while (nextLine(data, position, line)) {
        const std::string_view text = data.substr(line.start, line.length);
        if (text.front() != '[')
            continue;
        endSection();
        const std::string_view name = trimmed(text.substr(1, text.find(']') - 1));
        current.clear();
        if (!equalsIgnoringCase(name, "general")) {
            if (equalsIgnoringCase(name, "%general"))
                appendUtf8(current, name.substr(1)); // plain ASCII here
            else
                appendKey(current, name);
            current += u'/';
        }
        currentStart = position;
    }
    endSection();

    const Text wanted = fromUtf8(key);
    auto section = sections.begin();
    if (wanted.find(u'/') != Text::npos) {
        section = sections.upper_bound(wanted);
        if (section == sections.begin())
            return std::nullopt;
        --section;
        if (section->first.empty() || !startsWith(wanted, section->first))
            return std::nullopt;
    } else if (section == sections.end() || !section->first.empty()) {
        return std::nullopt;
    }
    const std::optional<Text> value = sectionValue(section->second, section->first, wanted);
    if (!value)
        return std::nullopt;
    return toUtf8(*value);
}

std::optional<std::string> readAdapterSetting()
{
    const std::string key = std::string(kSettingGroup) + "/" + kSettingKey;
    std::string data;
    for (const std::string &file : settingsFiles()) {
        if (!readSettingsFile(file, data))
            continue;
        if (std::optional<std::string> value = settingsFileValue(data, key))
            return value;
    }
    return std::nullopt;
}

} // namespace mulvo
