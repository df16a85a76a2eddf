#include "devicepath.h"

#include <QByteArray>

namespace DevicePath {

QString map(const QString& devicePath)
{
    const QByteArray root = qgetenv("ZENTAVO_DEVICE_ROOT");
    if (root.isEmpty() || !devicePath.startsWith(QLatin1Char('/')))
        return devicePath;
    QString mapped = QString::fromLocal8Bit(root);
    while (mapped.endsWith(QLatin1Char('/')))
        mapped.chop(1);
    return mapped + devicePath;
}

QString map(const char* devicePath)
{
    return map(QString::fromLatin1(devicePath));
}

}  // namespace DevicePath
