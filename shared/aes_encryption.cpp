#include "aes_encryption.h"

#include <QByteArray>
#include <QDebug>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

const int nonceSize = 12;
const int tagSize = 16;

// A stored password is short; anything longer than this is not one of ours
// and is refused before any decoding allocates memory for it.
const int maxTextLength = 64 * 1024;

const unsigned char key[32] = {
    0x70, 0xd5, 0xae, 0xb4, 0x5d, 0xdf, 0x2d, 0x41, 0xa4, 0xbc, 0xd2, 0x18, 0xa1, 0xda, 0xb5, 0x9a,
    0xbc, 0x3f, 0x1a, 0xb8, 0xf1, 0xe7, 0xd8, 0x43, 0x94, 0xb9, 0x34, 0x30, 0x72, 0x27, 0xe0, 0x83,
};

struct CipherContextDeleter
{
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// Plain text must not linger in freed memory.
void wipe(QByteArray* data)
{
    if (!data->isEmpty())
        OPENSSL_cleanse(data->data(), size_t(data->size()));
}

// Only canonical standard base64 with padding: Qt's decoder on its own skips
// characters it does not know and accepts missing padding.
bool decodeBase64(const QString& text, QByteArray* decoded)
{
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    const QByteArray ascii = text.toLatin1();
    const QByteArray::FromBase64Result result = QByteArray::fromBase64Encoding(
        ascii, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    if (result.decoded.toBase64(QByteArray::Base64Encoding) != ascii)
        return false;
    *decoded = result.decoded;
    return true;
}

}  // namespace

AES_Encryption::AES_Encryption(QObject* parent)
    : QObject(parent)
{
}

AES_Encryption::~AES_Encryption() = default;

namespace {

// A caller that asks for ok reports the failure itself, in its own words:
// one failure, one log line.
void reportFailure(const bool* ok, const char* reason)
{
    if (!ok)
        qDebug() << "AES_Encryption: cannot decrypt:" << reason;
}

}  // namespace

QString AES_Encryption::Decrypt(QString text)
{
    return Decrypt(text, nullptr);
}

QString AES_Encryption::Decrypt(const QString& text, bool* ok)
{
    if (ok)
        *ok = false;
    if (text.isEmpty()) {
        if (ok)
            *ok = true;
        return QString();
    }

    QByteArray blob;
    if (text.size() > maxTextLength || !decodeBase64(text, &blob)) {
        reportFailure(ok, "not a base64 text");
        return QString();
    }
    if (blob.size() < nonceSize + tagSize) {
        reportFailure(ok, "text too short");
        return QString();
    }

    const auto* nonce = reinterpret_cast<const unsigned char*>(blob.constData());
    const auto* cipherText = nonce + nonceSize;
    const int cipherLength = blob.size() - nonceSize - tagSize;
    QByteArray tag = blob.right(tagSize);
    QByteArray plain(cipherLength + 1, '\0');

    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    int finalLength = 0;
    const bool decrypted = context
        && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) == 1
        && EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key, nonce) == 1
        && EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
                             cipherText, cipherLength)
            == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) == 1
        && EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(plain.data()) + length,
                               &finalLength)
            == 1;
    if (!decrypted) {
        wipe(&plain);
        reportFailure(ok, "authentication failed");
        return QString();
    }
    plain.truncate(length + finalLength);

    const QString password = QString::fromUtf8(plain);
    const bool validUtf8 = password.toUtf8() == plain;
    wipe(&plain);
    if (!validUtf8) {
        reportFailure(ok, "not a UTF-8 text");
        return QString();
    }
    if (ok)
        *ok = true;
    return password;
}

QString AES_Encryption::Encrypt(QString text)
{
    if (text.isEmpty())
        return QString();

    QByteArray plain = text.toUtf8();
    if ((nonceSize + plain.size() + tagSize + 2) / 3 * 4 > maxTextLength) {
        wipe(&plain);
        qDebug() << "AES_Encryption: cannot encrypt: text too long";
        return QString();
    }
    QByteArray blob(nonceSize + plain.size() + tagSize, '\0');
    auto* nonce = reinterpret_cast<unsigned char*>(blob.data());
    auto* cipherText = nonce + nonceSize;

    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    int finalLength = 0;
    const bool encrypted = RAND_bytes(nonce, nonceSize) == 1 && context
        && EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) == 1
        && EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key, nonce) == 1
        && EVP_EncryptUpdate(context.get(), cipherText, &length,
                             reinterpret_cast<const unsigned char*>(plain.constData()), plain.size())
            == 1
        && EVP_EncryptFinal_ex(context.get(), cipherText + length, &finalLength) == 1
        && length + finalLength == plain.size()
        && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, tagSize, cipherText + plain.size()) == 1;
    wipe(&plain);
    if (!encrypted) {
        qDebug() << "AES_Encryption: cannot encrypt";
        return QString();
    }
    return QString::fromLatin1(blob.toBase64(QByteArray::Base64Encoding));
}
