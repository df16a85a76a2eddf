#include "dirwalk.h"

#include "devicepath.h"
#include "fsattributes.h"
#include "uniquefd.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace DirWalk {

namespace {

const int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

QByteArray cleanAbsolute(const QByteArray& path)
{
    return QFile::encodeName(QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(path))));
}

// The fixed root that path lies below (not at), or empty.
QByteArray fixedRootOf(const QByteArray& path)
{
    for (const char* root : {"/FlashDisk", "/USB HD"}) {
        const QByteArray mapped = cleanAbsolute(QFile::encodeName(DevicePath::map(root)));
        if (path.startsWith(mapped + '/'))
            return mapped;
    }
    return QByteArray();
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the walk started: with oneFileSystem it stays there.
struct Origin
{
    dev_t device = 0;
    std::uint64_t mount = 0;
};

struct Frame
{
    struct stat st;
    QByteArray name;
    QByteArray path;
    std::vector<QByteArray> subdirectories;
    size_t next = 0;
};

// Hands the folder's entries to the visitor in the folder's order and keeps
// the sub-directories to walk into.
void list(int fd, Frame* frame, const Visitor& visitor, const Origin& origin)
{
    std::vector<Entry> entries;
    int error = 0;
    if (!readDirectory(fd, &entries, &error) && visitor.failure)
        visitor.failure(frame->path, error);
    if (visitor.folder)
        visitor.folder(fd, frame->path, entries);
    for (const Entry& entry : entries) {
        const QByteArray path = joinPath(frame->path, entry.name);
        if (entry.error != 0) {
            if (visitor.failure)
                visitor.failure(path, entry.error);
        } else if (S_ISDIR(entry.st.st_mode)) {
            if (visitor.oneFileSystem && entry.st.st_dev != origin.device)
                continue;
            if (!visitor.enter || visitor.enter(entry.name.constData(), path))
                frame->subdirectories.push_back(entry.name);
        } else if (visitor.entry) {
            visitor.entry(fd, entry.name.constData(), entry.st, path);
        }
    }
}

// Listing a folder must not turn into a write of its inode on the flash:
// O_NOATIME where we may (owner or root).
UniqueFd openWithoutAtime(int fd, const char* name, int flags)
{
    UniqueFd child(::openat(fd, name, flags | O_NOATIME));
    if (child.isValid() || errno != EPERM)
        return child;
    return UniqueFd(::openat(fd, name, flags));
}

UniqueFd openChild(int fd, const char* name)
{
    return openWithoutAtime(fd, name, directoryFlags | O_NOFOLLOW | O_NONBLOCK);
}

// Opens the sub-directory name of fd without following a link. With
// makeWritable (a removal, which needs them anyway), a folder without owner
// permissions is opened after giving them, and one that can be read but not
// changed gets them too. Permissions are only ever changed through a descriptor of the
// folder itself, never by a name that could have become a link.
UniqueFd openSubdirectory(int fd, const char* name, bool makeWritable)
{
    UniqueFd child = openChild(fd, name);
    if (child.isValid()) {
        struct stat st;
        // Best effort: whatever stays unwritable fails the removal, which reports it.
        if (makeWritable && ::fstat(child.get(), &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
            (void)::fchmod(child.get(), (st.st_mode & 07777) | S_IRWXU);
        return child;
    }
    if (errno != EACCES || !makeWritable)
        return child;
    struct stat before;
    if (::fstatat(fd, name, &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(before.st_mode))
        return UniqueFd();
    const UniqueFd path(::openat(fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!path.isValid())
        return UniqueFd();
    const QByteArray viaDescriptor = "/proc/self/fd/" + QByteArray::number(path.get());
    // Should it fail, the open below fails with EACCES and says so.
    (void)::chmod(viaDescriptor.constData(), (before.st_mode & 07777) | S_IRWXU);
    child = openChild(fd, name);
    struct stat after;
    if (child.isValid() && (::fstat(child.get(), &after) != 0 || !sameFile(before, after))) {
        errno = EAGAIN;
        return UniqueFd();
    }
    return child;
}

// Opens the next sub-directory of the top frame and pushes its frame; *fd
// becomes the sub-directory's descriptor. False when it was not walked into.
bool descend(std::vector<Frame>* stack, UniqueFd* fd, const Visitor& visitor, const Origin& origin)
{
    Frame& top = stack->back();
    const QByteArray name = top.subdirectories[top.next++];
    const QByteArray childPath = joinPath(top.path, name);
    UniqueFd child = openSubdirectory(fd->get(), name.constData(), visitor.makeWritable);
    if (!child.isValid()) {
        // ELOOP or ENOTDIR: swapped for something else since it was
        // listed; it is not walked into either way.
        const int error = errno;
        if (error != ENOENT && visitor.failure)
            visitor.failure(childPath, error);
        return false;
    }
    Frame frame;
    frame.name = name;
    frame.path = childPath;
    if (::fstat(child.get(), &frame.st) != 0) {
        const int error = errno;
        if (visitor.failure)
            visitor.failure(childPath, error);
        return false;
    }
    // A bind mount of a folder of the same file system shows only here.
    if (visitor.oneFileSystem
        && (frame.st.st_dev != origin.device
            || (origin.mount != 0 && FsAttributes::mountId(child.get()) != origin.mount)))
        return false;
    *fd = std::move(child);
    stack->push_back(std::move(frame));
    list(fd->get(), &stack->back(), visitor, origin);
    return true;
}

// Climbs from the top frame back to its parent through "..", which must be
// the folder we came down from: anything else means the tree was moved while
// we walked it. False then, with *fd closed.
bool ascend(std::vector<Frame>* stack, UniqueFd* fd, const Visitor& visitor)
{
    UniqueFd parent(::openat(fd->get(), "..", directoryFlags));
    const int openError = errno;
    struct stat parentStat;
    if (!parent.isValid() || ::fstat(parent.get(), &parentStat) != 0
        || !sameFile(parentStat, (*stack)[stack->size() - 2].st)) {
        if (visitor.failure)
            visitor.failure(stack->back().path, parent.isValid() ? ESTALE : openError);
        fd->reset();
        return false;
    }
    *fd = std::move(parent);
    const Frame done = std::move(stack->back());
    stack->pop_back();
    if (visitor.leave)
        visitor.leave(fd->get(), done.name.constData(), done.path);
    return true;
}

// Whether name in the folder open as parentFd is where another file system
// or mount begins; what cannot be looked at counts as one, so that it is
// left alone.
bool isMountedAt(int parentFd, const char* name)
{
    FsAttributes::Entry parent;
    FsAttributes::Entry entry;
    int error = 0;
    if (!FsAttributes::look(parentFd, "", &parent, &error)
        || !FsAttributes::look(parentFd, name, &entry, &error))
        return true;
    return FsAttributes::crossesMount(parent, entry);
}

}  // namespace

UniqueFd openParent(const QByteArray& path, QByteArray* name, int* error)
{
    const QByteArray clean = cleanAbsolute(path);
    const int slash = clean.lastIndexOf('/');
    if (clean == "/" || slash < 0) {
        *error = EINVAL;
        return UniqueFd();
    }
    *name = clean.mid(slash + 1);
    const QByteArray parent = slash == 0 ? QByteArray("/") : clean.left(slash);
    const QByteArray root = fixedRootOf(clean);
    const bool below = !root.isEmpty() && parent != root;
    UniqueFd fd(::open(below ? root.constData() : parent.constData(), directoryFlags));
    if (!fd.isValid()) {
        *error = errno;
        return fd;
    }
    if (!below)
        return fd;
    for (const QByteArray& component : parent.mid(root.size() + 1).split('/')) {
        fd = UniqueFd(::openat(fd.get(), component.constData(), directoryFlags | O_NOFOLLOW));
        if (!fd.isValid()) {
            *error = errno;
            return fd;
        }
    }
    return fd;
}

bool lstatPath(const QByteArray& path, struct stat* st, int* error)
{
    int ignored = 0;
    int* const reason = error ? error : &ignored;
    QByteArray name;
    const UniqueFd parent(openParent(path, &name, reason));
    if (!parent.isValid())
        return false;
    if (::fstatat(parent.get(), name.constData(), st, AT_SYMLINK_NOFOLLOW) != 0) {
        *reason = errno;
        return false;
    }
    return true;
}

UniqueFd openDirectory(const QByteArray& path, int* error)
{
    QByteArray name;
    const UniqueFd parent(openParent(path, &name, error));
    if (!parent.isValid())
        return UniqueFd();
    UniqueFd fd(::openat(parent.get(), name.constData(), directoryFlags | O_NOFOLLOW));
    if (!fd.isValid())
        *error = errno;
    return fd;
}

UniqueFd openRoot(const QByteArray& path)
{
    return UniqueFd(::open(path.constData(), directoryFlags));
}

UniqueFd openFolder(int parentFd, const QByteArray& name)
{
    return openChild(parentFd, name.constData());
}

UniqueFd openFolderThroughLink(int parentFd, const QByteArray& name, const struct stat& expected)
{
    UniqueFd fd(::openat(parentFd, name.constData(), directoryFlags));
    struct stat st;
    if (fd.isValid() && (::fstat(fd.get(), &st) != 0 || !sameFile(st, expected))) {
        errno = ESTALE;
        return UniqueFd();
    }
    return fd;
}

QByteArray joinPath(const QByteArray& dir, const QByteArray& name)
{
    if (dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}

bool readDirectory(int fd, std::vector<Entry>* entries, int* error)
{
    UniqueFd listing(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    // fdopendir takes the descriptor over, closedir closes both.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(listing.isValid() ? ::fdopendir(listing.get()) : nullptr,
                                                  ::closedir);
    if (!dir) {
        *error = errno;
        return false;
    }
    (void)listing.release();  // owned by dir now
    // The copy shares its offset with fd, which may have been read before.
    ::rewinddir(dir.get());
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(dir.get());
        if (!found) {
            if (errno == 0)
                return true;
            *error = errno;
            return false;
        }
        if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0)
            continue;
        Entry entry;
        entry.name = QByteArray(found->d_name);
        if (::fstatat(fd, found->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.error = errno;
            if (entry.error == ENOENT)
                continue;
        }
        entries->push_back(std::move(entry));
    }
}

QByteArray firstLink(const QByteArray& path)
{
    const QByteArray clean = cleanAbsolute(path);
    const QByteArray root = fixedRootOf(clean);
    if (root.isEmpty())
        return QByteArray();
    QByteArray walked = root;
    for (const QByteArray& component : clean.mid(root.size() + 1).split('/')) {
        walked = joinPath(walked, component);
        struct stat st;
        int error = 0;
        if (!lstatPath(walked, &st, &error))
            return error == ELOOP ? walked : QByteArray();
        if (S_ISLNK(st.st_mode))
            return walked;
    }
    return QByteArray();
}

QByteArray firstNotRegular(const QList<QByteArray>& paths)
{
    for (const QByteArray& path : paths) {
        struct stat st;
        int error = 0;
        if (lstatPath(path, &st, &error) ? !S_ISREG(st.st_mode) : error != ENOENT)
            return path;
    }
    return QByteArray();
}

bool walk(UniqueFd fd, const QByteArray& path, const Visitor& visitor)
{
    std::vector<Frame> stack(1);
    stack.back().path = path;
    if (::fstat(fd.get(), &stack.back().st) != 0) {
        const int error = errno;
        if (visitor.failure)
            visitor.failure(path, error);
        return false;
    }
    Origin origin;
    origin.device = stack.back().st.st_dev;
    origin.mount = FsAttributes::mountId(fd.get());
    list(fd.get(), &stack.back(), visitor, origin);
    for (;;) {
        const Frame& top = stack.back();
        if (top.next < top.subdirectories.size())
            descend(&stack, &fd, visitor, origin);
        else if (stack.size() == 1)
            break;
        else if (!ascend(&stack, &fd, visitor))
            return false;
    }
    return true;
}

bool removeAt(int parentFd, const QByteArray& name, const QByteArray& path, const RemovalFailure& failed)
{
    struct stat st;
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        failed(path, errno, true);
        return false;
    }
    bool removed = true;
    if (S_ISDIR(st.st_mode) && !isMountedAt(parentFd, name.constData())) {
        UniqueFd fd = openSubdirectory(parentFd, name.constData(), true);
        if (!fd.isValid()) {
            failed(path, errno, true);
            return false;
        }
        Visitor visitor;
        visitor.makeWritable = true;
        visitor.entry = [&](int dirFd, const char* entry, const struct stat&, const QByteArray& entryPath) {
            if (::unlinkat(dirFd, entry, 0) != 0 && errno != ENOENT) {
                const int error = errno;
                removed = false;
                failed(entryPath, error, false);
            }
        };
        visitor.leave = [&](int dirFd, const char* entry, const QByteArray& entryPath) {
            if (::unlinkat(dirFd, entry, AT_REMOVEDIR) != 0 && errno != ENOENT) {
                const int error = errno;
                removed = false;
                failed(entryPath, error, false);
            }
        };
        visitor.failure = [&](const QByteArray& entryPath, int error) {
            removed = false;
            failed(entryPath, error, true);
        };
        removed &= walk(std::move(fd), path, visitor);
    }
    if (::unlinkat(parentFd, name.constData(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0
        && errno != ENOENT) {
        const int error = errno;
        removed = false;
        failed(path, error, false);
    }
    return removed;
}

}  // namespace DirWalk
