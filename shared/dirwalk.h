#ifndef DIRWALK_H
#define DIRWALK_H

#include "installershared_global.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <vector>

#include <sys/stat.h>

// Walks and opens directory trees from directory descriptors: no path is ever
// resolved as a whole, so depth is limited only by the file system, and no
// link below the device's fixed roots ("/FlashDisk", "/USB HD") is followed.
// Everything on the flash disk may come from a payload and is not trusted.
namespace DirWalk {

// Opens the folder that holds the last component of path and gives that
// component's name. Components below a fixed root are opened without
// following links; the fixed root and what lies above it are taken as they
// are. Invalid on failure, with the errno value in error (ELOOP: a link on the way).
INSTALLERSHARED_EXPORT UniqueFd openParent(const QByteArray& path, QByteArray* name, int* error);

// lstat of path, reached as openParent reaches it. False on failure, with
// the errno value in error when it is given.
INSTALLERSHARED_EXPORT bool lstatPath(const QByteArray& path, struct stat* st, int* error = nullptr);

// Opens the folder at path, reached as openParent reaches it, the folder
// itself included: invalid with the errno value in error when it cannot
// (ENOTDIR or ELOOP for a link).
INSTALLERSHARED_EXPORT UniqueFd openDirectory(const QByteArray& path, int* error);

// Opens one of the device's own roots (a target of the copy), which may be a
// link or a mount point; errno set when it cannot.
INSTALLERSHARED_EXPORT UniqueFd openRoot(const QByteArray& path);

// Opens the folder name below parentFd: never through a link, never
// blocking, and with O_NOATIME where we may, so that listing a folder does
// not write its inode. errno set when it cannot.
INSTALLERSHARED_EXPORT UniqueFd openFolder(int parentFd, const QByteArray& name);

// Opens the folder behind the device's own link name below parentFd, which
// must still lead to the folder expected (same device and inode): ESTALE
// when it leads elsewhere now.
INSTALLERSHARED_EXPORT UniqueFd openFolderThroughLink(int parentFd, const QByteArray& name,
                                                      const struct stat& expected);

// The first component of path below a fixed root that is a link, the last
// component included; empty when there is none.
INSTALLERSHARED_EXPORT QByteArray firstLink(const QByteArray& path);

// The first of paths that exists but is not a regular file (a link, FIFO,
// socket, device or folder), reached as lstatPath reaches it; empty when each
// is a regular file or absent. A path that cannot be looked at counts as not
// regular. For files that a library would otherwise open blindly.
INSTALLERSHARED_EXPORT QByteArray firstNotRegular(const QList<QByteArray>& paths);

// dir and name joined by one slash: for messages, never opened.
INSTALLERSHARED_EXPORT QByteArray joinPath(const QByteArray& dir, const QByteArray& name);

// One entry of a folder with its lstat; error is the errno value of a
// failed lstat, and st is then not filled.
struct INSTALLERSHARED_EXPORT Entry
{
    QByteArray name;
    struct stat st;
    int error = 0;
};

// Reads the whole folder open as fd, "." and ".." left out, before anything
// is done with it: removing or creating entries while reading could skip or
// repeat some. An entry gone since it was listed is left out. False, with
// error set, when the folder could not be read to its end; entries then
// holds what was read.
INSTALLERSHARED_EXPORT bool readDirectory(int fd, std::vector<Entry>* entries, int* error);

// What a walk reports. Paths are the walked folder's path joined with the
// names below it: for messages only, never opened.
struct INSTALLERSHARED_EXPORT Visitor
{
    // An entry that is not a directory (file, link, FIFO, socket, device).
    std::function<void(int dirFd, const char* name, const struct stat& st, const QByteArray& path)> entry;
    // A directory: whether to walk into it. Unset: every one.
    std::function<bool(const char* name, const QByteArray& path)> enter;
    // A directory walked into, after everything below it.
    std::function<void(int parentFd, const char* name, const QByteArray& path)> leave;
    // Something that could not be read or opened; errno value given.
    std::function<void(const QByteArray& path, int error)> failure;
    // A folder walked into, the starting one included, with its descriptor
    // and its entries, before any of them is handed to entry or enter.
    std::function<void(int fd, const QByteArray& path, const std::vector<Entry>& entries)> folder;
    // A walk stays on the file system and mount of the folder it starts
    // from, as rm --one-file-system does: a mount point below is neither
    // walked into nor emptied.
    bool oneFileSystem = true;
    // Folders walked into get their owner's read, write and search
    // permissions, as removing what is in them needs those.
    bool makeWritable = false;
};

// Walks the tree below the directory open as fd, depth first, one
// descriptor at a time: it climbs back up through "..", checked against the
// folder it came from, so it never leaves the tree even when the tree is
// changed under it. Links are entries, never followed. A folder that cannot
// be opened or read goes to failure. False when the walk had to stop early
// (the tree moved).
INSTALLERSHARED_EXPORT bool walk(UniqueFd fd, const QByteArray& path, const Visitor& visitor);

// What a removal reports for each entry it could not read (reading true) or
// not remove: the path, for messages, and the errno value.
using RemovalFailure = std::function<void(const QByteArray& path, int error, bool reading)>;

// Removes the entry name of the folder open as parentFd: a file, link or
// special file is unlinked, a folder is emptied with walk() and removed.
// path names the entry in messages. True when the entry is gone, including
// when it was not there. Whatever is mounted below the entry stays, and the
// entry with it.
INSTALLERSHARED_EXPORT bool removeAt(int parentFd, const QByteArray& name, const QByteArray& path,
                                     const RemovalFailure& failed);

}  // namespace DirWalk

#endif  // DIRWALK_H
