// zentavo-pack PAYLOAD_DIR [--key KEY.pem]
// zentavo-pack --verify PAYLOAD_DIR [--keys DIR]
//
// Makes the SHA256SUMS of a payload (every regular file of its System and
// Zentavo trees, as sha256sum writes it) and, with an Ed25519 private key,
// its signature SHA256SUMS.sig; or checks a payload as the updater does.

#include "dirwalk.h"
#include "payloadcheck.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: zentavo-pack PAYLOAD_DIR [--key KEY.pem]\n"
    "       zentavo-pack --verify PAYLOAD_DIR [--keys DIR]";
const qint64 maxKeyBytes = 64 * 1024;

// Messages are bytes: a name that is not UTF-8 is shown as it is.
int fail(const QByteArray& message, int code = 1)
{
    std::fprintf(stderr, "zentavo-pack: %s\n", message.constData());
    return code;
}

QByteArray errorText(int error)
{
    return QByteArray(std::strerror(error));
}

// A name for messages: control bytes as \xNN, so that one message stays one line.
QByteArray shown(const QByteArray& path)
{
    QByteArray out;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            out += "\\x" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

// The lines of SHA256SUMS, by path: std::map keeps them in bytewise order,
// as LC_ALL=C sort does.
using Listing = std::map<QByteArray, QByteArray>;

// Walks one payload tree into listing; false with the message of the first
// entry that cannot be listed.
bool listTree(int payloadFd, const char* tree, Listing* listing, QByteArray* problem)
{
    UniqueFd fd = DirWalk::openFolder(payloadFd, tree);
    if (!fd.isValid()) {
        const int error = errno;
        if (error == ENOENT)
            return true;
        *problem = tree + QByteArray(": ") + errorText(error);
        return false;
    }
    DirWalk::Visitor visitor;
    visitor.oneFileSystem = false;
    visitor.entry = [&](int dirFd, const char* name, const struct stat& st, const QByteArray& path) {
        // Links are not listed: the updater installs them as they are.
        if (S_ISLNK(st.st_mode) || !problem->isEmpty())
            return;
        if (!S_ISREG(st.st_mode)) {
            *problem = shown(path) + ": not a regular file or link";
            return;
        }
        PayloadCheck::Digest digest;
        PayloadCheck::Identity identity;
        int error = 0;
        if (!PayloadCheck::digestFile(dirFd, name, &digest, &identity, &error)) {
            *problem = shown(path) + ": "
                + (error == ESTALE ? QByteArray("changed while it was read") : errorText(error));
            return;
        }
        const QByteArray hex =
            QByteArray(reinterpret_cast<const char*>(digest.data()), int(digest.size())).toHex();
        (*listing)[path] = hex + "  " + path + '\n';
    };
    visitor.failure = [&](const QByteArray& path, int error) {
        if (problem->isEmpty())
            *problem = shown(path) + ": " + errorText(error);
    };
    if (!DirWalk::walk(std::move(fd), tree, visitor) && problem->isEmpty())
        *problem = tree + QByteArray(": changed while it was read");
    return problem->isEmpty();
}

// The whole SHA256SUMS text; false with a message when a name cannot be
// listed the way the device reads the file.
bool manifestText(const Listing& listing, QByteArray* text, QByteArray* problem)
{
    if (listing.empty()) {
        *problem = "no file below System/ or Zentavo/ to list";
        return false;
    }
    for (const auto& line : listing) {
        // sha256sum would escape these names, and the device refuses them.
        if (line.first.contains('\\') || line.first.contains('\n')) {
            *problem = shown(line.first) + ": a name with a backslash or line feed cannot be listed";
            return false;
        }
        std::map<QByteArray, PayloadCheck::Digest> parsed;
        QString why;
        if (!PayloadCheck::parse(line.second, &parsed, &why)) {
            *problem =
                shown(line.first) + ": cannot be listed (" + why.mid(why.indexOf(": ") + 2).toUtf8() + ")";
            return false;
        }
        text->append(line.second);
    }
    return true;
}

// A new file of a hidden, random name beside name in the folder open as
// dirFd; invalid with the errno value in error when none could be made.
UniqueFd createTemporary(int dirFd, const QByteArray& name, QByteArray* temporary, int* error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = "." + name + ".tmp-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        const int fd = ::openat(dirFd, temporary->constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        *error = errno;
        if (fd >= 0 || *error != EEXIST)
            return UniqueFd(fd);
    }
    return UniqueFd();
}

// All of bytes to fd; false with the errno value in error.
bool writeAll(int fd, const QByteArray& bytes, int* error)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t put = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            // Nothing written, and no errno to tell why: taken as no room left.
            *error = put < 0 ? errno : ENOSPC;
            return false;
        }
        done += put;
    }
    return true;
}

// Replaces name in the folder open as dirFd with bytes, whole or not at all:
// a temporary beside it, synced, renamed over it, the folder synced.
bool writeAtomically(int dirFd, const QByteArray& name, const QByteArray& bytes, QByteArray* problem)
{
    QByteArray temporary;
    int error = 0;
    UniqueFd fd = createTemporary(dirFd, name, &temporary, &error);
    bool written = fd.isValid() && writeAll(fd.get(), bytes, &error);
    if (written && ::fsync(fd.get()) != 0) {
        error = errno;
        written = false;
    }
    // Closed in any case; its error counts only when nothing failed before.
    if (fd.close() != 0 && written) {
        error = errno;
        written = false;
    }
    if (written && ::renameat(dirFd, temporary.constData(), dirFd, name.constData()) != 0) {
        error = errno;
        written = false;
    }
    if (!written) {
        *problem = "cannot write " + name + " (" + errorText(error) + ")";
        // Where it cannot go, the temporary stays a hidden file that nothing reads.
        (void)::unlinkat(dirFd, temporary.constData(), 0);
        return false;
    }
    // The file is in place; an unsynced folder risks only the rename on a power cut.
    (void)::fsync(dirFd);
    return true;
}

bool readKey(const QByteArray& path, QByteArray* pem, QByteArray* problem)
{
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxKeyBytes) {
        *problem = shown(path) + ": not a readable key file of at most " + QByteArray::number(maxKeyBytes)
            + " bytes";
        return false;
    }
    char block[4096];
    ssize_t got = 0;
    while ((got = ::read(fd.get(), block, sizeof block)) > 0 && pem->size() <= maxKeyBytes)
        pem->append(block, int(got));
    return true;
}

// The Ed25519 signature of message by the private key in keyPath, as
// openssl pkeyutl -sign -rawin writes it.
bool sign(const QByteArray& keyPath, const QByteArray& message, QByteArray* signature, QByteArray* problem)
{
    QByteArray pem;
    if (!readKey(keyPath, &pem, problem))
        return false;
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())),
                                                        BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    ERR_clear_error();
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        *problem = shown(keyPath) + ": not an Ed25519 private key";
        return false;
    }
    signature->resize(64);
    size_t length = size_t(signature->size());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature->data()), &length,
                          reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()))
            != 1
        || length != 64) {
        *problem = "signing failed";
        return false;
    }
    return true;
}

int pack(const QByteArray& payloadDir, const QByteArray& keyPath)
{
    int error = 0;
    const UniqueFd payload(DirWalk::openDirectory(payloadDir, &error));
    if (!payload.isValid())
        return fail(shown(payloadDir) + ": " + errorText(error));
    Listing listing;
    QByteArray problem;
    QByteArray text;
    for (const char* tree : {"System", "Zentavo"}) {
        if (!listTree(payload.get(), tree, &listing, &problem))
            return fail(problem);
    }
    if (!manifestText(listing, &text, &problem))
        return fail(problem);
    QByteArray signature;
    // The key is tried before anything is written.
    if (!keyPath.isEmpty() && !sign(keyPath, text, &signature, &problem))
        return fail(problem);
    if (!writeAtomically(payload.get(), "SHA256SUMS", text, &problem))
        return fail(problem);
    std::printf("wrote SHA256SUMS (%d %s)\n", int(listing.size()), listing.size() == 1 ? "file" : "files");
    if (keyPath.isEmpty()) {
        // An old signature no longer matches: a device with keys would refuse it anyway.
        if (::unlinkat(payload.get(), "SHA256SUMS.sig", 0) == 0)
            std::printf("removed the old SHA256SUMS.sig\n");
        return 0;
    }
    if (!writeAtomically(payload.get(), "SHA256SUMS.sig", signature, &problem))
        return fail(problem);
    std::printf("wrote SHA256SUMS.sig\n");
    return 0;
}

int verify(const QByteArray& payloadDir, const QByteArray& keysDir)
{
    PayloadCheck check;
    QString error;
    switch (check.run(payloadDir, keysDir, &error)) {
    case PayloadCheck::Outcome::Passed:
        std::printf("payload OK\n");
        return 0;
    case PayloadCheck::Outcome::NoManifest:
        return fail("no SHA256SUMS: the updater would install this payload unchecked");
    default:
        return fail(error.toUtf8());
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    bool verifying = false;
    QByteArray payloadDir;
    QByteArray option;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--verify" && !verifying && payloadDir.isEmpty()) {
            verifying = true;
        } else if ((argument == "--key" || argument == "--keys") && option.isNull() && i + 1 < argc
                   && (argument == "--keys") == verifying) {
            option = QByteArray(argv[++i]);
            if (option.isEmpty())
                return fail(usage, 2);
        } else if (!argument.startsWith("--") && !argument.isEmpty() && payloadDir.isEmpty()) {
            payloadDir = argument;
        } else {
            return fail(usage, 2);
        }
    }
    if (payloadDir.isEmpty())
        return fail(usage, 2);
    return verifying ? verify(payloadDir, option) : pack(payloadDir, option);
}
