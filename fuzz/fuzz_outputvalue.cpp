// libFuzzer target: the conversion of the operator's typed output text, checked against the C
// library's own wcstoul for every ASCII text whose number fits in an unsigned long.
#include "outputvalue.h"

#include <QString>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<std::uint8_t> value = parseOutputValue(text);

    std::wstring wide;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 || data[i] >= 0x80)
            return 0; // the reference is only unambiguous for plain ASCII
        wide.push_back(wchar_t(data[i]));
    }
    wchar_t *end = nullptr;
    errno = 0;
    const unsigned long reference = std::wcstoul(wide.c_str(), &end, 16);
    const bool converted = end != wide.c_str();
    if (converted != value.has_value())
        std::abort();
    if (converted && errno != ERANGE && std::uint8_t(reference & 0xFF) != *value)
        std::abort();
    return 0;
}
