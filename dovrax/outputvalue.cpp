#include "outputvalue.h"

namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// The blanks the C library skips in its own locale.
bool isCBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || (u >= u'\t' && u <= u'\r');
}

} // namespace

std::optional<std::uint8_t> parseOutputValue(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isCBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    // "0x" is a prefix only when a digit follows; otherwise the "0" alone is the number.
    if (i + 2 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
        hexDigit(text[i + 2]) >= 0)
        i += 2;
    unsigned value = 0;
    bool anyDigit = false;
    for (; i < n; ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0)
            break;
        value = ((value << 4) | unsigned(d)) & 0xFFu;
        anyDigit = true;
    }
    if (!anyDigit)
        return std::nullopt;
    if (negative)
        value = (0x100u - value) & 0xFFu;
    return std::uint8_t(value);
}
