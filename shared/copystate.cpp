#include "copystate.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using DirWalk::joinPath;

const char changedMeanwhile[] = "it changed after the plan";
const char appearedMeanwhile[] = "an entry of that name appeared after the plan";

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchangedSince(const struct stat& before, const struct stat& now)
{
    return before.st_ino == now.st_ino && before.st_size == now.st_size
        && sameTime(before.st_mtim, now.st_mtim) && sameTime(before.st_ctim, now.st_ctim);
}

mode_t installedMode(const struct stat& source, uid_t owner, gid_t group)
{
    mode_t mode = source.st_mode & 07777;
    if (owner != source.st_uid)
        mode &= ~mode_t(S_ISUID);
    if (group != source.st_gid)
        mode &= ~mode_t(S_ISGID);
    return mode;
}

namespace {

bool sameEntry(const FsAttributes::Entry& entry, const struct stat& planned)
{
    return entry.type == (planned.st_mode & S_IFMT) && entry.device == planned.st_dev
        && entry.inode == planned.st_ino;
}

}  // namespace

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

UniqueFd openTargetDirectory(int parentFd, const Node& node)
{
    if (node.plan != Plan::ThroughLink)
        return DirWalk::openFolder(parentFd, node.name);
    return DirWalk::openFolderThroughLink(parentFd, node.name, node.target);
}

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

QByteArray parentPath(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

bool isSameOrBelow(const QByteArray& path, const QByteArray& base)
{
    if (path == base)
        return true;
    const QByteArray prefix = base.endsWith('/') ? base : base + '/';
    return path.startsWith(prefix);
}

// Opens the roots of one tree. A missing target root is planned as new, on
// its parent's file system; staging creates it under a temporary name.
bool CopyState::openRoots(Tree& tree, Frame* frame, bool withSource)
{
    frame->node = &tree.root;
    frame->sourcePath = tree.source;
    frame->targetPath = tree.target;
    frame->consumed = tree.consumed;
    // The payload folder itself must be a real directory, not a link.
    if (withSource
        && (!(frame->source = DirWalk::openFolder(AT_FDCWD, tree.source)).isValid()
            || fstat(frame->source.get(), &tree.root.source) != 0)) {
        failures.failNamed(tree.source, "no source directory", errno);
        return false;
    }
    struct stat st;
    if (tree.root.isNewFolder()) {
        if (!tree.root.temp.isEmpty())
            frame->target = DirWalk::openFolder(tree.targetParent.get(), tree.root.temp);
        if (fstat(tree.targetParent.get(), &st) != 0) {
            failures.fail(tree.target, "cannot open", errno);
            return false;
        }
        frame->device = st.st_dev;
        return true;
    }
    // The device's own roots may be links or mount points; below them
    // nothing is followed.
    frame->target = DirWalk::openRoot(tree.target);
    if (frame->target.isValid() ? fstat(frame->target.get(), &st) == 0 : false) {
        frame->device = st.st_dev;
        return true;
    }
    if (errno != ENOENT || tree.root.targetExists) {
        failures.fail(tree.target, "cannot open", errno);
        return false;
    }
    const int slash = tree.target.lastIndexOf('/');
    tree.rootName = tree.target.mid(slash + 1);
    tree.targetParent = DirWalk::openRoot(parentPath(tree.target));
    if (!tree.targetParent.isValid() || fstat(tree.targetParent.get(), &st) != 0) {
        failures.fail(tree.target, "cannot create directory", errno);
        return false;
    }
    tree.root.plan = Plan::NewFolder;
    tree.root.owner = st.st_uid;
    tree.root.group = st.st_gid;
    frame->device = st.st_dev;
    return true;
}

// The frame of the directory child of top; its source is opened when the
// walk reads the payload.
bool CopyState::enterChild(Frame& top, Node& child, bool withSource, Frame* frame)
{
    frame->node = &child;
    frame->sourcePath = joinPath(top.sourcePath, child.name);
    frame->targetPath = joinPath(top.targetPath, child.name);
    frame->device = top.device;
    frame->consumed = top.consumed;
    if (!withSource)
        return true;
    frame->source = DirWalk::openFolder(top.source.get(), child.name);
    if (frame->source.isValid())
        return true;
    failures.fail(frame->sourcePath, "cannot read directory", errno);
    return false;
}

bool CopyState::removeTreeAt(int parent, const QByteArray& name, const QByteArray& path, bool fails)
{
    return DirWalk::removeAt(parent, name, path, [this, fails](const QByteArray& entry, int error, bool) {
        if (fails)
            failures.fail(entry, "cannot remove", error);
        else
            failures.note(entry, "cannot remove", error);
    });
}

bool CopyState::syncFileSystems()
{
    bool synced = true;
    for (auto& entry : fileSystems) {
        const FileSystem& fs = entry.second;
        const int error = !fs.fd.isValid() ? EBADF : syncfs(fs.fd.get()) == 0 ? 0 : errno;
        if (error == 0)
            continue;
        synced = false;
        const QString targets = fs.targets.join(QStringLiteral(", "));
        failures.failLine(QFile::encodeName(targets), "sync failed", error,
                          QStringLiteral("CopyRecursivelyOverwrite: sync failed %1 - %2")
                              .arg(targets, QString::fromLocal8Bit(strerror(error))));
    }
    return synced;
}
