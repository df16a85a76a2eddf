#ifndef PAYLOADSIGNATURE_H
#define PAYLOADSIGNATURE_H

#include <QByteArray>
#include <QList>
#include <QString>

// The Ed25519 signature of a payload's SHA256SUMS, checked with OpenSSL;
// what PayloadCheck::verifySignature answers with.
namespace PayloadSignature {

// Ed25519 signatures are this long, and nothing else is taken for one.
const int signatureBytes = 64;

// Whether signature is an Ed25519 signature of message by one of the
// public keys (PEM texts); false with error saying why not.
bool verify(const QByteArray& message, const QByteArray& signature, const QList<QByteArray>& publicKeys,
            QString* error);

}  // namespace PayloadSignature

#endif  // PAYLOADSIGNATURE_H
