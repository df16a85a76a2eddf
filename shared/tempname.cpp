#include "tempname.h"

#include <QList>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdlib>

namespace TempName {

namespace {

const char prefix[] = ".zentavo-tmp-";
const char timeMark[] = "-t";

}  // namespace

bool isTemp(const QByteArray& name)
{
    return name.startsWith(prefix);
}

QByteArray make(const struct timespec* folderTime)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray name(prefix);
    for (int i = 0; i < 6; ++i)
        name += alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))];
    if (folderTime) {
        name += timeMark + QByteArray::number(qint64(folderTime->tv_sec)) + '.'
            + QByteArray::number(qint64(folderTime->tv_nsec));
    }
    return name;
}

bool recordedTime(const QByteArray& name, struct timespec* folderTime)
{
    const int random = int(sizeof(prefix) - 1) + 6;
    if (!isTemp(name) || name.size() <= random || name.mid(random, 2) != timeMark)
        return false;
    const QList<QByteArray> parts = name.mid(random + 2).split('.');
    bool secondsOk = false;
    bool nanosecondsOk = false;
    const qint64 seconds = parts.size() == 2 ? parts[0].toLongLong(&secondsOk) : 0;
    const qint64 nanoseconds = parts.size() == 2 ? parts[1].toLongLong(&nanosecondsOk) : 0;
    if (!secondsOk || !nanosecondsOk || nanoseconds < 0 || nanoseconds > 999999999)
        return false;
    folderTime->tv_sec = time_t(seconds);
    folderTime->tv_nsec = long(nanoseconds);
    return true;
}

}  // namespace TempName
