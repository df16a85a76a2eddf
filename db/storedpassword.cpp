#include "storedpassword.h"

#include "aes_encryption.h"
#include "dbconnection.h"
#include "settingsfile.h"
#include "settingslayout.h"
#include "usermenuitemrepository.h"

#include <QVariant>

StoredPassword::Result StoredPassword::read(const QString& databasePath)
{
    // Only nothing at all is "no database". Whatever else is there (a link,
    // a FIFO, a folder) may hide a password, and the connection refuses to
    // read it; a path that cannot be looked at, or that runs into a link to
    // nothing, may hide one too. Both make it unreadable, never "no password".
    int error = 0;
    switch (SettingsFile::presence(databasePath, &error)) {
    case SettingsFile::Absent:
        return {Absent, QString()};
    case SettingsFile::Unknown:
        return {Unreadable, QString()};
    case SettingsFile::Present:
        break;
    }

    DBConnection connection(nullptr, SettingsLayout::driver, databasePath);
    UserMenuItemRepository repository(nullptr, &connection);
    // A database that exists but cannot be read (locked, damaged, not a
    // database) may well hold a password: that is no "no password".
    bool unreadable = false;
    const QVariant storedValue = repository.loadValue(SettingsLayout::administratorPasswordId, &unreadable);
    AES_Encryption encryption;
    bool decrypted = false;
    const QString value = encryption.Decrypt(storedValue.toString(), &decrypted);
    // A damaged or foreign value must not read as "no password", which
    // would open the updater to anyone.
    if (unreadable || !decrypted)
        return {Unreadable, QString()};
    return {Stored, value};
}
