#include "passwordinput.h"

#include <QByteArray>

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

// Far more than the prompt takes (50 characters of up to 4 bytes), so that
// an overlong password is refused by name, yet no endless line is kept.
const int maxLineBytes = 4096;

struct termios savedTerminal;
volatile sig_atomic_t echoOff = 0;

// A signal while the echo is off must not leave the technician's terminal blind.
void restoreAndDie(int signal)
{
    // Nothing more can be done about a failure here: the process is going.
    if (echoOff)
        (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    (void)std::signal(signal, SIG_DFL);
    (void)std::raise(signal);
}

// Turns the terminal's echo off while it lives.
class EchoOff
{
public:
    EchoOff()
    {
        if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
            return;
        // The previous handlers are not kept: the tool sets none of its own.
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
            (void)std::signal(signal, restoreAndDie);
        struct termios quiet = savedTerminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        echoOff = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        // A terminal that cannot be restored is the user's to reset; the answer stands.
        if (echoOff)
            (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        echoOff = 0;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

// One line without its line break (and a carriage return before it, which
// the keyboard cannot type). False when the input ends before any character
// or the line is too long.
bool readLine(QByteArray* line, QString* error)
{
    line->clear();
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line->size() >= maxLineBytes) {
            *error = QStringLiteral("the line on standard input is too long to be a password");
            return false;
        }
        line->append(char(c));
    }
    if (c == EOF && line->isEmpty()) {
        *error = QStringLiteral("no password on standard input");
        return false;
    }
    if (line->endsWith('\r'))
        line->chop(1);
    return true;
}

void wipe(QByteArray* bytes)
{
    bytes->fill('\0');
    bytes->clear();
}

// The echo goes off before the prompt shows, so that nothing typed at once is shown.
bool ask(const char* prompt, QByteArray* line, QString* error)
{
    const EchoOff quiet;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    return readLine(line, error);
}

}  // namespace

bool PasswordInput::read(const char* prompt, bool confirm, QString* password, QString* error)
{
    QByteArray line;
    if (!::isatty(STDIN_FILENO)) {
        const bool ok = readLine(&line, error);
        *password = QString::fromLocal8Bit(line);
        wipe(&line);
        return ok;
    }
    if (!ask(prompt, &line, error))
        return false;
    *password = QString::fromLocal8Bit(line);
    wipe(&line);
    if (!confirm)
        return true;
    if (!ask("Retype the password: ", &line, error))
        return false;
    const bool same = *password == QString::fromLocal8Bit(line);
    wipe(&line);
    if (!same)
        *error = QStringLiteral("the passwords do not match; nothing stored");
    return same;
}
