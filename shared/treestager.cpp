#include "treestager.h"

#include "contentcopy.h"
#include "copystate.h"
#include "tempname.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

using DirWalk::joinPath;

namespace {

// A failure that the step which met it has recorded already.
const int alreadyRecorded = -3;

const QByteArray& stagedName(const Node& child)
{
    return child.temp.isEmpty() ? child.name : child.temp;
}

}  // namespace

TreeStager::TreeStager(CopyState& state)
    : s(state)
{
}

bool TreeStager::stage()
{
    for (Tree& tree : s.trees) {
        if (!s.ok() || (tree.root.isNewFolder() && !makeNewRoot(tree)))
            break;
        s.walk(
            tree, true,
            [&](Frame* parent, Frame& frame) { return s.ok() && !s.stopped() && enter(parent, frame); },
            [&](Frame& frame, Node& child) {
                if (!s.ok() || s.stopped() || !child.staged())
                    return;
                if (child.kind == Kind::File)
                    stageFile(frame, child);
                else
                    stageLink(frame, child);
            },
            [&](Frame& frame) {
                if (s.ok() && frame.node->isNewFolder())
                    finishNewDirectory(frame);
            });
    }
    return s.ok();
}

// A new target root is made whole under a temporary name, which records the
// parent's time for the sweep to give back.
bool TreeStager::makeNewRoot(Tree& tree)
{
    const int parentFd = tree.targetParent.get();
    int error = fstat(parentFd, &tree.parentBefore) == 0 ? 0 : errno;
    if (error == 0)
        error = TempName::createUnder(
            &tree.root.temp,
            [parentFd](const QByteArray& temp) { return mkdirat(parentFd, temp.constData(), S_IRWXU); },
            &tree.parentBefore.st_mtim);
    if (error != 0)
        s.failures.fail(tree.target, "cannot create directory", error);
    return error == 0;
}

// Opens (or creates) the target of a directory while staging. A new
// directory below an existing one is made under a temporary name, so that
// the whole new subtree appears with one rename.
bool TreeStager::enter(Frame* parent, Frame& frame)
{
    Node& node = *frame.node;
    if (!node.isNewFolder())
        return enterExisting(parent, frame);
    if (!parent)
        return frame.target.isValid();  // a new root, made by makeNewRoot()
    const int dirFd = parent->target.get();
    const int error = place(
        *parent, node, [dirFd](const QByteArray& name) { return mkdirat(dirFd, name.constData(), S_IRWXU); });
    if (error == alreadyRecorded)
        return false;
    if (error != 0) {
        s.failures.fail(frame.targetPath, "cannot create directory", error);
        return false;
    }
    frame.target = DirWalk::openFolder(dirFd, stagedName(node));
    if (!frame.target.isValid()) {
        s.failures.fail(frame.targetPath, "cannot open", errno);
        return false;
    }
    return true;
}

bool TreeStager::enterExisting(Frame* parent, Frame& frame)
{
    const Node& node = *frame.node;
    if (parent)
        frame.target = openTargetDirectory(parent->target.get(), node);
    struct stat st;
    if (!frame.target.isValid() || fstat(frame.target.get(), &st) != 0) {
        s.failures.fail(frame.targetPath, "cannot open", errno);
        return false;
    }
    if (st.st_ino != node.target.st_ino || st.st_dev != node.target.st_dev) {
        s.failures.fail(frame.targetPath, "cannot copy into", "the directory changed meanwhile");
        return false;
    }
    return true;
}

// Before the first new name goes into an existing folder, a marker that
// records the folder's time: a run killed from here on leaves it, and the
// next run's sweep gives the folder its time back.
bool TreeStager::markFolder(Frame& frame)
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
        s.failures.fail(frame.targetPath, "cannot write into", error);
        return false;
    }
    node.marker = name;
    return true;
}

// Makes the staged entry of child with create(name), which returns 0 or -1
// with errno set: in a new directory (itself still hidden under a temporary
// name) under its own name at once, else beside its target under a fresh
// temporary name. 0, the errno value, or alreadyRecorded (the folder could not be marked).
template <typename Create>
int TreeStager::place(Frame& folder, Node& child, Create create)
{
    if (folder.node->isNewFolder())
        return create(child.name) == 0 ? 0 : errno;
    if (!markFolder(folder))
        return alreadyRecorded;
    QByteArray name;
    const int error = TempName::createUnder(&name, create);
    if (error == 0)
        child.temp = name;
    return error;
}

// Creates the file a new version is written to.
UniqueFd TreeStager::createStaged(Frame& frame, Node& child)
{
    const int dirFd = frame.target.get();
    UniqueFd out;
    const int error = place(frame, child, [&](const QByteArray& name) {
        out = UniqueFd(openat(dirFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              S_IRUSR | S_IWUSR));
        return out.isValid() ? 0 : -1;
    });
    if (error != 0 && error != alreadyRecorded)
        s.failures.fail(joinPath(frame.targetPath, child.name), "cannot create", error);
    return out;
}

int TreeStager::readAttributes(int in, const Frame& frame, const Node& child, Attributes* attributes)
{
    if (const int error = XattrCopy::read(in, &attributes->payload))
        return error;
    if (!child.targetExists || !S_ISREG(child.target.st_mode))
        return 0;
    const UniqueFd installed = ContentCopy::openForReading(frame.target.get(), child.name);
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
int TreeStager::setFileAttributes(int out, const struct stat& current, bool linked, const Frame& frame,
                                  const Node& child, const Attributes& attributes)
{
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    uid_t uid = current.st_uid;
    gid_t gid = current.st_gid;
    bool chowned = false;
    // Without the right to give files away the copy's own owner stays, as
    // for any file an unprivileged user copies; the mode drops set-id bits.
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
// recorded. Nothing changes the file before the link is made: even its
// change time is what the copy checks.
bool TreeStager::stageHardLink(Frame& frame, Node& child)
{
    const UniqueFd in = ContentCopy::openForReading(frame.source.get(), child.name);
    struct stat before;
    Attributes attributes;
    if (!in.isValid() || fstat(in.get(), &before) != 0 || !unchangedSince(child.source, before)
        || before.st_nlink != 1 || readAttributes(in.get(), frame, child, &attributes) != 0
        || !XattrCopy::sameDeviceAttributes(attributes.payload, attributes.device))
        return false;
    const int sourceFd = frame.source.get();
    const int dirFd = frame.target.get();
    int error = place(frame, child, [&](const QByteArray& name) {
        return linkat(sourceFd, child.name.constData(), dirFd, name.constData(), 0);
    });
    if (error == alreadyRecorded)
        return true;
    if (error != 0)
        return false;
    // The staged name must lead to the very file the plan saw.
    const QByteArray targetPath = joinPath(frame.targetPath, child.name);
    struct stat st;
    if (fstatat(dirFd, stagedName(child).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        s.failures.fail(targetPath, "cannot write", errno);
        return true;
    }
    if (st.st_dev != before.st_dev || st.st_ino != before.st_ino || st.st_size != child.source.st_size
        || !sameTime(st.st_mtim, child.source.st_mtim)) {
        s.failures.fail(joinPath(frame.sourcePath, child.name), "cannot copy", CopyFailure::SourceChanged);
        return true;
    }
    if ((error = setFileAttributes(in.get(), st, true, frame, child, attributes)) != 0)
        s.failures.fail(targetPath, "cannot write", error);
    return true;
}

void TreeStager::stageFile(Frame& frame, Node& child)
{
    if (child.plan == Plan::LinkPayload && stageHardLink(frame, child))
        return;
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    const UniqueFd in = ContentCopy::openForReading(frame.source.get(), child.name);
    if (!in.isValid())
        return s.failures.fail(sourcePath, "cannot open", errno);
    struct stat inStat;
    if (fstat(in.get(), &inStat) != 0 || !S_ISREG(inStat.st_mode))
        return s.failures.fail(sourcePath, "skipped", "not a regular file");
    if (!unchangedSince(child.source, inStat))
        return s.failures.fail(sourcePath, "cannot copy", CopyFailure::SourceChanged);
    // Only a hint for the read-ahead.
    (void)posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const int error = copyFile(in.get(), inStat, frame, child);
    if (error == CopyFailure::SourceChanged)
        s.failures.fail(sourcePath, "cannot copy", error);
    else if (error != 0 && error != alreadyRecorded)
        s.failures.fail(joinPath(frame.targetPath, child.name), "cannot write", error);
}

// Writes the staged copy of the open payload file in: 0, or what failed.
int TreeStager::copyFile(int in, const struct stat& inStat, Frame& frame, Node& child)
{
    UniqueFd out = createStaged(frame, child);
    if (!out.isValid())
        return alreadyRecorded;  // recorded by createStaged
    int error = 0;
    Attributes attributes;
    struct stat written;
    if (ContentCopy::copyData(in, out.get(), inStat.st_size, &s.buffer, &error)
        && (error = readAttributes(in, frame, child, &attributes)) == 0)
        error = fstat(out.get(), &written) == 0
            ? setFileAttributes(out.get(), written, false, frame, child, attributes)
            : errno;
    if (out.close() != 0 && error == 0)
        error = errno;
    // A file that grew, shrank or was written while it was read is no
    // faithful copy.
    struct stat after;
    if (error == 0 && (fstat(in, &after) != 0 || !unchangedSince(child.source, after)))
        error = CopyFailure::SourceChanged;
    return error;
}

void TreeStager::stageLink(Frame& frame, Node& child)
{
    const QByteArray targetPath = joinPath(frame.targetPath, child.name);
    const int dirFd = frame.target.get();
    const int error = place(frame, child, [&](const QByteArray& name) {
        return symlinkat(child.linkText.constData(), dirFd, name.constData());
    });
    if (error == alreadyRecorded)
        return;
    if (error != 0)
        return s.failures.fail(targetPath, "cannot create link", error);
    const QByteArray& name = stagedName(child);
    const uid_t owner = child.targetExists ? child.target.st_uid : frame.node->owner;
    const gid_t group = child.targetExists ? child.target.st_gid : frame.node->group;
    // Without the right to give links away they stay the copy's own.
    if (fchownat(dirFd, name.constData(), owner, group, AT_SYMLINK_NOFOLLOW) != 0 && errno != EPERM)
        return s.failures.fail(targetPath, "cannot create link", errno);
    const struct timespec times[2] = {child.source.st_atim, child.source.st_mtim};
    if (utimensat(dirFd, name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        s.failures.fail(targetPath, "cannot set attributes of", errno);
}

// Everything below a new directory is in place: it gets the payload's mode,
// attributes and times, and the owner of the directory it is created in.
void TreeStager::finishNewDirectory(Frame& frame)
{
    const Node& node = *frame.node;
    const int fd = frame.target.get();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return s.failures.fail(frame.targetPath, "cannot set attributes of", errno);
    // As for files: without the right to give it away it stays the copy's own.
    if ((st.st_uid != node.owner || st.st_gid != node.group) && fchown(fd, node.owner, node.group) != 0
        && errno != EPERM)
        return s.failures.fail(frame.targetPath, "cannot set attributes of", errno);
    int error = frame.source.isValid() ? XattrCopy::copy(frame.source.get(), fd, -1) : 0;
    const struct timespec times[2] = {node.source.st_atim, node.source.st_mtim};
    if (error == 0 && (fchmod(fd, node.source.st_mode & 07777) != 0 || futimens(fd, times) != 0))
        error = errno;
    if (error != 0)
        s.failures.fail(frame.targetPath, "cannot set attributes of", error);
}
