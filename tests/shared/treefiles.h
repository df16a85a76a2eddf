#ifndef TREEFILES_H
#define TREEFILES_H

// Helpers for tests that build and compare real directory trees.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TreeFiles {

inline QByteArray native(const QString& path) { return QFile::encodeName(path); }

inline bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size()
        && file.flush() && chmod(native(path).constData(), mode) == 0;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
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

// Relative paths of every entry below root (links not followed), parents
// before their children; "." stands for root itself.
inline QStringList relativePaths(const QString& root, const QString& relative = QString())
{
    QStringList out{relative.isEmpty() ? QStringLiteral(".") : relative};
    const QString path = relative.isEmpty() ? root : root + '/' + relative;
    if (QFileInfo(path).isSymLink() || !QFileInfo(path).isDir())
        return out;
    const auto filter = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QString& child : QDir(path).entryList(filter, QDir::Name))
        out += relativePaths(root, relative.isEmpty() ? child : relative + '/' + child);
    return out;
}

// One entry: type, permission bits, owner, modification time and content
// (files) or destination (links).
inline QString describeEntry(const QString& root, const QString& relative, bool withDirectoryTimes = true)
{
    const QString path = relative == QLatin1String(".") ? root : root + '/' + relative;
    struct stat st;
    if (lstat(native(path).constData(), &st) != 0)
        return relative + " missing";
    const QString owner = QStringLiteral(" %1:%2 ").arg(st.st_uid).arg(st.st_gid);
    const QString time =
        QStringLiteral("%1.%2").arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec, 9, 10, QLatin1Char('0'));
    const QString mode = QString::number(st.st_mode & 07777, 8) + owner;
    if (S_ISLNK(st.st_mode))
        return relative + " link -> " + linkDestination(path) + owner + time;
    if (S_ISREG(st.st_mode))
        return relative + " file " + mode + time + ' ' + QString::number(st.st_size) + ' '
            + QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1).toHex();
    if (S_ISDIR(st.st_mode))
        return relative + " dir " + mode + (withDirectoryTimes ? time : QString());
    return relative + " special";
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
    return relativePaths(root).filter(QRegularExpression("(^|/)\\.zentavo-tmp-[^/]*$"));
}

} // namespace TreeFiles

#endif // TREEFILES_H
