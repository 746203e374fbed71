// Conversion of the operator's typed output text to the byte written to the adapter.
#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

// Reads `text` as a hexadecimal number the way wcstoul does with base 16: leading blanks are
// skipped, one '+' or '-' sign and an optional "0x"/"0X" prefix are accepted, and digits run up
// to the first other character. The result is the low 8 bits of the number as written (its
// last two digits; a minus negates modulo 256), however many digits there are. A text in which
// no hexadecimal digit is found gives no value.
std::optional<std::uint8_t> parseOutputValue(QStringView text);
