#ifndef PAYLOADMANIFEST_H
#define PAYLOADMANIFEST_H

#include "payloadcheck.h"

#include <QByteArray>
#include <QString>

#include <map>

// The SHA256SUMS text of a payload, as sha256sum writes it and sha256sum -c
// reads it, taken apart line by line; what PayloadCheck::parse answers with.
namespace PayloadManifest {

bool parse(const QByteArray& text, std::map<QByteArray, PayloadCheck::Digest>* entries, QString* error);

}  // namespace PayloadManifest

#endif  // PAYLOADMANIFEST_H
