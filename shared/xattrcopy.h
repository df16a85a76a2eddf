#ifndef XATTRCOPY_H
#define XATTRCOPY_H

#include "installershared_global.h"

// Extended attributes of installed files, as cp -a and rsync -X carry them:
// a payload file brings its attributes (a program's file capability among
// them), while security labels and access control lists belong to the device
// like the owner does: a replaced file keeps those of the file it replaces,
// and a new file gets what its folder gives it when it is created.
// A file system without extended attributes is not an error.
namespace XattrCopy {

// Whether an attribute of this name belongs to the device (security labels,
// ACLs) rather than to the payload.
INSTALLERSHARED_EXPORT bool belongsToDevice(const char* name);

// Sets the payload's attributes from the file open as from on the file open
// as to, and, when installed is a valid descriptor, the device's attributes
// of the file it replaces. 0, or the errno value of what failed.
INSTALLERSHARED_EXPORT int copy(int from, int to, int installed);

// Whether the two files carry the same payload attributes, so that a file
// whose bytes did not change need not be installed again.
INSTALLERSHARED_EXPORT bool samePayloadAttributes(int a, int b);

}  // namespace XattrCopy

#endif  // XATTRCOPY_H
