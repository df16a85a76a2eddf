#include "treecopy.h"

#include "dirwalk.h"
#include "fsattributes.h"
#include "payloadcheck.h"
#include "stopsignals.h"
#include "tempname.h"
#include "uniquefd.h"
#include "xattrcopy.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>

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

// Errors of our own, reported like an errno.
const int sourceChanged = -1;
const int stopRequested = -2;

// Why an entry that the plan saw cannot be committed.
const char changedMeanwhile[] = "it changed after the plan";
const char appearedMeanwhile[] = "an entry of that name appeared after the plan";

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

using TempName::isTemp;

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

bool sameEntry(const FsAttributes::Entry& entry, const struct stat& planned)
{
    return entry.type == (planned.st_mode & S_IFMT) && entry.device == planned.st_dev
        && entry.inode == planned.st_ino;
}

// Whether the entry name of the folder open as dirFd is still the one the
// plan saw, and can be renamed over or changed: nullptr, or why not.
const char* whyNotReplaceable(int dirFd, const QByteArray& name, const struct stat& planned,
                              const FsAttributes::Entry& folder)
{
    FsAttributes::Entry entry;
    int error = 0;
    if (!FsAttributes::look(dirFd, name.constData(), &entry, &error))
        return error == ENOENT ? changedMeanwhile : strerror(error);
    if (!sameEntry(entry, planned))
        return changedMeanwhile;
    if (FsAttributes::crossesMount(folder, entry))
        return "a mount point";
    if (entry.immutable)
        return "immutable or append-only";
    return nullptr;
}

// What the commit did to an entry, so that it can be undone until the last
// swap has succeeded.
enum class Commit {
    None,
    Swapped,     // new and old exchanged: the old version is at temp
    Renamed,     // a new name: temp renamed to it
    MovedAside,  // no swap on this file system: the old version went to aside first
};

// ext4 keeps a folder entry in 8 bytes and the name rounded up to 4.
qint64 entryBytes(qint64 nameLength)
{
    return 8 + (nameLength + 3) / 4 * 4;
}

// Blocks a folder may need for entries of that many bytes: one while they
// fit; otherwise the folder is indexed, with a root block and leaves that
// are split when full and so may hold only half a block each.
qint64 directoryBlocks(qint64 bytes, qint64 blockSize)
{
    if (bytes <= blockSize)
        return 1;
    return (2 * bytes + blockSize - 1) / blockSize + 1;
}

// The name lengths a staged entry takes in its folder.
const qint64 tempNameLength = 19;
const qint64 markerNameLength = 48;

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
    bool newDir = false;       // directories: created by the copy
    bool getsNames = false;    // existing directories: the copy makes new names in it
    bool throughLink = false;  // existing directories: reached through the device's own link
    bool touched = false;      // existing directories: entries added
    QByteArray temp;           // staged name in an existing directory
    QByteArray aside;          // the old version's name while the new one goes in, without swaps
    QByteArray marker;         // existing directories: the temporary that records their time
    Commit commit = Commit::None;
    bool metadataSet = false;  // unchanged files: mode or times set by the commit
    bool link = false;         // files: staged as a hard link to the payload's file
    QByteArray linkText;
    uid_t owner = 0;  // directories: who new entries below belong to
    gid_t group = 0;
    std::vector<Node> children;
};

// The extended attributes a staged file gets: the payload file's and those
// of the file it replaces, read before anything changes either.
struct StagedAttributes
{
    XattrCopy::Attributes payload;
    XattrCopy::Attributes device;
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
    bool consumed = false;  // the caller deletes the source after the copy
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
    FsAttributes::Entry folder;  // the target, as the checks of its entries need it
    bool consumed = false;       // of a tree whose source the caller deletes
};

}  // namespace

struct TreeCopy::Private
{
    std::vector<Tree> trees;
    std::map<dev_t, FileSystem> fileSystems;
    bool ok = true;
    bool stopLogged = false;
    std::vector<char> buffer;  // reused by every comparison and user-space copy
    const PayloadCheck* check = nullptr;

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
    void sweepFolder(int fd, const QByteArray& path, const std::vector<DirEntry>& entries);
    void rememberFileSystem(int dirFd, dev_t device, const QByteArray& targetRoot);
    bool enterForPlanning(Frame* parent, Frame& frame, Tree& tree);
    bool leadsIntoASource(int fd) const;
    void planDirectory(Frame& frame);
    void refuse(Node& child, const QByteArray& path, const char* what, const char* reason);
    void planEntry(Frame& frame, Node& child);
    void planLink(Frame& frame, Node& child, FileSystem& fs);
    void planFile(Frame& frame, Node& child, FileSystem& fs);
    bool sameAsInstalled(Frame& frame, Node& child);
    bool checkedAsPlanned(const QByteArray& sourcePath, const struct stat& planned) const;
    void planNewNames(Frame& frame);
    bool enoughSpace();

    bool enterForStaging(Frame* parent, Frame& child);
    bool markFolder(Frame& frame);
    UniqueFd createStaged(Frame& frame, Node& child);
    int readAttributes(int in, const Frame& frame, const Node& child, StagedAttributes* attributes);
    int setFileAttributes(int out, const struct stat& current, bool linked, const Frame& frame,
                          const Node& child, const StagedAttributes& attributes);
    bool stageHardLink(Frame& frame, Node& child);
    void stageFile(Frame& frame, Node& child);
    void stageLink(Frame& frame, Node& child);
    void finishNewDirectory(Frame& frame);

    bool enterForChecking(Frame& frame);
    void checkEntry(Frame& frame, Node& child);
    void commitEntry(Frame& frame, Node& child);
    void swapEntry(Frame& frame, Node& child);
    void moveAsideEntry(Frame& frame, Node& child);
    void setMetadata(Frame& frame, Node& child);
    void undoEntry(Frame& frame, Node& child);
    void finishEntry(Frame& frame, Node& child);
    void rollBackEntry(Frame& frame, Node& child);
    void restoreDirectory(Frame& frame);
    bool syncFileSystems();

    template <typename Enter, typename Entry, typename Leave>
    void walk(Tree& tree, bool withSource, Enter enter, Entry entry, Leave leave);
    template <typename Enter, typename NewDir, typename Entry, typename Leave>
    void walkExisting(Tree& tree, Enter enter, NewDir newDir, Entry entry, Leave leave);
    template <typename NewDir, typename Entry, typename Leave>
    void walkExisting(Tree& tree, NewDir newDir, Entry entry, Leave leave)
    {
        walkExisting(
            tree, [](Frame&) { return true; }, newDir, entry, leave);
    }

    bool plan();
    bool stage();
    bool checkTargets();
    bool commit();
    void undo();
    void finish();
    void rollBack();
};

// Opens the roots of one tree. A missing target root is planned as new, on
// its parent's file system; staging creates it under a temporary name.
bool TreeCopy::Private::openRoots(Tree& tree, Frame* frame, bool withSource)
{
    frame->node = &tree.root;
    frame->sourcePath = tree.source;
    frame->targetPath = tree.target;
    frame->consumed = tree.consumed;
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
// anywhere below the target, never through a link, never into another file
// system, one folder open at a time. A folder that cannot be read fails the
// copy: leftovers in it would stay.
void TreeCopy::Private::sweepTemporaries(int rootFd, const QByteArray& rootPath, bool deep)
{
    DirWalk::Visitor visitor;
    visitor.enter = [deep](const char* name, const QByteArray&) { return deep && !isTemp(name); };
    visitor.folder = [this](int fd, const QByteArray& path, const std::vector<DirEntry>& entries) {
        sweepFolder(fd, path, entries);
    };
    visitor.failure = [this](const QByteArray& path, int error) {
        fail(path, "cannot read directory", error);
    };
    const int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return fail(rootPath, "cannot read directory", errno);
    DirWalk::walk(fd, rootPath, visitor);
}

// Removes the temporaries of one folder and gives it back the time that the
// killed run's marker recorded, or the time it had before the sweep.
void TreeCopy::Private::sweepFolder(int fd, const QByteArray& path, const std::vector<DirEntry>& entries)
{
    struct stat before;
    if (fstat(fd, &before) != 0)
        return fail(path, "cannot read directory", errno);
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    bool removed = false;
    for (const DirEntry& entry : entries) {
        if (!isTemp(entry.name))
            continue;
        TempName::recordedTime(entry.name, &times[1]);
        if (!removeTreeAt(fd, entry.name, joinPath(path, entry.name)))
            ok = false;
        removed = true;
    }
    if (removed && futimens(fd, times) != 0)
        fail(path, "cannot set attributes of", errno);
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
        frame.consumed = top.consumed;
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
    planNewNames(frame);
}

// What the commit will change in one folder must be changeable: no entry it
// replaces is a mount point or immutable, and a folder that gets new names
// is writable for us. Root needs no write bit, so an existing folder's mode
// is never touched: a run killed meanwhile would leave it changed. The
// folder's new entries are added to the space needed.
void TreeCopy::Private::planNewNames(Frame& frame)
{
    Node& node = *frame.node;
    qint64 bytes = 0;
    for (Node& child : node.children) {
        if (child.conflict)
            continue;
        if (node.newDir) {
            bytes += entryBytes(child.name.size());
            continue;
        }
        if (child.targetExists && (child.stage || child.fixMode || child.fixTimes)) {
            if (const char* why =
                    whyNotReplaceable(frame.target.get(), child.name, child.target, frame.folder))
                refuse(child, joinPath(frame.targetPath, child.name), "cannot replace", why);
        }
        if (!child.conflict && (child.stage || child.newDir))
            bytes += entryBytes(tempNameLength) + (child.targetExists ? 0 : entryBytes(child.name.size()));
    }
    FileSystem& fs = fileSystems[frame.device];
    if (!node.newDir && bytes > 0) {
        node.getsNames = true;
        bytes += entryBytes(markerNameLength);
        ++fs.neededInodes;
        const char* why = frame.folder.immutable ? "immutable or append-only" : nullptr;
        if (!why && faccessat(frame.target.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
            why = strerror(errno);
        if (why)
            fail(frame.targetPath, "cannot write into", why);
    }
    if (node.newDir || bytes > 0)
        fs.neededBytes += directoryBlocks(bytes, fs.blockSize) * fs.blockSize;
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
    if (isTemp(child.name))
        return refuse(child, sourcePath, "skipped", "name reserved for temporaries");
    if (type == S_IFDIR) {
        child.kind = Kind::Directory;
        // A folder the device keeps elsewhere behind a link of its own (a
        // data partition) is installed into, as rsync --keep-dirlinks does;
        // the link stays.
        struct stat behind;
        if (child.targetExists && S_ISLNK(child.target.st_mode)
            && fstatat(frame.target.get(), child.name.constData(), &behind, 0) == 0
            && S_ISDIR(behind.st_mode)) {
            child.target = behind;
            child.throughLink = true;
            return;
        }
        if (child.targetExists && !targetIsDir)
            return refuse(child, targetPath, "cannot replace with a directory",
                          S_ISLNK(child.target.st_mode) ? "a link is in the way" : "a file is in the way");
        child.newDir = !child.targetExists;
        if (child.newDir)
            ++fs.neededInodes;
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

// Whether a payload file is the very one whose digest was checked.
bool TreeCopy::Private::checkedAsPlanned(const QByteArray& sourcePath, const struct stat& planned) const
{
    const QByteArray base = check->checkedDir() + '/';
    if (!sourcePath.startsWith(base))
        return false;
    const auto found = check->checkedFiles().find(sourcePath.mid(base.size()));
    if (found == check->checkedFiles().end())
        return false;
    const PayloadCheck::Identity& checked = found->second;
    return checked.device == planned.st_dev && checked.inode == planned.st_ino
        && checked.size == planned.st_size && sameTime(checked.modified, planned.st_mtim)
        && sameTime(checked.changed, planned.st_ctim);
}

void TreeCopy::Private::planFile(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::File;
    if (check && !checkedAsPlanned(joinPath(frame.sourcePath, child.name), child.source))
        return refuse(child, joinPath(frame.sourcePath, child.name), "cannot copy",
                      "it changed after its check");
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
    // A payload file that is deleted after the copy, has no other name and
    // lies on the target's file system goes in as a link: its bytes are on
    // the flash already and are not written again.
    child.link = frame.consumed && child.source.st_nlink == 1 && child.source.st_dev == frame.device;
    if (child.link)
        return;
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
    // Same bytes with other attributes (a file capability) is another file.
    return result == Comparison::Same && XattrCopy::samePayloadAttributes(in.get(), installed.get());
}

// Opens an existing target folder below parentFd: never through a link,
// but for a folder reached through the device's own link, which must still
// lead to the folder the plan saw.
UniqueFd openTargetDirectory(int parentFd, const Node& node)
{
    if (!node.throughLink)
        return openDirectoryAt(parentFd, node.name);
    UniqueFd fd(openat(parentFd, node.name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (fd.isValid()
        && (fstat(fd.get(), &st) != 0 || st.st_dev != node.target.st_dev
            || st.st_ino != node.target.st_ino)) {
        errno = ESTALE;
        return UniqueFd();
    }
    return fd;
}

// Whether a folder reached through a link lies inside a tree being copied:
// installing into the payload itself would destroy it.
bool TreeCopy::Private::leadsIntoASource(int fd) const
{
    const QByteArray here = resolvedPath("/proc/self/fd/" + QByteArray::number(fd));
    for (const Tree& tree : trees) {
        if (isSameOrBelow(here, resolvedPath(tree.source)))
            return true;
    }
    return false;
}

// Opens the target of a directory for planning: the root, a new directory
// (nothing to open), or an existing one, whose leftovers are swept where it
// begins another file system or mount.
bool TreeCopy::Private::enterForPlanning(Frame* parent, Frame& frame, Tree& tree)
{
    Node& node = *frame.node;
    int error = 0;
    if (!parent && frame.target.isValid()) {
        // Swept first: the sweep gives the folder back the time it had.
        sweepTemporaries(frame.target.get(), frame.targetPath, true);
        fstat(frame.target.get(), &node.target);
        node.targetExists = true;
        node.owner = node.target.st_uid;
        node.group = node.target.st_gid;
        rememberFileSystem(frame.target.get(), frame.device, tree.target);
    } else if (!parent) {
        // The root: a new one takes the place of nothing.
        rememberFileSystem(tree.targetParent.get(), frame.device, tree.target);
        sweepTemporaries(tree.targetParent.get(), tree.target, false);
        FileSystem& fs = fileSystems[frame.device];
        fs.neededBytes += fs.blockSize;
        ++fs.neededInodes;
    } else if (node.newDir) {
        node.owner = parent->node->owner;
        node.group = parent->node->group;
    } else {
        frame.target = openTargetDirectory(parent->target.get(), node);
        if (!frame.target.isValid()) {
            fail(frame.targetPath, "cannot open", errno);
            return false;
        }
        if (node.throughLink && leadsIntoASource(frame.target.get())) {
            fail(frame.targetPath, "cannot copy into", "the link leads into the payload");
            return false;
        }
        frame.device = node.target.st_dev;
        node.owner = node.target.st_uid;
        node.group = node.target.st_gid;
        rememberFileSystem(frame.target.get(), frame.device, tree.target);
    }
    if (frame.target.isValid() && !FsAttributes::look(frame.target.get(), "", &frame.folder, &error)) {
        fail(frame.targetPath, "cannot read", error);
        return false;
    }
    if (parent && frame.target.isValid()
        && (node.throughLink || FsAttributes::crossesMount(parent->folder, frame.folder))) {
        sweepTemporaries(frame.target.get(), frame.targetPath, true);
        if (fstat(frame.target.get(), &node.target) != 0) {
            fail(frame.targetPath, "cannot read", errno);
            return false;
        }
    }
    return true;
}

bool TreeCopy::Private::plan()
{
    for (Tree& tree : trees) {
        walk(
            tree, true,
            [&](Frame* parent, Frame& frame) {
                if (stopped() || !enterForPlanning(parent, frame, tree))
                    return false;
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
            frame.target = openTargetDirectory(parent->target.get(), node);
        struct stat st;
        if (!frame.target.isValid() || fstat(frame.target.get(), &st) != 0) {
            fail(frame.targetPath, "cannot open", errno);
            return false;
        }
        if (st.st_ino != node.target.st_ino || st.st_dev != node.target.st_dev) {
            fail(frame.targetPath, "cannot copy into", "the directory changed meanwhile");
            return false;
        }
        return true;
    }
    if (!parent)
        return frame.target.isValid();  // a new root, made by stage()
    QByteArray name = node.name;
    int error = 0;
    if (parent->node->newDir) {
        error = mkdirat(parent->target.get(), name.constData(), S_IRWXU) == 0 ? 0 : errno;
    } else if (markFolder(*parent)) {
        const int dirFd = parent->target.get();
        error = TempName::createUnder(
            &name, [dirFd](const QByteArray& temp) { return mkdirat(dirFd, temp.constData(), S_IRWXU); });
        if (error == 0)
            node.temp = name;
    } else {
        return false;
    }
    if (error != 0) {
        fail(frame.targetPath, "cannot create directory", error);
        return false;
    }
    frame.target = openDirectoryAt(parent->target.get(), name);
    if (!frame.target.isValid()) {
        fail(frame.targetPath, "cannot open", errno);
        return false;
    }
    return true;
}

// Before the first new name goes into an existing folder, a marker that
// records the folder's time: a run killed from here on leaves it, and the
// next run's sweep gives the folder its time back.
bool TreeCopy::Private::markFolder(Frame& frame)
{
    Node& node = *frame.node;
    if (!node.marker.isEmpty())
        return true;
    node.touched = true;
    QByteArray name;
    const int dirFd = frame.target.get();
    const int error = TempName::createUnder(
        &name,
        [dirFd](const QByteArray& temp) {
            const UniqueFd fd(openat(dirFd, temp.constData(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR));
            return fd.isValid() ? 0 : -1;
        },
        &node.target.st_mtim);
    if (error != 0) {
        fail(frame.targetPath, "cannot write into", error);
        return false;
    }
    node.marker = name;
    return true;
}

// Creates the file a new version is written to: beside its target under a
// temporary name, or, in a new directory (itself still hidden under a
// temporary name), under its own name at once.
UniqueFd TreeCopy::Private::createStaged(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd out;
    int error = 0;
    if (frame.node->newDir) {
        out = UniqueFd(openat(dirFd, child.name.constData(), flags, S_IRUSR | S_IWUSR));
        error = out.isValid() ? 0 : errno;
    } else if (markFolder(frame)) {
        QByteArray name;
        error = TempName::createUnder(&name, [&](const QByteArray& temp) {
            out = UniqueFd(openat(dirFd, temp.constData(), flags, S_IRUSR | S_IWUSR));
            return out.isValid() ? 0 : -1;
        });
        if (error == 0)
            child.temp = name;
    } else {
        return out;
    }
    if (error != 0)
        fail(joinPath(frame.targetPath, child.name), "cannot create", error);
    return out;
}

int TreeCopy::Private::readAttributes(int in, const Frame& frame, const Node& child,
                                      StagedAttributes* attributes)
{
    if (const int error = XattrCopy::read(in, &attributes->payload))
        return error;
    if (!child.targetExists || !S_ISREG(child.target.st_mode))
        return 0;
    const UniqueFd installed = openForReading(frame.target.get(), child.name);
    if (!installed.isValid())
        return errno;
    return XattrCopy::read(installed.get(), &attributes->device);
}

// Owner, extended attributes, mode and times of a staged file (current: its
// fstat); 0, or the errno that failed. A replaced file keeps its owner, a
// new one belongs to the owner of its directory: the payload's owner never
// reaches the device. The attributes go on after the owner, whose change
// drops a file capability, and before the mode, which an ACL would change.
// A file staged as a link (the payload's own inode) is changed only where
// it differs.
int TreeCopy::Private::setFileAttributes(int out, const struct stat& current, bool linked, const Frame& frame,
                                         const Node& child, const StagedAttributes& attributes)
{
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    uid_t uid = current.st_uid;
    gid_t gid = current.st_gid;
    bool chowned = false;
    if ((uid != owner || gid != group) && fchown(out, owner, group) == 0) {
        uid = owner;
        gid = group;
        chowned = true;
    }
    const bool payloadThere = linked && !chowned;
    if (const int error = XattrCopy::apply(out, payloadThere ? XattrCopy::Attributes() : attributes.payload,
                                           attributes.device))
        return error;
    const mode_t mode = installedMode(child.source, uid, gid);
    if ((chowned || !linked || (current.st_mode & 07777) != mode) && fchmod(out, mode) != 0)
        return errno;
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    if ((!linked || !sameTime(current.st_mtim, child.source.st_mtim)) && futimens(out, times) != 0)
        return errno;
    return 0;
}

// Stages a payload file as a second name of its inode. False when that is not
// to be (another file system, no hard links here, the file changed, security
// labels or ACLs other than those its installed version must have): the
// file is then copied. True when it is staged, or when a failure was
// reported. Nothing changes the file before the link is made: even its
// change time is what the copy checks.
bool TreeCopy::Private::stageHardLink(Frame& frame, Node& child)
{
    const UniqueFd in = openForReading(frame.source.get(), child.name);
    struct stat before;
    StagedAttributes attributes;
    if (!in.isValid() || fstat(in.get(), &before) != 0 || !unchangedSince(child.source, before)
        || before.st_nlink != 1 || readAttributes(in.get(), frame, child, &attributes) != 0
        || !XattrCopy::sameDeviceAttributes(attributes.payload, attributes.device))
        return false;
    const int sourceFd = frame.source.get();
    const int dirFd = frame.target.get();
    const auto linkAt = [&](const QByteArray& name) {
        return linkat(sourceFd, child.name.constData(), dirFd, name.constData(), 0);
    };
    QByteArray name = child.name;
    int error = 0;
    if (frame.node->newDir)
        error = linkAt(name) == 0 ? 0 : errno;
    else if (!markFolder(frame))
        return true;
    else if ((error = TempName::createUnder(&name, linkAt)) == 0)
        child.temp = name;
    if (error != 0)
        return false;
    // The staged name must lead to the very file the plan saw.
    const QByteArray targetPath = joinPath(frame.targetPath, child.name);
    struct stat st;
    if (fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(targetPath, "cannot write", errno);
        return true;
    }
    if (st.st_dev != before.st_dev || st.st_ino != before.st_ino || st.st_size != child.source.st_size
        || !sameTime(st.st_mtim, child.source.st_mtim)) {
        fail(joinPath(frame.sourcePath, child.name), "cannot copy", sourceChanged);
        return true;
    }
    if ((error = setFileAttributes(in.get(), st, true, frame, child, attributes)) != 0)
        fail(targetPath, "cannot write", error);
    return true;
}

void TreeCopy::Private::stageFile(Frame& frame, Node& child)
{
    if (child.link && stageHardLink(frame, child))
        return;
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
    StagedAttributes attributes;
    struct stat written;
    if (copyData(in.get(), out.get(), inStat.st_size, &buffer, &error)
        && (error = readAttributes(in.get(), frame, child, &attributes)) == 0)
        error = fstat(out.get(), &written) == 0
            ? setFileAttributes(out.get(), written, false, frame, child, attributes)
            : errno;
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
    const int dirFd = frame.target.get();
    QByteArray name = child.name;
    int error = 0;
    if (frame.node->newDir) {
        error = symlinkat(child.linkText.constData(), dirFd, name.constData()) == 0 ? 0 : errno;
    } else if (markFolder(frame)) {
        error = TempName::createUnder(&name, [&](const QByteArray& temp) {
            return symlinkat(child.linkText.constData(), dirFd, temp.constData());
        });
        if (error == 0)
            child.temp = name;
    } else {
        return;
    }
    if (error != 0)
        return fail(targetPath, "cannot create link", error);
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    if (fchownat(dirFd, name.constData(), owner, group, AT_SYMLINK_NOFOLLOW) != 0 && errno != EPERM)
        return fail(targetPath, "cannot create link", errno);
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    if (utimensat(dirFd, name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        fail(targetPath, "cannot set attributes of", errno);
}

// Everything below a new directory is in place: it gets the payload's mode,
// attributes and times, and the owner of the directory it is created in.
void TreeCopy::Private::finishNewDirectory(Frame& frame)
{
    const Node& node = *frame.node;
    struct stat st;
    if (fstat(frame.target.get(), &st) == 0 && (st.st_uid != node.owner || st.st_gid != node.group)
        && fchown(frame.target.get(), node.owner, node.group) != 0 && errno != EPERM)
        return fail(frame.targetPath, "cannot set attributes of", errno);
    int error = frame.source.isValid() ? XattrCopy::copy(frame.source.get(), frame.target.get(), -1) : 0;
    const struct timespec times[2] = {node.source.st_atim, node.source.st_mtim};
    if (error == 0
        && (fchmod(frame.target.get(), node.source.st_mode & 07777) != 0
            || futimens(frame.target.get(), times) != 0))
        error = errno;
    if (error != 0)
        fail(frame.targetPath, "cannot set attributes of", error);
}

bool TreeCopy::Private::stage()
{
    for (Tree& tree : trees) {
        if (!ok)
            break;
        if (tree.root.newDir) {
            // The temporary records the parent's time, which the sweep gives back.
            struct stat parent;
            const int parentFd = tree.targetParent.get();
            int error = fstat(parentFd, &parent) == 0 ? 0 : errno;
            if (error == 0)
                error = TempName::createUnder(
                    &tree.root.temp,
                    [parentFd](const QByteArray& temp) {
                        return mkdirat(parentFd, temp.constData(), S_IRWXU);
                    },
                    &parent.st_mtim);
            if (error != 0) {
                fail(tree.target, "cannot create directory", error);
                break;
            }
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

// renameat2 with RENAME_NOREPLACE, or, where the file system has no such
// flag, a rename after a look that nothing has the name.
int renameNoReplace(int dirFd, const QByteArray& from, const QByteArray& to)
{
    if (renameat2(dirFd, from.constData(), dirFd, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat st;
    if (fstatat(dirFd, to.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return renameat(dirFd, from.constData(), dirFd, to.constData()) == 0 ? 0 : errno;
}

bool isPlanned(int dirFd, const QByteArray& name, const struct stat& planned)
{
    struct stat st;
    return fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && (st.st_mode & S_IFMT) == (planned.st_mode & S_IFMT) && st.st_dev == planned.st_dev
        && st.st_ino == planned.st_ino;
}

// Right before the first swap, with the staged data synced: every entry the
// commit will rename over or change is still the one the plan saw and can be
// changed, and every new name is still free. Anything else is a conflict
// that the roll-back handles like one found by the plan.
bool TreeCopy::Private::enterForChecking(Frame& frame)
{
    const Node& node = *frame.node;
    int error = 0;
    if (!FsAttributes::look(frame.target.get(), "", &frame.folder, &error)) {
        fail(frame.targetPath, "cannot read", error);
        return false;
    }
    if (frame.folder.device != node.target.st_dev || frame.folder.inode != node.target.st_ino)
        fail(frame.targetPath, "cannot copy into", "the directory changed meanwhile");
    else if (node.getsNames && frame.folder.immutable)
        fail(frame.targetPath, "cannot write into", "immutable or append-only");
    return true;
}

void TreeCopy::Private::checkEntry(Frame& frame, Node& child)
{
    if (child.temp.isEmpty() && !child.fixMode && !child.fixTimes)
        return;
    const QByteArray path = joinPath(frame.targetPath, child.name);
    if (child.targetExists) {
        if (const char* why = whyNotReplaceable(frame.target.get(), child.name, child.target, frame.folder))
            fail(path, "cannot replace", why);
        return;
    }
    struct stat st;
    if (fstatat(frame.target.get(), child.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        fail(path, "cannot create", appearedMeanwhile);
    else if (errno != ENOENT)
        fail(path, "cannot create", errno);
}

bool TreeCopy::Private::checkTargets()
{
    for (Tree& tree : trees) {
        if (tree.root.newDir) {
            struct stat st;
            if (fstatat(tree.targetParent.get(), tree.rootName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                fail(tree.target, "cannot create", appearedMeanwhile);
            continue;
        }
        const auto check = [&](Frame& frame, Node& child) { checkEntry(frame, child); };
        walkExisting(
            tree, [&](Frame& frame) { return enterForChecking(frame); }, check, check, [](Frame&) {});
    }
    return ok;
}

// Puts one staged entry in place. Only names change, and every step can be
// undone until the last one has succeeded: a swapped file keeps its old
// version under the temporary name, a new name can go back to it.
void TreeCopy::Private::commitEntry(Frame& frame, Node& child)
{
    if (!ok || child.temp.isEmpty())
        return;
    if (child.targetExists && child.kind != Kind::Directory)
        return swapEntry(frame, child);
    const int error = renameNoReplace(frame.target.get(), child.temp, child.name);
    if (error != 0)
        return fail(joinPath(frame.targetPath, child.name),
                    error == EEXIST ? "cannot create" : "cannot replace",
                    error == EEXIST ? appearedMeanwhile : strerror(error));
    child.commit = Commit::Renamed;
}

// Swapping keeps the old file alive under the temporary name, so that freeing
// its blocks waits until every new file is in place: the window in which a
// power cut leaves old and new side by side stays as short as the swaps.
void TreeCopy::Private::swapEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    const QByteArray path = joinPath(frame.targetPath, child.name);
    if (renameat2(dirFd, child.temp.constData(), dirFd, child.name.constData(), RENAME_EXCHANGE) != 0) {
        if (errno == EINVAL || errno == ENOSYS)
            return moveAsideEntry(frame, child);
        return fail(path, "cannot replace", errno);
    }
    child.commit = Commit::Swapped;
    // What went out must be the file the plan saw; anything else goes back.
    if (isPlanned(dirFd, child.temp, child.target))
        return;
    if (renameat2(dirFd, child.temp.constData(), dirFd, child.name.constData(), RENAME_EXCHANGE) == 0)
        child.commit = Commit::None;
    fail(path, "cannot replace", changedMeanwhile);
}

// Without swaps (some file systems have none) the old version first moves to
// a temporary name of its own, then the new one takes its place. A power cut
// between the two leaves the name missing, with both versions beside it; the
// payload is still there and the next run installs it.
void TreeCopy::Private::moveAsideEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    const QByteArray path = joinPath(frame.targetPath, child.name);
    QByteArray aside;
    int error = TempName::createUnder(&aside, [&](const QByteArray& temp) {
        const int result = renameNoReplace(dirFd, child.name, temp);
        errno = result;
        return result == 0 ? 0 : -1;
    });
    if (error != 0)
        return fail(path, "cannot replace", error);
    if (!isPlanned(dirFd, aside, child.target)) {
        renameNoReplace(dirFd, aside, child.name);
        return fail(path, "cannot replace", changedMeanwhile);
    }
    error = renameNoReplace(dirFd, child.temp, child.name);
    if (error != 0) {
        renameNoReplace(dirFd, aside, child.name);
        return fail(path, "cannot replace", error);
    }
    child.aside = aside;
    child.commit = Commit::MovedAside;
}

// Files whose bytes did not change get the payload's mode and times; the
// plan's look at them is what the undo gives back.
void TreeCopy::Private::setMetadata(Frame& frame, Node& child)
{
    if (!ok || (!child.fixMode && !child.fixTimes))
        return;
    const int dirFd = frame.target.get();
    child.metadataSet = true;
    int error = 0;
    if (child.fixMode
        && fchmodat(dirFd, child.name.constData(),
                    installedMode(child.source, child.target.st_uid, child.target.st_gid), 0)
            != 0)
        error = errno;
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    if (error == 0 && child.fixTimes
        && utimensat(dirFd, child.name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        error = errno;
    if (error != 0)
        fail(joinPath(frame.targetPath, child.name), "cannot set attributes of", error);
}

// Takes one committed step back; the staged entry is then at its temporary
// name again, for the roll-back to remove.
void TreeCopy::Private::undoEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    int error = 0;
    switch (child.commit) {
    case Commit::None:
        break;
    case Commit::Swapped:
        if (renameat2(dirFd, child.temp.constData(), dirFd, child.name.constData(), RENAME_EXCHANGE) != 0)
            error = errno;
        break;
    case Commit::Renamed:
        error = renameNoReplace(dirFd, child.name, child.temp);
        break;
    case Commit::MovedAside:
        error = renameNoReplace(dirFd, child.name, child.temp);
        if (error == 0)
            error = renameNoReplace(dirFd, child.aside, child.name);
        break;
    }
    if (error == 0 && child.metadataSet && child.kind == Kind::File
        && fchmodat(dirFd, child.name.constData(), child.target.st_mode & 07777, 0) != 0)
        error = errno;
    const struct timespec times[2] = {child.target.st_atim, child.target.st_mtim};
    if (error == 0 && child.metadataSet
        && utimensat(dirFd, child.name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        error = errno;
    if (error != 0) {
        qDebug() << "CopyRecursivelyOverwrite: cannot undo"
                 << displayName(joinPath(frame.targetPath, child.name)) << "-" << strerror(error);
        return;
    }
    child.commit = Commit::None;
    child.metadataSet = false;
}

// The commit has succeeded: the old versions go. Only the very file that was
// replaced is removed; whatever else came to stand at its temporary name is
// left and named.
void TreeCopy::Private::finishEntry(Frame& frame, Node& child)
{
    const QByteArray& old = child.commit == Commit::MovedAside ? child.aside : child.temp;
    if (child.commit == Commit::Swapped || child.commit == Commit::MovedAside) {
        const QByteArray path = joinPath(frame.targetPath, old);
        if (!isPlanned(frame.target.get(), old, child.target))
            qDebug() << "CopyRecursivelyOverwrite: left" << displayName(path) << "-" << changedMeanwhile;
        else if (unlinkat(frame.target.get(), old.constData(), 0) != 0 && errno != ENOENT)
            qDebug() << "CopyRecursivelyOverwrite: cannot remove" << displayName(path) << "-"
                     << strerror(errno);
    }
    child.commit = Commit::None;
    child.temp.clear();
    child.aside.clear();
}

void TreeCopy::Private::rollBackEntry(Frame& frame, Node& child)
{
    // A step that could not be undone holds an old version at temp: it stays.
    if (child.temp.isEmpty() || child.commit != Commit::None)
        return;
    const QByteArray path = joinPath(frame.targetPath, child.temp);
    if (child.kind == Kind::Directory)
        removeTreeAt(frame.target.get(), child.temp, path);
    else if (unlinkat(frame.target.get(), child.temp.constData(), 0) != 0 && errno != ENOENT)
        qDebug() << "CopyRecursivelyOverwrite: cannot remove" << displayName(path) << "-" << strerror(errno);
    child.temp.clear();
}

// A directory that was there before keeps its times, whatever the copy added
// to it; its marker goes last, just before.
void TreeCopy::Private::restoreDirectory(Frame& frame)
{
    Node& node = *frame.node;
    if (node.newDir || !node.touched || !frame.target.isValid())
        return;
    // Logged, not failed: after a commit the update has landed all the same.
    if (!node.marker.isEmpty() && unlinkat(frame.target.get(), node.marker.constData(), 0) != 0
        && errno != ENOENT)
        qDebug() << "CopyRecursivelyOverwrite: cannot remove"
                 << displayName(joinPath(frame.targetPath, node.marker)) << "-" << strerror(errno);
    node.marker.clear();
    const struct timespec times[2] = {node.target.st_atim, node.target.st_mtim};
    if (futimens(frame.target.get(), times) != 0)
        qDebug() << "CopyRecursivelyOverwrite: cannot set attributes of" << displayName(frame.targetPath)
                 << "-" << strerror(errno);
    node.touched = false;
}

// Walks the directories of a target tree that existed before the copy. A new
// directory is handed to newDir as an entry of its parent and not entered:
// it is staged, renamed or removed whole.
template <typename Enter, typename NewDir, typename Entry, typename Leave>
void TreeCopy::Private::walkExisting(Tree& tree, Enter enter, NewDir newDir, Entry entry, Leave leave)
{
    walk(
        tree, false,
        [&](Frame* parent, Frame& frame) {
            if (parent && frame.node->newDir) {
                newDir(*parent, *frame.node);
                return false;
            }
            if (parent)
                frame.target = openTargetDirectory(parent->target.get(), *frame.node);
            if (!frame.target.isValid()) {
                fail(frame.targetPath, "cannot open", errno);
                return false;
            }
            return enter(frame);
        },
        entry, leave);
}

bool TreeCopy::Private::commit()
{
    const auto commitOne = [&](Frame& frame, Node& child) { commitEntry(frame, child); };
    for (Tree& tree : trees) {
        if (!ok)
            break;
        // A new root holds its entries under their own names already.
        if (tree.root.newDir) {
            const int error = renameNoReplace(tree.targetParent.get(), tree.root.temp, tree.rootName);
            if (error != 0)
                fail(tree.target, error == EEXIST ? "cannot create" : "cannot replace",
                     error == EEXIST ? appearedMeanwhile : strerror(error));
            else
                tree.root.commit = Commit::Renamed;
            continue;
        }
        walkExisting(tree, commitOne, commitOne, [](Frame&) {});
    }
    const auto setOne = [&](Frame& frame, Node& child) { setMetadata(frame, child); };
    for (Tree& tree : trees) {
        if (ok && !tree.root.newDir)
            walkExisting(
                tree, [](Frame&, Node&) {}, setOne, [](Frame&) {});
    }
    return ok;
}

// A step of the commit failed: every step already made is taken back, so
// that the roll-back leaves both trees exactly as they were.
void TreeCopy::Private::undo()
{
    const auto undoOne = [&](Frame& frame, Node& child) { undoEntry(frame, child); };
    for (Tree& tree : trees) {
        if (tree.root.newDir) {
            if (tree.root.commit == Commit::Renamed) {
                const int error = renameNoReplace(tree.targetParent.get(), tree.rootName, tree.root.temp);
                if (error == 0)
                    tree.root.commit = Commit::None;
                else
                    qDebug() << "CopyRecursivelyOverwrite: cannot undo" << displayName(tree.target) << "-"
                             << strerror(error);
            }
            continue;
        }
        walkExisting(tree, undoOne, undoOne, [](Frame&) {});
    }
}

// Every new file is in place: now the old ones go, and the directories that
// existed get their times back.
void TreeCopy::Private::finish()
{
    for (Tree& tree : trees) {
        tree.root.temp.clear();
        if (tree.root.newDir)
            continue;
        walkExisting(
            tree, [](Frame&, Node& child) { child.temp.clear(); },
            [&](Frame& frame, Node& child) { finishEntry(frame, child); },
            [&](Frame& frame) { restoreDirectory(frame); });
    }
}

void TreeCopy::Private::rollBack()
{
    const auto removeStaged = [&](Frame& frame, Node& child) { rollBackEntry(frame, child); };
    for (Tree& tree : trees) {
        if (tree.root.newDir) {
            if (!tree.root.temp.isEmpty() && tree.root.commit == Commit::None)
                removeTreeAt(tree.targetParent.get(), tree.root.temp, tree.target);
            tree.root.temp.clear();
            continue;
        }
        walkExisting(tree, removeStaged, removeStaged, [&](Frame& frame) { restoreDirectory(frame); });
    }
}

void TreeCopy::expectChecked(const PayloadCheck* check)
{
    d->check = check;
}

TreeCopy::TreeCopy()
    : d(new Private)
{
}

TreeCopy::~TreeCopy() = default;

void TreeCopy::addTree(const QString& source, const QString& target, bool consumed)
{
    Tree tree;
    tree.consumed = consumed;
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
    if (!d->stage() || d->stopped() || !d->syncFileSystems() || !d->checkTargets()) {
        d->rollBack();
        return false;
    }
    // From here on only names change: the new data is on the medium.
    if (!d->commit()) {
        d->undo();
        d->rollBack();
        d->syncFileSystems();
        return false;
    }
    d->finish();
    d->syncFileSystems();
    return d->ok;
}
