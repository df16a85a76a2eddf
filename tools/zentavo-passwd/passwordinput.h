#ifndef PASSWORDINPUT_H
#define PASSWORDINPUT_H

#include <QString>

// A password read from standard input, so that it never shows in the process
// list or the shell's history. From a terminal it is asked for on stderr and
// typed without echo, as passwd asks; from a pipe or a file one line is taken.
namespace PasswordInput {

// One password. confirm: from a terminal it is asked for a second time and
// must be typed the same. False, with error in words for the tool's user,
// when there is no line to read, the line is far too long to be a password,
// or the two typed differ.
bool read(const char* prompt, bool confirm, QString* password, QString* error);

}  // namespace PasswordInput

#endif  // PASSWORDINPUT_H
