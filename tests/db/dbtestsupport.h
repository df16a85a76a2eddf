#ifndef DBTESTSUPPORT_H
#define DBTESTSUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every message (debug lines and Qt's own warnings) while it lives,
// and passes them on to the handler it replaced.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        messages().clear();
        previous() = qInstallMessageHandler(&MessageRecorder::handle);
    }
    ~MessageRecorder() { qInstallMessageHandler(previous()); }

    QStringList all() const { return messages(); }
    bool contains(const QString& text) const { return messages().contains(text); }
    bool mentions(const QString& part) const
    {
        for (const QString& message : messages()) {
            if (message.contains(part))
                return true;
        }
        return false;
    }
    void clear() { messages().clear(); }

private:
    Q_DISABLE_COPY(MessageRecorder)

    static QStringList& messages()
    {
        static QStringList list;
        return list;
    }
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        messages().append(message);
        if (previous())
            previous()(type, context, message);
    }
};

// Builds a real SQLite file from SQL statements on a connection of its own.
inline bool createSqliteFile(const QString& path, const QStringList& statements, QString* error = nullptr)
{
    const QString name = QStringLiteral("test-fixture");
    bool ok = true;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        ok = database.open();
        if (ok) {
            QSqlQuery query(database);
            for (const QString& statement : statements) {
                if (!query.exec(statement)) {
                    if (error)
                        *error = statement + QStringLiteral(": ") + query.lastError().text();
                    ok = false;
                    break;
                }
            }
        } else if (error) {
            *error = database.lastError().text();
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

inline QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

inline bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

#endif // DBTESTSUPPORT_H
