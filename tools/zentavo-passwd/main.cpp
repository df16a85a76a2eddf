#include "passwordinput.h"
#include "passwordwriter.h"
#include "settingsfile.h"
#include "settingslayout.h"

#include "aes_encryption.h"
#include "dbconnection.h"
#include "keyboardcharacters.h"
#include "usermenuitemrepository.h"

#include <QApplication>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstring>

namespace {

// %1 the database on the device, %2 the table, %3 the row's id, %4 the column.
const char usage[] =
    "Usage: zentavo-passwd DATABASE [PASSWORD]\n"
    "       zentavo-passwd --check DATABASE\n"
    "\n"
    "Stores the administrator password of the Zentavo terminal application in\n"
    "its settings database DATABASE (on the device\n"
    "%1), encrypted as the\n"
    "application keeps it: column \"%4\" of the row with id %3 in the table\n"
    "\"%2\". Without PASSWORD the password is read from standard input: one\n"
    "line; from a terminal it is asked for twice, without echo. An empty\n"
    "password (an empty line, or \"\" as PASSWORD) stores an empty value: no\n"
    "password. A PASSWORD given as an argument shows in the process list and\n"
    "the shell's history: prefer standard input.\n"
    "\n"
    "The database file and the table \"%2\" are created when missing; every\n"
    "other table, row and column is kept. The directory that holds DATABASE\n"
    "must exist already: it is not created. The whole change is one\n"
    "transaction, so a failed run leaves the file as it was.\n"
    "\n"
    "The password must be one the updater's prompt can take: at most 50\n"
    "characters, each one its on-screen keyboard can type. Any other is\n"
    "refused, and the message names what the keyboard lacks.\n"
    "\n"
    "--check reads one line from standard input (from a terminal: asked for\n"
    "once, without echo) and reads DATABASE as the updater does, changing\n"
    "nothing. It exits 0 when the line is the stored password, and 1 with a\n"
    "message when it is not, or when no password can be read.\n"
    "\n"
    "Exit status: 0 stored (or matched), 1 failed (nothing changed) or no\n"
    "match, 2 wrong arguments.\n";

const int maxPasswordLength = 50;

QByteArray usageText()
{
    using namespace SettingsLayout;
    return QString::fromLatin1(usage)
        .arg(QString::fromLatin1(devicePath), userTable, QString::number(administratorPasswordId),
             valueColumn)
        .toLocal8Bit();
}

void printError(const QString& message)
{
    std::fprintf(stderr, "zentavo-passwd: %s\n", message.toLocal8Bit().constData());
}

// The prompt takes at most 50 characters, typed on the on-screen keyboard
// only: any other password would lock the device for good. error names what
// the prompt cannot take.
bool promptCanTake(const QString& password, QString* error)
{
    if (password.size() > maxPasswordLength) {
        *error = QStringLiteral("the password has %1 characters; the prompt takes at most %2")
                     .arg(password.size())
                     .arg(maxPasswordLength);
        return false;
    }
    const QString typeable = KeyboardCharacters::typeable();
    QStringList untypeable;
    for (const QChar c : password) {
        const QString quoted = QLatin1Char('"') + c + QLatin1Char('"');
        if (!typeable.contains(c) && !untypeable.contains(quoted))
            untypeable << quoted;
    }
    if (!untypeable.isEmpty()) {
        *error = QStringLiteral("the on-screen keyboard cannot type %1")
                     .arg(untypeable.join(QStringLiteral(", ")));
        return false;
    }
    return true;
}

// Stores password, after the checks the prompt's keyboard asks for.
int store(const QString& databasePath, const QString& password)
{
    QString error;
    if (!promptCanTake(password, &error)) {
        printError(error);
        return 1;
    }
    AES_Encryption encryption;
    const QString storedValue = encryption.Encrypt(password);
    if (!password.isEmpty() && storedValue.isEmpty()) {
        printError(QStringLiteral("the password could not be encrypted"));
        return 1;
    }
    if (!PasswordWriter(databasePath).write(storedValue, &error)) {
        printError(error);
        return 1;
    }
    return 0;
}

// The stored password as the updater reads it; false, with error, when the
// updater would find none or could not read it.
bool readStored(const QString& databasePath, QString* password, QString* error)
{
    int lookError = 0;
    const SettingsFile::Presence presence = SettingsFile::presence(databasePath, &lookError);
    if (presence == SettingsFile::Absent) {
        *error = QStringLiteral("%1 does not exist: no password is stored").arg(databasePath);
        return false;
    }
    if (presence == SettingsFile::Unknown) {
        *error = QStringLiteral("cannot tell whether %1 is there (%2): the stored password cannot be read")
                     .arg(databasePath, QString::fromLocal8Bit(std::strerror(lookError)));
        return false;
    }
    DBConnection connection(nullptr, SettingsLayout::driver, databasePath);
    UserMenuItemRepository repository(nullptr, &connection);
    bool unreadable = false;
    const QVariant value = repository.loadValue(SettingsLayout::administratorPasswordId, &unreadable);
    bool decrypted = false;
    *password = AES_Encryption().Decrypt(value.toString(), &decrypted);
    if (unreadable)
        *error = QStringLiteral("%1 cannot be read: the stored password cannot be read").arg(databasePath);
    else if (!decrypted)
        *error = QStringLiteral("the stored password cannot be decrypted (damaged, or another key)");
    else if (password->isEmpty())
        *error = QStringLiteral("no password is stored in %1").arg(databasePath);
    return error->isEmpty();
}

int check(const QString& databasePath)
{
    QString typed;
    QString error;
    if (!PasswordInput::read("Password: ", false, &typed, &error)) {
        printError(error);
        return 1;
    }
    QString stored;
    if (!readStored(databasePath, &stored, &error)) {
        printError(error);
        return 1;
    }
    if (typed != stored) {
        printError(QStringLiteral("that is not the stored password"));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    // The keyboard's windows are made (never shown) to learn what it types:
    // no display is needed for that.
    // The platform's own remarks (runtime folder and the like) and the
    // settings reader's debug lines are no business of the tool's user; its
    // errors are printed below.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    if (argc == 2 && (qstrcmp(argv[1], "--help") == 0 || qstrcmp(argv[1], "-h") == 0)) {
        std::fputs(usageText().constData(), stdout);
        return 0;
    }
    const bool checking = argc >= 2 && qstrcmp(argv[1], "--check") == 0;
    const int databaseIndex = checking ? 2 : 1;
    if (argc <= databaseIndex || argc > 3) {
        std::fputs(usageText().constData(), stderr);
        return 2;
    }
    const QString databasePath = QString::fromLocal8Bit(argv[databaseIndex]);
    if (databasePath.isEmpty()) {
        printError(QStringLiteral("DATABASE must not be empty"));
        return 2;
    }
    if (checking)
        return check(databasePath);
    if (argc == 3)
        return store(databasePath, QString::fromLocal8Bit(argv[2]));

    QString password;
    QString error;
    if (!PasswordInput::read("New administrator password: ", true, &password, &error)) {
        printError(error);
        return 1;
    }
    return store(databasePath, password);
}
