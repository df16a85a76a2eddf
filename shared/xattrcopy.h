#ifndef XATTRCOPY_H
#define XATTRCOPY_H

#include "installershared_global.h"

#include <QByteArray>

#include <map>

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

// The attributes of one file, read before anything changes it (a change of
// owner drops a file capability).
struct INSTALLERSHARED_EXPORT Attributes
{
    std::map<QByteArray, QByteArray> values;
};

// Reads every attribute of fd that the process may read; none where the
// file system has none. 0, or the errno value of what failed.
INSTALLERSHARED_EXPORT int read(int fd, Attributes* attributes);

// Sets on fd the payload's attributes of payload and the device's of device.
// 0, or the errno value of what failed.
INSTALLERSHARED_EXPORT int apply(int fd, const Attributes& payload, const Attributes& device);

// Whether two sets hold the same attributes of the device's kind.
INSTALLERSHARED_EXPORT bool sameDeviceAttributes(const Attributes& a, const Attributes& b);

// Both in one: from the file open as from, and (when installed is a valid
// descriptor) the device's from the file it replaces, onto to.
INSTALLERSHARED_EXPORT int copy(int from, int to, int installed);

// Whether the two files carry the same payload attributes, so that a file
// whose bytes did not change need not be installed again.
INSTALLERSHARED_EXPORT bool samePayloadAttributes(int a, int b);

}  // namespace XattrCopy

#endif  // XATTRCOPY_H
