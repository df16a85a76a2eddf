#ifndef PASSWORDWRITER_H
#define PASSWORDWRITER_H

#include <QString>

// Writes the stored (already encrypted) administrator password into a settings
// database, where SettingsLayout says it belongs. Everything happens in
// one transaction, so the file is either fully updated or left as it was.
class PasswordWriter
{
public:
    explicit PasswordWriter(QString databasePath);

    bool write(const QString& storedValue);
    QString errorString() const;

private:
    bool writeInTransaction(const QString& storedValue);
    bool fail(const QString& message);

    QString databasePath;
    QString error;
};

#endif // PASSWORDWRITER_H
