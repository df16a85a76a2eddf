#include "tempsweep.h"

#include "copystate.h"
#include "tempname.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace TempSweep {

namespace {

void sweepFolder(CopyState& state, int fd, const QByteArray& path, const std::vector<DirWalk::Entry>& entries)
{
    struct stat before;
    if (fstat(fd, &before) != 0)
        return state.failures.fail(path, "cannot read directory", errno);
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    bool removed = false;
    for (const DirWalk::Entry& entry : entries) {
        if (!TempName::isTemp(entry.name))
            continue;
        TempName::recordedTime(entry.name, &times[1]);
        state.removeTreeAt(fd, entry.name, DirWalk::joinPath(path, entry.name), true);
        removed = true;
    }
    if (removed && futimens(fd, times) != 0)
        state.failures.fail(path, "cannot set attributes of", errno);
}

}  // namespace

void sweep(CopyState& state, int rootFd, const QByteArray& rootPath, bool deep)
{
    DirWalk::Visitor visitor;
    visitor.enter = [deep](const char* name, const QByteArray&) { return deep && !TempName::isTemp(name); };
    visitor.folder = [&state](int fd, const QByteArray& path, const std::vector<DirWalk::Entry>& entries) {
        sweepFolder(state, fd, path, entries);
    };
    visitor.failure = [&state](const QByteArray& path, int error) {
        state.failures.fail(path, "cannot read directory", error);
    };
    UniqueFd fd(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!fd.isValid())
        return state.failures.fail(rootPath, "cannot read directory", errno);
    // What stopped the walk early went to the visitor's failure already.
    (void)DirWalk::walk(std::move(fd), rootPath, visitor);
}

}  // namespace TempSweep
