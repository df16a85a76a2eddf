#ifndef TREECOPY_H
#define TREECOPY_H

#include "copyfailures.h"
#include "installershared_global.h"

#include <QString>

#include <memory>
#include <vector>

class PayloadCheck;

// Copies one or more trees over their targets, all or nothing.
//
// Every entry of every source goes to the same relative path below its
// target. First the whole plan is made and checked (conflicts, unreadable
// entries, free space) without writing anything; then each new or changed
// file is staged beside its target under a temporary name (a new directory
// is staged whole under a temporary name), the file systems are synced, and
// only then is everything renamed into place and synced once more. A file
// whose installed counterpart has the same bytes is not rewritten; only its
// mode and times are set where they differ. When anything fails before the
// renames, every temporary goes and the targets are left exactly as they
// were. Links are copied as links and never followed below a target root.
class INSTALLERSHARED_EXPORT TreeCopy
{
public:
    TreeCopy();
    ~TreeCopy();

    TreeCopy(const TreeCopy&) = delete;
    TreeCopy& operator=(const TreeCopy&) = delete;

    // consumed: the caller deletes source after the copy, so that a file of
    // it may be installed as a hard link to the source's file instead of a
    // copy, where both lie on one file system and the file has no other
    // name. A failed copy never removes a name of the source.
    void addTree(const QString& source, const QString& target, bool consumed = false);

    // Every source file must be one that check found listed and intact, and
    // still be that file (same inode, size and times) when it is planned.
    void expectChecked(const PayloadCheck* check);

    // True only when every tree was copied completely and synced. Each
    // failure writes one debug line naming the entry and the reason.
    bool run();

    // What went wrong in run(), in order; also what was only noted, such as
    // an old version that could not be removed after the update landed.
    const std::vector<CopyFailure>& failures() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif  // TREECOPY_H
