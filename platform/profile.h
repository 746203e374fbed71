// Reading one value from an INI-style settings file with the classic private-profile rules.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Files larger than this are not read at all (the lookup then yields the default).
inline constexpr qint64 kMaxProfileBytes = 16 * 1024 * 1024;

// Decodes a settings file: UTF-16LE when it starts with its byte-order mark, otherwise UTF-8
// (with or without a mark; invalid sequences become U+FFFD).
QString decodeProfileText(const QByteArray &data);

// Looks up `key` in `section` of the decoded text. Section and key are matched without regard
// to case and the first matching section and key win; blanks around keys and values are
// trimmed; one pair of enclosing quotes is removed; lines starting with ';' are comments; LF
// and CRLF both end a line. The value (or `defaultValue` when nothing matches) is cut to
// `size` - 1 UTF-16 units, never splitting a surrogate pair. `size` <= 0 gives an empty text.
QString profileValue(const QString &text, const QString &section, const QString &key,
                     const QString &defaultValue, int size);

// The same for a file. A file that is missing, unreadable, a directory or larger than
// kMaxProfileBytes yields the (cut) default. `error`, when given, receives the reason.
QString readProfileString(const QString &file, const QString &section, const QString &key,
                          const QString &defaultValue, int size, QString *error = nullptr);

} // namespace platform
