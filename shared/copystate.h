#ifndef COPYSTATE_H
#define COPYSTATE_H

// What the phases of a tree copy share: the plan of every tree, the file
// systems it touches, its failures, and the walk over the plan. Internal to
// the copy engine.

#include "copyfailures.h"
#include "dirwalk.h"
#include "fsattributes.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QStringList>

#include <map>
#include <vector>

#include <sys/stat.h>

class PayloadCheck;

enum class Kind { Directory, File, Link };

// What the copy does with an entry, as the plan decided it.
enum class Plan {
    Keep,         // files and links: the same as installed; nothing to do
    Refused,      // a failure: never entered, staged or committed
    SetMetadata,  // files and links: the same bytes; only mode (fixMode) or times (fixTimes) change
    Write,        // files and links: a new version is staged
    LinkPayload,  // files: staged as a second name of the payload's file where it can be, else written
    NewFolder,    // directories: created by the copy
    IntoFolder,   // directories: there already; the copy goes into them
    ThroughLink,  // directories: there already, behind the device's own link
};

// How far the commit got with an entry, so that it can be undone until the
// last swap has succeeded.
enum class Step {
    None,
    Swapped,      // new and old exchanged: the old version is at temp
    Renamed,      // a new name: temp renamed to it
    MovedAside,   // no swap on this file system: the old version went to aside first
    MetadataSet,  // unchanged bytes: mode or times set
};

// One entry of a source tree and what the copy does with it.
struct Node
{
    QByteArray name;
    Kind kind = Kind::Directory;
    Plan plan = Plan::Keep;
    Step step = Step::None;
    struct stat source = {};
    bool targetExists = false;
    struct stat target = {};
    bool fixMode = false;  // SetMetadata: what changes
    bool fixTimes = false;
    bool getsNames = false;  // existing directories: the copy makes new names in them
    bool touched = false;    // existing directories: the copy began to add entries
    QByteArray temp;         // staged name in an existing directory
    QByteArray aside;        // the old version's name while the new one goes in, without swaps
    QByteArray marker;       // existing directories: the temporary that records their time
    QByteArray linkText;
    uid_t owner = 0;  // directories: who new entries below belong to
    gid_t group = 0;
    std::vector<Node> children;

    bool staged() const { return plan == Plan::Write || plan == Plan::LinkPayload; }
    bool isNewFolder() const { return plan == Plan::NewFolder; }
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
    struct stat parentBefore = {};  // the parent of a new root, before the copy touched it
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

// Why an entry that the plan saw cannot be committed.
extern const char changedMeanwhile[];
extern const char appearedMeanwhile[];

bool sameTime(const struct timespec& a, const struct timespec& b);
// Size, modification and change time: what tells that a file was written.
bool unchangedSince(const struct stat& before, const struct stat& now);
// The payload's permission bits, without the set-id bits when the file does
// not belong to the payload's owner.
mode_t installedMode(const struct stat& source, uid_t owner, gid_t group);
// Whether the entry name of the folder open as dirFd is still the one the
// plan saw, and can be renamed over or changed: nullptr, or why not.
const char* whyNotReplaceable(int dirFd, const QByteArray& name, const struct stat& planned,
                              const FsAttributes::Entry& folder);
// Opens an existing target folder below parentFd: never through a link,
// but for a folder reached through the device's own link, which must still
// lead to the folder the plan saw.
UniqueFd openTargetDirectory(int parentFd, const Node& node);
// The path with every existing leading part resolved, so that a target that
// does not exist yet can still be compared with the source.
QByteArray resolvedPath(const QByteArray& path);
bool isSameOrBelow(const QByteArray& path, const QByteArray& base);
// The folder that holds path: for messages and for opening a new root's parent.
QByteArray parentPath(const QByteArray& path);

struct CopyState
{
    std::vector<Tree> trees;
    std::map<dev_t, FileSystem> fileSystems;
    CopyFailures failures;
    std::vector<char> buffer;  // reused by every comparison and user-space copy
    const PayloadCheck* check = nullptr;

    bool ok() const { return !failures.failed(); }
    bool stopped() { return failures.stopped(); }
    bool openRoots(Tree& tree, Frame* frame, bool withSource);
    // Removes name below parent with everything in it, never following a
    // link; what cannot be removed is recorded (and fails the copy, with fails).
    bool removeTreeAt(int parent, const QByteArray& name, const QByteArray& path, bool fails);
    bool syncFileSystems();

    // Walks the plan of one tree, depth first: enter(parent, frame) opens a
    // directory's folders (false: not walked into), entry(frame, child) gets
    // every file and link, leave(frame) every directory after its entries.
    // Refused entries are passed over. The folders open on the way stay open:
    // a folder behind the device's own link has a ".." of its own, so the
    // way back up cannot be found through it. Folders are opened only
    // through DirWalk.
    template <typename Enter, typename Entry, typename Leave>
    void walk(Tree& tree, bool withSource, Enter enter, Entry entry, Leave leave);

    // Walks the target folders that existed before the copy. A new directory
    // is handed to newDir as an entry of its parent and not entered: it is
    // staged, renamed or removed whole.
    template <typename Enter, typename NewDir, typename Entry, typename Leave>
    void walkExisting(Tree& tree, Enter enter, NewDir newDir, Entry entry, Leave leave);
    template <typename NewDir, typename Entry, typename Leave>
    void walkExisting(Tree& tree, NewDir newDir, Entry entry, Leave leave)
    {
        walkExisting(
            tree, [](Frame&) { return true; }, newDir, entry, leave);
    }

private:
    bool enterChild(Frame& top, Node& child, bool withSource, Frame* frame);
};

template <typename Enter, typename Entry, typename Leave>
void CopyState::walk(Tree& tree, bool withSource, Enter enter, Entry entry, Leave leave)
{
    std::vector<Frame> stack;
    Frame root;
    if (!openRoots(tree, &root, withSource) || !enter(nullptr, root))
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
        if (child.plan == Plan::Refused)
            continue;
        if (child.kind != Kind::Directory) {
            entry(top, child);
            continue;
        }
        Frame frame;
        if (enterChild(top, child, withSource, &frame) && enter(&top, frame))
            stack.push_back(std::move(frame));  // invalidates top
    }
}

template <typename Enter, typename NewDir, typename Entry, typename Leave>
void CopyState::walkExisting(Tree& tree, Enter enter, NewDir newDir, Entry entry, Leave leave)
{
    walk(
        tree, false,
        [&](Frame* parent, Frame& frame) {
            if (parent && frame.node->isNewFolder()) {
                newDir(*parent, *frame.node);
                return false;
            }
            if (parent)
                frame.target = openTargetDirectory(parent->target.get(), *frame.node);
            if (!frame.target.isValid()) {
                failures.fail(frame.targetPath, "cannot open", errno);
                return false;
            }
            return enter(frame);
        },
        entry, leave);
}

#endif  // COPYSTATE_H
