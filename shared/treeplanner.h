#ifndef TREEPLANNER_H
#define TREEPLANNER_H

#include <QByteArray>

#include <sys/stat.h>

struct CopyState;
struct FileSystem;
struct Frame;
struct Node;
struct Tree;

// The first phase of a copy: reads every source tree and the targets it
// meets and decides, entry by entry, what the copy will do, and whether it
// fits. Nothing is written here but the sweep of an earlier killed run's
// leftovers.
class TreePlanner
{
public:
    explicit TreePlanner(CopyState& state);

    // False when anything is refused; every refusal is recorded.
    bool plan();
    // Whether the planned writes fit on every file system they go to.
    bool enoughSpace();

private:
    bool enter(Frame* parent, Frame& frame, Tree& tree);
    bool enterRoot(Frame& frame, Tree& tree);
    bool enterExisting(Frame& parent, Frame& frame, Tree& tree);
    void rememberFileSystem(int dirFd, dev_t device, const QByteArray& targetRoot);
    bool leadsIntoASource(int fd) const;
    void planDirectory(Frame& frame);
    void planNewNames(Frame& frame);
    qint64 newNameBytes(Frame& frame, Node& child);
    void refuse(Node& child, const QByteArray& path, const char* what, const char* reason);
    void planEntry(Frame& frame, Node& child);
    void planDirectoryEntry(Frame& frame, Node& child, FileSystem& fs);
    void planLink(Frame& frame, Node& child, FileSystem& fs);
    void planFile(Frame& frame, Node& child, FileSystem& fs);
    bool sameAsInstalled(Frame& frame, Node& child);
    bool checkedAsPlanned(const QByteArray& sourcePath, const struct stat& planned) const;

    CopyState& s;
};

#endif  // TREEPLANNER_H
