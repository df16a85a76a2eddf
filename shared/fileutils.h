#ifndef FILEUTILS_H
#define FILEUTILS_H

#include "installershared_global.h"

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>

class PayloadCheck;

// File and directory helpers of the updater. Stateless; held by value.
class INSTALLERSHARED_EXPORT FileUtils
{
public:
    FileUtils();
    ~FileUtils();

    // Copies every entry of source to the same relative path below target,
    // replacing files of the same name and creating directories as needed,
    // all or nothing: when anything fails, target is left as it was. Files
    // whose installed counterpart has the same bytes are not rewritten. A
    // path always holds the complete old or the complete new file. Links are
    // copied as links and never followed below target; a replaced file keeps
    // its owner, a new entry takes the owner of its directory; special files
    // fail the copy. Each failed entry writes one debug line. False at once
    // for a target inside the source. The list is reserved (no caller passes
    // one) and ignored.
    bool CopyRecursivelyOverwrite(const QString& source, const QString& target, const QStringList& list);

    // The same over several trees at once: they land together or not at all.
    // The files of a source named in consumedSources, which the caller
    // deletes afterwards, are installed as hard links where they can be: the
    // bytes already lie on the flash disk.
    // With check, every source file must be one it found listed and intact.
    bool CopyTreesOverwrite(const QList<QPair<QString, QString>>& trees,
                            const QStringList& consumedSources = QStringList(),
                            const PayloadCheck* check = nullptr);

    // Removes the directory and everything below it; links are removed as
    // links, never followed, and a path that leads through a link below the
    // device's fixed roots is refused. A missing directory counts as removed.
    bool removeDir(const QString& path);

    // True only for a regular file (or a link to one), never for a directory.
    bool fileExists(QString path);

    // True only for a directory: not for a link, nor for a path that leads
    // through a link below the device's fixed roots.
    bool dirExists(QString path);
};

#endif  // FILEUTILS_H
