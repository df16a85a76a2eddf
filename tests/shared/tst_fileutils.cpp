#include "fileutils.h"
#include "treefiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace TreeFiles;

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void copiesTreeWithModesTimesAndLinks();
    void replacesExistingFilesAndKeepsOthers();
    void failedEntryDoesNotStopTheRest();
    void skipsSpecialFilesWithoutBlocking();
    void removesLeftoverTemporaries();
    void refusesTargetInsideSource();
    void missingSourceFails();
    void copiesUnusualNamesAndDeepTrees();
    void keepsHolesAndLargeFiles();
    void commitsInBatches();

    void removeDirRemovesTreeButNotLinkedContent();
    void removeDirOfLinkRemovesOnlyTheLink();
    void removeDirOfMissingOrFile();

    void existence_data();
    void existence();

private:
    QString path(const QString& relative) const { return m_dir->path() + QLatin1Char('/') + relative; }

    QScopedPointer<QTemporaryDir> m_dir;
    FileUtils m_fileUtils;
};

void TestFileUtils::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestFileUtils::copiesTreeWithModesTimesAndLinks()
{
    const QString source = path(QStringLiteral("source"));
    QVERIFY(writeFile(source + QStringLiteral("/readme.txt"), "read me\n", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/bin/tool"), "#!/bin/sh\necho tool\n", 0755));
    QVERIFY(writeFile(source + QStringLiteral("/bin/locked"), "read only", 0444));
    QVERIFY(writeFile(source + QStringLiteral("/data/deep/er/values.dat"), QByteArray(70000, 'v'), 0600));
    QVERIFY(writeFile(source + QStringLiteral("/data/empty"), QByteArray(), 0640));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/empty-dir")));
    QVERIFY(makeLink(QStringLiteral("bin/tool"), source + QStringLiteral("/tool-link")));
    QVERIFY(makeLink(QStringLiteral("nowhere/missing"), source + QStringLiteral("/dangling")));
    QVERIFY(makeLink(path(QStringLiteral("outside")), source + QStringLiteral("/data/outside-link")));
    QVERIFY(writeFile(path(QStringLiteral("outside/secret")), "outside", 0644));
    QVERIFY(chmod(native(source + QStringLiteral("/data/deep")).constData(), 0750) == 0);
    if (geteuid() == 0) {
        // As root the owner is kept too; the set-gid bit must survive it.
        QVERIFY(lchown(native(source + QStringLiteral("/bin/tool")).constData(), 4321, 4322) == 0);
        QVERIFY(chmod(native(source + QStringLiteral("/bin/tool")).constData(), 02755) == 0);
        QVERIFY(lchown(native(source + QStringLiteral("/tool-link")).constData(), 4323, 4324) == 0);
        QVERIFY(lchown(native(source + QStringLiteral("/data/deep")).constData(), 4325, 4326) == 0);
    }

    long nanoseconds = 123456789;
    for (const QString& relative : relativePaths(source)) {
        if (relative == QLatin1String("."))
            continue;
        QVERIFY(setTimes(source + QLatin1Char('/') + relative, 1500000000, nanoseconds));
        nanoseconds += 1000;
    }
    // Directory times last: setting the times of their entries does not
    // change them, but creating entries would.
    QVERIFY(setTimes(source, 1400000000, 5));

    const QString target = path(QStringLiteral("target"));
    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));

    QCOMPARE(describeTree(target), describeTree(source));
    QVERIFY(temporaries(target).isEmpty());
    // The link to a directory outside was copied as a link, not as content.
    QCOMPARE(linkDestination(target + QStringLiteral("/data/outside-link")), path(QStringLiteral("outside")));
    QCOMPARE(describeTree(path(QStringLiteral("outside"))).size(), 2);
}

void TestFileUtils::replacesExistingFilesAndKeepsOthers()
{
    const QString source = path(QStringLiteral("source"));
    const QString target = path(QStringLiteral("target"));
    QVERIFY(writeFile(source + QStringLiteral("/app.exe"), "new program", 0755));
    QVERIFY(writeFile(source + QStringLiteral("/config/settings.ini"), "new=1\n", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/was-a-link"), "now a file", 0644));

    QVERIFY(writeFile(target + QStringLiteral("/app.exe"), "a much longer old program than the new one", 0444));
    QVERIFY(writeFile(target + QStringLiteral("/config/settings.ini"), "old=0\nmore=2\n", 0600));
    QVERIFY(writeFile(target + QStringLiteral("/config/keep.me"), "device file", 0644));
    QVERIFY(writeFile(path(QStringLiteral("linked-file")), "must stay", 0644));
    QVERIFY(makeLink(path(QStringLiteral("linked-file")), target + QStringLiteral("/was-a-link")));

    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));

    for (const QString& name : { QStringLiteral("app.exe"), QStringLiteral("config/settings.ini"),
                                 QStringLiteral("was-a-link") })
        QCOMPARE(describeEntry(target, name), describeEntry(source, name));
    QCOMPARE(readFile(target + QStringLiteral("/config/keep.me")), QByteArray("device file"));
    QCOMPARE(readFile(path(QStringLiteral("linked-file"))), QByteArray("must stay"));
    QVERIFY(temporaries(target).isEmpty());

    // A second copy over an identical tree changes nothing and succeeds.
    const QStringList before = describeTree(target);
    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));
    QCOMPARE(describeTree(target), before);
}

void TestFileUtils::failedEntryDoesNotStopTheRest()
{
    const QString source = path(QStringLiteral("source"));
    const QString target = path(QStringLiteral("target"));
    QVERIFY(writeFile(source + QStringLiteral("/a-first.txt"), "first", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/conflict"), "a file in the source", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/blocked/inner.txt"), "below a directory", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/z-last/last.txt"), "last", 0644));

    // A directory where a file should go, a file where a directory should go.
    QVERIFY(writeFile(target + QStringLiteral("/conflict/existing.txt"), "keep", 0644));
    QVERIFY(writeFile(target + QStringLiteral("/blocked"), "a file in the target", 0644));

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(
        QStringLiteral("^CopyRecursivelyOverwrite: .*\"%1\" - .+$")
            .arg(QRegularExpression::escape(target + QStringLiteral("/conflict")))));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(
        QStringLiteral("^CopyRecursivelyOverwrite: .*\"%1\" - .+$")
            .arg(QRegularExpression::escape(target + QStringLiteral("/blocked")))));
    QVERIFY(!m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));

    QCOMPARE(readFile(target + QStringLiteral("/a-first.txt")), QByteArray("first"));
    QCOMPARE(readFile(target + QStringLiteral("/z-last/last.txt")), QByteArray("last"));
    QCOMPARE(readFile(target + QStringLiteral("/conflict/existing.txt")), QByteArray("keep"));
    QCOMPARE(readFile(target + QStringLiteral("/blocked")), QByteArray("a file in the target"));
    QVERIFY(temporaries(target).isEmpty());
}

void TestFileUtils::skipsSpecialFilesWithoutBlocking()
{
    const QString source = path(QStringLiteral("source"));
    const QString target = path(QStringLiteral("target"));
    QVERIFY(writeFile(source + QStringLiteral("/before.txt"), "before", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/zz/after.txt"), "after", 0644));
    // Nobody ever writes to this fifo: opening it for reading would hang.
    QVERIFY(mkfifo(native(source + QStringLiteral("/pipe")).constData(), 0644) == 0);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^CopyRecursivelyOverwrite: .*/pipe\" - .+$")));
    QVERIFY(!m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));
    QCOMPARE(readFile(target + QStringLiteral("/before.txt")), QByteArray("before"));
    QCOMPARE(readFile(target + QStringLiteral("/zz/after.txt")), QByteArray("after"));
    struct stat st;
    QVERIFY(lstat(native(target + QStringLiteral("/pipe")).constData(), &st) != 0);
    QVERIFY(temporaries(target).isEmpty());
}

void TestFileUtils::removesLeftoverTemporaries()
{
    const QString source = path(QStringLiteral("source"));
    const QString target = path(QStringLiteral("target"));
    QVERIFY(writeFile(source + QStringLiteral("/file.txt"), "new", 0644));
    QVERIFY(writeFile(source + QStringLiteral("/sub/file.txt"), "new", 0644));
    // What a killed run leaves behind: half-written files and a link.
    QVERIFY(writeFile(target + QStringLiteral("/.zentavo-tmp-aB3dE9"), "half writ", 0600));
    QVERIFY(writeFile(target + QStringLiteral("/sub/.zentavo-tmp-Zz0011"), "half", 0600));
    QVERIFY(makeLink(QStringLiteral("x"), target + QStringLiteral("/sub/.zentavo-tmp-LnK123")));
    // Names that merely look similar belong to the device.
    QVERIFY(writeFile(target + QStringLiteral("/zentavo-tmp-keep"), "keep", 0644));
    QVERIFY(writeFile(target + QStringLiteral("/.zentavo-tm"), "keep", 0644));
    QCOMPARE(temporaries(target).size(), 3);

    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));
    QVERIFY(temporaries(target).isEmpty());
    QCOMPARE(readFile(target + QStringLiteral("/zentavo-tmp-keep")), QByteArray("keep"));
    QCOMPARE(readFile(target + QStringLiteral("/.zentavo-tm")), QByteArray("keep"));
    QCOMPARE(readFile(target + QStringLiteral("/sub/file.txt")), QByteArray("new"));
}

void TestFileUtils::refusesTargetInsideSource()
{
    const QString source = path(QStringLiteral("source"));
    QVERIFY(writeFile(source + QStringLiteral("/file.txt"), "data", 0644));
    QVERIFY(makeLink(source, path(QStringLiteral("source-link"))));
    const QStringList before = describeTree(source);

    const QStringList targets = {
        source,
        source + QStringLiteral("/"),
        source + QStringLiteral("/nested/target"),
        path(QStringLiteral("source-link")),
        path(QStringLiteral("source-link/sub")),
        path(QStringLiteral("other/../source/x")),
    };
    for (const QString& target : targets) {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^CopyRecursivelyOverwrite: ")));
        QVERIFY2(!m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()), qPrintable(target));
        QCOMPARE(describeTree(source), before);
    }
}

void TestFileUtils::missingSourceFails()
{
    const QString target = path(QStringLiteral("target"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^CopyRecursivelyOverwrite: .*missing")));
    QVERIFY(!m_fileUtils.CopyRecursivelyOverwrite(path(QStringLiteral("missing")), target, QStringList()));
    QVERIFY(!QFileInfo::exists(target));

    // A file is not a source directory either.
    QVERIFY(writeFile(path(QStringLiteral("plain")), "x"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^CopyRecursivelyOverwrite: .*plain")));
    QVERIFY(!m_fileUtils.CopyRecursivelyOverwrite(path(QStringLiteral("plain")), target, QStringList()));
}

void TestFileUtils::copiesUnusualNamesAndDeepTrees()
{
    const QString source = path(QStringLiteral("source"));
    const QStringList names = {
        QStringLiteral("with space.txt"),
        QStringLiteral("line\nbreak"),
        QStringLiteral("Größe ü é ß.txt"),
        QStringLiteral("-leading-dash"),
        QStringLiteral("dir with space/日本語.txt"),
        QStringLiteral(".hidden"),
    };
    for (const QString& name : names)
        QVERIFY(writeFile(source + QLatin1Char('/') + name, name.toUtf8(), 0644));

    QString deep = source;
    for (int level = 0; level < 150; ++level)
        deep += QStringLiteral("/d") + QString::number(level % 10);
    QVERIFY(writeFile(deep + QStringLiteral("/bottom.txt"), "bottom", 0644));

    const QString target = path(QStringLiteral("target with space"));
    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));
    QCOMPARE(describeTree(target, false), describeTree(source, false));
    QVERIFY(temporaries(target).isEmpty());
}

void TestFileUtils::keepsHolesAndLargeFiles()
{
    const QString source = path(QStringLiteral("source"));
    const QString sparse = source + QStringLiteral("/sparse.img");
    const qint64 size = qint64(64) * 1024 * 1024;
    QVERIFY(writeFile(sparse, "head", 0644));
    {
        QFile file(sparse);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(size / 2));
        QCOMPARE(file.write("middle"), qint64(6));
        QVERIFY(file.resize(size));
    }
    QByteArray mixed(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < mixed.size(); ++i)
        mixed[i] = char((unsigned(i) * 7919u) >> 3);
    QVERIFY(writeFile(source + QStringLiteral("/mixed.bin"), mixed, 0644));

    const QString target = path(QStringLiteral("target"));
    QVERIFY(m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList()));
    QCOMPARE(describeTree(target), describeTree(source));

    struct stat st;
    QVERIFY(stat(native(target + QStringLiteral("/sparse.img")).constData(), &st) == 0);
    QCOMPARE(qint64(st.st_size), size);
    // The holes were not written out as zeros.
    QVERIFY2(qint64(st.st_blocks) * 512 < size / 4, qPrintable(QString::number(st.st_blocks)));
}

void TestFileUtils::commitsInBatches()
{
    const QString source = path(QStringLiteral("source"));
    const QString target = path(QStringLiteral("target"));
    for (int i = 0; i < 12; ++i) {
        const QString name = QStringLiteral("/d%1/file%2").arg(i % 3).arg(i);
        QVERIFY(writeFile(source + name, QByteArray(1000 + i, char('a' + i)), 0644));
        if (i % 2 == 0)
            QVERIFY(writeFile(target + name, "old", 0644));
    }
    QVERIFY(makeLink(QStringLiteral("d0/file0"), source + QStringLiteral("/link")));
    QVERIFY(writeFile(source + QStringLiteral("/d1/conflict"), "file", 0644));
    QVERIFY(writeFile(target + QStringLiteral("/d1/conflict/inner"), "dir", 0644));

    // Every file and byte limit in turn ends a batch after each entry.
    for (const QPair<qint64, int>& limits : { qMakePair(qint64(1), 0), qMakePair(qint64(0), 1),
                                               qMakePair(qint64(2500), 3) }) {
        FileUtils::setBatchLimits(limits.first, limits.second);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^CopyRecursivelyOverwrite: .*conflict")));
        const bool copied = m_fileUtils.CopyRecursivelyOverwrite(source, target, QStringList());
        FileUtils::setBatchLimits(0, 0);
        QVERIFY(!copied);
        QVERIFY(temporaries(target).isEmpty());
        for (const QString& relative : relativePaths(source)) {
            if (!relative.endsWith(QLatin1String("conflict")) && relative != QLatin1String("."))
                QCOMPARE(describeEntry(target, relative, false), describeEntry(source, relative, false));
        }
        QVERIFY(writeFile(target + QStringLiteral("/d0/file0"), "old again", 0644));
    }
}

void TestFileUtils::removeDirRemovesTreeButNotLinkedContent()
{
    const QString outside = path(QStringLiteral("outside"));
    QVERIFY(writeFile(outside + QStringLiteral("/precious.txt"), "precious", 0644));
    QVERIFY(writeFile(outside + QStringLiteral("/sub/also.txt"), "also", 0644));
    const QStringList outsideBefore = describeTree(outside);

    const QString doomed = path(QStringLiteral("list"));
    QVERIFY(writeFile(doomed + QStringLiteral("/request.xml"), "<r/>", 0644));
    QVERIFY(writeFile(doomed + QStringLiteral("/a/b/c/deep.xml"), "<d/>", 0444));
    QVERIFY(writeFile(doomed + QStringLiteral("/name with\nbreak"), "x", 0644));
    QVERIFY(makeLink(outside, doomed + QStringLiteral("/link-to-dir")));
    QVERIFY(makeLink(outside + QStringLiteral("/precious.txt"), doomed + QStringLiteral("/a/link-to-file")));
    QVERIFY(makeLink(QStringLiteral("gone"), doomed + QStringLiteral("/dangling")));
    QVERIFY(mkfifo(native(doomed + QStringLiteral("/a/pipe")).constData(), 0644) == 0);
    QVERIFY(chmod(native(doomed + QStringLiteral("/a/b")).constData(), 0555) == 0);

    QVERIFY(m_fileUtils.removeDir(doomed));
    struct stat st;
    QVERIFY(lstat(native(doomed).constData(), &st) != 0);
    QCOMPARE(describeTree(outside), outsideBefore);
}

void TestFileUtils::removeDirOfLinkRemovesOnlyTheLink()
{
    const QString real = path(QStringLiteral("real"));
    QVERIFY(writeFile(real + QStringLiteral("/file.txt"), "stays", 0644));
    const QString link = path(QStringLiteral("link"));
    QVERIFY(makeLink(real, link));

    QVERIFY(m_fileUtils.removeDir(link));
    struct stat st;
    QVERIFY(lstat(native(link).constData(), &st) != 0);
    QCOMPARE(readFile(real + QStringLiteral("/file.txt")), QByteArray("stays"));

    // A trailing slash or dot resolves the link for the kernel; still only
    // the link goes.
    for (const QString& suffix : { QStringLiteral("/"), QStringLiteral("//"), QStringLiteral("/.") }) {
        QVERIFY(makeLink(real, link));
        QVERIFY2(m_fileUtils.removeDir(link + suffix), qPrintable(suffix));
        QVERIFY(lstat(native(link).constData(), &st) != 0);
        QCOMPARE(readFile(real + QStringLiteral("/file.txt")), QByteArray("stays"));
    }
}

void TestFileUtils::removeDirOfMissingOrFile()
{
    QVERIFY(m_fileUtils.removeDir(path(QStringLiteral("never-there"))));
    QVERIFY(m_fileUtils.removeDir(path(QStringLiteral("never/there/either"))));

    for (const QString& refused : { QString(), QStringLiteral("/"), QStringLiteral("//.") }) {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^removeDir: refused")));
        QVERIFY(!m_fileUtils.removeDir(refused));
    }

    // A file is not a directory; removeDir leaves it alone.
    QVERIFY(writeFile(path(QStringLiteral("file")), "file"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^removeDir: .*file")));
    QVERIFY(!m_fileUtils.removeDir(path(QStringLiteral("file"))));
    QCOMPARE(readFile(path(QStringLiteral("file"))), QByteArray("file"));
}

void TestFileUtils::existence_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("isFile");
    QTest::addColumn<bool>("isDir");

    QTest::newRow("file") << "file" << true << false;
    QTest::newRow("directory") << "dir" << false << true;
    QTest::newRow("link to file") << "link-file" << true << false;
    QTest::newRow("link to directory") << "link-dir" << false << true;
    QTest::newRow("dangling link") << "dangling" << false << false;
    QTest::newRow("fifo") << "pipe" << false << false;
    QTest::newRow("missing") << "missing" << false << false;
    QTest::newRow("below a file") << "file/child" << false << false;
    QTest::newRow("empty path") << "" << false << false;
}

void TestFileUtils::existence()
{
    QFETCH(QString, entry);
    QFETCH(bool, isFile);
    QFETCH(bool, isDir);

    QVERIFY(writeFile(path(QStringLiteral("file")), "x"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("dir"))));
    QVERIFY(makeLink(path(QStringLiteral("file")), path(QStringLiteral("link-file"))));
    QVERIFY(makeLink(path(QStringLiteral("dir")), path(QStringLiteral("link-dir"))));
    QVERIFY(makeLink(path(QStringLiteral("gone")), path(QStringLiteral("dangling"))));
    QVERIFY(mkfifo(native(path(QStringLiteral("pipe"))).constData(), 0644) == 0);

    const QString full = entry.isEmpty() ? QString() : path(entry);
    QCOMPARE(m_fileUtils.fileExists(full), isFile);
    QCOMPARE(m_fileUtils.dirExists(full), isDir);
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
