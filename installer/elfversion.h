#ifndef ELFVERSION_H
#define ELFVERSION_H

#include "peversion.h"

#include <QByteArray>
#include <QString>

class QIODevice;

// Reads the version of a Linux program: the "version" of its FDO package
// metadata note (owner "FDO", type 0xcafe1a7e, a JSON object), as GNU ld's
// --package-metadata and debhelper write it. ELF32 and ELF64, either byte
// order. The notes are looked for through the program headers first, so that
// a program stripped of its section headers still tells its version, then
// through the section headers. Like the PE reader it takes the file as
// hostile: every offset, size and count is checked against the file before
// anything is read, so a malformed file yields an error and never a read
// outside what was read from disk. Errors are the PE reader's codes.
class ElfVersion
{
public:
    // Whether the device, or the regular file at path, starts with the ELF magic.
    static bool isElf(QIODevice* device);
    static bool isElfFile(const QString& path);

    // The JSON text of the package-metadata note, up to its terminating zero.
    static bool packageMetadata(QIODevice* device, QByteArray* json, PeVersion::Error* error);

    // The note's "version"; a null QString on failure, with the reason in error.
    static QString packageVersion(QIODevice* device, PeVersion::Error* error);
    static QString filePackageVersion(const QString& path, PeVersion::Error* error);
};

#endif  // ELFVERSION_H
