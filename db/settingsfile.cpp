#include "settingsfile.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

// A folder on the way that is a link to nothing: its target (an unmounted
// partition, say) may well hold the database.
bool danglingLinkOnTheWay(const QByteArray& path)
{
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1)) {
        const QByteArray folder = path.left(slash);
        struct stat st;
        if (::lstat(folder.constData(), &st) != 0)
            return false;
        if (S_ISLNK(st.st_mode) && ::stat(folder.constData(), &st) != 0)
            return true;
    }
    return false;
}

}  // namespace

SettingsFile::Presence SettingsFile::presence(const QString& path, int* error)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    *error = 0;
    if (::lstat(native.constData(), &st) == 0)
        return Present;
    *error = errno;
    if (*error != ENOENT)
        return Unknown;
    if (danglingLinkOnTheWay(native))
        return Unknown;
    *error = 0;
    return Absent;
}

QString SettingsFile::firstNotRegular(const QString& path)
{
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString file = path + QLatin1String(suffix);
        struct stat st;
        if (::lstat(QFile::encodeName(file).constData(), &st) == 0 ? !S_ISREG(st.st_mode) : errno != ENOENT)
            return file;
    }
    return QString();
}
