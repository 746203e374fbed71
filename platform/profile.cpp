#include "profile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringView>

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

} // namespace

QString decodeProfileText(const QByteArray &data)
{
    if (data.size() >= 2 && uchar(data[0]) == 0xFF && uchar(data[1]) == 0xFE) {
        QStringDecoder utf16(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless);
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
    for (QStringView rawLine : QStringView(text).tokenize(u'\n')) {
        const QStringView line = trimmed(rawLine);
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
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return cut(defaultValue, size);
    };
    const QFileInfo info(file);
    if (!info.exists())
        return fail(QStringLiteral("%1 does not exist").arg(file));
    if (info.isDir())
        return fail(QStringLiteral("%1 is a directory").arg(file));
    if (info.size() > kMaxProfileBytes)
        return fail(QStringLiteral("%1 is larger than %2 bytes").arg(file).arg(kMaxProfileBytes));
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1 cannot be read: %2").arg(file, f.errorString()));
    // Read at most the limit even if the file grew since it was measured.
    const QByteArray data = f.read(kMaxProfileBytes + 1);
    if (data.size() > kMaxProfileBytes)
        return fail(QStringLiteral("%1 is larger than %2 bytes").arg(file).arg(kMaxProfileBytes));
    if (error)
        error->clear();
    return profileValue(decodeProfileText(data), section, key, defaultValue, size);
}

} // namespace platform
