#include "devicefont.h"

#include <QApplication>
#include <QFont>

QString DeviceFont::family()
{
    return QStringLiteral("Liberation Sans");
}

void DeviceFont::apply()
{
    QFont font = QApplication::font();
    font.setFamily(family());
    QApplication::setFont(font);
}
