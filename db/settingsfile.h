#ifndef SETTINGSFILE_H
#define SETTINGSFILE_H

#include <QString>

// How the settings database is looked at before SQLite opens it. The database
// is the device's own file and is only read, so the links of the device's own
// folders on the way to it are followed (a data folder on a persistent
// partition is a common layout); the database and its side files themselves
// must be regular files, as SQLite opens them blindly.
namespace SettingsFile {

enum Presence {
    Absent,   // nothing at the path, and nothing on the way hides it
    Present,  // something is there: it may hold a password
    Unknown   // cannot tell: a link on the way leads nowhere, or the look failed
};

// Whether anything is at path; error receives the errno value of a failed
// look (0 when present or absent).
Presence presence(const QString& path, int* error);

// The first of the database at path and its journal, WAL and shared-memory
// files that is there but is no regular file (a link, FIFO, folder), or that
// cannot be looked at; empty when each is a regular file or absent.
QString firstNotRegular(const QString& path);

}  // namespace SettingsFile

#endif  // SETTINGSFILE_H
