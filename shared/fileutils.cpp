#include "fileutils.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Temporaries of a copy carry this prefix, so that a later copy can tell the
// leftovers of a killed run from the device's own files.
const char tempPrefix[] = ".zentavo-tmp-";

// New files are renamed into place in batches: the old files stay until their
// replacements are on the medium, and the flash disk never has to hold more
// than one batch twice. An update of usual size is one batch, so it costs two
// syncs; and its new files are all created before any old one is freed, which
// keeps ext4 from searching past just-freed inodes for each new file.
const qint64 defaultBatchBytes = qint64(1024) * 1024 * 1024;
const int defaultBatchFiles = 50000;
qint64 batchBytes = defaultBatchBytes;
int batchFiles = defaultBatchFiles;

QString displayName(const QByteArray& path)
{
    return QFile::decodeName(path);
}

const char* errorText(int error)
{
    return strerror(error);
}

// An error of our own, reported like an errno.
const int sourceChanged = -1;

const char* reasonText(int error)
{
    if (error == sourceChanged)
        return "source file changed while it was copied";
    return strerror(error);
}

QByteArray joinPath(const QByteArray& dir, const QByteArray& name)
{
    if (dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}

bool isTempName(const char* name)
{
    return strncmp(name, tempPrefix, sizeof(tempPrefix) - 1) == 0;
}

QByteArray randomTempName(const QByteArray& dir)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name(tempPrefix);
    for (int i = 0; i < 6; ++i)
        name += alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))];
    return joinPath(dir, name);
}

struct DirEntry
{
    QByteArray name;
    struct stat st;
};

// Reads a whole directory before anything is written, so that files created
// while walking can never show up in the listing. lstat: links are entries of
// their own and are never followed.
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
            // Vanished since readdir: nothing to copy or remove.
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

// The path with every existing leading part resolved, so that a target that
// does not exist yet can still be compared with the source.
QByteArray resolvedPath(const QByteArray& path)
{
    QByteArray existing = QFile::encodeName(
        QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(path))));
    QByteArray rest;
    for (;;) {
        // realpath("/") cannot fail, so this ends.
        if (char* real = realpath(existing.constData(), nullptr)) {
            const QByteArray result(real);
            free(real);
            return rest.isEmpty() ? result : joinPath(result, rest);
        }
        const int slash = existing.lastIndexOf('/');
        if (slash < 0)
            return existing;
        const QByteArray last = existing.mid(slash + 1);
        rest = rest.isEmpty() ? last : last + '/' + rest;
        existing = slash == 0 ? QByteArray("/") : existing.left(slash);
    }
}

bool isSameOrBelow(const QByteArray& path, const QByteArray& base)
{
    if (path == base)
        return true;
    const QByteArray prefix = base.endsWith('/') ? base : base + '/';
    return path.startsWith(prefix);
}

ssize_t copyRange(int in, int out, off_t* offset, size_t length, bool* kernelCopy,
                  std::vector<char>* buffer)
{
    if (*kernelCopy) {
        off_t inOffset = *offset;
        off_t outOffset = *offset;
        const ssize_t n = copy_file_range(in, &inOffset, out, &outOffset, length, 0);
        if (n >= 0) {
            *offset += n;
            return n;
        }
        // Across file systems, on old kernels or on file systems that refuse
        // it, the copy goes through user space instead.
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP
            && errno != EPERM && errno != ETXTBSY)
            return -1;
        *kernelCopy = false;
    }
    if (buffer->empty())
        buffer->resize(1024 * 1024);
    const ssize_t n = pread(in, buffer->data(), std::min(length, buffer->size()), *offset);
    if (n <= 0)
        return n;
    ssize_t written = 0;
    while (written < n) {
        const ssize_t w = pwrite(out, buffer->data() + written, size_t(n - written),
                                 *offset + written);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        written += w;
    }
    *offset += n;
    return n;
}

// Copies the data of an open regular file. Only the data regions are copied,
// so holes stay holes; the size is set at the end.
bool copyData(int in, int out, off_t size, int* error)
{
    bool kernelCopy = true;
    std::vector<char> buffer;
    off_t offset = 0;
    while (offset < size) {
        off_t dataStart = lseek(in, offset, SEEK_DATA);
        if (dataStart < 0) {
            if (errno == ENXIO)
                break;  // only a hole remains
            dataStart = offset;  // no hole support: copy everything
        }
        off_t dataEnd = lseek(in, dataStart, SEEK_HOLE);
        if (dataEnd < 0 || dataEnd > size)
            dataEnd = size;
        offset = dataStart;
        while (offset < dataEnd) {
            const ssize_t n = copyRange(in, out, &offset, size_t(dataEnd - offset),
                                        &kernelCopy, &buffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                *error = errno;
                return false;
            }
            if (n == 0) {
                // Some file systems end copy_file_range early; only a read
                // that ends early tells that the file really got shorter.
                if (kernelCopy) {
                    kernelCopy = false;
                    continue;
                }
                *error = sourceChanged;
                return false;
            }
        }
    }
    if (ftruncate(out, size) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

struct PendingRename
{
    QByteArray temp;
    QByteArray target;
};

struct DirectoryAttributes
{
    QByteArray path;
    mode_t mode;
    uid_t owner;
    gid_t group;
    struct timespec times[2];
};

class TreeCopy
{
public:
    TreeCopy(const QByteArray& source, const QByteArray& target)
        : m_source(source), m_target(target)
    {
    }

    ~TreeCopy()
    {
        for (const PendingRename& pending : m_pending)
            unlink(pending.temp.constData());
        for (auto& fs : m_fileSystems)
            close(fs.second);
    }

    bool run();

private:
    void fail(const QByteArray& path, const char* what, int error);
    void fail(const QByteArray& path, const char* what, const char* reason);
    bool prepareTargetDirectory(const QByteArray& path, const struct stat& sourceStat);
    void removeLeftoverTemporaries(const QByteArray& dir);
    void copyFile(const QByteArray& source, const QByteArray& target, const QByteArray& targetDir);
    void copyLink(const QByteArray& source, const QByteArray& target, const QByteArray& targetDir,
                  const struct stat& st);
    void rememberFileSystem(const QByteArray& dir, dev_t device);
    void commit(bool last);
    bool syncFileSystems();

    QByteArray m_source;
    QByteArray m_target;
    QByteArray m_resolvedSource;
    bool m_ok = true;
    std::vector<PendingRename> m_pending;
    qint64 m_pendingBytes = 0;
    std::vector<DirectoryAttributes> m_directories;
    std::map<dev_t, int> m_fileSystems;
};

void TreeCopy::fail(const QByteArray& path, const char* what, int error)
{
    fail(path, what, reasonText(error));
}

// One line per failure; the quoted path keeps even a name with a line break
// on one line.
void TreeCopy::fail(const QByteArray& path, const char* what, const char* reason)
{
    m_ok = false;
    qDebug() << "CopyRecursivelyOverwrite:" << what << displayName(path) << "-" << reason;
}

void TreeCopy::rememberFileSystem(const QByteArray& dir, dev_t device)
{
    if (m_fileSystems.count(device))
        return;
    // Without a handle on its file system the copy could not be synced.
    const int fd = open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail(dir, "cannot open", errno);
    else
        m_fileSystems[device] = fd;
}

// Makes sure that a directory exists at the target path, creating it when
// needed. A link to a directory there is the device's own choice and is used
// as the directory, unless it leads back into the source.
bool TreeCopy::prepareTargetDirectory(const QByteArray& path, const struct stat& sourceStat)
{
    struct stat st;
    bool existed = true;
    if (lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT) {
            fail(path, "cannot read", errno);
            return false;
        }
        if (mkdir(path.constData(), S_IRWXU) != 0 || lstat(path.constData(), &st) != 0) {
            fail(path, "cannot create directory", errno);
            return false;
        }
        existed = false;
    } else if (S_ISLNK(st.st_mode)) {
        if (stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fail(path, "cannot replace with a directory", "a file is in the way");
            return false;
        }
        if (isSameOrBelow(resolvedPath(path), m_resolvedSource)) {
            fail(path, "skipped", "link into the source");
            return false;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        fail(path, "cannot replace with a directory", "a file is in the way");
        return false;
    }

    // Files are put into the directory before it gets the source's mode, so
    // for now it must be writable for us.
    if ((st.st_mode & S_IRWXU) != S_IRWXU && chmod(path.constData(), st.st_mode | S_IRWXU) != 0) {
        fail(path, "cannot make writable", errno);
        return false;
    }
    if (existed)
        removeLeftoverTemporaries(path);
    rememberFileSystem(path, st.st_dev);

    DirectoryAttributes attributes;
    attributes.path = path;
    attributes.mode = sourceStat.st_mode & 07777;
    attributes.owner = sourceStat.st_uid;
    attributes.group = sourceStat.st_gid;
    attributes.times[0] = sourceStat.st_atim;
    attributes.times[1] = sourceStat.st_mtim;
    m_directories.push_back(attributes);
    return true;
}

void TreeCopy::removeLeftoverTemporaries(const QByteArray& dir)
{
    std::vector<DirEntry> entries;
    int error = 0;
    if (!listDirectory(dir, &entries, &error))
        return;  // the copy into this directory reports the problem
    for (const DirEntry& entry : entries) {
        if (!isTempName(entry.name.constData()) || S_ISDIR(entry.st.st_mode))
            continue;
        const QByteArray path = joinPath(dir, entry.name);
        if (unlink(path.constData()) != 0 && errno != ENOENT)
            qDebug() << "CopyRecursivelyOverwrite: cannot remove" << displayName(path) << "-"
                     << errorText(errno);
    }
}

void TreeCopy::copyFile(const QByteArray& source, const QByteArray& target,
                        const QByteArray& targetDir)
{
    // O_NONBLOCK and the check below: should the file have been swapped for a
    // fifo since it was listed, opening it must not hang the copy.
    const int in = open(source.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        fail(source, "cannot open", errno);
        return;
    }
    struct stat inStat;
    if (fstat(in, &inStat) != 0 || !S_ISREG(inStat.st_mode)) {
        close(in);
        fail(source, "skipped", "not a regular file");
        return;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);

    QByteArray temp;
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        temp = randomTempName(targetDir);
        out = open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (out < 0 && errno != EEXIST)
            break;
    }
    if (out < 0) {
        const int error = errno;
        close(in);
        fail(target, "cannot create", error);
        return;
    }

    int error = 0;
    bool ok = copyData(in, out, inStat.st_size, &error);
    // The owner as well, where we may (as root), like cp -a; before the mode,
    // since a change of owner clears set-id bits.
    if (ok && fchown(out, inStat.st_uid, inStat.st_gid) != 0 && errno != EPERM) {
        error = errno;
        ok = false;
    }
    if (ok && fchmod(out, inStat.st_mode & 07777) != 0) {
        error = errno;
        ok = false;
    }
    const struct timespec times[2] = { inStat.st_atim, inStat.st_mtim };
    if (ok && futimens(out, times) != 0) {
        error = errno;
        ok = false;
    }
    if (close(out) != 0 && ok) {
        error = errno;
        ok = false;
    }
    close(in);
    if (!ok) {
        unlink(temp.constData());
        fail(target, "cannot write", error);
        return;
    }
    m_pending.push_back({ temp, target });
    m_pendingBytes += inStat.st_size;
}

void TreeCopy::copyLink(const QByteArray& source, const QByteArray& target,
                        const QByteArray& targetDir, const struct stat& st)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink(source.constData(), buffer, sizeof(buffer));
    if (length < 0 || size_t(length) >= sizeof(buffer)) {
        fail(source, "cannot read link", length < 0 ? errno : ENAMETOOLONG);
        return;
    }
    const QByteArray destination(buffer, int(length));

    QByteArray temp;
    int result = -1;
    for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
        temp = randomTempName(targetDir);
        result = symlink(destination.constData(), temp.constData());
        if (result != 0 && errno != EEXIST)
            break;
    }
    if (result != 0) {
        fail(target, "cannot create link", errno);
        return;
    }
    if (lchown(temp.constData(), st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        fail(target, "cannot create link", errno);
        unlink(temp.constData());
        return;
    }
    const struct timespec times[2] = { st.st_atim, st.st_mtim };
    utimensat(AT_FDCWD, temp.constData(), times, AT_SYMLINK_NOFOLLOW);
    m_pending.push_back({ temp, target });
}

bool TreeCopy::syncFileSystems()
{
    bool ok = true;
    for (auto& fs : m_fileSystems) {
        if (syncfs(fs.second) != 0) {
            m_ok = false;
            ok = false;
            qDebug() << "CopyRecursivelyOverwrite: sync failed" << displayName(m_target) << "-"
                     << errorText(errno);
        }
    }
    return ok;
}

// New files reach the medium before any of them replaces an old one; the
// renames themselves are made durable by the next sync.
void TreeCopy::commit(bool last)
{
    const bool synced = syncFileSystems();
    for (const PendingRename& pending : m_pending) {
        if (!synced) {
            unlink(pending.temp.constData());
            continue;
        }
        if (rename(pending.temp.constData(), pending.target.constData()) != 0) {
            const int error = errno;
            unlink(pending.temp.constData());
            fail(pending.target, "cannot replace", error);
        }
    }
    m_pending.clear();
    m_pendingBytes = 0;
    if (!last)
        return;

    // Entries added above changed the directories' times; set them last.
    for (auto it = m_directories.rbegin(); it != m_directories.rend(); ++it) {
        if (chown(it->path.constData(), it->owner, it->group) != 0 && errno != EPERM)
            fail(it->path, "cannot set owner of", errno);
        if (chmod(it->path.constData(), it->mode) != 0
            || utimensat(AT_FDCWD, it->path.constData(), it->times, 0) != 0)
            fail(it->path, "cannot set attributes of", errno);
    }
    syncFileSystems();
}

bool TreeCopy::run()
{
    struct stat sourceStat;
    if (stat(m_source.constData(), &sourceStat) != 0 || !S_ISDIR(sourceStat.st_mode)) {
        qDebug() << "CopyRecursivelyOverwrite: no source directory" << displayName(m_source);
        return false;
    }
    m_resolvedSource = resolvedPath(m_source);
    if (isSameOrBelow(resolvedPath(m_target), m_resolvedSource)) {
        qDebug() << "CopyRecursivelyOverwrite: target lies inside the source"
                 << displayName(m_target);
        return false;
    }
    if (!prepareTargetDirectory(m_target, sourceStat)) {
        m_directories.clear();
        return false;
    }

    // Directories still to copy, relative to source and target. A stack
    // instead of recursion, so that no tree is too deep for us.
    std::vector<QByteArray> stack;
    stack.push_back(QByteArray());
    while (!stack.empty()) {
        const QByteArray relative = stack.back();
        stack.pop_back();
        const QByteArray sourceDir = relative.isEmpty() ? m_source : joinPath(m_source, relative);
        const QByteArray targetDir = relative.isEmpty() ? m_target : joinPath(m_target, relative);

        std::vector<DirEntry> entries;
        int error = 0;
        if (!listDirectory(sourceDir, &entries, &error)) {
            fail(sourceDir, "cannot read directory", error);
            if (entries.empty())
                continue;
        }
        std::vector<QByteArray> subdirectories;
        for (const DirEntry& entry : entries) {
            const QByteArray sourcePath = joinPath(sourceDir, entry.name);
            const QByteArray targetPath = joinPath(targetDir, entry.name);
            const QByteArray childRelative =
                relative.isEmpty() ? entry.name : joinPath(relative, entry.name);
            const mode_t type = entry.st.st_mode & S_IFMT;

            if (type == S_IFDIR) {
                if (prepareTargetDirectory(targetPath, entry.st))
                    subdirectories.push_back(childRelative);
                continue;
            }
            if (type != S_IFREG && type != S_IFLNK) {
                fail(sourcePath, "skipped", "special file");
                continue;
            }
            struct stat targetStat;
            if (lstat(targetPath.constData(), &targetStat) == 0 && S_ISDIR(targetStat.st_mode)) {
                fail(targetPath, "cannot replace", "a directory is in the way");
                continue;
            }
            if (type == S_IFREG)
                copyFile(sourcePath, targetPath, targetDir);
            else
                copyLink(sourcePath, targetPath, targetDir, entry.st);
            if (m_pendingBytes >= batchBytes || int(m_pending.size()) >= batchFiles)
                commit(false);
        }
        for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it)
            stack.push_back(*it);
    }
    commit(true);
    return m_ok;
}

} // namespace

FileUtils::FileUtils() = default;

FileUtils::~FileUtils() = default;

bool FileUtils::CopyRecursivelyOverwrite(const QString& source, const QString& target,
                                         const QStringList& list)
{
    Q_UNUSED(list)
    if (source.isEmpty() || target.isEmpty()) {
        qDebug() << "CopyRecursivelyOverwrite: empty path" << source << target;
        return false;
    }
    TreeCopy copy(QFile::encodeName(source), QFile::encodeName(target));
    return copy.run();
}

void FileUtils::setBatchLimits(qint64 bytes, int files)
{
    batchBytes = bytes > 0 ? bytes : defaultBatchBytes;
    batchFiles = files > 0 ? files : defaultBatchFiles;
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
