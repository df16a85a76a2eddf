#ifndef TEMPSWEEP_H
#define TEMPSWEEP_H

#include <QByteArray>

struct CopyState;

// Removes the leftovers of an earlier copy that was killed.
namespace TempSweep {

// Only names with the temporaries' prefix go, anywhere below the folder open
// as rootFd (deep) or in it alone, never through a link, never into another
// file system, one folder open at a time. A folder that cannot be read fails
// the copy: leftovers in it would stay. Each folder swept gets back the time
// that the killed run's marker recorded, or the time it had before.
void sweep(CopyState& state, int rootFd, const QByteArray& rootPath, bool deep);

}  // namespace TempSweep

#endif  // TEMPSWEEP_H
