#include "messagehandler.h"

#include "devicepath.h"

#include <QByteArray>
#include <QFile>

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(type)
    Q_UNUSED(context)

    // Should anything below ever report through the message system itself,
    // that message is dropped rather than recursing.
    static thread_local bool writing = false;
    if (writing)
        return;
    writing = true;

    // Opened and closed per message, so every line is complete on the stick
    // when we return, whenever the technician pulls it. Append never creates
    // the installer directory: without it the message is simply lost.
    QFile file(DevicePath::map("/USB HD/Zentavo_Installer/log.txt"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        QByteArray line = message.toUtf8();
        line.append('\n');
        file.write(line);
        file.close();
    }

    writing = false;
}
