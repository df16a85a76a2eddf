#include "fileutils.h"

#include "treecopy.h"
#include "dirwalk.h"
#include "uniquefd.h"

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

}  // namespace

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

bool FileUtils::CopyTreesOverwrite(const QList<QPair<QString, QString>>& trees,
                                   const QStringList& consumedSources, const PayloadCheck* check)
{
    TreeCopy copy;
    copy.expectChecked(check);
    for (const auto& tree : trees)
        copy.addTree(tree.first, tree.second, consumedSources.contains(tree.first));
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
    int error = 0;
    const UniqueFd parent(DirWalk::openParent(QFile::encodeName(cleanPath), &name, &error));
    struct stat st;
    if (parent.isValid() && fstatat(parent.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        error = errno;
    if (error != 0) {
        if (error == ENOENT)
            return true;
        if (!parent.isValid() && (error == ELOOP || error == ENOTDIR))
            qDebug() << "removeDir: refused" << path << "- a link on the way";
        else
            qDebug() << "removeDir: cannot read" << path << "-" << errorText(error);
        return false;
    }
    // A link is removed as a link; whatever it points to is not ours.
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        qDebug() << "removeDir: not a directory" << path;
        return false;
    }
    return DirWalk::removeAt(parent.get(), name, QFile::encodeName(cleanPath),
                             [](const QByteArray& entryPath, int error, bool reading) {
                                 qDebug() << (reading ? "removeDir: cannot read" : "removeDir: cannot remove")
                                          << displayName(entryPath) << "-" << errorText(error);
                             });
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
