#ifndef MESSAGEHANDLER_H
#define MESSAGEHANDLER_H

#include <QString>
#include <QtGlobal>

// Appends every message of the process, one line each, to the log file in the
// installer directory on the stick. Installed with qInstallMessageHandler.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

#endif  // MESSAGEHANDLER_H
