#ifndef TREESTAGER_H
#define TREESTAGER_H

#include "uniquefd.h"
#include "xattrcopy.h"

#include <QByteArray>

#include <sys/stat.h>

struct CopyState;
struct Frame;
struct Node;
struct Tree;

// The second phase of a copy: every new or changed entry is written beside
// its target under a temporary name (a new directory whole, under one), as
// the plan decided. No name the device uses changes here; a failure leaves
// only temporaries, which the roll-back removes.
class TreeStager
{
public:
    explicit TreeStager(CopyState& state);

    bool stage();

private:
    // The extended attributes a staged file gets: the payload file's and
    // those of the file it replaces, read before anything changes either.
    struct Attributes
    {
        XattrCopy::Attributes payload;
        XattrCopy::Attributes device;
    };

    bool makeNewRoot(Tree& tree);
    bool enter(Frame* parent, Frame& frame);
    bool enterExisting(Frame* parent, Frame& frame);
    bool markFolder(Frame& frame);
    template <typename Create>
    int place(Frame& folder, Node& child, Create create);
    UniqueFd createStaged(Frame& frame, Node& child);
    int readAttributes(int in, const Frame& frame, const Node& child, Attributes* attributes);
    int setFileAttributes(int out, const struct stat& current, bool linked, const Frame& frame,
                          const Node& child, const Attributes& attributes);
    bool stageHardLink(Frame& frame, Node& child);
    void stageFile(Frame& frame, Node& child);
    int copyFile(int in, const struct stat& inStat, Frame& frame, Node& child);
    void stageLink(Frame& frame, Node& child);
    void finishNewDirectory(Frame& frame);

    CopyState& s;
};

#endif  // TREESTAGER_H
