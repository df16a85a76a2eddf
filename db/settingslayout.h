#ifndef SETTINGSLAYOUT_H
#define SETTINGSLAYOUT_H

#include "devicepath.h"

#include <QString>

// Where the terminal application keeps its administrator password, as the
// updater reads it and zentavo-passwd writes it: one column of one row of a
// table in the SQLite database below. The application owns this layout; it is
// written down here only, so that reader and writer cannot drift apart.
namespace SettingsLayout {

// On the device; DevicePath maps it onto a simulated device.
inline const char* const devicePath = "/FlashDisk/Zentavo/data/Administrator_setting.db";
inline const QString driver = QStringLiteral("QSQLITE");
inline const QString userTable = QStringLiteral("user");
inline const QString idColumn = QStringLiteral("id");
inline const QString valueColumn = QStringLiteral("value");
const int administratorPasswordId = 3;

// The database file on the machine we run on.
inline QString databasePath()
{
    return DevicePath::map(devicePath);
}

}  // namespace SettingsLayout

#endif  // SETTINGSLAYOUT_H
