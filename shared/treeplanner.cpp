#include "treeplanner.h"

#include "contentcopy.h"
#include "copystate.h"
#include "payloadcheck.h"
#include "tempname.h"
#include "tempsweep.h"
#include "xattrcopy.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

using DirWalk::joinPath;

namespace {

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

// Reads a whole directory before anything is written, so that entries created
// while walking never show up in the listing. Links are entries of their own.
// An entry that cannot be looked at fails the listing and is left out.
bool listDirectory(int dirFd, std::vector<DirWalk::Entry>* entries, int* error)
{
    bool ok = DirWalk::readDirectory(dirFd, entries, error);
    const auto unreadable = [](const DirWalk::Entry& entry) { return entry.error != 0; };
    const auto first = std::find_if(entries->begin(), entries->end(), unreadable);
    if (first != entries->end()) {
        *error = first->error;
        ok = false;
        entries->erase(std::remove_if(first, entries->end(), unreadable), entries->end());
    }
    return ok;
}

void describeShortage(const FileSystem& fs, const char* what, qint64 needed, qint64 available,
                      CopyFailures* failures)
{
    const QString targets = fs.targets.join(QStringLiteral(", "));
    failures->failLine(
        QFile::encodeName(targets), "not enough space for", ENOSPC,
        QStringLiteral("CopyRecursivelyOverwrite: not enough space for %1 - %2 %3 needed, %4 %3 free")
            .arg(targets, QString::number(needed), QLatin1String(what), QString::number(available)));
}

}  // namespace

TreePlanner::TreePlanner(CopyState& state)
    : s(state)
{
}

bool TreePlanner::plan()
{
    for (Tree& tree : s.trees) {
        s.walk(
            tree, true,
            [&](Frame* parent, Frame& frame) {
                if (s.stopped() || !enter(parent, frame, tree))
                    return false;
                planDirectory(frame);
                return true;
            },
            [](Frame&, Node&) {}, [](Frame&) {});
    }
    return s.ok();
}

bool TreePlanner::enoughSpace()
{
    bool fits = true;
    for (auto& entry : s.fileSystems) {
        const FileSystem& fs = entry.second;
        struct statvfs info;
        if (!fs.fd.isValid() || fstatvfs(fs.fd.get(), &info) != 0)
            continue;  // nothing to tell in advance; staging reports what fails
        const qint64 freeBytes = qint64(info.f_bavail) * qint64(info.f_frsize);
        if (fs.neededBytes > freeBytes) {
            fits = false;
            describeShortage(fs, "bytes", fs.neededBytes, freeBytes, &s.failures);
        } else if (info.f_files > 0 && fs.neededInodes > qint64(info.f_favail)) {
            fits = false;
            describeShortage(fs, "files", fs.neededInodes, qint64(info.f_favail), &s.failures);
        }
    }
    return fits;
}

// Opens the target of a directory for planning: the root, a new directory
// (nothing to open), or an existing one, whose leftovers are swept where it
// begins another file system or mount.
bool TreePlanner::enter(Frame* parent, Frame& frame, Tree& tree)
{
    Node& node = *frame.node;
    if (!parent) {
        if (!enterRoot(frame, tree))
            return false;
    } else if (node.isNewFolder()) {
        node.owner = parent->node->owner;
        node.group = parent->node->group;
    } else if (!enterExisting(*parent, frame, tree)) {
        return false;
    }
    int error = 0;
    if (frame.target.isValid() && !FsAttributes::look(frame.target.get(), "", &frame.folder, &error)) {
        s.failures.fail(frame.targetPath, "cannot read", error);
        return false;
    }
    if (parent && frame.target.isValid()
        && (node.plan == Plan::ThroughLink || FsAttributes::crossesMount(parent->folder, frame.folder))) {
        TempSweep::sweep(s, frame.target.get(), frame.targetPath, true);
        if (fstat(frame.target.get(), &node.target) != 0) {
            s.failures.fail(frame.targetPath, "cannot read", errno);
            return false;
        }
    }
    return true;
}

bool TreePlanner::enterRoot(Frame& frame, Tree& tree)
{
    Node& node = *frame.node;
    if (!frame.target.isValid()) {
        // A new root takes the place of nothing.
        rememberFileSystem(tree.targetParent.get(), frame.device, tree.target);
        TempSweep::sweep(s, tree.targetParent.get(), tree.target, false);
        FileSystem& fs = s.fileSystems[frame.device];
        fs.neededBytes += fs.blockSize;
        ++fs.neededInodes;
        return true;
    }
    // Swept first: the sweep gives the folder back the time it had.
    TempSweep::sweep(s, frame.target.get(), frame.targetPath, true);
    if (fstat(frame.target.get(), &node.target) != 0) {
        s.failures.fail(frame.targetPath, "cannot read", errno);
        return false;
    }
    node.targetExists = true;
    node.plan = Plan::IntoFolder;
    node.owner = node.target.st_uid;
    node.group = node.target.st_gid;
    rememberFileSystem(frame.target.get(), frame.device, tree.target);
    return true;
}

bool TreePlanner::enterExisting(Frame& parent, Frame& frame, Tree& tree)
{
    Node& node = *frame.node;
    frame.target = openTargetDirectory(parent.target.get(), node);
    if (!frame.target.isValid()) {
        s.failures.fail(frame.targetPath, "cannot open", errno);
        return false;
    }
    if (node.plan == Plan::ThroughLink && leadsIntoASource(frame.target.get())) {
        s.failures.fail(frame.targetPath, "cannot copy into", "the link leads into the payload");
        return false;
    }
    frame.device = node.target.st_dev;
    node.owner = node.target.st_uid;
    node.group = node.target.st_gid;
    rememberFileSystem(frame.target.get(), frame.device, tree.target);
    return true;
}

void TreePlanner::rememberFileSystem(int dirFd, dev_t device, const QByteArray& targetRoot)
{
    auto it = s.fileSystems.find(device);
    if (it == s.fileSystems.end()) {
        FileSystem fs;
        // Without a handle on its file system the copy could not be synced;
        // the sync reports it.
        fs.fd = UniqueFd(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
        struct statvfs info;
        if (fs.fd.isValid() && fstatvfs(fs.fd.get(), &info) == 0 && info.f_frsize > 0)
            fs.blockSize = qint64(info.f_frsize);
        it = s.fileSystems.emplace(device, std::move(fs)).first;
    }
    const QString name = QFile::decodeName(targetRoot);
    if (!it->second.targets.contains(name))
        it->second.targets.append(name);
}

// Whether a folder reached through a link lies inside a tree being copied:
// installing into the payload itself would destroy it.
bool TreePlanner::leadsIntoASource(int fd) const
{
    const QByteArray here = resolvedPath("/proc/self/fd/" + QByteArray::number(fd));
    for (const Tree& tree : s.trees) {
        if (isSameOrBelow(here, resolvedPath(tree.source)))
            return true;
    }
    return false;
}

// Lists one source directory into its node and decides, entry by entry, what
// the copy will do. Nothing is written here.
void TreePlanner::planDirectory(Frame& frame)
{
    Node& node = *frame.node;
    std::vector<DirWalk::Entry> entries;
    int error = 0;
    if (!listDirectory(frame.source.get(), &entries, &error))
        s.failures.fail(frame.sourcePath, "cannot read directory", error);
    node.children.reserve(entries.size());
    for (DirWalk::Entry& entry : entries) {
        Node child;
        child.name = entry.name;
        child.source = entry.st;
        if (frame.target.isValid()) {
            if (fstatat(frame.target.get(), entry.name.constData(), &child.target, AT_SYMLINK_NOFOLLOW) == 0)
                child.targetExists = true;
            else if ((error = errno) != ENOENT) {
                s.failures.fail(joinPath(frame.targetPath, entry.name), "cannot read", error);
                child.plan = Plan::Refused;
            }
        }
        node.children.push_back(std::move(child));
    }
    for (Node& child : node.children) {
        if (child.plan != Plan::Refused)
            planEntry(frame, child);
    }
    planNewNames(frame);
}

// What the commit will change in one folder must be changeable: no entry it
// replaces is a mount point or immutable, and a folder that gets new names
// is writable for us. Root needs no write bit, so an existing folder's mode
// is never touched: a run killed meanwhile would leave it changed. The
// folder's new entries are added to the space needed.
void TreePlanner::planNewNames(Frame& frame)
{
    Node& node = *frame.node;
    qint64 bytes = 0;
    for (Node& child : node.children) {
        if (child.plan != Plan::Refused)
            bytes += node.isNewFolder() ? entryBytes(child.name.size()) : newNameBytes(frame, child);
    }
    FileSystem& fs = s.fileSystems[frame.device];
    if (!node.isNewFolder() && bytes > 0) {
        node.getsNames = true;
        bytes += entryBytes(markerNameLength);
        ++fs.neededInodes;
        const char* why = frame.folder.immutable ? "immutable or append-only" : nullptr;
        if (!why && faccessat(frame.target.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
            why = strerror(errno);
        if (why)
            s.failures.fail(frame.targetPath, "cannot write into", why);
    }
    if (node.isNewFolder() || bytes > 0)
        fs.neededBytes += directoryBlocks(bytes, fs.blockSize) * fs.blockSize;
}

// The folder entry bytes that child of an existing folder takes while it is
// staged and after; an entry the commit cannot change is refused.
qint64 TreePlanner::newNameBytes(Frame& frame, Node& child)
{
    if (child.targetExists && (child.staged() || child.plan == Plan::SetMetadata)) {
        if (const char* why = whyNotReplaceable(frame.target.get(), child.name, child.target, frame.folder))
            refuse(child, joinPath(frame.targetPath, child.name), "cannot replace", why);
    }
    if (child.plan == Plan::Refused || (!child.staged() && !child.isNewFolder()))
        return 0;
    return entryBytes(tempNameLength) + (child.targetExists ? 0 : entryBytes(child.name.size()));
}

void TreePlanner::refuse(Node& child, const QByteArray& path, const char* what, const char* reason)
{
    child.plan = Plan::Refused;
    s.failures.fail(path, what, reason);
}

void TreePlanner::planEntry(Frame& frame, Node& child)
{
    FileSystem& fs = s.fileSystems[frame.device];
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    const mode_t type = child.source.st_mode & S_IFMT;

    if (type != S_IFDIR && type != S_IFREG && type != S_IFLNK)
        return refuse(child, sourcePath, "skipped", "special file");
    // The next run would sweep it away as the leftover of a killed copy.
    if (TempName::isTemp(child.name))
        return refuse(child, sourcePath, "skipped", "name reserved for temporaries");
    if (type == S_IFDIR)
        return planDirectoryEntry(frame, child, fs);
    if (child.targetExists && S_ISDIR(child.target.st_mode))
        return refuse(child, joinPath(frame.targetPath, child.name), "cannot replace",
                      "a directory is in the way");
    if (type == S_IFLNK)
        planLink(frame, child, fs);
    else
        planFile(frame, child, fs);
}

void TreePlanner::planDirectoryEntry(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::Directory;
    // A folder the device keeps elsewhere behind a link of its own (a data
    // partition) is installed into, as rsync --keep-dirlinks does; the link
    // stays.
    struct stat behind;
    if (child.targetExists && S_ISLNK(child.target.st_mode)
        && fstatat(frame.target.get(), child.name.constData(), &behind, 0) == 0 && S_ISDIR(behind.st_mode)) {
        child.target = behind;
        child.plan = Plan::ThroughLink;
        return;
    }
    if (child.targetExists && !S_ISDIR(child.target.st_mode))
        return refuse(child, joinPath(frame.targetPath, child.name), "cannot replace with a directory",
                      S_ISLNK(child.target.st_mode) ? "a link is in the way" : "a file is in the way");
    child.plan = child.targetExists ? Plan::IntoFolder : Plan::NewFolder;
    if (child.isNewFolder())
        ++fs.neededInodes;
}

void TreePlanner::planLink(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::Link;
    std::vector<char> text(size_t(std::max<off_t>(child.source.st_size, 0)) + 2);
    const ssize_t length = readlinkat(frame.source.get(), child.name.constData(), text.data(), text.size());
    if (length < 0 || size_t(length) >= text.size())
        return refuse(child, joinPath(frame.sourcePath, child.name), "cannot read link",
                      CopyFailure::reasonText(length < 0 ? errno : int(CopyFailure::SourceChanged)));
    child.linkText = QByteArray(text.data(), int(length));
    if (child.targetExists && S_ISLNK(child.target.st_mode) && child.target.st_size == child.source.st_size) {
        std::vector<char> installed(text.size());
        const ssize_t n =
            readlinkat(frame.target.get(), child.name.constData(), installed.data(), installed.size());
        if (n == length && memcmp(installed.data(), text.data(), size_t(n)) == 0) {
            child.fixTimes = !sameTime(child.target.st_mtim, child.source.st_mtim);
            child.plan = child.fixTimes ? Plan::SetMetadata : Plan::Keep;
            return;
        }
    }
    child.plan = Plan::Write;
    ++fs.neededInodes;
    // Short links live in the inode; longer ones take a block.
    if (child.linkText.size() >= 60)
        fs.neededBytes += fs.blockSize;
}

// Whether a payload file is the very one whose digest was checked.
bool TreePlanner::checkedAsPlanned(const QByteArray& sourcePath, const struct stat& planned) const
{
    const QByteArray base = s.check->checkedDir() + '/';
    if (!sourcePath.startsWith(base))
        return false;
    const auto found = s.check->checkedFiles().find(sourcePath.mid(base.size()));
    if (found == s.check->checkedFiles().end())
        return false;
    const PayloadCheck::Identity& checked = found->second;
    return checked.device == planned.st_dev && checked.inode == planned.st_ino
        && checked.size == planned.st_size && sameTime(checked.modified, planned.st_mtim)
        && sameTime(checked.changed, planned.st_ctim);
}

void TreePlanner::planFile(Frame& frame, Node& child, FileSystem& fs)
{
    child.kind = Kind::File;
    if (s.check && !checkedAsPlanned(joinPath(frame.sourcePath, child.name), child.source))
        return refuse(child, joinPath(frame.sourcePath, child.name), "cannot copy",
                      "it changed after its check");
    const bool sameSize =
        child.targetExists && S_ISREG(child.target.st_mode) && child.target.st_size == child.source.st_size;
    // Unchanged content is not written again: flash wears with every write.
    if (sameSize && s.ok() && sameAsInstalled(frame, child)) {
        child.fixMode = (child.target.st_mode & 07777)
            != installedMode(child.source, child.target.st_uid, child.target.st_gid);
        child.fixTimes = !sameTime(child.target.st_mtim, child.source.st_mtim);
        child.plan = child.fixMode || child.fixTimes ? Plan::SetMetadata : Plan::Keep;
        return;
    }
    if (child.plan == Plan::Refused)
        return;
    ++fs.neededInodes;
    // A payload file that is deleted after the copy, has no other name and
    // lies on the target's file system goes in as a link: its bytes are on
    // the flash already and are not written again.
    if (frame.consumed && child.source.st_nlink == 1 && child.source.st_dev == frame.device) {
        child.plan = Plan::LinkPayload;
        return;
    }
    child.plan = Plan::Write;
    // Holes stay holes, so a sparse file needs only its allocated blocks.
    const qint64 data = std::min<qint64>(child.source.st_size, qint64(child.source.st_blocks) * 512);
    fs.neededBytes += (data + fs.blockSize - 1) / fs.blockSize * fs.blockSize;
}

// Whether the installed file has the payload file's bytes; a payload file
// that cannot be read or changes meanwhile is refused.
bool TreePlanner::sameAsInstalled(Frame& frame, Node& child)
{
    const QByteArray sourcePath = joinPath(frame.sourcePath, child.name);
    const UniqueFd in = ContentCopy::openForReading(frame.source.get(), child.name);
    struct stat inStat;
    if (!in.isValid() || fstat(in.get(), &inStat) != 0) {
        s.failures.fail(sourcePath, "cannot open", errno);
        child.plan = Plan::Refused;
        return false;
    }
    const UniqueFd installed = ContentCopy::openForReading(frame.target.get(), child.name);
    if (!unchangedSince(child.source, inStat)) {
        refuse(child, sourcePath, "cannot copy", CopyFailure::reasonText(CopyFailure::SourceChanged));
        return false;
    }
    int error = 0;
    const ContentCopy::Comparison result = installed.isValid()
        ? ContentCopy::compare(in.get(), installed.get(), inStat.st_size, &s.buffer, &error)
        : ContentCopy::Comparison::Different;
    if (result == ContentCopy::Comparison::Failed) {
        child.plan = Plan::Refused;
        s.failures.fail(sourcePath, "cannot read", error);
        return false;
    }
    if (result == ContentCopy::Comparison::Same
        && (fstat(in.get(), &inStat) != 0 || !unchangedSince(child.source, inStat))) {
        refuse(child, sourcePath, "cannot copy", CopyFailure::reasonText(CopyFailure::SourceChanged));
        return false;
    }
    // Same bytes with other attributes (a file capability) is another file.
    return result == ContentCopy::Comparison::Same
        && XattrCopy::samePayloadAttributes(in.get(), installed.get());
}
