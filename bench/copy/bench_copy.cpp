// Times FileUtils::CopyRecursivelyOverwrite against `cp -a` followed by
// `sync -f` on the same disk, for a tree of about 1 GB of mixed files:
// three 200 MB images, 150 files of 2 MB, 3,000 small files of 4-60 KB in
// nested directories, and 50 links. Each tool copies once into an empty
// target and once more over its own previous copy.
//
//   bench_copy [work-directory]   (default: the current directory)
//
// Needs about 3 GB free below the work directory; everything is removed at
// the end.

#include "fileutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool writeRandomFile(const QString& path, qint64 size, QRandomGenerator* random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, '\0');
    for (qint64 left = size; left > 0;) {
        const int chunk = int(qMin<qint64>(left, block.size()));
        random->fillRange(reinterpret_cast<quint32*>(block.data()), (chunk + 3) / 4);
        if (file.write(block.constData(), chunk) != chunk)
            return false;
        left -= chunk;
    }
    return true;
}

bool makeTree(const QString& root)
{
    QRandomGenerator random(1208);
    const qint64 megabyte = 1024 * 1024;
    QDir().mkpath(root + QStringLiteral("/images"));
    for (int i = 0; i < 3; ++i) {
        if (!writeRandomFile(root + QStringLiteral("/images/image%1.img").arg(i), 200 * megabyte, &random))
            return false;
    }
    for (int i = 0; i < 150; ++i) {
        const QString dir = root + QStringLiteral("/libs/group%1").arg(i % 6);
        QDir().mkpath(dir);
        if (!writeRandomFile(dir + QStringLiteral("/lib%1.so").arg(i), 2 * megabyte, &random))
            return false;
    }
    for (int i = 0; i < 3000; ++i) {
        const QString dir = root + QStringLiteral("/data/a%1/b%2/c%3").arg(i % 10).arg(i % 7).arg(i % 3);
        QDir().mkpath(dir);
        const qint64 size = 4096 + random.bounded(56 * 1024);
        if (!writeRandomFile(dir + QStringLiteral("/item%1.dat").arg(i), size, &random))
            return false;
    }
    for (int i = 0; i < 50; ++i) {
        const QByteArray link = QFile::encodeName(root + QStringLiteral("/links/link%1").arg(i));
        QDir().mkpath(root + QStringLiteral("/links"));
        if (symlink(QByteArray("../libs/group" + QByteArray::number(i % 6)).constData(), link.constData()) != 0)
            return false;
    }
    return true;
}

void syncDisk(const QString& dir)
{
    const int fd = open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

double timeCp(const QString& source, const QString& target)
{
    QElapsedTimer timer;
    timer.start();
    const int result = QProcess::execute(QStringLiteral("sh"),
        { QStringLiteral("-c"), QStringLiteral("cp -a \"$1/.\" \"$2\" && sync -f \"$2\""),
          QStringLiteral("sh"), source, target });
    const double seconds = timer.nsecsElapsed() / 1e9;
    return result == 0 ? seconds : -1;
}

double timeFileUtils(const QString& source, const QString& target)
{
    FileUtils fileUtils;
    QElapsedTimer timer;
    timer.start();
    const bool ok = fileUtils.CopyRecursivelyOverwrite(source, target, QStringList());
    const double seconds = timer.nsecsElapsed() / 1e9;
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString parent = argc > 1 ? QFile::decodeName(argv[1]) : QDir::currentPath();
    QTemporaryDir work(parent + QStringLiteral("/bench-copy-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a work directory below %s\n", qPrintable(parent));
        return 1;
    }
    const QString source = work.path() + QStringLiteral("/source");
    const QString cpTarget = work.path() + QStringLiteral("/cp");
    const QString ourTarget = work.path() + QStringLiteral("/fileutils");

    std::printf("building a tree of about 1 GB in %s\n", qPrintable(source));
    std::fflush(stdout);
    if (!makeTree(source)) {
        std::fprintf(stderr, "cannot build the source tree\n");
        return 1;
    }
    syncDisk(source);

    const double cpFresh = timeCp(source, cpTarget);
    const double ourFresh = timeFileUtils(source, ourTarget);
    const double cpOver = timeCp(source, cpTarget);
    const double ourOver = timeFileUtils(source, ourTarget);

    std::printf("%-32s %10s %10s\n", "case", "cp+sync s", "ours s");
    std::printf("%-32s %10.2f %10.2f\n", "into an empty target", cpFresh, ourFresh);
    std::printf("%-32s %10.2f %10.2f\n", "over the previous copy", cpOver, ourOver);
    return cpFresh < 0 || ourFresh < 0 || cpOver < 0 || ourOver < 0 ? 1 : 0;
}
