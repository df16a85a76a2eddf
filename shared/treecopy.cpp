#include "treecopy.h"

#include "dirwalk.h"
#include "stopsignals.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Temporaries of a copy carry this prefix, so that a later copy can tell the
// leftovers of a killed run from the device's own files.
const char tempPrefix[] = ".zentavo-tmp-";

// Errors of our own, reported like an errno.
const int sourceChanged = -1;
const int stopRequested = -2;

const char* reasonText(int error)
{
    if (error == sourceChanged)
        return "source file changed while it was copied";
    if (error == stopRequested)
        return "stopped";
    return strerror(error);
}

QString displayName(const QByteArray& path)
{
    return QFile::decodeName(path);
}

using DirWalk::joinPath;

bool isTempName(const QByteArray& name)
{
    return name.startsWith(tempPrefix);
}

QByteArray randomTempName()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name(tempPrefix);
    for (int i = 0; i < 6; ++i)
        name += alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))];
    return name;
}

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Size, modification and change time: what tells that a file was written.
bool unchangedSince(const struct stat& before, const struct stat& now)
{
    return before.st_ino == now.st_ino && before.st_size == now.st_size
        && sameTime(before.st_mtim, now.st_mtim) && sameTime(before.st_ctim, now.st_ctim);
}

// Opens a file to read. O_NOATIME where we may: reading every installed
// file to compare it must not turn into a write of every inode on the flash.
// O_NONBLOCK: should the entry be a fifo by now, the open must not hang.
UniqueFd openForReading(int dir, const QByteArray& name)
{
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = openat(dir, name.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = openat(dir, name.constData(), flags);
    return UniqueFd(fd);
}

UniqueFd openDirectoryAt(int parent, const QByteArray& name)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parent, name.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = openat(parent, name.constData(), flags);
    return UniqueFd(fd);
}

using DirEntry = DirWalk::Entry;

// Reads a whole directory before anything is written, so that entries created
// while walking never show up in the listing. Links are entries of their own.
// An entry that cannot be looked at fails the listing and is left out.
bool listDirectory(int dirFd, std::vector<DirEntry>* entries, int* error)
{
    bool ok = DirWalk::readDirectory(dirFd, entries, error);
    const auto unreadable = std::find_if(entries->begin(), entries->end(),
                                         [](const DirEntry& entry) { return entry.error != 0; });
    if (unreadable != entries->end()) {
        *error = unreadable->error;
        ok = false;
        entries->erase(std::remove_if(unreadable, entries->end(),
                                      [](const DirEntry& entry) { return entry.error != 0; }),
                       entries->end());
    }
    return ok;
}

// Removes name below parent with everything in it, never following a link.
bool removeTreeAt(int parent, const QByteArray& name, const QByteArray& displayPath)
{
    return DirWalk::removeAt(parent, name, displayPath, [](const QByteArray& path, int error, bool) {
        qDebug() << "CopyRecursivelyOverwrite: cannot remove" << displayName(path) << "-" << strerror(error);
    });
}

// Both files are read from the start in large blocks; the first difference
// ends the comparison.
enum class Comparison { Same, Different, Failed };

const size_t compareBlock = 1024 * 1024;

// buffer holds two blocks; it is allocated once per copy, since fresh memory
// for every file costs more than the reads.
Comparison compareContent(int a, int b, off_t size, std::vector<char>* buffer, int* error)
{
    if (buffer->size() < 2 * compareBlock)
        buffer->resize(2 * compareBlock);
    char* left = buffer->data();
    char* right = left + compareBlock;
    posix_fadvise(a, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(b, 0, 0, POSIX_FADV_SEQUENTIAL);
    off_t offset = 0;
    // Files that differ mostly differ at once: the first reads are small, so
    // that a changed file costs little more than its copy.
    size_t step = 64 * 1024;
    while (offset < size) {
        if (StopSignals::pending()) {
            *error = stopRequested;
            return Comparison::Failed;
        }
        const size_t want = size_t(std::min<off_t>(off_t(step), size - offset));
        step = std::min(step * 4, compareBlock);
        const ssize_t n = pread(a, left, want, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? errno : sourceChanged;
            return Comparison::Failed;
        }
        size_t got = 0;
        while (got < size_t(n)) {
            const ssize_t m = pread(b, right + got, size_t(n) - got, offset + off_t(got));
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0)
                return Comparison::Different;  // the installed file is shorter or unreadable
            got += size_t(m);
        }
        if (memcmp(left, right, size_t(n)) != 0)
            return Comparison::Different;
        offset += n;
    }
    return Comparison::Same;
}

ssize_t copyRange(int in, int out, off_t* offset, size_t length, bool* kernelCopy, std::vector<char>* buffer)
{
    // Bounded steps, so that a stop request is seen within one of them.
    length = std::min<size_t>(length, 64 * 1024 * 1024);
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
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP && errno != EPERM
            && errno != ETXTBSY)
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
        const ssize_t w = pwrite(out, buffer->data() + written, size_t(n - written), *offset + written);
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
bool copyData(int in, int out, off_t size, std::vector<char>* buffer, int* error)
{
    bool kernelCopy = true;
    off_t offset = 0;
    while (offset < size) {
        off_t dataStart = lseek(in, offset, SEEK_DATA);
        if (dataStart < 0) {
            if (errno == ENXIO)
                break;           // only a hole remains
            dataStart = offset;  // no hole support: copy everything
        }
        off_t dataEnd = lseek(in, dataStart, SEEK_HOLE);
        if (dataEnd < 0 || dataEnd > size)
            dataEnd = size;
        offset = dataStart;
        while (offset < dataEnd) {
            if (StopSignals::pending()) {
                *error = stopRequested;
                return false;
            }
            const ssize_t n = copyRange(in, out, &offset, size_t(dataEnd - offset), &kernelCopy, buffer);
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

// The path with every existing leading part resolved, so that a target that
// does not exist yet can still be compared with the source.
QByteArray resolvedPath(const QByteArray& path)
{
    QByteArray existing =
        QFile::encodeName(QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(path))));
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

// A deep tree holds one descriptor per level while it is walked.
void raiseFileLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The payload's permission bits, without the set-id bits when the file does
// not belong to the payload's owner.
mode_t installedMode(const struct stat& source, uid_t owner, gid_t group)
{
    mode_t mode = source.st_mode & 07777;
    if (owner != source.st_uid)
        mode &= ~mode_t(S_ISUID);
    if (group != source.st_gid)
        mode &= ~mode_t(S_ISGID);
    return mode;
}

enum class Kind { Directory, File, Link };

// One entry of a source tree and what the copy does with it.
struct Node
{
    QByteArray name;
    Kind kind = Kind::Directory;
    struct stat source = {};
    bool targetExists = false;
    struct stat target = {};

    bool conflict = false;  // planned as a failure; never entered or staged
    bool stage = false;     // files and links: a new version is written
    bool fixMode = false;   // unchanged files: only metadata is set
    bool fixTimes = false;
    bool newDir = false;   // directories: created by the copy
    bool touched = false;  // existing directories: entries added or mode changed
    bool madeWritable = false;
    QByteArray temp;         // staged name in an existing directory
    bool oldAtTemp = false;  // committed by a swap: the old version is at temp
    QByteArray linkText;
    uid_t owner = 0;  // directories: who new entries below belong to
    gid_t group = 0;
    std::vector<Node> children;
};

struct FileSystem
{
    UniqueFd fd;
    qint64 blockSize = 4096;
    qint64 neededBytes = 0;
    qint64 neededInodes = 0;
    QStringList targets;
};

struct Tree
{
    QByteArray source;
    QByteArray target;
    Node root;
    UniqueFd targetParent;  // when the target root itself is new
    QByteArray rootName;
};

// One directory on the walk: its node and, where they exist, its source and
// target opened.
struct Frame
{
    Node* node = nullptr;
    size_t next = 0;
    UniqueFd source;
    UniqueFd target;
    QByteArray sourcePath;
    QByteArray targetPath;
    dev_t device = 0;
};

}  // namespace

struct TreeCopy::Private
{
    std::vector<Tree> trees;
    std::map<dev_t, FileSystem> fileSystems;
    bool ok = true;
    bool stopLogged = false;
    std::vector<char> buffer;  // reused by every comparison and user-space copy

    void fail(const QByteArray& path, const char* what, int error)
    {
        // A stop request is one line for the whole copy, not one per entry.
        if (error == stopRequested && stopped())
            return;
        fail(path, what, reasonText(error));
    }

    // One line per failure; the quoted path keeps even a name with a line
    // break on one line.
    void fail(const QByteArray& path, const char* what, const char* reason)
    {
        ok = false;
        qDebug() << "CopyRecursivelyOverwrite:" << what << displayName(path) << "-" << reason;
    }

    bool stopped()
    {
        const int signal = StopSignals::pending();
        if (signal == 0)
            return false;
        ok = false;
        if (!stopLogged) {
            stopLogged = true;
            qDebug() << "CopyRecursivelyOverwrite: stopped by signal" << signal << "- nothing installed";
        }
        return true;
    }

    bool openRoots(Tree& tree, Frame* frame, bool withSource);
    void sweepTemporaries(int rootFd, const QByteArray& rootPath, bool deep);
    void rememberFileSystem(int dirFd, dev_t device, const QByteArray& targetRoot);
    void planDirectory(Frame& frame);
    void refuse(Node& child, const QByteArray& path, const char* what, const char* reason);
    void planEntry(Frame& frame, Node& child);
    void planLink(Frame& frame, Node& child, FileSystem& fs);
    void planFile(Frame& frame, Node& child, FileSystem& fs);
    bool sameAsInstalled(Frame& frame, Node& child);
    bool enoughSpace();

    bool enterForStaging(Frame* parent, Frame& child);
    UniqueFd createStaged(Frame& frame, Node& child);
    int setFileAttributes(int out, const Frame& frame, const Node& child);
    void stageFile(Frame& frame, Node& child);
    void stageLink(Frame& frame, Node& child);
    void finishNewDirectory(Frame& frame);

    void commitEntry(Frame& frame, Node& child);
    void rollBackEntry(Frame& frame, Node& child);
    void restoreDirectory(Frame& frame);
    bool syncFileSystems();

    template <typename Enter, typename Entry, typename Leave>
    void walk(Tree& tree, bool withSource, Enter enter, Entry entry, Leave leave);
    template <typename NewDir, typename Entry, typename Leave>
    void walkExisting(Tree& tree, NewDir newDir, Entry entry, Leave leave);

    bool plan();
    bool stage();
    void commit();
    void rollBack();
};

// Opens the roots of one tree. A missing target root is planned as new, on
// its parent's file system; staging creates it under a temporary name.
bool TreeCopy::Private::openRoots(Tree& tree, Frame* frame, bool withSource)
{
    frame->node = &tree.root;
    frame->sourcePath = tree.source;
    frame->targetPath = tree.target;
    if (withSource) {
        // The payload folder itself must be a real directory, not a link.
        frame->source =
            UniqueFd(open(tree.source.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!frame->source.isValid() || fstat(frame->source.get(), &tree.root.source) != 0) {
            qDebug() << "CopyRecursivelyOverwrite: no source directory" << displayName(tree.source);
            ok = false;
            return false;
        }
    }
    struct stat st;
    if (tree.root.newDir) {
        if (!tree.root.temp.isEmpty())
            frame->target = openDirectoryAt(tree.targetParent.get(), tree.root.temp);
        fstat(tree.targetParent.get(), &st);
        frame->device = st.st_dev;
        return true;
    }
    // The device's own roots may be links or mount points; below them
    // nothing is followed.
    frame->target = UniqueFd(open(tree.target.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (frame->target.isValid()) {
        fstat(frame->target.get(), &st);
        frame->device = st.st_dev;
        return true;
    }
    if (errno != ENOENT || tree.root.targetExists) {
        fail(tree.target, "cannot open", errno);
        return false;
    }
    const int slash = tree.target.lastIndexOf('/');
    const QByteArray parent = slash < 0 ? QByteArray(".")
        : slash == 0                    ? QByteArray("/")
                                        : tree.target.left(slash);
    tree.rootName = tree.target.mid(slash + 1);
    tree.targetParent = UniqueFd(open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tree.targetParent.isValid() || fstat(tree.targetParent.get(), &st) != 0) {
        fail(tree.target, "cannot create directory", errno);
        return false;
    }
    tree.root.newDir = true;
    tree.root.owner = st.st_uid;
    tree.root.group = st.st_gid;
    frame->device = st.st_dev;
    return true;
}

// Leftovers of an earlier run that was killed: only names with our prefix,
// anywhere below the target, never through a link.
void TreeCopy::Private::sweepTemporaries(int rootFd, const QByteArray& rootPath, bool deep)
{
    struct Level
    {
        UniqueFd fd;
        QByteArray path;
    };
    std::vector<Level> stack;
    stack.push_back({UniqueFd(dup(rootFd)), rootPath});
    while (!stack.empty()) {
        Level level = std::move(stack.back());
        stack.pop_back();
        struct stat before;
        std::vector<DirEntry> entries;
        int error = 0;
        if (!level.fd.isValid() || fstat(level.fd.get(), &before) != 0
            || !listDirectory(level.fd.get(), &entries, &error))
            continue;  // the plan reports what it cannot read
        bool removed = false;
        for (const DirEntry& entry : entries) {
            const QByteArray path = joinPath(level.path, entry.name);
            if (isTempName(entry.name)) {
                removeTreeAt(level.fd.get(), entry.name, path);
                removed = true;
            } else if (deep && S_ISDIR(entry.st.st_mode)) {
                stack.push_back({openDirectoryAt(level.fd.get(), entry.name), path});
            }
        }
        if (removed) {
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            futimens(level.fd.get(), times);
        }
    }
}

void TreeCopy::Private::rememberFileSystem(int dirFd, dev_t device, const QByteArray& targetRoot)
{
    auto it = fileSystems.find(device);
    if (it == fileSystems.end()) {
        FileSystem fs;
        // Without a handle on its file system the copy could not be synced.
        fs.fd = UniqueFd(dup(dirFd));
        struct statvfs info;
        if (fs.fd.isValid() && fstatvfs(fs.fd.get(), &info) == 0 && info.f_frsize > 0)
            fs.blockSize = qint64(info.f_frsize);
        it = fileSystems.emplace(device, std::move(fs)).first;
    }
    const QString name = displayName(targetRoot);
    if (!it->second.targets.contains(name))
        it->second.targets.append(name);
}

template <typename Enter, typename Entry, typename Leave>
void TreeCopy::Private::walk(Tree& tree, bool withSource, Enter enter, Entry entry, Leave leave)
{
    std::vector<Frame> stack;
    Frame root;
    if (!openRoots(tree, &root, withSource))
        return;
    if (!enter(nullptr, root))
        return;
    stack.push_back(std::move(root));
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.node->children.size()) {
            leave(top);
            stack.pop_back();
            continue;
        }
        Node& child = top.node->children[top.next++];
        if (child.conflict)
            continue;
        if (child.kind != Kind::Directory) {
            entry(top, child);
            continue;
        }
        Frame frame;
        frame.node = &child;
        frame.sourcePath = joinPath(top.sourcePath, child.name);
        frame.targetPath = joinPath(top.targetPath, child.name);
        frame.device = top.device;
        if (withSource) {
            frame.source = openDirectoryAt(top.source.get(), child.name);
            if (!frame.source.isValid()) {
                fail(frame.sourcePath, "cannot read directory", errno);
                continue;
            }
        }
        if (enter(&top, frame))
            stack.push_back(std::move(frame));  // invalidates top
    }
}

// Lists one source directory into its node and decides, entry by entry, what
// the copy will do. Nothing is written here.
void TreeCopy::Private::planDirectory(Frame& frame)
{
    Node& node = *frame.node;
    std::vector<DirEntry> entries;
    int error = 0;
    if (!listDirectory(frame.source.get(), &entries, &error))
        fail(frame.sourcePath, "cannot read directory", error);
    node.children.reserve(entries.size());
    for (DirEntry& entry : entries) {
        Node child;
        child.name = entry.name;
        child.source = entry.st;
        if (frame.target.isValid()) {
            if (fstatat(frame.target.get(), entry.name.constData(), &child.target, AT_SYMLINK_NOFOLLOW)
                == 0) {
                child.targetExists = true;
            } else if (errno != ENOENT) {
                fail(joinPath(frame.targetPath, entry.name), "cannot read", errno);
                child.conflict = true;
            }
        }
        node.children.push_back(std::move(child));
    }
    for (Node& child : node.children) {
        if (!child.conflict)
            planEntry(frame, child);
    }
}

void TreeCopy::Private::refuse(Node& child, const QByteArray& path, const char* what, const char* reason)
{
    child.conflict = true;
    fail(path, what, reason);
}

void TreeCopy::Private::planEntry(Frame& frame, Node& child)
{
    FileSystem& fs = fileSystems[frame.device];
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    const QByteArray targetPath = joinPath(frame.targetPath, child.name);
    const mode_t type = child.source.st_mode & S_IFMT;
    const bool targetIsDir = child.targetExists && S_ISDIR(child.target.st_mode);

    if (type != S_IFDIR && type != S_IFREG && type != S_IFLNK)
        return refuse(child, sourcePath, "skipped", "special file");
    // The next run would sweep it away as the leftover of a killed copy.
    if (isTempName(child.name))
        return refuse(child, sourcePath, "skipped", "name reserved for temporaries");
    if (type == S_IFDIR) {
        child.kind = Kind::Directory;
        if (child.targetExists && !targetIsDir)
            return refuse(child, targetPath, "cannot replace with a directory",
                          S_ISLNK(child.target.st_mode) ? "a link is in the way" : "a file is in the way");
        child.newDir = !child.targetExists;
        if (child.newDir) {
            fs.neededBytes += fs.blockSize;
            ++fs.neededInodes;
        }
        return;
    }
    if (targetIsDir)
        return refuse(child, targetPath, "cannot replace", "a directory is in the way");
    if (type == S_IFLNK)
        planLink(frame, child, fs);
    else
        planFile(frame, child, fs);
}

void TreeCopy::Private::planLink(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::Link;
    std::vector<char> text(size_t(std::max<off_t>(child.source.st_size, 0)) + 2);
    const ssize_t length = readlinkat(frame.source.get(), child.name.constData(), text.data(), text.size());
    if (length < 0 || size_t(length) >= text.size())
        return refuse(child, joinPath(frame.sourcePath, child.name), "cannot read link",
                      reasonText(length < 0 ? errno : sourceChanged));
    child.linkText = QByteArray(text.data(), int(length));
    if (child.targetExists && S_ISLNK(child.target.st_mode) && child.target.st_size == child.source.st_size) {
        std::vector<char> installed(text.size());
        const ssize_t n =
            readlinkat(frame.target.get(), child.name.constData(), installed.data(), installed.size());
        if (n == length && memcmp(installed.data(), text.data(), size_t(n)) == 0) {
            child.fixTimes = !sameTime(child.target.st_mtim, child.source.st_mtim);
            return;
        }
    }
    child.stage = true;
    ++fs.neededInodes;
    // Short links live in the inode; longer ones take a block.
    if (child.linkText.size() >= 60)
        fs.neededBytes += fs.blockSize;
}

void TreeCopy::Private::planFile(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::File;
    const bool sameSize =
        child.targetExists && S_ISREG(child.target.st_mode) && child.target.st_size == child.source.st_size;
    // Unchanged content is not written again: flash wears with every write.
    if (sameSize && ok && sameAsInstalled(frame, child)) {
        child.fixMode = (child.target.st_mode & 07777)
            != installedMode(child.source, child.target.st_uid, child.target.st_gid);
        child.fixTimes = !sameTime(child.target.st_mtim, child.source.st_mtim);
        return;
    }
    if (child.conflict)
        return;
    child.stage = true;
    ++fs.neededInodes;
    // Holes stay holes, so a sparse file needs only its allocated blocks.
    const qint64 data = std::min<qint64>(child.source.st_size, qint64(child.source.st_blocks) * 512);
    fs.neededBytes += (data + fs.blockSize - 1) / fs.blockSize * fs.blockSize;
}

// Whether the installed file has the payload file's bytes; a payload file
// that cannot be read or changes meanwhile is refused.
bool TreeCopy::Private::sameAsInstalled(Frame& frame, Node& child)
{
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    UniqueFd in = openForReading(frame.source.get(), child.name);
    UniqueFd installed = openForReading(frame.target.get(), child.name);
    struct stat inStat;
    if (!in.isValid() || fstat(in.get(), &inStat) != 0) {
        refuse(child, sourcePath, "cannot open", strerror(errno));
        return false;
    }
    if (!unchangedSince(child.source, inStat)) {
        refuse(child, sourcePath, "cannot copy", reasonText(sourceChanged));
        return false;
    }
    int error = 0;
    const Comparison result = installed.isValid()
        ? compareContent(in.get(), installed.get(), inStat.st_size, &buffer, &error)
        : Comparison::Different;
    if (result == Comparison::Failed) {
        child.conflict = true;
        fail(sourcePath, "cannot read", error);
        return false;
    }
    if (result == Comparison::Same
        && (fstat(in.get(), &inStat) != 0 || !unchangedSince(child.source, inStat))) {
        refuse(child, sourcePath, "cannot copy", reasonText(sourceChanged));
        return false;
    }
    return result == Comparison::Same;
}

bool TreeCopy::Private::plan()
{
    for (Tree& tree : trees) {
        walk(
            tree, true,
            [&](Frame* parent, Frame& frame) {
                if (stopped())
                    return false;
                Node& node = *frame.node;
                if (!parent) {
                    // The root: a new one takes the place of nothing.
                    if (frame.target.isValid()) {
                        fstat(frame.target.get(), &node.target);
                        node.targetExists = true;
                        node.owner = node.target.st_uid;
                        node.group = node.target.st_gid;
                        sweepTemporaries(frame.target.get(), frame.targetPath, true);
                        rememberFileSystem(frame.target.get(), frame.device, tree.target);
                    } else {
                        rememberFileSystem(tree.targetParent.get(), frame.device, tree.target);
                        sweepTemporaries(tree.targetParent.get(), tree.target, false);
                        FileSystem& fs = fileSystems[frame.device];
                        fs.neededBytes += fs.blockSize;
                        ++fs.neededInodes;
                    }
                } else if (node.newDir) {
                    node.owner = parent->node->owner;
                    node.group = parent->node->group;
                } else {
                    frame.target = openDirectoryAt(parent->target.get(), node.name);
                    if (!frame.target.isValid()) {
                        fail(frame.targetPath, "cannot open", errno);
                        return false;
                    }
                    frame.device = node.target.st_dev;
                    node.owner = node.target.st_uid;
                    node.group = node.target.st_gid;
                    rememberFileSystem(frame.target.get(), frame.device, tree.target);
                }
                planDirectory(frame);
                return true;
            },
            [](Frame&, Node&) {}, [](Frame&) {});
    }
    return ok;
}

bool TreeCopy::Private::enoughSpace()
{
    bool fits = true;
    for (auto& entry : fileSystems) {
        FileSystem& fs = entry.second;
        struct statvfs info;
        if (!fs.fd.isValid() || fstatvfs(fs.fd.get(), &info) != 0)
            continue;  // nothing to tell in advance; staging reports what fails
        const qint64 freeBytes = qint64(info.f_bavail) * qint64(info.f_frsize);
        if (fs.neededBytes > freeBytes) {
            fits = false;
            qDebug().noquote() << QStringLiteral(
                                      "CopyRecursivelyOverwrite: not enough space for %1 - "
                                      "%2 bytes needed, %3 bytes free")
                                      .arg(fs.targets.join(QStringLiteral(", ")))
                                      .arg(fs.neededBytes)
                                      .arg(freeBytes);
        } else if (info.f_files > 0 && fs.neededInodes > qint64(info.f_favail)) {
            fits = false;
            qDebug().noquote() << QStringLiteral(
                                      "CopyRecursivelyOverwrite: not enough space for %1 - "
                                      "%2 files needed, %3 files free")
                                      .arg(fs.targets.join(QStringLiteral(", ")))
                                      .arg(fs.neededInodes)
                                      .arg(qint64(info.f_favail));
        }
    }
    if (!fits)
        ok = false;
    return fits;
}

// Opens (or creates) the target of a directory while staging. A new
// directory below an existing one is made under a temporary name, so that
// the whole new subtree appears with one rename.
bool TreeCopy::Private::enterForStaging(Frame* parent, Frame& frame)
{
    Node& node = *frame.node;
    if (!node.newDir) {
        if (parent)
            frame.target = openDirectoryAt(parent->target.get(), node.name);
        struct stat st;
        if (!frame.target.isValid() || fstat(frame.target.get(), &st) != 0) {
            fail(frame.targetPath, "cannot open", errno);
            return false;
        }
        if (st.st_ino != node.target.st_ino || st.st_dev != node.target.st_dev) {
            fail(frame.targetPath, "cannot copy into", "the directory changed meanwhile");
            return false;
        }
        // Files are put into the directory before its mode is restored, so
        // for now it must be writable for us.
        if ((st.st_mode & S_IRWXU) != S_IRWXU) {
            node.touched = true;
            if (fchmod(frame.target.get(), (st.st_mode & 07777) | S_IRWXU) != 0) {
                fail(frame.targetPath, "cannot make writable", errno);
                return false;
            }
            node.madeWritable = true;
        }
        return true;
    }
    if (!parent)
        return frame.target.isValid();  // a new root, made by stage()
    QByteArray name = node.name;
    int result = -1;
    if (parent->node->newDir) {
        result = mkdirat(parent->target.get(), name.constData(), S_IRWXU);
    } else {
        for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
            name = randomTempName();
            result = mkdirat(parent->target.get(), name.constData(), S_IRWXU);
            if (result != 0 && errno != EEXIST)
                break;
        }
        if (result == 0) {
            node.temp = name;
            parent->node->touched = true;
        }
    }
    if (result != 0) {
        fail(frame.targetPath, "cannot create directory", errno);
        return false;
    }
    frame.target = openDirectoryAt(parent->target.get(), name);
    if (!frame.target.isValid()) {
        fail(frame.targetPath, "cannot open", errno);
        return false;
    }
    return true;
}

// Creates the file a new version is written to: beside its target under a
// temporary name, or, in a new directory (itself still hidden under a
// temporary name), under its own name at once.
UniqueFd TreeCopy::Private::createStaged(Frame& frame, Node& child)
{
    const bool inNewDir = frame.node->newDir;
    QByteArray name = child.name;
    UniqueFd out;
    for (int attempt = 0; attempt < 100 && !out.isValid(); ++attempt) {
        if (!inNewDir)
            name = randomTempName();
        out = UniqueFd(openat(frame.target.get(), name.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
        if (!out.isValid() && (errno != EEXIST || inNewDir))
            break;
    }
    if (!out.isValid()) {
        fail(joinPath(frame.targetPath, child.name), "cannot create", errno);
        return out;
    }
    if (!inNewDir) {
        child.temp = name;
        frame.node->touched = true;
    }
    return out;
}

// Owner, mode and times of a staged file; 0, or the errno that failed. A
// replaced file keeps its owner, a new one belongs to the owner of its
// directory: the payload's owner never reaches the device.
int TreeCopy::Private::setFileAttributes(int out, const Frame& frame, const Node& child)
{
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    struct stat st;
    if (fstat(out, &st) != 0)
        return errno;
    if ((st.st_uid != owner || st.st_gid != group) && fchown(out, owner, group) == 0) {
        st.st_uid = owner;
        st.st_gid = group;
    }
    if (fchmod(out, installedMode(child.source, st.st_uid, st.st_gid)) != 0)
        return errno;
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    if (futimens(out, times) != 0)
        return errno;
    return 0;
}

void TreeCopy::Private::stageFile(Frame& frame, Node& child)
{
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    UniqueFd in = openForReading(frame.source.get(), child.name);
    if (!in.isValid())
        return fail(sourcePath, "cannot open", errno);
    struct stat inStat;
    if (fstat(in.get(), &inStat) != 0 || !S_ISREG(inStat.st_mode))
        return fail(sourcePath, "skipped", "not a regular file");
    if (!unchangedSince(child.source, inStat))
        return fail(sourcePath, "cannot copy", sourceChanged);
    posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    UniqueFd out = createStaged(frame, child);
    if (!out.isValid())
        return;
    int error = 0;
    if (copyData(in.get(), out.get(), inStat.st_size, &buffer, &error))
        error = setFileAttributes(out.get(), frame, child);
    if (out.close() != 0 && error == 0)
        error = errno;
    // A file that grew, shrank or was written while it was read is no
    // faithful copy.
    if (error == 0 && (fstat(in.get(), &inStat) != 0 || !unchangedSince(child.source, inStat)))
        error = sourceChanged;
    if (error == sourceChanged)
        fail(sourcePath, "cannot copy", error);
    else if (error != 0)
        fail(joinPath(frame.targetPath, child.name), "cannot write", error);
}

void TreeCopy::Private::stageLink(Frame& frame, Node& child)
{
    const QByteArray targetPath = joinPath(frame.targetPath, child.name);
    const bool inNewDir = frame.node->newDir;
    QByteArray name = child.name;
    int result = -1;
    for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
        if (!inNewDir)
            name = randomTempName();
        result = symlinkat(child.linkText.constData(), frame.target.get(), name.constData());
        if (result != 0 && (errno != EEXIST || inNewDir))
            break;
    }
    if (result != 0) {
        fail(targetPath, "cannot create link", errno);
        return;
    }
    if (!inNewDir) {
        child.temp = name;
        frame.node->touched = true;
    }
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    if (fchownat(frame.target.get(), name.constData(), owner, group, AT_SYMLINK_NOFOLLOW) != 0
        && errno != EPERM) {
        fail(targetPath, "cannot create link", errno);
        return;
    }
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    utimensat(frame.target.get(), name.constData(), times, AT_SYMLINK_NOFOLLOW);
}

// Everything below a new directory is in place: it gets the payload's mode
// and times, and the owner of the directory it is created in.
void TreeCopy::Private::finishNewDirectory(Frame& frame)
{
    const Node& node = *frame.node;
    struct stat st;
    if (fstat(frame.target.get(), &st) == 0 && (st.st_uid != node.owner || st.st_gid != node.group))
        fchown(frame.target.get(), node.owner, node.group);
    const struct timespec times[2] = {node.source.st_atim, node.source.st_mtim};
    if (fchmod(frame.target.get(), node.source.st_mode & 07777) != 0
        || futimens(frame.target.get(), times) != 0)
        fail(frame.targetPath, "cannot set attributes of", errno);
}

bool TreeCopy::Private::stage()
{
    for (Tree& tree : trees) {
        if (!ok)
            break;
        if (tree.root.newDir) {
            QByteArray name;
            int result = -1;
            for (int attempt = 0; attempt < 100 && result != 0; ++attempt) {
                name = randomTempName();
                result = mkdirat(tree.targetParent.get(), name.constData(), S_IRWXU);
                if (result != 0 && errno != EEXIST)
                    break;
            }
            if (result != 0) {
                fail(tree.target, "cannot create directory", errno);
                break;
            }
            tree.root.temp = name;
        }
        walk(
            tree, true,
            [&](Frame* parent, Frame& frame) {
                if (!ok || stopped())
                    return false;
                return enterForStaging(parent, frame);
            },
            [&](Frame& frame, Node& child) {
                if (!ok || stopped() || !child.stage)
                    return;
                if (child.kind == Kind::File)
                    stageFile(frame, child);
                else
                    stageLink(frame, child);
            },
            [&](Frame& frame) {
                if (ok && frame.node->newDir)
                    finishNewDirectory(frame);
            });
    }
    return ok;
}

bool TreeCopy::Private::syncFileSystems()
{
    bool synced = true;
    for (auto& entry : fileSystems) {
        if (!entry.second.fd.isValid() || syncfs(entry.second.fd.get()) != 0) {
            synced = false;
            qDebug().noquote() << QStringLiteral("CopyRecursivelyOverwrite: sync failed %1 - %2")
                                      .arg(entry.second.targets.join(QStringLiteral(", ")),
                                           QString::fromLocal8Bit(strerror(errno)));
        }
    }
    if (!synced)
        ok = false;
    return synced;
}

void TreeCopy::Private::commitEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    if (!child.temp.isEmpty()) {
        // Swapping keeps the old file alive under the temporary name, so that
        // freeing its blocks waits until every new file is in place: the
        // window in which a power cut leaves old and new side by side stays
        // as short as the renames themselves.
        if (child.targetExists && child.kind != Kind::Directory
            && renameat2(dirFd, child.temp.constData(), dirFd, child.name.constData(), RENAME_EXCHANGE)
                == 0) {
            child.oldAtTemp = true;
            return;
        }
        if (renameat(dirFd, child.temp.constData(), dirFd, child.name.constData()) != 0) {
            const int error = errno;
            if (child.kind == Kind::Directory)
                removeTreeAt(dirFd, child.temp, joinPath(frame.targetPath, child.temp));
            else
                unlinkat(dirFd, child.temp.constData(), 0);
            fail(joinPath(frame.targetPath, child.name), "cannot replace", error);
        }
        child.temp.clear();
        return;
    }
    if (child.fixMode
        && fchmodat(dirFd, child.name.constData(),
                    installedMode(child.source, child.target.st_uid, child.target.st_gid), 0)
            != 0)
        fail(joinPath(frame.targetPath, child.name), "cannot set attributes of", errno);
    if (child.fixTimes) {
        const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
        if (utimensat(dirFd, child.name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
            fail(joinPath(frame.targetPath, child.name), "cannot set attributes of", errno);
    }
}

void TreeCopy::Private::rollBackEntry(Frame& frame, Node& child)
{
    if (child.temp.isEmpty())
        return;
    const QByteArray path = joinPath(frame.targetPath, child.temp);
    if (child.kind == Kind::Directory)
        removeTreeAt(frame.target.get(), child.temp, path);
    else if (unlinkat(frame.target.get(), child.temp.constData(), 0) != 0 && errno != ENOENT)
        qDebug() << "CopyRecursivelyOverwrite: cannot remove" << displayName(path) << "-" << strerror(errno);
    child.temp.clear();
}

// A directory that was there before keeps its mode and times, whatever the
// copy added to it.
void TreeCopy::Private::restoreDirectory(Frame& frame)
{
    Node& node = *frame.node;
    if (node.newDir || !node.touched || !frame.target.isValid())
        return;
    if (node.madeWritable)
        fchmod(frame.target.get(), node.target.st_mode & 07777);
    const struct timespec times[2] = {node.target.st_atim, node.target.st_mtim};
    futimens(frame.target.get(), times);
    node.touched = false;
}

// Walks the directories of a target tree that existed before the copy. A new
// directory is handed to newDir as an entry of its parent and not entered:
// it is staged, renamed or removed whole.
template <typename NewDir, typename Entry, typename Leave>
void TreeCopy::Private::walkExisting(Tree& tree, NewDir newDir, Entry entry, Leave leave)
{
    walk(
        tree, false,
        [&](Frame* parent, Frame& frame) {
            if (!parent)
                return frame.target.isValid();
            if (frame.node->newDir) {
                newDir(*parent, *frame.node);
                return false;
            }
            frame.target = openDirectoryAt(parent->target.get(), frame.node->name);
            if (!frame.target.isValid())
                fail(frame.targetPath, "cannot open", errno);
            return frame.target.isValid();
        },
        entry, leave);
}

void TreeCopy::Private::commit()
{
    const auto renameIntoPlace = [&](Frame& frame, Node& child) { commitEntry(frame, child); };
    for (Tree& tree : trees) {
        // A new root holds its entries under their own names already.
        if (tree.root.newDir) {
            if (renameat(tree.targetParent.get(), tree.root.temp.constData(), tree.targetParent.get(),
                         tree.rootName.constData())
                != 0) {
                const int error = errno;
                removeTreeAt(tree.targetParent.get(), tree.root.temp, tree.target);
                fail(tree.target, "cannot replace", error);
            }
            tree.root.temp.clear();
            continue;
        }
        walkExisting(tree, renameIntoPlace, renameIntoPlace, [](Frame&) {});
    }
    // Every new file is in place: now the old ones go, and the directories
    // that existed get their times back.
    for (Tree& tree : trees) {
        if (tree.root.newDir)
            continue;
        walkExisting(
            tree, [](Frame&, Node&) {},
            [&](Frame& frame, Node& child) {
                if (child.oldAtTemp)
                    removeTreeAt(frame.target.get(), child.temp, joinPath(frame.targetPath, child.temp));
                child.oldAtTemp = false;
                child.temp.clear();
            },
            [&](Frame& frame) { restoreDirectory(frame); });
    }
}

void TreeCopy::Private::rollBack()
{
    const auto removeStaged = [&](Frame& frame, Node& child) { rollBackEntry(frame, child); };
    for (Tree& tree : trees) {
        if (tree.root.newDir) {
            if (!tree.root.temp.isEmpty())
                removeTreeAt(tree.targetParent.get(), tree.root.temp, tree.target);
            tree.root.temp.clear();
            continue;
        }
        walkExisting(tree, removeStaged, removeStaged, [&](Frame& frame) { restoreDirectory(frame); });
    }
}

TreeCopy::TreeCopy()
    : d(new Private)
{
}

TreeCopy::~TreeCopy() = default;

void TreeCopy::addTree(const QString& source, const QString& target)
{
    Tree tree;
    // "dir/" would make the kernel follow a link that "dir" is.
    tree.source = QFile::encodeName(source.isEmpty() ? source : QDir::cleanPath(source));
    tree.target = QFile::encodeName(target.isEmpty() ? target : QDir::cleanPath(target));
    d->trees.push_back(std::move(tree));
}

bool TreeCopy::run()
{
    raiseFileLimit();
    for (const Tree& tree : d->trees) {
        if (tree.source.isEmpty() || tree.target.isEmpty()) {
            qDebug() << "CopyRecursivelyOverwrite: empty path" << displayName(tree.source)
                     << displayName(tree.target);
            return false;
        }
        const QByteArray source = resolvedPath(tree.source);
        if (isSameOrBelow(resolvedPath(tree.target), source)) {
            qDebug() << "CopyRecursivelyOverwrite: target lies inside the source" << displayName(tree.target);
            return false;
        }
    }

    // Nothing is written before the whole plan holds and fits.
    if (!d->plan() || !d->enoughSpace())
        return false;
    if (!d->stage() || d->stopped() || !d->syncFileSystems()) {
        d->rollBack();
        return false;
    }
    // From here on only names change: the new data is on the medium.
    d->commit();
    d->syncFileSystems();
    return d->ok;
}
