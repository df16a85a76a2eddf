#ifndef TREECOMMITTER_H
#define TREECOMMITTER_H

struct CopyState;
struct Frame;
struct Node;
struct Tree;

// The last phases of a copy, once everything is staged and synced: a last
// check that the targets are still as planned, the commit (only names
// change, and every step can be undone until the last one has succeeded),
// and then either the removal of the old versions or the roll-back that
// leaves every target as it was.
class TreeCommitter
{
public:
    explicit TreeCommitter(CopyState& state);

    bool checkTargets();
    bool commit();
    // Takes back every step of a commit that failed.
    void undo();
    // After a commit: the old versions go, folders get their times back.
    void finish();
    // Removes everything staged; folders get their times back.
    void rollBack();

private:
    bool enterForChecking(Frame& frame);
    void checkEntry(Frame& frame, Node& child);
    void commitNewRoot(Tree& tree);
    void commitEntry(Frame& frame, Node& child);
    void swapEntry(Frame& frame, Node& child);
    void moveAsideEntry(Frame& frame, Node& child);
    void setMetadata(Frame& frame, Node& child);
    void undoEntry(Frame& frame, Node& child);
    int undoStep(int dirFd, Node& child);
    void finishEntry(Frame& frame, Node& child);
    void rollBackEntry(Frame& frame, Node& child);
    void restoreDirectory(Frame& frame);

    CopyState& s;
};

#endif  // TREECOMMITTER_H
