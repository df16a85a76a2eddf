#ifndef TEMPNAME_H
#define TEMPNAME_H

#include <QByteArray>

#include <cerrno>
#include <ctime>

// Names of the copy's temporaries. They carry one prefix, so that a later
// run can tell the leftovers of a killed one from the device's own files; a
// marker among them also carries the time its folder had before the copy
// touched it, so that whoever sweeps the leftovers can give it back.
namespace TempName {

bool isTemp(const QByteArray& name);

// A fresh random name; with folderTime, a marker that records it.
QByteArray make(const struct timespec* folderTime = nullptr);

// The folder time a marker records; false for any other name.
bool recordedTime(const QByteArray& name, struct timespec* folderTime);

// Calls create(name) with fresh names until one is not taken: 0 with the
// name used, or the errno value of the last try. create returns 0 or -1 with
// errno set, as the system calls do.
template <typename Create>
int createUnder(QByteArray* name, Create create, const struct timespec* folderTime = nullptr)
{
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        *name = make(folderTime);
        error = create(*name) == 0 ? 0 : errno;
    }
    return error;
}

}  // namespace TempName

#endif  // TEMPNAME_H
