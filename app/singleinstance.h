#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include "uniquefd.h"

#include <QObject>
#include <QString>

#include <sys/types.h>

class QSocketNotifier;

// Lets only one updater run per device: two runs side by side would install
// over each other. A later start asks the running one to bring its window to
// the front and then ends without touching any file.
//
// Lock and socket live in "/run/zentavo-installer" below the device root,
// whatever the environment, session or user of a start: every start for one
// device meets the same lock. Only root and the owner of the device root may
// create or hold it (the lock file is theirs and private), so nobody else can
// plant a lock that keeps the updater from starting.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstance)

public:
    enum Claim {
        Claimed,     // this process holds the lock until it is destroyed
        Held,        // another process holds it
        Unavailable  // the lock cannot be had here (not trusted, no rights)
    };

    explicit SingleInstance(const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The name of the device's lock and socket. The same for every start: the
    // lock folder is the device's own, and a name taken from the way the root
    // is spelled (a link, "..") would give one device two locks.
    static QString lockKey();

    // The folder of the lock and the socket for the current device root.
    static QString lockDirectory();

    // Claimed, or why not. The kernel drops the lock when its holder ends,
    // however it ends, so a dead holder never blocks the next start. error,
    // when given, says why the lock is Unavailable; it is cleared otherwise.
    Claim claim(QString* error = nullptr);

    // Asks the instance that holds the lock to show its window. True when
    // the request was delivered.
    bool activateRunningInstance(int timeoutMilliseconds = 500);

    // Raises and activates the visible top-level window (the password prompt
    // or the main window); the keyboard's tool windows do not count.
    static void activateVisibleWindow();

    QString lockFilePath() const { return directory + QLatin1Char('/') + lockName; }
    QString serverName() const { return directory + QLatin1Char('/') + socketName; }

signals:
    void notifyActivationRequested();

private slots:
    void onNewConnection();

private:
    Claim takeLock(uid_t rootOwner, QString* error);
    void listen();

    QString directory;
    QString lockName;
    QString socketName;
    // Closed in reverse order of declaration: socket, lock, folder.
    UniqueFd directoryFd;
    UniqueFd lockFd;
    // A plain Unix socket: Qt Network (and the Kerberos libraries it pulls in)
    // would cost every start of the updater for one message a run at most.
    UniqueFd serverSocket;
    QSocketNotifier* serverNotifier = nullptr;
};

#endif  // SINGLEINSTANCE_H
