#include "fileutils.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString& path) { return QFile::encodeName(path); }
bool isGone(const QString& path) { return !QFileInfo::exists(path) && !QFileInfo(path).isSymLink(); }
bool makeLink(const QString& destination, const QString& link)
{
    return symlink(native(destination).constData(), native(link).constData()) == 0;
}

bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size() && file.flush()
        && chmod(native(path).constData(), mode) == 0;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every entry below root, links not followed, parents first; "." is root.
QStringList relativePaths(const QString& root)
{
    QStringList out;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories); it.hasNext();)
        out << it.next().mid(root.size() + 1);
    out.sort();
    return QStringList{"."} + out;
}

// Type, permission bits, owner, modification time, and content or destination.
QString describeEntry(const QString& root, const QString& relative)
{
    const QString path = root + '/' + relative;
    struct stat st;
    if (lstat(native(path).constData(), &st) != 0)
        return relative + " missing";
    QString text = relative + QStringLiteral(" %1 %2:%3 ").arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid);
    text += QStringLiteral("%1.%2 ").arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
    if (S_ISLNK(st.st_mode)) {
        char buffer[4096];
        const ssize_t length = readlink(native(path).constData(), buffer, sizeof(buffer));
        text += QFile::decodeName(QByteArray(buffer, int(qMax<ssize_t>(length, 0))));
    } else if (S_ISREG(st.st_mode)) {
        text += QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1).toHex();
    }
    return text;
}

QStringList describeTree(const QString& root)
{
    QStringList out;
    for (const QString& relative : relativePaths(root))
        out.append(describeEntry(root, relative));
    return out;
}

QStringList temporaries(const QString& root)
{
    return relativePaths(root).filter(QRegularExpression("(^|/)\\.zentavo-tmp-[^/]*$"));
}

void expectCopyMessage(const QString& pattern)
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^CopyRecursivelyOverwrite: " + pattern));
}

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;
    FileUtils m_fileUtils;

    QString path(const QString& relative) const { return m_dir->path() + '/' + relative; }
    bool copy(const QString& source, const QString& target)
    {
        return m_fileUtils.CopyRecursivelyOverwrite(path(source), path(target), QStringList());
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void copiesTreeFaithfully()
    {
        const QString source = path("source");
        QVERIFY(writeFile(source + "/bin/tool", "#!/bin/sh\necho tool\n", 0755));
        QVERIFY(writeFile(source + "/bin/locked", "read only", 0444));
        QVERIFY(writeFile(source + "/data/d0/empty", QByteArray(), 0640));
        QVERIFY(chmod(native(source + "/data/d0").constData(), 0750) == 0);
        QVERIFY(makeLink("../bin/tool", source + "/data/tool-link"));
        // A sparse file: its holes must stay holes.
        const qint64 size = qint64(64) * 1024 * 1024;
        QFile sparse(source + "/sparse.img");
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.seek(size / 2) && sparse.write("middle") == 6);
        QVERIFY(sparse.resize(size));
        sparse.close();
        if (geteuid() == 0) {
            // As root the owner is kept too; the set-gid bit must survive it.
            QVERIFY(lchown(native(source + "/bin/tool").constData(), 4321, 4322) == 0);
            QVERIFY(chmod(native(source + "/bin/tool").constData(), 02755) == 0);
            QVERIFY(lchown(native(source + "/data/tool-link").constData(), 4323, 4324) == 0);
            QVERIFY(lchown(native(source + "/data/d0").constData(), 4325, 4326) == 0);
        }
        long nanoseconds = 123456789;
        for (const QString& relative : relativePaths(source)) {
            const struct timespec times[2] = {{1500000000, nanoseconds}, {1500000000, nanoseconds += 1000}};
            QVERIFY(utimensat(AT_FDCWD, native(source + '/' + relative).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
        }

        QVERIFY(copy("source", "target"));
        QCOMPARE(describeTree(path("target")), describeTree(source));
        QVERIFY(temporaries(path("target")).isEmpty());
        struct stat st;
        QVERIFY(stat(native(path("target/sparse.img")).constData(), &st) == 0);
        QVERIFY2(qint64(st.st_blocks) * 512 < size / 4, qPrintable(QString::number(st.st_blocks)));
    }

    void replacesFilesByRenameAndKeepsOthers()
    {
        const QString target = path("target");
        QVERIFY(writeFile(path("source/app.exe"), "new program", 0755));
        QVERIFY(writeFile(path("source/config/settings.ini"), "new=1\n"));
        QVERIFY(writeFile(target + "/app.exe", "a much longer old program than the new one", 0444));
        QVERIFY(writeFile(target + "/config/settings.ini", "old=0\nmore=2\n", 0600));
        QVERIFY(writeFile(target + "/config/keep.me", "device file"));
        // A second name of the old file: a copy written into the old file in
        // place, rather than renamed over it, would show here.
        QVERIFY(link(native(target + "/app.exe").constData(), native(path("old-app")).constData()) == 0);
        // What a killed run leaves behind; names that merely look similar
        // belong to the device.
        QVERIFY(writeFile(target + "/.zentavo-tmp-aB3dE9", "half writ", 0600));
        QVERIFY(writeFile(target + "/config/.zentavo-tmp-Zz0011", "half", 0600));
        QVERIFY(makeLink("x", target + "/config/.zentavo-tmp-LnK123"));
        QVERIFY(writeFile(target + "/zentavo-tmp-keep", "keep"));
        QVERIFY(writeFile(target + "/.zentavo-tm", "keep"));

        QVERIFY(copy("source", "target"));
        for (const char* name : {"app.exe", "config/settings.ini"})
            QCOMPARE(describeEntry(target, name), describeEntry(path("source"), name));
        QCOMPARE(readFile(path("old-app")), QByteArray("a much longer old program than the new one"));
        QVERIFY(temporaries(target).isEmpty());
        for (const char* name : {"config/keep.me", "zentavo-tmp-keep", ".zentavo-tm"})
            QVERIFY2(QFileInfo::exists(target + '/' + name), name);
    }

    void failedEntriesDoNotStopTheRest()
    {
        const QString source = path("source");
        const QString target = path("target");
        QVERIFY(writeFile(source + "/a-first.txt", "first"));
        QVERIFY(writeFile(source + "/conflict", "a file in the source"));
        QVERIFY(writeFile(source + "/blocked/inner.txt", "below a directory"));
        QVERIFY(writeFile(source + "/z-last/last.txt", "last"));
        // Nobody ever writes to this fifo: opening it for reading would hang.
        QVERIFY(mkfifo(native(source + "/pipe").constData(), 0644) == 0);
        // A directory where a file should go, a file where a directory should go.
        QVERIFY(writeFile(target + "/conflict/existing.txt", "keep"));
        QVERIFY(writeFile(target + "/blocked", "a file in the target"));

        for (const char* name : {"conflict", "blocked"})
            expectCopyMessage(QString(".*\"%1\" - .+$").arg(QRegularExpression::escape(target + '/' + name)));
        expectCopyMessage(".*/pipe\" - .+$");
        QVERIFY(!copy("source", "target"));
        QCOMPARE(readFile(target + "/a-first.txt"), QByteArray("first"));
        QCOMPARE(readFile(target + "/z-last/last.txt"), QByteArray("last"));
        QCOMPARE(readFile(target + "/conflict/existing.txt"), QByteArray("keep"));
        QCOMPARE(readFile(target + "/blocked"), QByteArray("a file in the target"));
        QVERIFY(isGone(target + "/pipe"));
        QVERIFY(temporaries(target).isEmpty());
    }

    void refusesMissingSourceAndTargetInsideSource()
    {
        expectCopyMessage(".*missing");
        QVERIFY(!copy("missing", "target"));
        QVERIFY(isGone(path("target")));
        QVERIFY(writeFile(path("source/file.txt"), "data"));
        QVERIFY(makeLink(path("source"), path("source-link")));
        const QStringList before = describeTree(path("source"));
        for (const char* target : {"source", "source/", "source/nested/target", "source-link/sub", "other/../source/x"}) {
            expectCopyMessage(QString());
            QVERIFY2(!copy("source", target), target);
            QCOMPARE(describeTree(path("source")), before);
        }
    }

    void commitsInBatches()
    {
        const QString source = path("source");
        const QString target = path("target");
        for (int i = 0; i < 12; ++i) {
            const QString name = QStringLiteral("/d%1/file%2").arg(i % 3).arg(i);
            QVERIFY(writeFile(source + name, QByteArray(1000 + i, char('a' + i))));
            QVERIFY(i % 2 != 0 || writeFile(target + name, "old"));
        }
        QVERIFY(makeLink("d0/file0", source + "/link"));
        // Every file and byte limit in turn ends a batch after each entry.
        for (const QPair<qint64, int>& limits : {qMakePair(qint64(1), 0), qMakePair(qint64(0), 1),
                                                 qMakePair(qint64(2500), 3)}) {
            FileUtils::setBatchLimits(limits.first, limits.second);
            const bool copied = copy("source", "target");
            FileUtils::setBatchLimits(0, 0);
            QVERIFY(copied);
            QVERIFY(temporaries(target).isEmpty());
            QCOMPARE(describeTree(target), describeTree(source));
            QVERIFY(writeFile(target + "/d0/file0", "old again"));
        }
    }

    void removeDirRemovesOnlyItsOwnTree()
    {
        const QString outside = path("outside");
        QVERIFY(writeFile(outside + "/precious.txt", "precious"));
        const QStringList outsideBefore = describeTree(outside);
        const QString doomed = path("list");
        QVERIFY(writeFile(doomed + "/a/b/c/deep.xml", "<d/>", 0444));
        QVERIFY(makeLink(outside, doomed + "/link-to-dir"));
        QVERIFY(makeLink(outside + "/precious.txt", doomed + "/a/link-to-file"));
        QVERIFY(mkfifo(native(doomed + "/a/pipe").constData(), 0644) == 0);
        QVERIFY(chmod(native(doomed + "/a/b").constData(), 0555) == 0);
        QVERIFY(m_fileUtils.removeDir(doomed));
        QVERIFY(isGone(doomed));
        // A link is removed as a link, even when a trailing slash or dot
        // would make the kernel resolve it.
        for (const QString& suffix : {"", "/", "//", "/."}) {
            QVERIFY(makeLink(outside, path("link")));
            QVERIFY2(m_fileUtils.removeDir(path("link") + suffix), qPrintable(suffix));
            QVERIFY(isGone(path("link")));
        }
        QCOMPARE(describeTree(outside), outsideBefore);

        // Missing counts as removed; the root and a plain file are refused.
        QVERIFY(m_fileUtils.removeDir(path("never/there")));
        for (const QString& refused : {QString(), QStringLiteral("/"), QStringLiteral("//.")}) {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: refused"));
            QVERIFY(!m_fileUtils.removeDir(refused));
        }
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: .*precious"));
        QVERIFY(!m_fileUtils.removeDir(outside + "/precious.txt"));
        QCOMPARE(describeTree(outside), outsideBefore);
    }

    void existence()
    {
        QVERIFY(writeFile(path("file"), "x"));
        QVERIFY(makeLink(path("file"), path("link-file")) && makeLink(path("."), path("link-dir")));
        QVERIFY(makeLink(path("gone"), path("dangling")));
        QVERIFY(mkfifo(native(path("pipe")).constData(), 0644) == 0);
        const struct { const char* entry; bool isFile, isDir; } cases[] = {
            {"file", true, false}, {"link-file", true, false}, {"link-dir", false, true}, {".", false, true},
            {"dangling", false, false}, {"pipe", false, false}, {"file/child", false, false}, {"", false, false}};
        for (const auto& c : cases) {
            const QString full = *c.entry ? path(c.entry) : QString();
            QVERIFY2(m_fileUtils.fileExists(full) == c.isFile && m_fileUtils.dirExists(full) == c.isDir, c.entry);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
