#ifndef DBTESTSUPPORT_H
#define DBTESTSUPPORT_H

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

// Records every message (debug lines and Qt's own warnings) while it lives.
class MessageRecorder
{
public:
    MessageRecorder() { lines().clear(); }
    ~MessageRecorder() { qInstallMessageHandler(previous); }
    static QStringList& lines() { static QStringList list; return list; }
    static QString text() { return lines().join(QLatin1Char('\n')); }

private:
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) { lines() << m; });
};

// Runs statements on a connection of its own (creating the file); returns the
// error, empty on success. With keepOpenAs the connection stays open under that name.
inline QString createSqliteFile(const QString& path, const QStringList& statements, const QString& keepOpenAs = QString())
{
    const QString name = keepOpenAs.isEmpty() ? QStringLiteral("fixture") : keepOpenAs;
    QString error;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        if (!database.open())
            error = database.lastError().text();
        QSqlQuery query(database);
        for (int i = 0; error.isEmpty() && i < statements.size(); ++i) {
            if (!query.exec(statements.at(i)))
                error = statements.at(i) + QStringLiteral(": ") + query.lastError().text();
        }
    }
    if (keepOpenAs.isEmpty())
        QSqlDatabase::removeDatabase(name);
    return error;
}

// Holds a database file locked, as a writer of the application would. Closing
// any other descriptor of the file in this process drops the lock: read it first.
struct ExclusiveLock
{
    explicit ExclusiveLock(const QString& path) : locked(createSqliteFile(path, {"BEGIN EXCLUSIVE"}, "lock").isEmpty()) {}
    ~ExclusiveLock()
    {
        QSqlQuery(QSqlDatabase::database(QStringLiteral("lock"), false)).exec(QStringLiteral("ROLLBACK"));
        QSqlDatabase::removeDatabase(QStringLiteral("lock"));
    }
    const bool locked;
};

inline QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

#endif // DBTESTSUPPORT_H
