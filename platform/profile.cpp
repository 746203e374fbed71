#include "profile.h"

#include <QFile>
#include <QSettings>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == u'\r';
}

QStringView trimmed(QStringView s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

QString cut(const QString &value, int size)
{
    if (size <= 0)
        return QString();
    qsizetype keep = qMin<qsizetype>(value.size(), size - 1);
    // A surrogate pair is one character; half of one would be a broken text.
    if (keep > 0 && keep < value.size() && value[keep - 1].isHighSurrogate())
        --keep;
    return value.left(keep);
}

// Half of a surrogate pair is no character; it becomes U+FFFD like other broken input.
QString withoutLoneSurrogates(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

// The whole content of a regular file. It is opened without blocking and checked on the open
// descriptor: a FIFO, a device or a file swapped in between two looks is never waited on or
// read.
std::optional<QByteArray> readRegularFile(const QString &file, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QByteArray path = QFile::encodeName(file);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int why = errno;
        if (why == ENOENT)
            return fail(QStringLiteral("%1 does not exist").arg(file));
        return fail(QStringLiteral("%1 cannot be read: %2")
                        .arg(file, QString::fromLocal8Bit(std::strerror(why))));
    }
    QFile f;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(QStringLiteral("%1 cannot be read").arg(file));
    }
    if (S_ISDIR(st.st_mode))
        return fail(QStringLiteral("%1 is a directory").arg(file));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("%1 is not a regular file").arg(file));
    if (st.st_size > kMaxProfileBytes)
        return fail(QStringLiteral("%1 is larger than %2 bytes").arg(file).arg(kMaxProfileBytes));
    // What the file held when measured, and one byte more to see it grew meanwhile; then up to
    // the limit, never more.
    QByteArray data = f.read(st.st_size + 1);
    if (data.size() > st.st_size)
        data += f.read(kMaxProfileBytes + 1 - data.size());
    if (data.size() > kMaxProfileBytes)
        return fail(QStringLiteral("%1 is larger than %2 bytes").arg(file).arg(kMaxProfileBytes));
    if (error)
        error->clear();
    return data;
}

bool isPlainText(QStringView text)
{
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter;
    });
}

// Why a settings file's bytes are no settings text, or nothing when they are.
QString textProblem(const QByteArray &data)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(data);
    if (utf8.hasError())
        return QStringLiteral("it is not UTF-8 text");
    for (QStringView line : QStringView(text).tokenize(u'\n')) {
        line = trimmed(line);
        if (!isPlainText(line))
            return QStringLiteral("it holds control characters");
        if (!line.isEmpty() && !line.startsWith(u';') && !line.startsWith(u'#') &&
            !(line.startsWith(u'[') && line.endsWith(u']')) && !line.contains(u'='))
            return QStringLiteral("it holds lines that are neither sections nor entries");
    }
    return QString();
}

} // namespace

QString decodeProfileText(const QByteArray &data)
{
    const bool littleEndian = data.startsWith("\xFF\xFE");
    if (littleEndian || data.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(littleEndian ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                             QStringDecoder::Flag::Stateless);
        // An odd trailing byte cannot be a character; leave it out.
        const qsizetype even = (data.size() - 2) & ~qsizetype(1);
        return withoutLoneSurrogates(utf16(QByteArrayView(data).sliced(2, even)));
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QByteArrayView view(data);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    return utf8(view);
}

QString profileValue(const QString &text, const QString &section, const QString &key,
                     const QString &defaultValue, int size)
{
    bool inSection = false;
    bool sectionSeen = false;
    const QStringView all(text);
    for (qsizetype start = 0, end = 0; start < all.size(); start = end + 1) {
        // LF, CRLF and CR alone all end a line; the empty lines between CR and LF are skipped.
        end = start;
        while (end < all.size() && all[end] != u'\n' && all[end] != u'\r')
            ++end;
        const QStringView line = trimmed(all.sliced(start, end - start));
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            if (sectionSeen)
                break; // only the first section of that name counts
            const qsizetype close = line.indexOf(u']');
            const QStringView name = trimmed(line.sliced(1, (close < 0 ? line.size() : close) - 1));
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            sectionSeen = inSection;
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        if (trimmed(line.first(eq)).compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QStringView value = trimmed(line.sliced(eq + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.sliced(1, value.size() - 2);
        return cut(value.toString(), size);
    }
    return cut(defaultValue, size);
}

QString readProfileString(const QString &file, const QString &section, const QString &key,
                          const QString &defaultValue, int size, QString *error)
{
    QString why;
    const std::optional<QByteArray> data = readRegularFile(file, &why);
    if (error)
        *error = why;
    if (!data)
        return cut(defaultValue, size);
    return profileValue(decodeProfileText(*data), section, key, defaultValue, size);
}

QString repairSettingsFile(QSettings &settings, const QStringList &keep)
{
    const QString file = settings.fileName();
    QString corrupt;
    if (settings.status() == QSettings::FormatError) {
        corrupt = QStringLiteral("it cannot be parsed");
    } else if (const std::optional<QByteArray> data = readRegularFile(file, nullptr)) {
        corrupt = textProblem(*data);
    }
    if (corrupt.isEmpty())
        return QString();

    // Only our own entries survive, and only with a plain text value.
    QList<std::pair<QString, QString>> kept;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        const bool ours = std::any_of(keep.begin(), keep.end(), [&key](const QString &k) {
            return k.endsWith(u'/') ? key.startsWith(k) : key == k;
        });
        const QVariant value = settings.value(key);
        if (ours && value.typeId() == QMetaType::QString && isPlainText(value.toString()))
            kept.append({key, value.toString()});
    }
    settings.clear();
    QStringList names;
    for (const auto &[key, value] : kept) {
        settings.setValue(key, value);
        names << key;
    }
    settings.sync();
    return QStringLiteral("the settings file %1 was corrupt (%2); kept %3; everything else in it "
                          "was dropped")
        .arg(file, corrupt,
             names.isEmpty() ? QStringLiteral("nothing")
                             : QStringLiteral("\"%1\"").arg(names.join(QStringLiteral("\", \""))));
}

} // namespace platform
