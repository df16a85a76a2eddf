#ifndef PAYLOADTEXT_H
#define PAYLOADTEXT_H

#include <QByteArray>
#include <QString>

// Text about a payload for the log: names from the flash disk are not
// trusted to be printable, or even UTF-8.
namespace PayloadText {

// Whether bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isUtf8(const QByteArray& bytes);

// A name from the disk as one printable piece of a log line: control
// characters, backslashes and bytes that are not UTF-8 appear as \xNN.
QString printable(const QByteArray& bytes);

// The description of an errno value.
QString errorText(int error);

// Sets *error (when given) to text; always false, for "return fail(...)".
bool fail(QString* error, const QString& text);

}  // namespace PayloadText

#endif  // PAYLOADTEXT_H
