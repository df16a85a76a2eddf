#ifndef FILEINSTALLER_H
#define FILEINSTALLER_H

#include "fileutils.h"
#include "ifileinstaller.h"

#include <QObject>
#include <QString>
#include <QTimer>

// The file work of one update run: payload test, request-file clearing,
// backup clearing, tree copies, payload deletion, the stick watch and the
// start of the terminal application.
class PayloadCheck;

class FileInstaller : public IFileInstaller
{
    Q_OBJECT
    Q_DISABLE_COPY(FileInstaller)

public:
    explicit FileInstaller(QObject* parent = nullptr);
    ~FileInstaller() override;

    bool isUpdateAvailable() override;
    bool install() override;
    bool deleteInstallerDirectory() override;
    void startStickWatch() override;
    void startTerminal() override;
    QString updateVersion() override;

    // ProductVersion of the "080704b0" string table of the PE file at path,
    // or the package-metadata version of the ELF program at path; a null
    // QString on any failure. An empty path means our own executable.
    QString productVersion(const QString& path);

    // Test seam: the stick poll interval. Production code never changes it.
    void setStickPollInterval(int milliseconds);

signals:
    void notifyStickRemoved();

private slots:
    void onTimerTimeout();

private:
    void writeLine(QString text);
    bool removeFiles(QString dir, QString pattern);
    bool hasInstalledApplication();
    bool hasBackup();
    int checkPayload(PayloadCheck* check);
    void startProgram(QString path);
    QString joinPath(QString base, const char* suffix);

    FileUtils fileUtils;
    QTimer stickTimer;
    QString installerSystemDir;
    QString systemDir;
    QString installerAppDir;
    QString appDir;
    QString backupDir;
    QString backupSystemDir;
    QString backupAppDir;
    QString appExePath;
    QString installerAppExePath;
    QString stickInstallerDir;
    int stickPollInterval = 100;
};

#endif  // FILEINSTALLER_H
