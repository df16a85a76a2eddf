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

    // True when stored; otherwise false, and error, when given, says why in
    // words for the tool's user. It is cleared on success.
    bool write(const QString& storedValue, QString* error = nullptr);

private:
    bool writeInTransaction(const QString& storedValue, QString* error);

    QString databasePath;
};

#endif  // PASSWORDWRITER_H
