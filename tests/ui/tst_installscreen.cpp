// The install screen of the real updater's pieces on a simulated device: the
// version it shows is read from the payload's terminal program.
#include "elfcases.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList capturedLines;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message) { capturedLines.append(message); }

} // namespace

class TestInstallScreen : public QObject
{
    Q_OBJECT

private slots:
    void showsVersionOfLinuxProgram_data()
    {
        ElfCases::addRows();
    }

    void showsVersionOfLinuxProgram()
    {
        QByteArray bytes;
        const ElfCases::Case c = ElfCases::currentCase(&bytes);
        if (bytes.isEmpty())
            QSKIP(ElfCases::notBuilt);
        QTemporaryDir device;
        QVERIFY(device.isValid());
        qputenv("ZENTAVO_DEVICE_ROOT", device.path().toLocal8Bit());
        const QString payload = device.path() + QLatin1String("/FlashDisk/Zentavo_Installer");
        QVERIFY(QDir().mkpath(payload + QLatin1String("/System")));
        QVERIFY(QDir().mkpath(payload + QLatin1String("/Zentavo")));
        QVERIFY(ElfWriter::save(payload + QLatin1String("/Zentavo/Zentavo.exe"), bytes));

        InstallerView view;
        FileInstaller installer;
        InstallerViewManager manager(nullptr, &view, &installer);
        // The install screen stands while the install writes its first line.
        QString question;
        connect(&installer, &FileInstaller::NotifyWriteLine, &view, [&] {
            if (question.isNull())
                question = view.findChild<QLabel*>(QStringLiteral("txtQuestion"))->text();
        });
        capturedLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        manager.onStartup();
        qInstallMessageHandler(previous);
        qunsetenv("ZENTAVO_DEVICE_ROOT");

        QCOMPARE(question, QLatin1String("Install version ") + c.version);
        const QString noVersion = QStringLiteral("GetFileVersionInfoSize failed with error %1\n").arg(c.error);
        QCOMPARE(capturedLines.contains(noVersion), c.version.isNull());
        QVERIFY(capturedLines.contains(QStringLiteral("HandleEvents: InitialState: Successful.")));
    }
};

QTEST_MAIN(TestInstallScreen)
#include "tst_installscreen.moc"
