#include "payloadcheck.h"

#include "dirwalk.h"
#include "payloadfiles.h"
#include "payloadmanifest.h"
#include "payloadsignature.h"
#include "payloadtext.h"
#include "uniquefd.h"

#include <cerrno>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

// Defined here too, so that code taking their address (QCOMPARE does) links.
const qint64 PayloadCheck::maxManifestBytes;
const int PayloadCheck::maxLineBytes;

namespace {

using PayloadFiles::readProblem;
using PayloadFiles::ReadResult;
using PayloadFiles::readSmallFile;
using PayloadText::errorText;
using PayloadText::fail;
using PayloadText::printable;

const char manifestName[] = "SHA256SUMS";
const char signatureName[] = "SHA256SUMS.sig";
const char* const treeNames[] = {"System", "Zentavo"};
const qint64 maxKeyBytes = 64 * 1024;
// Room for a wrong signature file to be told apart from a missing one.
const qint64 maxSignatureBytes = 4096;

// What the walk of the payload trees found, against what SHA256SUMS lists.
// Every failure is kept by its path and the smallest path is reported, so
// the same payload always gives the same line whatever order the folders
// list their entries in.
struct TreeCheck
{
    const std::map<QByteArray, PayloadCheck::Digest>& listed;
    std::map<QByteArray, PayloadCheck::Identity> checked;
    std::set<QByteArray> found;       // listed, found as regular files
    std::set<QByteArray> notRegular;  // folders, links and special files
    std::map<QByteArray, QString> failures;

    void fail(const QByteArray& path, const QString& what)
    {
        failures.emplace(path, QStringLiteral("%1: %2").arg(what, printable(path)));
    }
    void file(int dirFd, const char* name, const struct stat& st, const QByteArray& path);
    void walkTree(int payloadFd, const char* tree);
};

void TreeCheck::file(int dirFd, const char* name, const struct stat& st, const QByteArray& path)
{
    // Links are neither listed nor checked: the updater installs a link as
    // the link it is, its target text unchanged, and never reads through it.
    if (S_ISLNK(st.st_mode)) {
        notRegular.insert(path);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        notRegular.insert(path);
        fail(path, QStringLiteral("not a regular file"));
        return;
    }
    const auto entry = listed.find(path);
    if (entry == listed.end()) {
        fail(path, QStringLiteral("not listed"));
        return;
    }
    found.insert(path);
    // A file after the first failure found so far cannot be the one reported.
    if (!failures.empty() && failures.begin()->first < path)
        return;
    PayloadCheck::Digest digest;
    PayloadCheck::Identity identity;
    int error = 0;
    if (!PayloadCheck::digestFile(dirFd, name, &digest, &identity, &error)) {
        fail(path,
             error == ESTALE ? QStringLiteral("changed while it was read")
                             : QStringLiteral("cannot read (%1)").arg(errorText(error)));
    } else if (identity.device != st.st_dev || identity.inode != st.st_ino) {
        fail(path, QStringLiteral("changed while it was read"));
    } else if (digest != entry->second) {
        fail(path, QStringLiteral("checksum mismatch"));
    } else {
        checked[path] = identity;
    }
}

void TreeCheck::walkTree(int payloadFd, const char* tree)
{
    UniqueFd fd = DirWalk::openFolder(payloadFd, tree);
    if (!fd.isValid()) {
        const int error = errno;
        // A missing tree has no files; whether one must be there is the
        // updater's question.
        if (error != ENOENT)
            fail(tree,
                 error == ELOOP || error == ENOTDIR
                     ? QStringLiteral("not a folder")
                     : QStringLiteral("cannot read (%1)").arg(errorText(error)));
        return;
    }
    DirWalk::Visitor visitor;
    // A file system mounted inside the payload is part of what gets installed.
    visitor.oneFileSystem = false;
    visitor.entry = [this](int dirFd, const char* name, const struct stat& st, const QByteArray& path) {
        file(dirFd, name, st, path);
    };
    visitor.enter = [this](const char*, const QByteArray& path) {
        notRegular.insert(path);
        return true;
    };
    visitor.failure = [this](const QByteArray& path, int error) {
        fail(path, QStringLiteral("cannot read (%1)").arg(errorText(error)));
    };
    if (!DirWalk::walk(std::move(fd), tree, visitor))
        fail(tree, QStringLiteral("changed while it was read"));
}

// Every *.pem of keysDir counts as a trusted key, even one that cannot be
// read or parsed: a key that is there but broken must not switch the
// signature check off. Only those read here can verify anything.
bool loadKeys(const QByteArray& keysDir, QList<QByteArray>* keys, bool* trusted, QString* why)
{
    *trusted = false;
    if (keysDir.isEmpty())
        return true;
    int error = 0;
    const UniqueFd dir(DirWalk::openDirectory(keysDir, &error));
    if (!dir.isValid()) {
        if (error == ENOENT)
            return true;
        return fail(
            why,
            QStringLiteral("trusted keys: cannot open %1 (%2)").arg(printable(keysDir), errorText(error)));
    }
    std::vector<DirWalk::Entry> entries;
    if (!DirWalk::readDirectory(dir.get(), &entries, &error))
        return fail(
            why,
            QStringLiteral("trusted keys: cannot read %1 (%2)").arg(printable(keysDir), errorText(error)));
    for (const DirWalk::Entry& entry : entries) {
        if (!entry.name.endsWith(".pem"))
            continue;
        *trusted = true;
        QByteArray pem;
        if (readSmallFile(dir.get(), entry.name.constData(), maxKeyBytes, &pem, &error) == ReadResult::Read)
            keys->append(pem);
    }
    return true;
}

bool checkSignature(int payloadFd, const QByteArray& manifest, const QList<QByteArray>& keys, QString* why)
{
    QByteArray signature;
    int error = 0;
    const ReadResult result = readSmallFile(payloadFd, signatureName, maxSignatureBytes, &signature, &error);
    if (result == ReadResult::Absent)
        return fail(why, QStringLiteral("SHA256SUMS.sig: missing, but the device trusts signing keys"));
    if (result != ReadResult::Read)
        return fail(why, QStringLiteral("SHA256SUMS.sig: ") + readProblem(result, error, maxSignatureBytes));
    QString problem;
    if (!PayloadCheck::verifySignature(manifest, signature, keys, &problem))
        return fail(why, QStringLiteral("SHA256SUMS.sig: ") + problem);
    return true;
}

// The manifest lists files of the two payload trees only.
bool checkTopLevel(const std::map<QByteArray, PayloadCheck::Digest>& entries, QString* why)
{
    for (const auto& entry : entries) {
        if (!entry.first.startsWith("System/") && !entry.first.startsWith("Zentavo/"))
            return fail(why,
                        QStringLiteral("SHA256SUMS: not part of a payload tree: ") + printable(entry.first));
    }
    return true;
}

}  // namespace

PayloadCheck::Outcome PayloadCheck::run(const QByteArray& payloadDir, const QByteArray& keysDir,
                                        QString* error)
{
    checked.clear();
    this->payloadDir = payloadDir;
    QList<QByteArray> keys;
    bool keysTrusted = false;
    if (!loadKeys(keysDir, &keys, &keysTrusted, error))
        return Outcome::Refused;
    int openError = 0;
    const UniqueFd payload(DirWalk::openDirectory(payloadDir, &openError));
    if (!payload.isValid() && openError != ENOENT) {
        fail(error, QStringLiteral("cannot open the payload folder (%1)").arg(errorText(openError)));
        return Outcome::Refused;
    }
    QByteArray manifest;
    int readError = 0;
    const ReadResult result = payload.isValid()
        ? readSmallFile(payload.get(), manifestName, maxManifestBytes, &manifest, &readError)
        : ReadResult::Absent;
    if (result == ReadResult::Absent && !keysTrusted)
        return Outcome::NoManifest;
    if (result == ReadResult::Absent) {
        fail(error, QStringLiteral("SHA256SUMS: missing, but the device trusts signing keys"));
        return Outcome::Refused;
    }
    if (result != ReadResult::Read) {
        fail(error, QStringLiteral("SHA256SUMS: ") + readProblem(result, readError, maxManifestBytes));
        return Outcome::Refused;
    }
    // The signature first: nothing unsigned is parsed where keys are trusted.
    if (keysTrusted && !checkSignature(payload.get(), manifest, keys, error))
        return Outcome::Refused;
    return checkFiles(payload.get(), manifest, error) ? Outcome::Passed : Outcome::Refused;
}

bool PayloadCheck::checkFiles(int payloadFd, const QByteArray& manifest, QString* error)
{
    std::map<QByteArray, Digest> entries;
    QString why;
    if (!parse(manifest, &entries, &why))
        return fail(error, QStringLiteral("SHA256SUMS: ") + why);
    if (!checkTopLevel(entries, error))
        return false;
    TreeCheck trees {entries, {}, {}, {}, {}};
    for (const char* tree : treeNames)
        trees.walkTree(payloadFd, tree);
    for (const auto& entry : entries) {
        if (trees.found.count(entry.first) == 0)
            trees.fail(entry.first,
                       trees.notRegular.count(entry.first) != 0 ? QStringLiteral("not a regular file")
                                                                : QStringLiteral("missing"));
    }
    if (!trees.failures.empty())
        return fail(error, QStringLiteral("SHA256SUMS: ") + trees.failures.begin()->second);
    checked = std::move(trees.checked);
    return true;
}

bool PayloadCheck::parse(const QByteArray& text, std::map<QByteArray, Digest>* entries, QString* error)
{
    return PayloadManifest::parse(text, entries, error);
}

bool PayloadCheck::verifySignature(const QByteArray& message, const QByteArray& signature,
                                   const QList<QByteArray>& publicKeys, QString* error)
{
    return PayloadSignature::verify(message, signature, publicKeys, error);
}

bool PayloadCheck::digestFile(int dirFd, const char* name, Digest* digest, Identity* identity, int* error)
{
    return PayloadFiles::digestFile(dirFd, name, digest, identity, error);
}
