#ifndef DEVICEPATH_H
#define DEVICEPATH_H

#include "installershared_global.h"

#include <QString>

// The one place where the device's fixed paths ("/FlashDisk/...", "/USB HD/...")
// meet the machine we run on. With ZENTAVO_DEVICE_ROOT set (and not empty) the
// device's root is that directory, so a desktop or CI machine can simulate a
// device; unset, as on the device, paths are used as they stand.
namespace DevicePath {

INSTALLERSHARED_EXPORT QString map(const QString& devicePath);
INSTALLERSHARED_EXPORT QString map(const char* devicePath);

}  // namespace DevicePath

#endif  // DEVICEPATH_H
