#include "devicepath.h"

#include <QtTest>

class TestDevicePath : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void map_data();
    void map();

private:
    QByteArray m_saved;
    bool m_wasSet = false;
};

void TestDevicePath::init()
{
    m_wasSet = qEnvironmentVariableIsSet("ZENTAVO_DEVICE_ROOT");
    m_saved = qgetenv("ZENTAVO_DEVICE_ROOT");
}

void TestDevicePath::cleanup()
{
    if (m_wasSet)
        qputenv("ZENTAVO_DEVICE_ROOT", m_saved);
    else
        qunsetenv("ZENTAVO_DEVICE_ROOT");
}

void TestDevicePath::map_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<QString>("devicePath");
    QTest::addColumn<QString>("expected");

    QTest::newRow("unset") << false << QByteArray() << "/FlashDisk/Zentavo/Zentavo.exe"
                           << "/FlashDisk/Zentavo/Zentavo.exe";
    QTest::newRow("empty") << true << QByteArray() << "/FlashDisk/System" << "/FlashDisk/System";
    QTest::newRow("root") << true << QByteArray("/tmp/device") << "/FlashDisk/Zentavo_Installer"
                          << "/tmp/device/FlashDisk/Zentavo_Installer";
    QTest::newRow("trailing slash") << true << QByteArray("/tmp/device/") << "/FlashDisk/x"
                                    << "/tmp/device/FlashDisk/x";
    QTest::newRow("trailing slashes") << true << QByteArray("/tmp/device//") << "/FlashDisk/x"
                                      << "/tmp/device/FlashDisk/x";
    QTest::newRow("stick with space") << true << QByteArray("/srv/sim") << "/USB HD/Zentavo_Installer/log.txt"
                                      << "/srv/sim/USB HD/Zentavo_Installer/log.txt";
    QTest::newRow("stick unset") << false << QByteArray() << "/USB HD/Zentavo_Installer"
                                 << "/USB HD/Zentavo_Installer";
    QTest::newRow("root with space and umlaut") << true << QByteArray("/tmp/Gerät Sim")
                                                << "/USB HD/x" << "/tmp/Gerät Sim/USB HD/x";
    QTest::newRow("relative path untouched") << true << QByteArray("/tmp/device") << "data/x.db"
                                             << "data/x.db";
}

void TestDevicePath::map()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, root);
    QFETCH(QString, devicePath);
    QFETCH(QString, expected);

    if (set)
        qputenv("ZENTAVO_DEVICE_ROOT", root);
    else
        qunsetenv("ZENTAVO_DEVICE_ROOT");

    QCOMPARE(DevicePath::map(devicePath), expected);
    QCOMPARE(DevicePath::map(devicePath.toLatin1().constData()), expected);
}

QTEST_GUILESS_MAIN(TestDevicePath)
#include "tst_devicepath.moc"
