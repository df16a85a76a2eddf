#ifndef COPYFAILURES_H
#define COPYFAILURES_H

#include "installershared_global.h"

#include <QByteArray>
#include <QString>

#include <vector>

// One thing that went wrong in a copy: the entry, what was tried, and why.
struct INSTALLERSHARED_EXPORT CopyFailure
{
    // Errors of the copy's own, reported like an errno value.
    enum : int { SourceChanged = -1, StopRequested = -2 };

    QByteArray path;        // the entry (or the targets of a file system)
    QByteArray operation;   // "cannot replace", "skipped", "sync failed", ...
    int error = 0;          // errno value or one of the above; 0 when reason says it
    QByteArray reason;      // why, where no errno value tells it
    bool failsCopy = true;  // false: noted only, as when the update has landed already
    QString line;           // the line the log got

    // What error means, in words.
    static const char* reasonText(int error);
};

// Every failure of one copy, in the order they happened. Each is logged once,
// as it is recorded: a run killed later still leaves its lines in the log.
class INSTALLERSHARED_EXPORT CopyFailures
{
public:
    // path is for messages only: it is never opened.
    void fail(const QByteArray& path, const char* operation, int error);
    void fail(const QByteArray& path, const char* operation, const char* reason);
    // Logged and kept, but the copy stands: after the last swap nothing can
    // take an update back, and undo steps report what they could not undo.
    void note(const QByteArray& path, const char* operation, int error);
    void note(const QByteArray& path, const char* operation, const char* reason);
    // A failure whose line names the entry only, without a reason.
    void failNamed(const QByteArray& path, const char* operation, int error);
    // A failure that concerns no single entry: its own line, as given.
    void failLine(const QByteArray& subject, const char* operation, int error, const QString& line);

    // A stop request is one line for the whole copy: true when a stop signal
    // is pending (and then recorded once).
    bool stopped();

    bool failed() const { return failedCopy; }
    const std::vector<CopyFailure>& all() const { return failures; }

private:
    void add(CopyFailure failure);
    CopyFailure entry(const QByteArray& path, const char* operation, int error, const char* reason,
                      bool fails);
    void addEntry(const QByteArray& path, const char* operation, int error, const char* reason, bool fails);

    std::vector<CopyFailure> failures;
    bool failedCopy = false;
    bool stopLogged = false;
};

#endif  // COPYFAILURES_H
