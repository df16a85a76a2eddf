#include "payloadsignature.h"

#include "payloadtext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace PayloadSignature {

namespace {

using PublicKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// A PEM block may claim to be encrypted; OpenSSL would then ask for a
// passphrase on the console. There is none: such a key is no key.
int noPassphrase(char*, int, int, void*)
{
    return -1;
}

// The Ed25519 public key of a PEM text; null for anything else.
PublicKey readPublicKey(const QByteArray& pem)
{
    PublicKey key(nullptr, EVP_PKEY_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())),
                                                        BIO_free);
    if (bio)
        key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassphrase, nullptr));
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

bool verifiesWith(EVP_PKEY* key, const QByteArray& message, const QByteArray& signature)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size()))
        == 1;
}

}  // namespace

bool verify(const QByteArray& message, const QByteArray& signature, const QList<QByteArray>& publicKeys,
            QString* error)
{
    using PayloadText::fail;
    if (signature.size() != signatureBytes)
        return fail(error,
                    QStringLiteral("not an Ed25519 signature (%1 bytes, not %2)")
                        .arg(signature.size())
                        .arg(signatureBytes));
    int usable = 0;
    bool verified = false;
    for (const QByteArray& pem : publicKeys) {
        const PublicKey key = readPublicKey(pem);
        if (!key)
            continue;
        ++usable;
        verified = verifiesWith(key.get(), message, signature);
        if (verified)
            break;
    }
    // What failed stays in OpenSSL's queue of this thread otherwise.
    ERR_clear_error();
    if (verified)
        return true;
    return fail(error,
                usable == 0 ? QStringLiteral("no trusted key is a usable Ed25519 public key")
                            : QStringLiteral("not signed by a trusted key"));
}

}  // namespace PayloadSignature
