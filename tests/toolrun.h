#ifndef TOOLRUN_H
#define TOOLRUN_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// One run of a command-line tool of the project, as a test sees it.
struct ToolRun
{
    int exitCode = -1;  // -1 when it did not finish normally within 30 s
    QByteArray out;
    QByteArray err;

    QString outputText() const { return QString::fromLocal8Bit(out); }
    QString errorText() const { return QString::fromLocal8Bit(err); }
};

// Runs program with arguments; input, when not null, is its whole standard
// input (closed after it). Otherwise standard input is closed at once. It
// runs in workingDirectory when one is given, else in the test's own.
inline ToolRun runProgram(const QString& program, const QStringList& arguments,
                          const QByteArray& input = QByteArray(), const QString& workingDirectory = QString())
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (process.waitForStarted(30000)) {
        process.write(input);
        process.closeWriteChannel();
    }
    ToolRun run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

#endif // TOOLRUN_H
