#include "devicepath.h"

#include <QtTest>

class TestDevicePath : public QObject
{
    Q_OBJECT

private slots:
    void map_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QString>("devicePath");
        QTest::addColumn<QString>("expected");

        // Unset or empty, as on the device: paths stand as they are.
        QTest::newRow("unset") << false << QByteArray() << "/USB HD/Zentavo_Installer" << "/USB HD/Zentavo_Installer";
        QTest::newRow("empty") << true << QByteArray() << "/FlashDisk/System" << "/FlashDisk/System";
        QTest::newRow("root") << true << QByteArray("/tmp/device") << "/FlashDisk/Zentavo_Installer"
                              << "/tmp/device/FlashDisk/Zentavo_Installer";
        QTest::newRow("trailing slashes") << true << QByteArray("/tmp/device//") << "/FlashDisk/x"
                                          << "/tmp/device/FlashDisk/x";
        QTest::newRow("spaces and umlaut") << true << QByteArray("/tmp/Gerät Sim") << "/USB HD/x"
                                           << "/tmp/Gerät Sim/USB HD/x";
        QTest::newRow("relative path untouched") << true << QByteArray("/tmp/device") << "data/x.db" << "data/x.db";
    }

    void map()
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
};

QTEST_GUILESS_MAIN(TestDevicePath)
#include "tst_devicepath.moc"
