#ifndef FILEUTILS_H
#define FILEUTILS_H

#include "installershared_global.h"

#include <QString>
#include <QStringList>

// File and directory helpers of the updater. Stateless; held by value.
class INSTALLERSHARED_EXPORT FileUtils
{
public:
    FileUtils();
    ~FileUtils();

    // Copies every entry of source to the same relative path below target,
    // replacing files of the same name and creating directories as needed.
    // Crash-safe: a target path always holds the complete old or the complete
    // new file. Links are copied as links; permission bits, times and (as
    // root) owners are kept; special files are skipped. A failed entry is
    // logged and the rest is still copied. True only when everything was
    // copied and synced; false at once for a target inside the source. The
    // list is reserved (no caller passes one) and ignored.
    bool CopyRecursivelyOverwrite(const QString& source, const QString& target,
                                  const QStringList& list);

    // Removes the directory and everything below it; links are removed as
    // links. A missing directory counts as removed.
    bool removeDir(const QString& path);

    // True only for a regular file (or a link to one), never for a directory.
    bool fileExists(QString path);

    // True only for a directory.
    bool dirExists(QString path);

private:
    friend class TestFileUtils;

    // Lets a test reach the batch commits with a small tree; 0 restores the
    // defaults. Production code never calls it.
    static void setBatchLimits(qint64 bytes, int files);
};

#endif // FILEUTILS_H
