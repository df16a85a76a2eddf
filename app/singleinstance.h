#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QFile>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Lets only one updater run per device: two runs side by side would install
// over each other. A later start asks the running one to bring its window to
// the front and then ends without touching any file.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SingleInstance)

public:
    // Lock and socket live in the user's runtime directory (never on the
    // stick); their name is derived from key.
    explicit SingleInstance(const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The key of the device this process works on: simulated devices under
    // different roots do not block each other.
    static QString deviceKey();

    // False only when another instance holds the lock. Otherwise this one
    // holds it until destroyed and listens for later starts.
    bool claim();

    // Asks the instance that holds the lock to show its window. True when
    // the request was delivered.
    bool activateRunningInstance(int timeoutMilliseconds = 500);

    // Raises and activates the visible top-level window (the password prompt
    // or the main window); the keyboard's tool windows do not count.
    static void activateVisibleWindow();

    QString lockFilePath() const { return lockPath; }
    QString serverName() const { return socketPath; }

Q_SIGNALS:
    void notifyActivationRequested();

private Q_SLOTS:
    void onNewConnection();

private:
    void listen();

    QString lockPath;
    QString socketPath;
    QFile lockFile;
    // A plain Unix socket: Qt Network (and the Kerberos libraries it pulls in)
    // would cost every start of the updater for one message a run at most.
    int serverSocket = -1;
    QSocketNotifier* serverNotifier = nullptr;
};

#endif // SINGLEINSTANCE_H
