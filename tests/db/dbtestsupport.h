#ifndef DBTESTSUPPORT_H
#define DBTESTSUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

// Records every message (debug lines and Qt's own warnings) while it lives,
// and passes them on to the handler it replaced.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        lines().clear();
        previous() = qInstallMessageHandler(&MessageRecorder::handle);
    }
    ~MessageRecorder() { qInstallMessageHandler(previous()); }

    static QStringList& lines()
    {
        static QStringList list;
        return list;
    }
    static QString text() { return lines().join(QLatin1Char('\n')); }
    static bool mentions(const QString& part) { return text().contains(part); }

private:
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        lines().append(message);
        if (previous())
            previous()(type, context, message);
    }
};

// Builds a real SQLite file from SQL statements on a connection of its own;
// returns the error, empty on success.
inline QString createSqliteFile(const QString& path, const QStringList& statements)
{
    const QString name = QStringLiteral("test-fixture");
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
    QSqlDatabase::removeDatabase(name);
    return error;
}

// Holds a database file locked, as a writer of the application would.
class ExclusiveLock
{
public:
    explicit ExclusiveLock(const QString& path)
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name());
        database.setDatabaseName(path);
        locked = database.open() && QSqlQuery(database).exec(QStringLiteral("BEGIN EXCLUSIVE"));
    }
    ~ExclusiveLock()
    {
        QSqlQuery(QSqlDatabase::database(name(), false)).exec(QStringLiteral("ROLLBACK"));
        QSqlDatabase::removeDatabase(name());
    }
    static QString name() { return QStringLiteral("lock-holder"); }

    bool locked = false;
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
