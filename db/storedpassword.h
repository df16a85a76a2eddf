#ifndef STOREDPASSWORD_H
#define STOREDPASSWORD_H

#include <QString>

// The administrator password as the terminal application keeps it in its
// settings database, read in one go. Fails closed: whatever might hide a
// password without letting us read it is Unreadable, never "no password".
class StoredPassword
{
public:
    enum State {
        Absent,     // nothing at the path: no database, so no password
        Stored,     // read and decrypted; empty is how the application keeps "no password"
        Unreadable  // something is there, but no password can be read from it
    };

    struct Result
    {
        State state;
        QString value;  // the password when Stored, empty otherwise
    };

    static Result read(const QString& databasePath);
};

#endif  // STOREDPASSWORD_H
