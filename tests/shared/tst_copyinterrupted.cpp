#include "fileutils.h"
#include "treefiles.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace TreeFiles;

// Kills a real copying process at random moments and checks that every
// target file is then either its complete old or its complete new version.
class TestCopyInterrupted : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_source = m_dir.path() + "/source";
    QString m_target = m_dir.path() + "/target";
    QMap<QString, QByteArray> m_new;  // relative path -> content
    QMap<QString, QByteArray> m_old;

    // Content that tells its version and its length apart at every position.
    static QByteArray content(const QString& name, char version, int size)
    {
        const QByteArray line = name.toUtf8() + ' ' + version + ' ' + QByteArray::number(size) + '\n';
        return line.repeated(size / line.size() + 1).left(size);
    }

    void fillOldTarget()
    {
        QVERIFY(FileUtils().removeDir(m_target));
        for (auto it = m_old.cbegin(); it != m_old.cend(); ++it)
            QVERIFY(writeFile(m_target + '/' + it.key(), it.value()));
        QVERIFY(writeFile(m_target + "/latest", "old regular file"));
    }

    void checkOldOrNew(int* oldFiles, int* newFiles)
    {
        *oldFiles = *newFiles = 0;
        for (const QString& relative : relativePaths(m_target)) {
            const QString full = m_target + '/' + relative;
            if (QFileInfo(full).isDir() || relative.section('/', -1).startsWith(".zentavo-tmp-"))
                continue;
            const QByteArray data = readFile(full);
            if (relative == QLatin1String("latest")) {
                QVERIFY2(QFileInfo(full).isSymLink() || data == "old regular file", "latest");
                continue;
            }
            QVERIFY2(m_new.contains(relative), qPrintable("unexpected entry " + relative));
            const bool isNew = data == m_new.value(relative);
            QVERIFY2(isNew || (m_old.contains(relative) && data == m_old.value(relative)),
                     qPrintable("partly written: " + relative));
            ++*(isNew ? newFiles : oldFiles);
        }
        // Old files are never removed before their replacement is in place.
        for (const QString& name : m_old.keys())
            QVERIFY2(QFileInfo::exists(m_target + '/' + name), qPrintable(name));
    }

    // Milliseconds the run took, or -1 when it failed without being killed.
    qint64 runHelper(int killAfterMs, bool* killed)
    {
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        helper.start(QStringLiteral(COPY_TREE_HELPER), {m_source, m_target});
        if (!helper.waitForStarted())
            return -1;
        *killed = false;
        if (killAfterMs >= 0 && !helper.waitForFinished(killAfterMs)) {
            helper.kill();  // SIGKILL
            *killed = true;
        }
        helper.waitForFinished(60000);
        const bool failed = helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0;
        return !*killed && failed ? -1 : timer.elapsed();
    }

private slots:
    void initTestCase()
    {
        // About 10 MB in 90 files, from empty to 1 MB; most exist in an old
        // version of another length, some are new, one is a link.
        QRandomGenerator random(20261208);
        for (int i = 0; i < 90; ++i) {
            const QString name = QStringLiteral("dir%1/sub%2/file %3.bin").arg(i % 4).arg(i % 3).arg(i);
            const int newSize = i == 0 ? 0 : (i % 10 == 0 ? 1024 * 1024 : random.bounded(300 * 1024));
            m_new.insert(name, content(name, 'N', newSize));
            if (i % 7 != 0)
                m_old.insert(name, content(name, 'O', random.bounded(1, 400 * 1024)));
            QVERIFY(writeFile(m_source + '/' + name, m_new.value(name), i % 5 == 0 ? 0755 : 0644));
        }
        QVERIFY(makeLink("dir0/sub0/file 0.bin", m_source + "/latest"));
    }

    void everyFileOldOrNewAfterKill()
    {
        fillOldTarget();
        bool killed = false;
        const qint64 fullRun = runHelper(-1, &killed);
        QVERIFY(fullRun >= 0);
        QCOMPARE(describeTree(m_target, false), describeTree(m_source, false));

        // Twenty kills at moments spread over a whole run. A run that finishes
        // before its kill narrows the range to the time a run really takes.
        int killedRuns = 0;
        int rounds = 0;
        int killedWhileReplacing = 0;
        qint64 range = fullRun;
        QRandomGenerator random(QRandomGenerator::global()->generate());
        while (killedRuns < 20 && rounds < 60) {
            ++rounds;
            fillOldTarget();
            const int delay = random.bounded(int(range) + 1);
            const qint64 elapsed = runHelper(delay, &killed);
            QVERIFY(elapsed >= 0);
            if (!killed)
                range = qBound<qint64>(1, elapsed, range);
            int oldFiles = 0;
            int newFiles = 0;
            checkOldOrNew(&oldFiles, &newFiles);
            if (QTest::currentTestFailed()) {
                qInfo() << "round" << rounds << "killed after" << delay << "ms";
                return;
            }
            killedRuns += killed;
            killedWhileReplacing += killed && oldFiles > 0 && newFiles > 0;
        }
        qInfo() << "full copy" << fullRun << "ms," << killedRuns << "of" << rounds << "runs killed mid-copy,"
                << killedWhileReplacing << "of them while replacing files";
        QVERIFY(killedRuns >= 10);

        // A clean copy after the last kill clears the leftovers and completes the tree.
        QVERIFY(FileUtils().CopyRecursivelyOverwrite(m_source, m_target, QStringList()));
        QVERIFY(temporaries(m_target).isEmpty());
        QCOMPARE(describeTree(m_target, false), describeTree(m_source, false));
    }
};

QTEST_GUILESS_MAIN(TestCopyInterrupted)
#include "tst_copyinterrupted.moc"
