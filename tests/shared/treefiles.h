#ifndef TREEFILES_H
#define TREEFILES_H

// Small helpers for tests that build and compare real directory trees.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TreeFiles {

inline QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

inline bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(data) != data.size())
        return false;
    file.close();
    return chmod(native(path).constData(), mode) == 0;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

inline bool setTimes(const QString& path, time_t seconds, long nanoseconds)
{
    const struct timespec times[2] = { { seconds, nanoseconds }, { seconds, nanoseconds } };
    return utimensat(AT_FDCWD, native(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

inline bool makeLink(const QString& destination, const QString& link)
{
    return symlink(native(destination).constData(), native(link).constData()) == 0;
}

inline QString linkDestination(const QString& path)
{
    char buffer[4096];
    const ssize_t length = readlink(native(path).constData(), buffer, sizeof(buffer));
    return length < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(length)));
}

// Relative paths of every entry below root (links not followed), sorted, so
// that parents come before their children; "." stands for root itself.
inline void collect(const QString& root, const QString& relative, QStringList* out)
{
    out->append(relative.isEmpty() ? QStringLiteral(".") : relative);
    const QString path = relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
    struct stat st;
    if (lstat(native(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    DIR* dir = opendir(native(path).constData());
    if (!dir)
        return;
    QStringList children;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray child(entry->d_name);
        if (child != "." && child != "..")
            children.append(QFile::decodeName(child));
    }
    closedir(dir);
    children.sort();
    for (const QString& child : children)
        collect(root, relative.isEmpty() ? child : relative + QLatin1Char('/') + child, out);
}

inline QStringList relativePaths(const QString& root)
{
    QStringList out;
    collect(root, QString(), &out);
    return out;
}

// One entry described by type, permission bits, owner, modification time and
// content (files) or destination (links).
inline QString describeEntry(const QString& root, const QString& relative,
                             bool withDirectoryTimes = true)
{
    const QString path = relative == QLatin1String(".") ? root : root + QLatin1Char('/') + relative;
    struct stat st;
    if (lstat(native(path).constData(), &st) != 0)
        return relative + QStringLiteral(" missing");
    const QString mode = QString::number(st.st_mode & 07777, 8) + QLatin1Char(' ')
        + QString::number(st.st_uid) + QLatin1Char(':') + QString::number(st.st_gid);
    const QString time = QStringLiteral("%1.%2").arg(st.st_mtim.tv_sec).arg(
        st.st_mtim.tv_nsec, 9, 10, QLatin1Char('0'));
    if (S_ISLNK(st.st_mode))
        return relative + QStringLiteral(" link -> ") + linkDestination(path) + QLatin1Char(' ')
            + QString::number(st.st_uid) + QLatin1Char(':') + QString::number(st.st_gid)
            + QLatin1Char(' ') + time;
    if (S_ISREG(st.st_mode)) {
        const QByteArray hash =
            QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1).toHex();
        return relative + QStringLiteral(" file ") + mode + QLatin1Char(' ') + time
            + QLatin1Char(' ') + QString::number(st.st_size) + QLatin1Char(' ')
            + QString::fromLatin1(hash);
    }
    if (S_ISDIR(st.st_mode))
        return relative + QStringLiteral(" dir ") + mode
            + (withDirectoryTimes ? QLatin1Char(' ') + time : QString());
    return relative + QStringLiteral(" special");
}

inline QStringList describeTree(const QString& root, bool withDirectoryTimes = true)
{
    QStringList out;
    for (const QString& relative : relativePaths(root))
        out.append(describeEntry(root, relative, withDirectoryTimes));
    return out;
}

// Relative paths of every leftover temporary below root.
inline QStringList temporaries(const QString& root)
{
    QStringList found;
    for (const QString& relative : relativePaths(root)) {
        if (relative.section(QLatin1Char('/'), -1).startsWith(QLatin1String(".zentavo-tmp-")))
            found.append(relative);
    }
    return found;
}

} // namespace TreeFiles

#endif // TREEFILES_H
