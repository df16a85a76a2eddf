#include "treecopy.h"

#include "copystate.h"
#include "treecommitter.h"
#include "treeplanner.h"
#include "treestager.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <sys/resource.h>

namespace {

// A deep tree holds one descriptor per level while it is walked.
void raiseFileLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Best effort: a tree deeper than the limit fails with EMFILE, named.
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

struct TreeCopy::Private
{
    CopyState state;

    bool checkPaths();
    bool run();
};

// No target may lie inside its own or another tree's source: the copy would
// feed on itself.
bool TreeCopy::Private::checkPaths()
{
    for (const Tree& tree : state.trees) {
        if (tree.source.isEmpty() || tree.target.isEmpty()) {
            QString line;
            QDebug(&line) << "CopyRecursivelyOverwrite: empty path" << QFile::decodeName(tree.source)
                          << QFile::decodeName(tree.target);
            state.failures.failLine(tree.target, "empty path", EINVAL, line);
            return false;
        }
        if (isSameOrBelow(resolvedPath(tree.target), resolvedPath(tree.source))) {
            state.failures.failNamed(tree.target, "target lies inside the source", EINVAL);
            return false;
        }
    }
    return true;
}

bool TreeCopy::Private::run()
{
    TreePlanner planner(state);
    TreeStager stager(state);
    TreeCommitter committer(state);
    // Nothing is written before the whole plan holds and fits.
    if (!checkPaths() || !planner.plan() || !planner.enoughSpace())
        return false;
    if (!stager.stage() || state.stopped() || !state.syncFileSystems() || !committer.checkTargets()) {
        committer.rollBack();
        return false;
    }
    // From here on only names change: the new data is on the medium.
    if (!committer.commit()) {
        committer.undo();
        committer.rollBack();
        (void)state.syncFileSystems();  // the copy has failed already; a failed sync is recorded
        return false;
    }
    committer.finish();
    // The update has landed; a sync that fails now is recorded and fails the run.
    (void)state.syncFileSystems();
    return state.ok();
}

TreeCopy::TreeCopy()
    : d(new Private)
{
}

TreeCopy::~TreeCopy() = default;

void TreeCopy::expectChecked(const PayloadCheck* check)
{
    d->state.check = check;
}

void TreeCopy::addTree(const QString& source, const QString& target, bool consumed)
{
    Tree tree;
    tree.consumed = consumed;
    // "dir/" would make the kernel follow a link that "dir" is.
    tree.source = QFile::encodeName(source.isEmpty() ? source : QDir::cleanPath(source));
    tree.target = QFile::encodeName(target.isEmpty() ? target : QDir::cleanPath(target));
    d->state.trees.push_back(std::move(tree));
}

bool TreeCopy::run()
{
    raiseFileLimit();
    return d->run();
}

const std::vector<CopyFailure>& TreeCopy::failures() const
{
    return d->state.failures.all();
}
