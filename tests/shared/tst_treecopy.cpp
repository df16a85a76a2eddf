#include "stopsignals.h"
#include "treecopy.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// What the copy engine tells its callers about a failed copy: one record per
// failure with the entry, the operation and the errno value, logged once in
// the very line the record keeps.
namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// The line the log gets for a failed entry.
QString entryLine(const char* operation, const QString& path, const char* reason)
{
    QString line;
    QDebug(&line) << "CopyRecursivelyOverwrite:" << operation << path << "-" << reason;
    return line.trimmed();
}

const qint64 oldTime = 1000000000;

bool makeOldFolder(const QString& path)
{
    const struct timespec old[2] = {{oldTime, 0}, {oldTime, 0}};
    return QDir().mkpath(path) && utimensat(AT_FDCWD, native(path).constData(), old, 0) == 0;
}

// Empty when the folder made by makeOldFolder is still empty and old; else what differs.
QString untouched(const QString& path)
{
    const QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (!entries.isEmpty())
        return "entries: " + entries.join(' ');
    struct stat st;
    if (stat(native(path).constData(), &st) != 0)
        return QStringLiteral("gone");
    return st.st_mtim.tv_sec == oldTime ? QString() : QStringLiteral("time %1").arg(st.st_mtim.tv_sec);
}

// Stands in for the process's own handling, which the stop guard restores
// and raises again when it goes.
extern "C" void ignoreStop(int)
{
}

}  // namespace

class TestTreeCopy : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> workDir;

    QString path(const QString& relative) const { return workDir->path() + '/' + relative; }

private slots:
    void init()
    {
        workDir.reset(new QTemporaryDir);
        QVERIFY(workDir->isValid());
    }

    void eachRefusalIsOneRecordAndOneLine()
    {
        QVERIFY(writeFile(path("source/conflict"), "new"));
        QVERIFY(writeFile(path("target/conflict/keep"), "old"));
        QVERIFY(writeFile(path("source/.zentavo-tmp-abc123"), "x"));
        QVERIFY(mkfifo(native(path("source/pi\npe")).constData(), 0644) == 0);
        QVERIFY(writeFile(path("source/fine.txt"), "fine"));

        struct Expected
        {
            QString path;
            const char* operation;
            const char* reason;
        };
        const QList<Expected> expected = {
            {path("target/conflict"), "cannot replace", "a directory is in the way"},
            {path("source/.zentavo-tmp-abc123"), "skipped", "name reserved for temporaries"},
            {path("source/pi\npe"), "skipped", "special file"},
        };
        // The listing order of a folder is the file system's: each line once, in any order.
        for (const Expected& e : expected)
            QTest::ignoreMessage(QtDebugMsg, entryLine(e.operation, e.path, e.reason).toUtf8().constData());
        TreeCopy copy;
        copy.addTree(path("source"), path("target"));
        QVERIFY(!copy.run());

        QCOMPARE(int(copy.failures().size()), expected.size());
        for (const Expected& e : expected) {
            const auto found = std::find_if(copy.failures().begin(), copy.failures().end(),
                                            [&](const CopyFailure& f) { return f.path == native(e.path); });
            QVERIFY2(found != copy.failures().end(), qPrintable(e.path));
            QCOMPARE(found->operation, QByteArray(e.operation));
            QCOMPARE(found->reason, QByteArray(e.reason));
            QVERIFY(found->failsCopy);
            QCOMPARE(found->line, entryLine(e.operation, e.path, e.reason));
            // A name with a line break still makes one line.
            QVERIFY(!found->line.contains('\n'));
        }
        QVERIFY(!QFileInfo::exists(path("target/fine.txt")));
    }

    void recordsTheErrnoValue()
    {
        QTest::ignoreMessage(
            QtDebugMsg, QRegularExpression("^CopyRecursivelyOverwrite: no source directory .*missing\"$"));
        TreeCopy missing;
        missing.addTree(path("missing"), path("target"));
        QVERIFY(!missing.run());
        QCOMPARE(int(missing.failures().size()), 1);
        QCOMPARE(missing.failures()[0].error, ENOENT);
        QCOMPARE(missing.failures()[0].path, native(path("missing")));

        QVERIFY(writeFile(path("source/file"), "x"));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^CopyRecursivelyOverwrite: target lies inside the source"));
        TreeCopy inside;
        inside.addTree(path("source"), path("source/sub"));
        QVERIFY(!inside.run());
        QCOMPARE(int(inside.failures().size()), 1);
        QCOMPARE(inside.failures()[0].error, EINVAL);
        QCOMPARE(inside.failures()[0].operation, QByteArray("target lies inside the source"));
    }

    // A stop request ends the copy with one record, however many entries
    // were still to go, and installs nothing.
    void aStopIsOneRecord()
    {
        for (int i = 0; i < 20; ++i)
            QVERIFY(writeFile(path(QStringLiteral("source/dir%1/file").arg(i)), "x"));
        struct sigaction previous;
        struct sigaction quiet = {};
        quiet.sa_handler = ignoreStop;
        QVERIFY(sigaction(SIGTERM, &quiet, &previous) == 0);
        {
            StopSignals guard;
            QVERIFY(raise(SIGTERM) == 0);
            QTest::ignoreMessage(QtDebugMsg,
                                 "CopyRecursivelyOverwrite: stopped by signal 15 - nothing installed");
            TreeCopy copy;
            copy.addTree(path("source"), path("target"));
            QVERIFY(!copy.run());
            QCOMPARE(int(copy.failures().size()), 1);
            QCOMPARE(copy.failures()[0].error, int(CopyFailure::StopRequested));
        }
        QVERIFY(sigaction(SIGTERM, &previous, nullptr) == 0);
        QVERIFY(!QFileInfo::exists(path("target")));
    }

    // A failed copy to a new target root leaves the folder it was to go
    // into as it was, its time included.
    void aNewRootThatFailsLeavesItsParentAsItWas()
    {
        QVERIFY(writeFile(path("source/a.txt"), "a"));
        QVERIFY(writeFile(path("source2/conflict"), "x"));
        QVERIFY(writeFile(path("target2/conflict/keep"), "old"));
        QVERIFY(makeOldFolder(path("parent")));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^CopyRecursivelyOverwrite: cannot replace .*/conflict\""));
        TreeCopy copy;
        copy.addTree(path("source"), path("parent/new-root"));
        copy.addTree(path("source2"), path("target2"));
        QVERIFY(!copy.run());
        QCOMPARE(untouched(path("parent")), QString());
    }

    // The same when the failure comes after the new root is staged: here a
    // sync that fails, with the fault shim preloaded (skipped without it).
    void aFailedSyncLeavesTheParentOfANewRootAsItWas()
    {
        if (qgetenv("ZENTAVO_SHIM_SYNC_EIO") != "1")
            QSKIP("needs the fault shim with ZENTAVO_SHIM_SYNC_EIO=1");
        QVERIFY(writeFile(path("source/a.txt"), "a"));
        QVERIFY(makeOldFolder(path("parent")));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^CopyRecursivelyOverwrite: sync failed .*new-root - "));
        TreeCopy copy;
        copy.addTree(path("source"), path("parent/new-root"));
        QVERIFY(!copy.run());
        QCOMPARE(copy.failures().back().error, EIO);
        QCOMPARE(untouched(path("parent")), QString());
    }

    void aCopyThatLandsHasNoRecord()
    {
        QVERIFY(writeFile(path("source/a/b.txt"), "b"));
        QVERIFY(writeFile(path("target/a/b.txt"), "old"));
        TreeCopy copy;
        copy.addTree(path("source"), path("target"));
        QVERIFY(copy.run());
        QVERIFY(copy.failures().empty());
    }
};

QTEST_GUILESS_MAIN(TestTreeCopy)
#include "tst_treecopy.moc"
