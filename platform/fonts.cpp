#include "fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace platform {

bool loadFonts()
{
    static const bool loaded = [] {
        // Wine's metric-compatible Tahoma; DejaVu Sans stands in when it is absent.
        QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"));
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
