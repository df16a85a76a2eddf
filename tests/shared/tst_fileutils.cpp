#include "fileutils.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

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

    QScopedPointer<QTemporaryDir> workDir;
    FileUtils fileUtils;

    QString path(const QString& relative) const { return workDir->path() + '/' + relative; }
    bool copy(const QString& source, const QString& target)
    {
        return fileUtils.CopyRecursivelyOverwrite(path(source), path(target), QStringList());
    }

private slots:
    void init()
    {
        workDir.reset(new QTemporaryDir);
        QVERIFY(workDir->isValid());
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
        long nanoseconds = 123456789;
        for (const QString& relative : relativePaths(source)) {
            const struct timespec times[2] = {{1500000000, nanoseconds}, {1500000000, nanoseconds += 1000}};
            QVERIFY(utimensat(AT_FDCWD, native(source + '/' + relative).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
        }

        QVERIFY(copy("source", "target"));
        QCOMPARE(describeTree(path("target")), describeTree(source));
        QVERIFY(temporaries(workDir->path()).isEmpty());
        struct stat st;
        QVERIFY(stat(native(path("target/sparse.img")).constData(), &st) == 0);
        QVERIFY2(qint64(st.st_blocks) * 512 < size / 4, qPrintable(QString::number(st.st_blocks)));
    }

    // The payload's owner never reaches the device: a replaced file keeps
    // its owner, a new entry takes its directory's; existing directories keep
    // owner, mode and times.
    void ownersComeFromTheDevice()
    {
        if (geteuid() != 0)
            QSKIP("changing owners needs root");
        const QString source = path("source");
        const QString target = path("target");
        QVERIFY(writeFile(source + "/app/replaced.bin", "new", 06755));
        QVERIFY(writeFile(source + "/app/added.bin", "added", 02755));
        QVERIFY(writeFile(source + "/app/newdir/inner.bin", "inner", 0644));
        QVERIFY(makeLink("inner.bin", source + "/app/newdir/link"));
        for (const QString& relative : relativePaths(source))
            QVERIFY(lchown(native(source + '/' + relative).constData(), 4321, 4322) == 0);
        QVERIFY(chmod(native(source + "/app").constData(), 0700) == 0);
        QVERIFY(writeFile(target + "/app/replaced.bin", "old", 0755));
        QVERIFY(lchown(native(target + "/app/replaced.bin").constData(), 777, 778) == 0);
        QVERIFY(lchown(native(target + "/app").constData(), 888, 889) == 0);
        QVERIFY(chmod(native(target + "/app").constData(), 0751) == 0);
        const struct timespec times[2] = {{1400000000, 1}, {1400000000, 2}};
        QVERIFY(utimensat(AT_FDCWD, native(target + "/app").constData(), times, 0) == 0);
        const QString appBefore = describeEntry(target, "app");

        QVERIFY(copy("source", "target"));
        QCOMPARE(describeEntry(target, "app"), appBefore);
        struct stat st;
        const struct { const char* path; uid_t uid; gid_t gid; mode_t mode; } expected[] = {
            {"app/replaced.bin", 777, 778, 0755}, {"app/added.bin", 888, 889, 0755},
            {"app/newdir", 888, 889, 0755}, {"app/newdir/inner.bin", 888, 889, 0644}};
        for (const auto& e : expected) {
            QVERIFY2(lstat(native(target + '/' + e.path).constData(), &st) == 0, e.path);
            QVERIFY2(st.st_uid == e.uid && st.st_gid == e.gid, qPrintable(describeEntry(target, e.path)));
            QVERIFY2((st.st_mode & 07777) == e.mode, qPrintable(describeEntry(target, e.path)));
        }
        QVERIFY(lstat(native(target + "/app/newdir/link").constData(), &st) == 0);
        QVERIFY(st.st_uid == 888 && st.st_gid == 889);
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
        // What a killed run leaves behind, also in folders the payload does
        // not have; names that merely look similar belong to the device.
        QVERIFY(writeFile(target + "/.zentavo-tmp-aB3dE9", "half writ", 0600));
        QVERIFY(writeFile(target + "/config/.zentavo-tmp-Zz0011", "half", 0600));
        QVERIFY(makeLink("x", target + "/config/.zentavo-tmp-LnK123"));
        QVERIFY(writeFile(target + "/data/deep/.zentavo-tmp-Dir123/sub/f", "staged dir", 0600));
        QVERIFY(writeFile(target + "/zentavo-tmp-keep", "keep"));
        QVERIFY(writeFile(target + "/.zentavo-tm", "keep"));

        QVERIFY(copy("source", "target"));
        for (const char* name : {"app.exe", "config/settings.ini"})
            QCOMPARE(describeEntry(target, name), describeEntry(path("source"), name));
        QCOMPARE(readFile(path("old-app")), QByteArray("a much longer old program than the new one"));
        QVERIFY(temporaries(target).isEmpty());
        for (const char* name : {"config/keep.me", "zentavo-tmp-keep", ".zentavo-tm", "data/deep"})
            QVERIFY2(QFileInfo::exists(target + '/' + name), name);
    }

    // Flash wears with every write: a file with the same bytes stays the
    // same inode; a difference anywhere, even with equal size and time,
    // replaces it.
    void writesOnlyWhatChanged()
    {
        const QString source = path("source");
        const QString target = path("target");
        const QByteArray big(3 * 1024 * 1024 + 17, 'x');
        QByteArray bigChanged = big;
        bigChanged[bigChanged.size() - 1] = 'y';
        QVERIFY(writeFile(source + "/same.bin", big, 0644));
        QVERIFY(writeFile(source + "/last-byte.bin", bigChanged, 0644));
        QVERIFY(writeFile(source + "/meta.bin", "same bytes", 0755));
        QVERIFY(writeFile(source + "/damaged.bin", "good data", 0644));
        QVERIFY(makeLink("same.bin", source + "/same-link"));
        QVERIFY(writeFile(target + "/same.bin", big, 0644));
        QVERIFY(writeFile(target + "/last-byte.bin", big, 0644));
        QVERIFY(writeFile(target + "/meta.bin", "same bytes", 0600));
        QVERIFY(writeFile(target + "/damaged.bin", "bad! data", 0644));
        QVERIFY(makeLink("same.bin", target + "/same-link"));
        const struct timespec times[2] = {{1500000000, 5}, {1500000000, 6}};
        for (const char* name : {"same.bin", "last-byte.bin", "damaged.bin"}) {
            QVERIFY(utimensat(AT_FDCWD, native(source + '/' + name).constData(), times, 0) == 0);
            QVERIFY(utimensat(AT_FDCWD, native(target + '/' + name).constData(), times, 0) == 0);
        }
        for (const char* name : {"same-link"}) {
            QVERIFY(utimensat(AT_FDCWD, native(source + '/' + name).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
            QVERIFY(utimensat(AT_FDCWD, native(target + '/' + name).constData(), times, AT_SYMLINK_NOFOLLOW) == 0);
        }
        auto identity = [&](const char* name) {
            struct stat st;
            lstat(native(target + '/' + name).constData(), &st);
            return QStringLiteral("%1 %2.%3").arg(st.st_ino).arg(st.st_ctim.tv_sec).arg(st.st_ctim.tv_nsec);
        };
        // Metadata changes show in the change time; give the clock a tick.
        QTest::qSleep(20);
        const QString sameBefore = identity("same.bin");
        const QString linkBefore = identity("same-link");
        struct stat st;
        QVERIFY(stat(native(target + "/meta.bin").constData(), &st) == 0);
        const ino_t metaInode = st.st_ino;
        const ino_t lastByteInode = [&] { struct stat s; stat(native(target + "/last-byte.bin").constData(), &s); return s.st_ino; }();
        const ino_t damagedInode = [&] { struct stat s; stat(native(target + "/damaged.bin").constData(), &s); return s.st_ino; }();

        QVERIFY(copy("source", "target"));
        // The target folder existed and keeps its own times.
        QCOMPARE(describeTree(target).mid(1), describeTree(source).mid(1));
        QCOMPARE(identity("same.bin"), sameBefore);
        QCOMPARE(identity("same-link"), linkBefore);
        QVERIFY(stat(native(target + "/meta.bin").constData(), &st) == 0);
        QCOMPARE(st.st_ino, metaInode);
        QVERIFY(stat(native(target + "/last-byte.bin").constData(), &st) == 0);
        QVERIFY(st.st_ino != lastByteInode);
        QVERIFY(stat(native(target + "/damaged.bin").constData(), &st) == 0);
        QVERIFY(st.st_ino != damagedInode);
    }

    // Any failure, wherever it is found, leaves every target exactly as it
    // was: same entries, bytes, modes and times, no temporary, no new folder.
    void anyFailureLeavesTheTargetsAsTheyWere()
    {
        const QString source = path("source");
        const QString target = path("target");
        QVERIFY(writeFile(source + "/a-first.txt", "first"));
        QVERIFY(writeFile(source + "/new-dir/sub/inner.txt", "new"));
        QVERIFY(writeFile(source + "/z-last/last.txt", "last"));
        QVERIFY(writeFile(target + "/a-first.txt", "old first"));
        QVERIFY(writeFile(target + "/z-last/old.txt", "old"));

        struct Case { const char* name; std::function<bool()> prepare; const char* message; };
        const Case cases[] = {
            {"folder meets a file", [&] { return writeFile(source + "/blocked/inner.txt", "x")
                                                 && writeFile(target + "/blocked", "a file"); }, "blocked"},
            {"file meets a folder", [&] { return writeFile(source + "/conflict", "x")
                                                 && writeFile(target + "/conflict/existing.txt", "keep"); }, "conflict"},
            // The device's own link to a folder is installed into; a link to anything else is in the way.
            {"folder meets a link to a file", [&] { return writeFile(source + "/linked/f", "x")
                                                 && makeLink(target + "/a-first.txt", target + "/linked"); }, "linked"},
            {"folder meets a dangling link", [&] { return writeFile(source + "/dangling/f", "x")
                                                 && makeLink(workDir->path() + "/nowhere", target + "/dangling"); }, "dangling"},
            // Nobody ever writes to this fifo: opening it for reading would hang.
            {"special file", [&] { return mkfifo(native(source + "/pipe").constData(), 0644) == 0; }, "pipe"},
            // The next run would sweep it as a leftover of a killed copy.
            {"reserved name", [&] { return writeFile(source + "/deep/.zentavo-tmp-abc123", "x"); }, "\\.zentavo-tmp-abc123"},
        };
        for (const Case& c : cases) {
            QVERIFY2(c.prepare(), c.name);
            const QStringList before = describeTree(target);
            const QStringList sourceBefore = describeTree(source);
            expectCopyMessage(QString(".*/%1\" - .+$").arg(c.message));
            QVERIFY2(!copy("source", "target"), c.name);
            QCOMPARE(describeTree(target), before);
            QCOMPARE(describeTree(source), sourceBefore);
            QVERIFY(temporaries(target).isEmpty());
            QVERIFY(QDir(source).removeRecursively() && writeFile(source + "/a-first.txt", "first"));
            QVERIFY(writeFile(source + "/new-dir/sub/inner.txt", "new") && writeFile(source + "/z-last/last.txt", "last"));
            QVERIFY(QDir(target).removeRecursively() && writeFile(target + "/a-first.txt", "old first"));
            QVERIFY(writeFile(target + "/z-last/old.txt", "old"));
        }

        // Two trees land together: a failure in the second keeps the first old.
        QVERIFY(writeFile(path("source2/conflict"), "x") && writeFile(path("target2/conflict/f"), "keep"));
        const QStringList before = describeTree(target);
        expectCopyMessage(".*/conflict\" - .+$");
        QVERIFY(!fileUtils.CopyTreesOverwrite({qMakePair(source, target), qMakePair(path("source2"), path("target2"))}));
        QCOMPARE(describeTree(target), before);
        // A missing target root is created only when everything lands.
        expectCopyMessage(".*/conflict\" - .+$");
        QVERIFY(!fileUtils.CopyTreesOverwrite({qMakePair(source, path("fresh")), qMakePair(path("source2"), path("target2"))}));
        QVERIFY(isGone(path("fresh")));
        QVERIFY(temporaries(workDir->path()).isEmpty());
        QVERIFY(QFile::remove(path("source2/conflict")));
        QVERIFY(fileUtils.CopyTreesOverwrite({qMakePair(source, path("fresh")), qMakePair(path("source2"), path("target2"))}));
        QCOMPARE(describeTree(path("fresh")), describeTree(source));
    }

    void refusesMissingSourceAndTargetInsideSource()
    {
        expectCopyMessage(".*missing");
        QVERIFY(!copy("missing", "target"));
        QVERIFY(isGone(path("target")));
        QVERIFY(writeFile(path("source/file.txt"), "data"));
        QVERIFY(makeLink(path("source"), path("source-link")));
        // A payload folder that is itself a link is no payload.
        expectCopyMessage(".*source-link");
        QVERIFY(!copy("source-link", "target"));
        QVERIFY(isGone(path("target")));
        const QStringList before = describeTree(path("source"));
        for (const char* target : {"source", "source/", "source/nested/target", "source-link/sub", "other/../source/x"}) {
            expectCopyMessage(QString());
            QVERIFY2(!copy("source", target), target);
            QCOMPARE(describeTree(path("source")), before);
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
        QVERIFY(fileUtils.removeDir(doomed));
        QVERIFY(isGone(doomed));
        // A link is removed as a link, even when a trailing slash or dot
        // would make the kernel resolve it.
        for (const char* suffix : {"", "/", "//", "/."}) {
            QVERIFY(makeLink(outside, path("link")));
            QVERIFY2(fileUtils.removeDir(path("link") + suffix), suffix);
            QVERIFY(isGone(path("link")));
        }
        QCOMPARE(describeTree(outside), outsideBefore);

        // Missing counts as removed; the root and a plain file are refused.
        QVERIFY(fileUtils.removeDir(path("never/there")));
        for (const QString& refused : {QString(), QStringLiteral("/"), QStringLiteral("//.")}) {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: refused"));
            QVERIFY(!fileUtils.removeDir(refused));
        }
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: .*precious"));
        QVERIFY(!fileUtils.removeDir(outside + "/precious.txt"));
        QCOMPARE(describeTree(outside), outsideBefore);
    }

    // Below the device's fixed roots no component of a path may be a link:
    // a linked folder on the way would make removal empty what it points to.
    void neverThroughALinkBelowTheDeviceRoots()
    {
        qputenv("ZENTAVO_DEVICE_ROOT", native(path("device")));
        const QString outside = path("outside");
        QVERIFY(writeFile(outside + "/list/order.xml", "<o/>"));
        QVERIFY(writeFile(outside + "/System/driver.dll", "driver"));
        const QStringList outsideBefore = describeTree(outside);
        QVERIFY(QDir().mkpath(path("device/FlashDisk")));
        QVERIFY(makeLink(outside, path("device/FlashDisk/Zentavo_Installer")));

        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^removeDir: refused .* a link on the way"));
        QVERIFY(!fileUtils.removeDir(path("device/FlashDisk/Zentavo_Installer/list")));
        QVERIFY(!fileUtils.dirExists(path("device/FlashDisk/Zentavo_Installer/System")));
        QVERIFY(!fileUtils.dirExists(path("device/FlashDisk/Zentavo_Installer")));
        // The link itself is removed as a link.
        QVERIFY(fileUtils.removeDir(path("device/FlashDisk/Zentavo_Installer")));
        QVERIFY(isGone(path("device/FlashDisk/Zentavo_Installer")));
        QCOMPARE(describeTree(outside), outsideBefore);
        qunsetenv("ZENTAVO_DEVICE_ROOT");
    }

    // Depth is limited by the file system only, not by PATH_MAX.
    void removeDirDeeperThanPathMax()
    {
        QVERIFY(QDir().mkpath(path("deep")));
        int fd = open(native(path("deep")).constData(), O_RDONLY | O_DIRECTORY);
        const QByteArray name(200, 'd');
        for (int level = 0; level < 30 && fd >= 0; ++level) {
            QVERIFY(mkdirat(fd, name.constData(), 0755) == 0);
            const int next = openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
            close(fd);
            fd = next;
        }
        QVERIFY(fd >= 0);
        const int file = openat(fd, "req.xml", O_WRONLY | O_CREAT, 0644);
        QVERIFY(file >= 0);
        close(file);
        close(fd);
        QVERIFY(fileUtils.removeDir(path("deep")));
        QVERIFY(isGone(path("deep")));
    }

    void existence()
    {
        QVERIFY(writeFile(path("file"), "x"));
        QVERIFY(makeLink(path("file"), path("link-file")) && makeLink(path("."), path("link-dir")));
        QVERIFY(makeLink(path("gone"), path("dangling")));
        QVERIFY(mkfifo(native(path("pipe")).constData(), 0644) == 0);
        const struct { const char* entry; bool isFile, isDir; } cases[] = {
            {"file", true, false}, {"link-file", true, false}, {"link-dir", false, false}, {".", false, true},
            {"dangling", false, false}, {"pipe", false, false}, {"file/child", false, false}, {"", false, false}};
        for (const auto& c : cases) {
            const QString full = *c.entry ? path(c.entry) : QString();
            QVERIFY2(fileUtils.fileExists(full) == c.isFile && fileUtils.dirExists(full) == c.isDir, c.entry);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
