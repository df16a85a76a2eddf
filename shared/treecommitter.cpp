#include "treecommitter.h"

#include "copystate.h"
#include "tempname.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using DirWalk::joinPath;

namespace {

// renameat2 with RENAME_NOREPLACE, or, where the file system has no such
// flag, a rename after a look that nothing has the name.
int renameNoReplace(int dirFd, const QByteArray& from, const QByteArray& to)
{
    if (renameat2(dirFd, from.constData(), dirFd, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS)
        return error;
    struct stat st;
    if (fstatat(dirFd, to.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return renameat(dirFd, from.constData(), dirFd, to.constData()) == 0 ? 0 : errno;
}

int exchange(int dirFd, const QByteArray& a, const QByteArray& b)
{
    return renameat2(dirFd, a.constData(), dirFd, b.constData(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}

bool isPlanned(int dirFd, const QByteArray& name, const struct stat& planned)
{
    struct stat st;
    return fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && (st.st_mode & S_IFMT) == (planned.st_mode & S_IFMT) && st.st_dev == planned.st_dev
        && st.st_ino == planned.st_ino;
}

// A new name that could not be made: taken meanwhile, or another reason.
void failRename(CopyFailures& failures, const QByteArray& path, int error)
{
    if (error == EEXIST)
        failures.fail(path, "cannot create", appearedMeanwhile);
    else
        failures.fail(path, "cannot replace", error);
}

}  // namespace

TreeCommitter::TreeCommitter(CopyState& state)
    : s(state)
{
}

// Right before the first swap, with the staged data synced: every entry the
// commit will rename over or change is still the one the plan saw and can be
// changed, and every new name is still free. Anything else is a conflict
// that the roll-back handles like one found by the plan.
bool TreeCommitter::checkTargets()
{
    for (Tree& tree : s.trees) {
        if (tree.root.isNewFolder()) {
            struct stat st;
            if (fstatat(tree.targetParent.get(), tree.rootName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                s.failures.fail(tree.target, "cannot create", appearedMeanwhile);
            else if (errno != ENOENT)
                s.failures.fail(tree.target, "cannot create", errno);
            continue;
        }
        const auto check = [&](Frame& frame, Node& child) { checkEntry(frame, child); };
        s.walkExisting(
            tree, [&](Frame& frame) { return enterForChecking(frame); }, check, check, [](Frame&) {});
    }
    return s.ok();
}

bool TreeCommitter::enterForChecking(Frame& frame)
{
    const Node& node = *frame.node;
    int error = 0;
    if (!FsAttributes::look(frame.target.get(), "", &frame.folder, &error)) {
        s.failures.fail(frame.targetPath, "cannot read", error);
        return false;
    }
    if (frame.folder.device != node.target.st_dev || frame.folder.inode != node.target.st_ino)
        s.failures.fail(frame.targetPath, "cannot copy into", "the directory changed meanwhile");
    else if (node.getsNames && frame.folder.immutable)
        s.failures.fail(frame.targetPath, "cannot write into", "immutable or append-only");
    return true;
}

void TreeCommitter::checkEntry(Frame& frame, Node& child)
{
    if (child.temp.isEmpty() && child.plan != Plan::SetMetadata)
        return;
    const QByteArray path = joinPath(frame.targetPath, child.name);
    if (child.targetExists) {
        if (const char* why = whyNotReplaceable(frame.target.get(), child.name, child.target, frame.folder))
            s.failures.fail(path, "cannot replace", why);
        return;
    }
    struct stat st;
    if (fstatat(frame.target.get(), child.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        s.failures.fail(path, "cannot create", appearedMeanwhile);
    else if (errno != ENOENT)
        s.failures.fail(path, "cannot create", errno);
}

bool TreeCommitter::commit()
{
    const auto commitOne = [&](Frame& frame, Node& child) { commitEntry(frame, child); };
    for (Tree& tree : s.trees) {
        if (!s.ok())
            break;
        // A new root holds its entries under their own names already.
        if (tree.root.isNewFolder())
            commitNewRoot(tree);
        else
            s.walkExisting(tree, commitOne, commitOne, [](Frame&) {});
    }
    const auto setOne = [&](Frame& frame, Node& child) { setMetadata(frame, child); };
    for (Tree& tree : s.trees) {
        if (s.ok() && !tree.root.isNewFolder())
            s.walkExisting(
                tree, [](Frame&, Node&) {}, setOne, [](Frame&) {});
    }
    return s.ok();
}

void TreeCommitter::commitNewRoot(Tree& tree)
{
    const int error = renameNoReplace(tree.targetParent.get(), tree.root.temp, tree.rootName);
    if (error != 0)
        failRename(s.failures, tree.target, error);
    else
        tree.root.step = Step::Renamed;
}

// Puts one staged entry in place. Only names change, and every step can be
// undone until the last one has succeeded: a swapped file keeps its old
// version under the temporary name, a new name can go back to it.
void TreeCommitter::commitEntry(Frame& frame, Node& child)
{
    if (!s.ok() || child.temp.isEmpty())
        return;
    if (child.targetExists && child.kind != Kind::Directory)
        return swapEntry(frame, child);
    const int error = renameNoReplace(frame.target.get(), child.temp, child.name);
    if (error != 0)
        return failRename(s.failures, joinPath(frame.targetPath, child.name), error);
    child.step = Step::Renamed;
}

// Swapping keeps the old file alive under the temporary name, so that freeing
// its blocks waits until every new file is in place: the window in which a
// power cut leaves old and new side by side stays as short as the swaps.
void TreeCommitter::swapEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    const QByteArray path = joinPath(frame.targetPath, child.name);
    const int error = exchange(dirFd, child.temp, child.name);
    if (error == EINVAL || error == ENOSYS)
        return moveAsideEntry(frame, child);
    if (error != 0)
        return s.failures.fail(path, "cannot replace", error);
    child.step = Step::Swapped;
    // What went out must be the file the plan saw; anything else goes back.
    if (isPlanned(dirFd, child.temp, child.target))
        return;
    if (exchange(dirFd, child.temp, child.name) == 0)
        child.step = Step::None;
    // Otherwise the undo tries the swap back once more, and reports it.
    s.failures.fail(path, "cannot replace", changedMeanwhile);
}

// Without swaps (some file systems have none) the old version first moves to
// a temporary name of its own, then the new one takes its place. A power cut
// between the two leaves the name missing, with both versions beside it; the
// payload is still there and the next run installs it.
void TreeCommitter::moveAsideEntry(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    const QByteArray path = joinPath(frame.targetPath, child.name);
    QByteArray aside;
    int error = TempName::createUnder(&aside, [&](const QByteArray& temp) {
        errno = renameNoReplace(dirFd, child.name, temp);
        return errno == 0 ? 0 : -1;
    });
    if (error != 0)
        return s.failures.fail(path, "cannot replace", error);
    const bool planned = isPlanned(dirFd, aside, child.target);
    error = planned ? renameNoReplace(dirFd, child.temp, child.name) : 0;
    if (planned && error == 0) {
        child.aside = aside;
        child.step = Step::MovedAside;
        return;
    }
    // What was moved aside goes back before the failure is told.
    if (const int putBack = renameNoReplace(dirFd, aside, child.name))
        s.failures.fail(joinPath(frame.targetPath, aside), "cannot undo", putBack);
    if (planned)
        s.failures.fail(path, "cannot replace", error);
    else
        s.failures.fail(path, "cannot replace", changedMeanwhile);
}

// Files whose bytes did not change get the payload's mode and times; the
// plan's look at them is what the undo gives back.
void TreeCommitter::setMetadata(Frame& frame, Node& child)
{
    if (!s.ok() || child.plan != Plan::SetMetadata)
        return;
    const int dirFd = frame.target.get();
    child.step = Step::MetadataSet;
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
        s.failures.fail(joinPath(frame.targetPath, child.name), "cannot set attributes of", error);
}

// A step of the commit failed: every step already made is taken back, so
// that the roll-back leaves both trees exactly as they were.
void TreeCommitter::undo()
{
    const auto undoOne = [&](Frame& frame, Node& child) { undoEntry(frame, child); };
    for (Tree& tree : s.trees) {
        if (!tree.root.isNewFolder()) {
            s.walkExisting(tree, undoOne, undoOne, [](Frame&) {});
        } else if (tree.root.step == Step::Renamed) {
            const int error = renameNoReplace(tree.targetParent.get(), tree.rootName, tree.root.temp);
            if (error == 0)
                tree.root.step = Step::None;
            else
                s.failures.fail(tree.target, "cannot undo", error);
        }
    }
}

// Takes one committed step back; the staged entry is then at its temporary
// name again, for the roll-back to remove.
void TreeCommitter::undoEntry(Frame& frame, Node& child)
{
    if (child.step == Step::None)
        return;
    if (const int error = undoStep(frame.target.get(), child))
        return s.failures.fail(joinPath(frame.targetPath, child.name), "cannot undo", error);
    child.step = Step::None;
}

int TreeCommitter::undoStep(int dirFd, Node& child)
{
    switch (child.step) {
    case Step::None:
        return 0;
    case Step::Swapped:
        return exchange(dirFd, child.temp, child.name);
    case Step::Renamed:
        return renameNoReplace(dirFd, child.name, child.temp);
    case Step::MovedAside:
        if (const int error = renameNoReplace(dirFd, child.name, child.temp))
            return error;
        return renameNoReplace(dirFd, child.aside, child.name);
    case Step::MetadataSet:
        break;
    }
    if (child.kind == Kind::File
        && fchmodat(dirFd, child.name.constData(), child.target.st_mode & 07777, 0) != 0)
        return errno;
    const struct timespec times[2] = {child.target.st_atim, child.target.st_mtim};
    return utimensat(dirFd, child.name.constData(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

void TreeCommitter::finish()
{
    for (Tree& tree : s.trees) {
        tree.root.temp.clear();
        if (tree.root.isNewFolder())
            continue;
        s.walkExisting(
            tree, [](Frame&, Node& child) { child.temp.clear(); },
            [&](Frame& frame, Node& child) { finishEntry(frame, child); },
            [&](Frame& frame) { restoreDirectory(frame); });
    }
}

// The commit has succeeded: the old versions go. Only the very file that was
// replaced is removed; whatever else came to stand at its temporary name is
// left and named. Noted, not failed: the update has landed all the same.
void TreeCommitter::finishEntry(Frame& frame, Node& child)
{
    const QByteArray& old = child.step == Step::MovedAside ? child.aside : child.temp;
    if (child.step == Step::Swapped || child.step == Step::MovedAside) {
        const QByteArray path = joinPath(frame.targetPath, old);
        if (!isPlanned(frame.target.get(), old, child.target))
            s.failures.note(path, "left", changedMeanwhile);
        else if (unlinkat(frame.target.get(), old.constData(), 0) != 0 && errno != ENOENT)
            s.failures.note(path, "cannot remove", errno);
    }
    child.step = Step::None;
    child.temp.clear();
    child.aside.clear();
}

void TreeCommitter::rollBack()
{
    const auto removeStaged = [&](Frame& frame, Node& child) { rollBackEntry(frame, child); };
    for (Tree& tree : s.trees) {
        if (!tree.root.isNewFolder()) {
            s.walkExisting(tree, removeStaged, removeStaged, [&](Frame& frame) { restoreDirectory(frame); });
            continue;
        }
        if (!tree.root.temp.isEmpty() && tree.root.step == Step::None
            && s.removeTreeAt(tree.targetParent.get(), tree.root.temp, tree.target, true)) {
            // The folder the new root was to go into gets its time back too.
            const struct timespec times[2] = {tree.parentBefore.st_atim, tree.parentBefore.st_mtim};
            if (futimens(tree.targetParent.get(), times) != 0)
                s.failures.note(parentPath(tree.target), "cannot set attributes of", errno);
        }
        tree.root.temp.clear();
    }
}

void TreeCommitter::rollBackEntry(Frame& frame, Node& child)
{
    // A step that could not be undone holds an old version at temp: it stays.
    if (child.temp.isEmpty() || child.step != Step::None)
        return;
    const QByteArray path = joinPath(frame.targetPath, child.temp);
    if (child.kind == Kind::Directory)
        s.removeTreeAt(frame.target.get(), child.temp, path, true);
    else if (unlinkat(frame.target.get(), child.temp.constData(), 0) != 0 && errno != ENOENT)
        s.failures.fail(path, "cannot remove", errno);
    child.temp.clear();
}

// A directory that was there before keeps its times, whatever the copy added
// to it; its marker goes last, just before. Noted, not failed: after a
// commit the update has landed all the same, and a roll-back has failed the
// copy already.
void TreeCommitter::restoreDirectory(Frame& frame)
{
    Node& node = *frame.node;
    if (node.isNewFolder() || !node.touched || !frame.target.isValid())
        return;
    if (!node.marker.isEmpty() && unlinkat(frame.target.get(), node.marker.constData(), 0) != 0
        && errno != ENOENT)
        s.failures.note(joinPath(frame.targetPath, node.marker), "cannot remove", errno);
    node.marker.clear();
    const struct timespec times[2] = {node.target.st_atim, node.target.st_mtim};
    if (futimens(frame.target.get(), times) != 0)
        s.failures.note(frame.targetPath, "cannot set attributes of", errno);
    node.touched = false;
}
