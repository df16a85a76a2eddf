#include "passwordwriter.h"
#include "settingslayout.h"

#include "aes_encryption.h"
#include "keyboardcharacters.h"

#include <QApplication>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace {

// %1 the database on the device, %2 the table, %3 the row's id, %4 the column.
const char usage[] =
    "Usage: zentavo-passwd DATABASE PASSWORD\n"
    "\n"
    "Stores PASSWORD as the administrator password of the Zentavo terminal\n"
    "application in its settings database DATABASE (on the device\n"
    "%1), encrypted as the\n"
    "application keeps it: column \"%4\" of the row with id %3 in the table\n"
    "\"%2\". An empty PASSWORD (\"\") stores an empty value: no password.\n"
    "\n"
    "The database file and the table \"%2\" are created when missing; every\n"
    "other table, row and column is kept. The directory that holds DATABASE\n"
    "must exist already: it is not created. The whole change is one\n"
    "transaction, so a failed run leaves the file as it was.\n"
    "\n"
    "PASSWORD must be one the updater's prompt can take: at most 50\n"
    "characters, each one its on-screen keyboard can type. Any other is\n"
    "refused, and the message names what the keyboard lacks.\n"
    "\n"
    "The password is visible in the process list while the tool runs.\n"
    "\n"
    "Exit status: 0 stored, 1 failed (nothing changed), 2 wrong arguments.\n";

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

}  // namespace

int main(int argc, char* argv[])
{
    // The keyboard's windows are made (never shown) to learn what it types:
    // no display is needed for that.
    // The platform's own remarks (runtime folder and the like) are no
    // business of the tool's user; its errors are printed below.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    if (argc == 2 && (qstrcmp(argv[1], "--help") == 0 || qstrcmp(argv[1], "-h") == 0)) {
        std::fputs(usageText().constData(), stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(usageText().constData(), stderr);
        return 2;
    }

    const QString databasePath = QString::fromLocal8Bit(argv[1]);
    const QString password = QString::fromLocal8Bit(argv[2]);
    if (databasePath.isEmpty()) {
        printError(QStringLiteral("DATABASE must not be empty"));
        return 2;
    }

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
