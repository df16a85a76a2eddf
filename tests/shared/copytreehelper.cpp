// Copies a tree with FileUtils and exits 0 on success, 1 on failure.
#include "fileutils.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3)
        return 2;
    FileUtils fileUtils;
    return fileUtils.CopyRecursivelyOverwrite(arguments.at(1), arguments.at(2), QStringList()) ? 0 : 1;
}
