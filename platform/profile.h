// INI-style settings files: one value read with the classic private-profile rules, and the
// check of the program's own settings store.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QSettings;

namespace platform {

// Files larger than this are not read at all (the lookup then yields the default).
inline constexpr qint64 kMaxProfileBytes = 16 * 1024 * 1024;

// Decodes a settings file: UTF-16 (little or big endian) when it starts with its byte-order
// mark, otherwise UTF-8 (with or without a mark; invalid sequences become U+FFFD).
QString decodeProfileText(const QByteArray &data);

// Looks up `key` in `section` of the decoded text. Section and key are matched without regard
// to case and the first matching section and key win; blanks around keys and values are
// trimmed; one pair of enclosing quotes is removed; lines starting with ';' are comments; LF,
// CRLF and CR alone all end a line. The value (or `defaultValue` when nothing matches) is cut to
// `size` - 1 UTF-16 units, never splitting a surrogate pair. `size` <= 0 gives an empty text.
QString profileValue(const QString &text, const QString &section, const QString &key,
                     const QString &defaultValue, int size);

// The same for a file. Only a regular file is read, and nothing waits on it: a file that is
// missing, unreadable, not a regular file (a directory, a FIFO, a device) or larger than
// kMaxProfileBytes yields the (cut) default. `error`, when given, receives the reason.
QString readProfileString(const QString &file, const QString &section, const QString &key,
                          const QString &defaultValue, int size, QString *error = nullptr);

// Checks the file behind `settings`. When it is corrupt (it cannot be parsed, is no UTF-8
// text, or holds control characters or lines that are neither sections, comments nor entries),
// only the entries named in `keep` (a name ending in '/' keeps its whole group) with a plain
// text value are kept, the file is written back with them alone, and the result says what was
// kept; otherwise the result is empty and nothing changes.
QString repairSettingsFile(QSettings &settings, const QStringList &keep);

} // namespace platform
