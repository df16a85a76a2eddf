#include "fileutils.h"

#include "treecopy.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
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

QByteArray joinPath(const QByteArray& dir, const QByteArray& name)
{
    if (dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}

struct DirEntry
{
    QByteArray name;
    struct stat st;
};

// Reads a whole directory before anything is removed. lstat: links are
// entries of their own and are never followed.
bool listDirectory(const QByteArray& path, std::vector<DirEntry>* entries, int* error)
{
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        *error = errno;
        close(fd);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) {
                *error = errno;
                ok = false;
            }
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        DirEntry item;
        item.name = QByteArray(entry->d_name);
        if (fstatat(dirfd(dir), entry->d_name, &item.st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Vanished since readdir: nothing to remove.
            if (errno == ENOENT)
                continue;
            *error = errno;
            ok = false;
            break;
        }
        entries->push_back(item);
    }
    closedir(dir);
    return ok;
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
    // "link/" or "link/." would make lstat follow a link to a directory, and
    // the walk would then empty what the link points to.
    const QString cleanPath = QDir::cleanPath(path);
    if (path.isEmpty() || cleanPath == QLatin1String("/")) {
        qDebug() << "removeDir: refused" << path;
        return false;
    }
    const QByteArray root = QFile::encodeName(cleanPath);
    struct stat st;
    if (lstat(root.constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        qDebug() << "removeDir: cannot read" << path << "-" << errorText(errno);
        return false;
    }
    // A link is removed as a link; whatever it points to is not ours.
    if (S_ISLNK(st.st_mode)) {
        if (unlink(root.constData()) == 0 || errno == ENOENT)
            return true;
        qDebug() << "removeDir: cannot remove" << path << "-" << errorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        qDebug() << "removeDir: not a directory" << path;
        return false;
    }

    bool ok = true;
    // Each directory is visited twice: once to remove its files and queue its
    // sub-directories, and once, after them, to remove the emptied directory.
    struct Frame
    {
        QByteArray path;
        bool emptied;
    };
    std::vector<Frame> stack;
    stack.push_back({ root, false });
    while (!stack.empty()) {
        Frame frame = stack.back();
        stack.pop_back();
        if (frame.emptied) {
            if (rmdir(frame.path.constData()) != 0 && errno != ENOENT) {
                ok = false;
                qDebug() << "removeDir: cannot remove" << displayName(frame.path)
                         << "-" << errorText(errno);
            }
            continue;
        }
        stack.push_back({ frame.path, true });

        struct stat dirStat;
        if (lstat(frame.path.constData(), &dirStat) == 0 && (dirStat.st_mode & S_IRWXU) != S_IRWXU)
            chmod(frame.path.constData(), dirStat.st_mode | S_IRWXU);
        std::vector<DirEntry> entries;
        int error = 0;
        if (!listDirectory(frame.path, &entries, &error)) {
            ok = false;
            qDebug() << "removeDir: cannot read" << displayName(frame.path) << "-" << errorText(error);
        }
        for (const DirEntry& entry : entries) {
            const QByteArray child = joinPath(frame.path, entry.name);
            if (S_ISDIR(entry.st.st_mode)) {
                stack.push_back({ child, false });
            } else if (unlink(child.constData()) != 0 && errno != ENOENT) {
                ok = false;
                qDebug() << "removeDir: cannot remove" << displayName(child) << "-" << errorText(errno);
            }
        }
    }
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
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}
