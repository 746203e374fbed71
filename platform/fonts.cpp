#include "fonts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QStringList>

#include <fontconfig/fontconfig.h>

namespace platform {

namespace {

// The program's own font folder, share/dovrax/fonts beside bin/ (in the build tree as where it
// is installed): links to the Tahoma files alone. Added as a folder before Qt first lists the
// fonts, the files are read from fontconfig's cache, which it keeps for a folder, instead of
// being taken apart at each start. False when the folder or a file it names is missing, or
// when Qt listed the fonts already.
bool addFontFolder()
{
    const QString dir =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/dovrax/fonts");
    for (const char *file : {"tahoma.ttf", "tahomabd.ttf"}) {
        const QFileInfo info(dir + QLatin1Char('/') + QLatin1String(file));
        if (!info.isFile() || !info.isReadable())
            return false;
    }
    const QByteArray path = QFile::encodeName(QDir::cleanPath(dir));
    return FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8 *>(path.constData())) &&
           QFontDatabase::hasFamily(QStringLiteral("Tahoma"));
}

} // namespace

bool loadFonts()
{
    static const bool loaded = [] {
        // Wine's metric-compatible Tahoma; DejaVu Sans stands in when it is absent.
        QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"));
        if (addFontFolder())
            return true;
        const QStringList dirs = {QStringLiteral("/usr/share/wine/fonts"),
                                  QStringLiteral("/usr/local/share/wine/fonts")};
        bool any = false;
        for (const QString &dir : dirs) {
            for (const char *file : {"tahoma.ttf", "tahomabd.ttf"}) {
                if (QFontDatabase::addApplicationFont(dir + QLatin1Char('/') +
                                                      QLatin1String(file)) >= 0)
                    any = true;
            }
            if (any)
                break;
        }
        return any;
    }();
    return loaded;
}

QFont dialogFont()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    return font;
}

} // namespace platform
