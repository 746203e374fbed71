// libFuzzer target: decoding and looking up a setup.ini of arbitrary bytes.
#include "profile.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = platform::decodeProfileText(bytes);
    // The first byte picks the buffer size, so that cutting is exercised at every length.
    const int bufferSize = size > 0 ? int(data[0]) - 8 : 80;
    const QString value =
        platform::profileValue(text, QStringLiteral("OPEN_APP"), QStringLiteral("NAME"),
                               QStringLiteral("default"), bufferSize);
    if (bufferSize <= 0 ? !value.isEmpty() : value.size() > bufferSize - 1)
        std::abort();
    // A cut never leaves half of a surrogate pair at the end.
    if (!value.isEmpty() && value.back().isHighSurrogate())
        std::abort();
    return 0;
}
