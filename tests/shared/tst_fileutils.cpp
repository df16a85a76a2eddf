#include "fileutils.h"
#include "treefiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace TreeFiles;

namespace {

void expectCopyMessage(const QString& pattern)
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^CopyRecursivelyOverwrite: " + pattern));
}

bool isGone(const QString& path)
{
    struct stat st;
    return lstat(native(path).constData(), &st) != 0;
}

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT

    QString path(const QString& relative) const { return m_dir->path() + '/' + relative; }
    bool copy(const QString& source, const QString& target)
    {
        return m_fileUtils.CopyRecursivelyOverwrite(path(source), path(target), QStringList());
    }

    QScopedPointer<QTemporaryDir> m_dir;
    FileUtils m_fileUtils;

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
        QVERIFY(writeFile(source + "/data/empty", QByteArray(), 0640));
        QVERIFY(QDir().mkpath(source + "/empty-dir"));
        QVERIFY(makeLink("bin/tool", source + "/tool-link"));
        QVERIFY(makeLink("nowhere/missing", source + "/dangling"));
        QVERIFY(makeLink(path("outside"), source + "/data/outside-link"));
        QVERIFY(writeFile(path("outside/secret"), "outside"));
        for (const QString& name : {"with space.txt", "line\nbreak", "Größe ü é ß.txt", "-leading-dash",
                                    "dir with space/日本語.txt", ".hidden"})
            QVERIFY(writeFile(source + '/' + name, name.toUtf8()));
        QString deep = source + "/data";
        for (int level = 0; level < 150; ++level)
            deep += "/d" + QString::number(level % 10);
        QVERIFY(writeFile(deep + "/bottom.txt", "bottom", 0600));
        QVERIFY(chmod(native(source + "/data/d0").constData(), 0750) == 0);

        // A sparse file: its holes must stay holes. And one that spans several
        // buffers of the copy loop.
        const qint64 size = qint64(64) * 1024 * 1024;
        QFile sparse(source + "/sparse.img");
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.seek(size / 2) && sparse.write("middle") == 6);
        QVERIFY(sparse.resize(size));
        sparse.close();
        QByteArray mixed(3 * 1024 * 1024 + 17, '\0');
        for (int i = 0; i < mixed.size(); ++i)
            mixed[i] = char((unsigned(i) * 7919u) >> 3);
        QVERIFY(writeFile(source + "/mixed.bin", mixed));

        if (geteuid() == 0) {
            // As root the owner is kept too; the set-gid bit must survive it.
            QVERIFY(lchown(native(source + "/bin/tool").constData(), 4321, 4322) == 0);
            QVERIFY(chmod(native(source + "/bin/tool").constData(), 02755) == 0);
            QVERIFY(lchown(native(source + "/tool-link").constData(), 4323, 4324) == 0);
            QVERIFY(lchown(native(source + "/data/d0").constData(), 4325, 4326) == 0);
        }
        long nanoseconds = 123456789;
        for (const QString& relative : relativePaths(source))
            QVERIFY(setTimes(source + '/' + relative, 1500000000, nanoseconds += 1000));
        // The root last: setting the times of its entries does not change its
        // own, but creating entries would.
        QVERIFY(setTimes(source, 1400000000, 5));

        QVERIFY(copy("source", "target"));
        QCOMPARE(describeTree(path("target")), describeTree(source));
        QVERIFY(temporaries(path("target")).isEmpty());
        // The link to a directory outside was copied as a link, not as content.
        QCOMPARE(describeTree(path("outside")).size(), 2);
        struct stat st;
        QVERIFY(stat(native(path("target/sparse.img")).constData(), &st) == 0);
        QVERIFY2(qint64(st.st_blocks) * 512 < size / 4, qPrintable(QString::number(st.st_blocks)));
    }

    void replacesExistingFilesAndKeepsOthers()
    {
        const QString source = path("source");
        const QString target = path("target");
        QVERIFY(writeFile(source + "/app.exe", "new program", 0755));
        QVERIFY(writeFile(source + "/config/settings.ini", "new=1\n"));
        QVERIFY(writeFile(source + "/was-a-link", "now a file"));
        QVERIFY(writeFile(target + "/app.exe", "a much longer old program than the new one", 0444));
        QVERIFY(writeFile(target + "/config/settings.ini", "old=0\nmore=2\n", 0600));
        QVERIFY(writeFile(target + "/config/keep.me", "device file"));
        QVERIFY(writeFile(path("linked-file"), "must stay"));
        QVERIFY(makeLink(path("linked-file"), target + "/was-a-link"));

        QVERIFY(copy("source", "target"));
        for (const QString& name : {"app.exe", "config/settings.ini", "was-a-link"})
            QCOMPARE(describeEntry(target, name), describeEntry(source, name));
        QCOMPARE(readFile(target + "/config/keep.me"), QByteArray("device file"));
        QCOMPARE(readFile(path("linked-file")), QByteArray("must stay"));
        QVERIFY(temporaries(target).isEmpty());

        // A second copy over an identical tree changes nothing and succeeds.
        const QStringList before = describeTree(target);
        QVERIFY(copy("source", "target"));
        QCOMPARE(describeTree(target), before);
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

    void removesLeftoverTemporaries()
    {
        const QString target = path("target");
        QVERIFY(writeFile(path("source/sub/file.txt"), "new"));
        // What a killed run leaves behind: half-written files and a link.
        QVERIFY(writeFile(target + "/.zentavo-tmp-aB3dE9", "half writ", 0600));
        QVERIFY(writeFile(target + "/sub/.zentavo-tmp-Zz0011", "half", 0600));
        QVERIFY(makeLink("x", target + "/sub/.zentavo-tmp-LnK123"));
        // Names that merely look similar belong to the device.
        QVERIFY(writeFile(target + "/zentavo-tmp-keep", "keep"));
        QVERIFY(writeFile(target + "/.zentavo-tm", "keep"));

        QVERIFY(copy("source", "target"));
        QVERIFY(temporaries(target).isEmpty());
        QCOMPARE(readFile(target + "/zentavo-tmp-keep"), QByteArray("keep"));
        QCOMPARE(readFile(target + "/.zentavo-tm"), QByteArray("keep"));
        QCOMPARE(readFile(target + "/sub/file.txt"), QByteArray("new"));
    }

    void refusesMissingSourceAndTargetInsideSource()
    {
        expectCopyMessage(".*missing");
        QVERIFY(!copy("missing", "target"));
        QVERIFY(!QFileInfo::exists(path("target")));
        // A file is not a source directory either.
        QVERIFY(writeFile(path("plain"), "x"));
        expectCopyMessage(".*plain");
        QVERIFY(!copy("plain", "target"));

        QVERIFY(writeFile(path("source/file.txt"), "data"));
        QVERIFY(makeLink(path("source"), path("source-link")));
        const QStringList before = describeTree(path("source"));
        for (const char* target : {"source", "source/", "source/nested/target", "source-link", "source-link/sub",
                                   "other/../source/x"}) {
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
            if (i % 2 == 0)
                QVERIFY(writeFile(target + name, "old"));
        }
        QVERIFY(makeLink("d0/file0", source + "/link"));
        QVERIFY(writeFile(source + "/d1/conflict", "file"));
        QVERIFY(writeFile(target + "/d1/conflict/inner", "dir"));

        // Every file and byte limit in turn ends a batch after each entry.
        for (const QPair<qint64, int>& limits : {qMakePair(qint64(1), 0), qMakePair(qint64(0), 1),
                                                 qMakePair(qint64(2500), 3)}) {
            FileUtils::setBatchLimits(limits.first, limits.second);
            expectCopyMessage(".*conflict");
            const bool copied = copy("source", "target");
            FileUtils::setBatchLimits(0, 0);
            QVERIFY(!copied);
            QVERIFY(temporaries(target).isEmpty());
            for (const QString& relative : relativePaths(source)) {
                if (!relative.endsWith(QLatin1String("conflict")) && relative != QLatin1String("."))
                    QCOMPARE(describeEntry(target, relative, false), describeEntry(source, relative, false));
            }
            QVERIFY(writeFile(target + "/d0/file0", "old again"));
        }
    }

    void removeDirRemovesOnlyItsOwnTree()
    {
        const QString outside = path("outside");
        QVERIFY(writeFile(outside + "/precious.txt", "precious"));
        QVERIFY(writeFile(outside + "/sub/also.txt", "also"));
        const QStringList outsideBefore = describeTree(outside);

        const QString doomed = path("list");
        QVERIFY(writeFile(doomed + "/a/b/c/deep.xml", "<d/>", 0444));
        QVERIFY(writeFile(doomed + "/name with\nbreak", "x"));
        QVERIFY(makeLink(outside, doomed + "/link-to-dir"));
        QVERIFY(makeLink(outside + "/precious.txt", doomed + "/a/link-to-file"));
        QVERIFY(makeLink("gone", doomed + "/dangling"));
        QVERIFY(mkfifo(native(doomed + "/a/pipe").constData(), 0644) == 0);
        QVERIFY(chmod(native(doomed + "/a/b").constData(), 0555) == 0);
        QVERIFY(m_fileUtils.removeDir(doomed));
        QVERIFY(isGone(doomed));
        QCOMPARE(describeTree(outside), outsideBefore);

        // A link is removed as a link, even when a trailing slash or dot
        // would make the kernel resolve it.
        for (const QString& suffix : {"", "/", "//", "/."}) {
            QVERIFY(makeLink(outside, path("link")));
            QVERIFY2(m_fileUtils.removeDir(path("link") + suffix), qPrintable(suffix));
            QVERIFY(isGone(path("link")));
            QCOMPARE(describeTree(outside), outsideBefore);
        }
    }

    void removeDirOfMissingOrFileOrRoot()
    {
        QVERIFY(m_fileUtils.removeDir(path("never/there")));
        for (const QString& refused : {QString(), QStringLiteral("/"), QStringLiteral("//.")}) {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: refused"));
            QVERIFY(!m_fileUtils.removeDir(refused));
        }
        QVERIFY(writeFile(path("file"), "file"));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: .*file"));
        QVERIFY(!m_fileUtils.removeDir(path("file")));
        QCOMPARE(readFile(path("file")), QByteArray("file"));
    }

    void existence()
    {
        QVERIFY(writeFile(path("file"), "x"));
        QVERIFY(QDir().mkpath(path("dir")));
        QVERIFY(makeLink(path("file"), path("link-file")));
        QVERIFY(makeLink(path("dir"), path("link-dir")));
        QVERIFY(makeLink(path("gone"), path("dangling")));
        QVERIFY(mkfifo(native(path("pipe")).constData(), 0644) == 0);

        const struct { const char* entry; bool isFile; bool isDir; } cases[] = {
            {"file", true, false}, {"dir", false, true}, {"link-file", true, false}, {"link-dir", false, true},
            {"dangling", false, false}, {"pipe", false, false}, {"missing", false, false},
            {"file/child", false, false}, {"", false, false}};
        for (const auto& c : cases) {
            const QString full = *c.entry ? path(c.entry) : QString();
            QVERIFY2(m_fileUtils.fileExists(full) == c.isFile, c.entry);
            QVERIFY2(m_fileUtils.dirExists(full) == c.isDir, c.entry);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
