#ifndef AES_ENCRYPTION_H
#define AES_ENCRYPTION_H

#include "installershared_global.h"

#include <QObject>
#include <QString>

// Encryption of the administrator password as the terminal application stores
// it: AES-256-GCM, base64 of nonce (12 bytes) + ciphertext + tag (16 bytes),
// UTF-8 plaintext. The key is built into the library, so it only obscures the
// password on the device; it does not protect it from someone who has the
// device and this library.
class INSTALLERSHARED_EXPORT AES_Encryption : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AES_Encryption)

public:
    explicit AES_Encryption(QObject* parent = nullptr);
    ~AES_Encryption() override;

    // Empty text for an empty input and for any text that cannot be decrypted.
    QString Decrypt(QString text);

    // As above, but *ok tells a failure (bad base64, too short, failed
    // authentication) apart from an empty password. Empty input: "" with ok.
    // The failure is then left to the caller to report; only the form
    // without ok logs it.
    QString Decrypt(const QString& text, bool* ok);

    // Empty text for an empty input (no password).
    QString Encrypt(QString text);
};

#endif  // AES_ENCRYPTION_H
