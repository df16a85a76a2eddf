#include "devicepath.h"

#include <QtTest>

class TestDevicePath : public QObject
{
    Q_OBJECT

private slots:
    void map()
    {
        // Unset or empty, as on the device: paths stand as they are.
        qunsetenv("ZENTAVO_DEVICE_ROOT");
        QCOMPARE(DevicePath::map("/USB HD/Zentavo_Installer"), QString("/USB HD/Zentavo_Installer"));
        const struct { const char* root; const char* devicePath; QString expected; } cases[] = {
            {"", "/FlashDisk/System", "/FlashDisk/System"},
            {"/tmp/device//", "/FlashDisk/x", "/tmp/device/FlashDisk/x"},
            {"/tmp/Gerät Sim", "/USB HD/x", "/tmp/Gerät Sim/USB HD/x"},
            {"/tmp/device", "data/x.db", "data/x.db"},
        };
        for (const auto& c : cases) {
            qputenv("ZENTAVO_DEVICE_ROOT", c.root);
            QCOMPARE(DevicePath::map(c.devicePath), c.expected);
            QCOMPARE(DevicePath::map(QString(c.devicePath)), c.expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestDevicePath)
#include "tst_devicepath.moc"
