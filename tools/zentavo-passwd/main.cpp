#include "passwordwriter.h"

#include "aes_encryption.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>

namespace {

const char usage[] =
    "Usage: zentavo-passwd DATABASE PASSWORD\n"
    "\n"
    "Stores PASSWORD as the administrator password of the Zentavo terminal\n"
    "application in its settings database DATABASE (on the device\n"
    "/FlashDisk/Zentavo/data/Administrator_setting.db), encrypted as the\n"
    "application keeps it: column \"value\" of the row with id 3 in the table\n"
    "\"user\". An empty PASSWORD (\"\") stores an empty value: no password.\n"
    "\n"
    "The database file and the table \"user\" are created when missing; every\n"
    "other table, row and column is kept. The directory that holds DATABASE\n"
    "must exist already: it is not created. The whole change is one\n"
    "transaction, so a failed run leaves the file as it was.\n"
    "\n"
    "The password is visible in the process list while the tool runs.\n"
    "\n"
    "Exit status: 0 stored, 1 failed (nothing changed), 2 wrong arguments.\n";

void printError(const QString& message)
{
    std::fprintf(stderr, "zentavo-passwd: %s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);

    if (argc == 2 && (qstrcmp(argv[1], "--help") == 0 || qstrcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(usage, stderr);
        return 2;
    }

    const QString databasePath = QString::fromLocal8Bit(argv[1]);
    const QString password = QString::fromLocal8Bit(argv[2]);
    if (databasePath.isEmpty()) {
        printError(QStringLiteral("DATABASE must not be empty"));
        return 2;
    }

    AES_Encryption encryption;
    const QString storedValue = encryption.Encrypt(password);
    if (!password.isEmpty() && storedValue.isEmpty()) {
        printError(QStringLiteral("the password could not be encrypted"));
        return 1;
    }

    PasswordWriter writer(databasePath);
    if (!writer.write(storedValue)) {
        printError(writer.errorString());
        return 1;
    }
    return 0;
}
