#include "fileutils.h"

#include "treecopy.h"
#include "dirwalk.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

QString displayName(const QByteArray& path)
{
    return QFile::decodeName(path);
}

const char* errorText(int error)
{
    return strerror(error);
}

} // namespace

FileUtils::FileUtils() = default;

FileUtils::~FileUtils() = default;

bool FileUtils::CopyRecursivelyOverwrite(const QString& source, const QString& target,
                                         const QStringList& list)
{
    Q_UNUSED(list)
    TreeCopy copy;
    copy.addTree(source, target);
    return copy.run();
}

bool FileUtils::CopyTreesOverwrite(const QList<QPair<QString, QString>>& trees)
{
    TreeCopy copy;
    for (const auto& tree : trees)
        copy.addTree(tree.first, tree.second);
    return copy.run();
}

bool FileUtils::removeDir(const QString& path)
{
    const QString cleanPath = QDir::cleanPath(path);
    if (path.isEmpty() || cleanPath == QLatin1String("/")) {
        qDebug() << "removeDir: refused" << path;
        return false;
    }
    // Reached from the device's fixed root without following a link on the
    // way: a linked folder above it would make us empty whatever it points to.
    QByteArray name;
    const int parent = DirWalk::openParent(QFile::encodeName(cleanPath), &name);
    if (parent < 0) {
        if (errno == ENOENT)
            return true;
        if (errno == ELOOP || errno == ENOTDIR)
            qDebug() << "removeDir: refused" << path << "- a link on the way";
        else
            qDebug() << "removeDir: cannot read" << path << "-" << errorText(errno);
        return false;
    }
    struct stat st;
    if (fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        close(parent);
        if (error == ENOENT)
            return true;
        qDebug() << "removeDir: cannot read" << path << "-" << errorText(error);
        return false;
    }
    // A link is removed as a link; whatever it points to is not ours.
    if (S_ISLNK(st.st_mode)) {
        const bool removed = unlinkat(parent, name.constData(), 0) == 0 || errno == ENOENT;
        if (!removed)
            qDebug() << "removeDir: cannot remove" << path << "-" << errorText(errno);
        close(parent);
        return removed;
    }
    if (!S_ISDIR(st.st_mode)) {
        close(parent);
        qDebug() << "removeDir: not a directory" << path;
        return false;
    }
    const int fd = openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        qDebug() << "removeDir: cannot read" << path << "-" << errorText(errno);
        close(parent);
        return false;
    }

    bool ok = true;
    DirWalk::Visitor visitor;
    visitor.entry = [&ok](int dirFd, const char* entry, const struct stat&, const QByteArray& entryPath) {
        if (unlinkat(dirFd, entry, 0) != 0 && errno != ENOENT) {
            ok = false;
            qDebug() << "removeDir: cannot remove" << displayName(entryPath) << "-" << errorText(errno);
        }
    };
    visitor.leave = [&ok](int parentFd, const char* entry, const QByteArray& entryPath) {
        if (unlinkat(parentFd, entry, AT_REMOVEDIR) != 0 && errno != ENOENT) {
            ok = false;
            qDebug() << "removeDir: cannot remove" << displayName(entryPath) << "-" << errorText(errno);
        }
    };
    visitor.failure = [&ok](const QByteArray& entryPath, int error) {
        ok = false;
        qDebug() << "removeDir: cannot read" << displayName(entryPath) << "-" << errorText(error);
    };
    ok &= DirWalk::walk(fd, QFile::encodeName(cleanPath), visitor);
    if (unlinkat(parent, name.constData(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        ok = false;
        qDebug() << "removeDir: cannot remove" << path << "-" << errorText(errno);
    }
    close(parent);
    return ok;
}

bool FileUtils::fileExists(QString path)
{
    if (path.isEmpty())
        return false;
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileUtils::dirExists(QString path)
{
    if (path.isEmpty())
        return false;
    // A link is no directory: a payload, backup or stick folder that is a
    // link is treated as missing, and nothing is read or removed through it.
    struct stat st;
    return DirWalk::lstatPath(QFile::encodeName(path), &st) && S_ISDIR(st.st_mode);
}
