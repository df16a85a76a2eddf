#ifndef DEVICEFONT_H
#define DEVICEFONT_H

#include <QString>

// The face every screen and key is laid out for. The device's forms name
// Arial; Liberation Sans has Arial's metrics (Debian's fonts-liberation2, to
// which fontconfig also maps the name Arial), so a text that fits on the
// device fits here, and the other way round.
namespace DeviceFont {

QString family();

// Makes it the application's default face, for the widgets whose forms name
// only a size. Call once the application object exists.
void apply();

}  // namespace DeviceFont

#endif  // DEVICEFONT_H
