#include "adaptersetting.h"

#include "mulvoloader.h"

#include <QSettings>

namespace mulvo {

std::optional<std::string> readAdapterSetting()
{
    // The organisation and application names under which DOVRAX keeps its settings.
    QSettings settings(QStringLiteral("Velmora"), QStringLiteral("DOVRAX"));
    const QString key = QLatin1String(kSettingGroup) + u'/' + QLatin1String(kSettingKey);
    if (!settings.contains(key))
        return std::nullopt;
    return settings.value(key).toString().toStdString();
}

} // namespace mulvo
