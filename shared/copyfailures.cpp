#include "copyfailures.h"

#include "stopsignals.h"

#include <QDebug>
#include <QFile>

#include <cstring>

const char* CopyFailure::reasonText(int error)
{
    if (error == SourceChanged)
        return "source file changed while it was copied";
    if (error == StopRequested)
        return "stopped";
    return strerror(error);
}

void CopyFailures::fail(const QByteArray& path, const char* operation, int error)
{
    // A stop request is one line for the whole copy, not one per entry.
    if (error == CopyFailure::StopRequested && stopped())
        return;
    addEntry(path, operation, error, nullptr, true);
}

void CopyFailures::fail(const QByteArray& path, const char* operation, const char* reason)
{
    addEntry(path, operation, 0, reason, true);
}

void CopyFailures::note(const QByteArray& path, const char* operation, int error)
{
    addEntry(path, operation, error, nullptr, false);
}

void CopyFailures::note(const QByteArray& path, const char* operation, const char* reason)
{
    addEntry(path, operation, 0, reason, false);
}

CopyFailure CopyFailures::entry(const QByteArray& path, const char* operation, int error, const char* reason,
                                bool fails)
{
    CopyFailure failure;
    failure.path = path;
    failure.operation = operation;
    failure.error = error;
    failure.reason = reason ? QByteArray(reason) : QByteArray();
    failure.failsCopy = fails;
    return failure;
}

// One line per failure: what was tried, on which entry, and why.
void CopyFailures::addEntry(const QByteArray& path, const char* operation, int error, const char* reason,
                            bool fails)
{
    CopyFailure failure = entry(path, operation, error, reason, fails);
    // The quoted path keeps even a name with a line break on one line.
    QDebug(&failure.line) << "CopyRecursivelyOverwrite:" << operation << QFile::decodeName(path) << "-"
                          << (reason ? reason : CopyFailure::reasonText(error));
    add(std::move(failure));
}

void CopyFailures::failNamed(const QByteArray& path, const char* operation, int error)
{
    CopyFailure failure = entry(path, operation, error, nullptr, true);
    QDebug(&failure.line) << "CopyRecursivelyOverwrite:" << operation << QFile::decodeName(path);
    add(std::move(failure));
}

void CopyFailures::failLine(const QByteArray& subject, const char* operation, int error, const QString& line)
{
    CopyFailure failure;
    failure.path = subject;
    failure.operation = operation;
    failure.error = error;
    failure.line = line;
    add(std::move(failure));
}

bool CopyFailures::stopped()
{
    const int signal = StopSignals::pending();
    if (signal == 0)
        return false;
    failedCopy = true;
    if (!stopLogged) {
        stopLogged = true;
        failLine(
            QByteArray(), "stopped by signal", CopyFailure::StopRequested,
            QStringLiteral("CopyRecursivelyOverwrite: stopped by signal %1 - nothing installed").arg(signal));
    }
    return true;
}

void CopyFailures::add(CopyFailure failure)
{
    // QDebug into a string leaves a trailing space where qDebug() would end the line.
    while (failure.line.endsWith(QLatin1Char(' ')))
        failure.line.chop(1);
    qDebug().noquote() << failure.line;
    if (failure.failsCopy)
        failedCopy = true;
    failures.push_back(std::move(failure));
}
