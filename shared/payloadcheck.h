#ifndef PAYLOADCHECK_H
#define PAYLOADCHECK_H

#include "installershared_global.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <ctime>
#include <map>

#include <sys/types.h>

// Checks an update payload before anything is installed from it: the
// SHA256SUMS file at its top (as sha256sum writes it and sha256sum -c reads
// it) must list every regular file of its System and Zentavo trees with the
// right digest, and, where the device trusts keys, SHA256SUMS.sig must be an
// Ed25519 signature of SHA256SUMS's exact bytes by one of them. Everything
// it reads comes from the flash disk and is not trusted: no link is followed,
// no open blocks, no size is believed.
class INSTALLERSHARED_EXPORT PayloadCheck
{
public:
    using Digest = std::array<std::uint8_t, 32>;

    // What a checked file was when its digest was taken, so that the copy
    // can tell that it is still that file.
    struct Identity
    {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified = {};
        struct timespec changed = {};
    };

    enum class Outcome {
        NoManifest,  // no SHA256SUMS and no trusted key: installed unchecked, as before
        Passed,      // every file listed and matching (and signed, where keys are trusted)
        Refused,     // error says why, naming the first file or line that failed
    };

    // payloadDir: the folder holding System/, Zentavo/ and SHA256SUMS;
    // keysDir: the folder of trusted public keys (PEM); either may be
    // missing. error: one line for the log when Refused.
    Outcome run(const QByteArray& payloadDir, const QByteArray& keysDir, QString* error);

    // After Passed: the files checked, by their path relative to payloadDir
    // ("Zentavo/Zentavo.exe").
    const std::map<QByteArray, Identity>& checkedFiles() const { return checked; }

    // The payloadDir of the last run, as given.
    const QByteArray& checkedDir() const { return payloadDir; }

    // The pieces, for the tool that makes payloads and for the tests.

    // Parses SHA256SUMS text: lines "<64 hex>  <path>" or "<64 hex> *<path>",
    // each ended by LF. Refuses (false, error naming the line) CR, non-UTF-8,
    // empty or over-long lines, a path that is absolute, has empty, "." or
    // ".." components or a backslash, and duplicates.
    static bool parse(const QByteArray& text, std::map<QByteArray, Digest>* entries, QString* error);

    // Whether signature is an Ed25519 signature of message by one of the
    // public keys (PEM texts).
    static bool verifySignature(const QByteArray& message, const QByteArray& signature,
                                const QList<QByteArray>& publicKeys, QString* error);

    // The SHA-256 of the file name in the folder open as dirFd, read as run()
    // reads every payload file: never through a link, no blocking open, a
    // regular file only, and still the same file (identity) once read.
    // False with the errno value in error: ESTALE when it is not a regular
    // file or changed while it was read.
    static bool digestFile(int dirFd, const char* name, Digest* digest, Identity* identity, int* error);

    // Limits on what is read from the flash disk.
    static const qint64 maxManifestBytes = 16 * 1024 * 1024;
    static const int maxLineBytes = 4096;

private:
    // Parses the manifest and checks the trees against it; fills checked.
    bool checkFiles(int payloadFd, const QByteArray& manifest, QString* error);

    std::map<QByteArray, Identity> checked;
    QByteArray payloadDir;
};

#endif  // PAYLOADCHECK_H
