#include "payloadcheck.h"

#include "dirwalk.h"
#include "uniquefd.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Defined here too, so that code taking their address (QCOMPARE does) links.
const qint64 PayloadCheck::maxManifestBytes;
const int PayloadCheck::maxLineBytes;

namespace {

const char manifestName[] = "SHA256SUMS";
const char signatureName[] = "SHA256SUMS.sig";
const char* const treeNames[] = {"System", "Zentavo"};
const qint64 maxKeyBytes = 64 * 1024;
// Room for a wrong signature file to be told apart from a missing one.
const qint64 maxSignatureBytes = 4096;
const int signatureBytes = 64;
const size_t maxEntries = 1000000;
const size_t hashBlockBytes = 1024 * 1024;
const int readFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Length of the well-formed UTF-8 sequence at s (left bytes available), 0
// when there is none: no overlong forms, no surrogates, nothing above U+10FFFF.
int utf8Length(const unsigned char* s, qsizetype left)
{
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (left < length || s[1] < low || s[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    }
    return length;
}

bool isUtf8(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = utf8Length(s + i, bytes.size() - i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// A name from the disk as one printable piece of a log line: control
// characters, backslashes and bytes that are not UTF-8 appear as \xNN.
QString printable(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    QByteArray out;
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = utf8Length(s + i, bytes.size() - i);
        const bool control = length == 1 && (s[i] < 0x20 || s[i] == 0x7f || s[i] == '\\');
        const bool c1Control = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
        if (length == 0 || control || c1Control) {
            out += "\\x" + QByteArray::number(s[i], 16).rightJustified(2, '0');
            ++i;
        } else {
            out.append(bytes.constData() + i, length);
            i += length;
        }
    }
    return QString::fromUtf8(out);
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// O_NOATIME only on one's own files (or with CAP_FOWNER); elsewhere it is
// refused and the file is opened without it.
int openForReading(int dirFd, const char* name)
{
    const int fd = ::openat(dirFd, name, readFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
    return ::openat(dirFd, name, readFlags);
}

enum class ReadResult { Read, Absent, NotRegular, TooLarge, Failed };

// Reads the whole regular file name of the folder open as dirFd, at most
// limit bytes, to its end whatever its size claims. A device, FIFO or socket
// is never opened: the entry is looked at first, and again once open.
ReadResult readSmallFile(int dirFd, const char* name, qint64 limit, QByteArray* bytes, int* error)
{
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return errno == ENOENT ? ReadResult::Absent : ReadResult::Failed;
    }
    if (!S_ISREG(st.st_mode))
        return ReadResult::NotRegular;
    const UniqueFd fd(openForReading(dirFd, name));
    if (!fd.isValid()) {
        *error = errno;
        return errno == ELOOP ? ReadResult::NotRegular : ReadResult::Failed;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ReadResult::NotRegular;
    bytes->clear();
    std::vector<char> block(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd.get(), block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = errno;
            return ReadResult::Failed;
        }
        if (got == 0)
            return ReadResult::Read;
        if (bytes->size() + got > limit)
            return ReadResult::TooLarge;
        bytes->append(block.data(), int(got));
    }
}

QString readProblem(ReadResult result, int error, qint64 limit)
{
    switch (result) {
    case ReadResult::Absent:
        return QStringLiteral("missing");
    case ReadResult::NotRegular:
        return QStringLiteral("not a regular file");
    case ReadResult::TooLarge:
        return QStringLiteral("larger than %1 bytes").arg(limit);
    default:
        return QStringLiteral("cannot read (%1)").arg(errorText(error));
    }
}

bool sameIdentity(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// SHA-256 of what fd holds from its start: exactly size bytes, or ESTALE.
bool hashDescriptor(int fd, off_t size, PayloadCheck::Digest* digest, int* error)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        *error = ENOMEM;
        return false;
    }
    const std::unique_ptr<char[]> block(new char[hashBlockBytes]);
    off_t total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, block.get(), hashBlockBytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = errno;
            return false;
        }
        if (got == 0)
            break;
        total += got;
        // A file that grows while it is read is not read to its new end.
        if (total > size)
            break;
        EVP_DigestUpdate(context.get(), block.get(), size_t(got));
    }
    unsigned int length = 0;
    if (total != size || EVP_DigestFinal_ex(context.get(), digest->data(), &length) != 1) {
        *error = ESTALE;
        return false;
    }
    return true;
}

// Why path, as listed, cannot name a file of a payload tree; empty if it can.
QString pathProblem(const QByteArray& path)
{
    if (path.isEmpty())
        return QStringLiteral("no file name");
    if (path.startsWith('/'))
        return QStringLiteral("absolute path");
    if (path.endsWith('/'))
        return QStringLiteral("path ends with a slash");
    for (const QByteArray& component : path.split('/')) {
        if (component.isEmpty())
            return QStringLiteral("empty path component");
        if (component == "." || component == "..")
            return QStringLiteral("\".\" or \"..\" in the path");
    }
    return QString();
}

bool hexValue(char c, std::uint8_t* value)
{
    if (c >= '0' && c <= '9')
        *value = std::uint8_t(c - '0');
    else if (c >= 'a' && c <= 'f')
        *value = std::uint8_t(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *value = std::uint8_t(c - 'A' + 10);
    else
        return false;
    return true;
}

// Why line (without its LF) is not "<64 hex>  <path>" or "<64 hex> *<path>"
// with a path of a payload; empty when it is, with digest and path set.
QString lineProblem(const QByteArray& line, PayloadCheck::Digest* digest, QByteArray* path)
{
    if (line.isEmpty())
        return QStringLiteral("empty line");
    if (line.contains('\r'))
        return QStringLiteral("carriage return");
    if (line.contains('\0'))
        return QStringLiteral("NUL byte");
    if (!isUtf8(line))
        return QStringLiteral("not UTF-8");
    // sha256sum writes "\<digest>  <escaped name>" for names with a
    // backslash or a line feed; such names are not taken at all.
    if (line.contains('\\'))
        return QStringLiteral("backslash");
    for (int i = 0; i < 32; ++i) {
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        if (line.size() < 64 || !hexValue(line[2 * i], &high) || !hexValue(line[2 * i + 1], &low))
            return QStringLiteral("not a SHA-256 digest in hex");
        (*digest)[size_t(i)] = std::uint8_t(high << 4 | low);
    }
    if (line.size() < 66 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
        return QStringLiteral("no \"  \" or \" *\" after the digest");
    *path = line.mid(66);
    return pathProblem(*path);
}

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
    const int fd = ::openat(payloadFd, tree, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A missing tree has no files; whether one must be there is the
        // updater's question.
        if (errno != ENOENT)
            fail(tree,
                 errno == ELOOP || errno == ENOTDIR
                     ? QStringLiteral("not a folder")
                     : QStringLiteral("cannot read (%1)").arg(errorText(errno)));
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
    if (!DirWalk::walk(UniqueFd(fd), tree, visitor))
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
    entries->clear();
    if (text.isEmpty())
        return fail(error, QStringLiteral("empty file"));
    int lineNumber = 0;
    for (qsizetype start = 0; start < text.size();) {
        ++lineNumber;
        const qsizetype newline = text.indexOf('\n', start);
        const qsizetype end = newline < 0 ? text.size() : newline;
        const QString prefix = QStringLiteral("line %1: ").arg(lineNumber);
        if (end - start > maxLineBytes)
            return fail(error, prefix + QStringLiteral("longer than %1 bytes").arg(maxLineBytes));
        Digest digest;
        QByteArray path;
        const QString problem = lineProblem(text.mid(start, end - start), &digest, &path);
        if (!problem.isEmpty())
            return fail(error, prefix + problem);
        // A text cut short ends without its line feed: not taken.
        if (newline < 0)
            return fail(error, prefix + QStringLiteral("no line feed at the end"));
        if (entries->size() >= maxEntries)
            return fail(error, prefix + QStringLiteral("more than %1 files").arg(maxEntries));
        if (!entries->emplace(path, digest).second)
            return fail(error, prefix + QStringLiteral("listed twice: ") + printable(path));
        start = newline + 1;
    }
    return true;
}

bool PayloadCheck::verifySignature(const QByteArray& message, const QByteArray& signature,
                                   const QList<QByteArray>& publicKeys, QString* error)
{
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

bool PayloadCheck::digestFile(int dirFd, const char* name, Digest* digest, Identity* identity, int* error)
{
    struct stat before;
    if (::fstatat(dirFd, name, &before, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        *error = ESTALE;
        return false;
    }
    const UniqueFd fd(openForReading(dirFd, name));
    if (!fd.isValid()) {
        *error = errno == ELOOP ? ESTALE : errno;
        return false;
    }
    struct stat opened;
    struct stat after;
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != before.st_ino
        || opened.st_dev != before.st_dev) {
        *error = ESTALE;
        return false;
    }
    if (!hashDescriptor(fd.get(), opened.st_size, digest, error))
        return false;
    if (::fstat(fd.get(), &after) != 0 || !sameIdentity(opened, after)) {
        *error = ESTALE;
        return false;
    }
    identity->device = after.st_dev;
    identity->inode = after.st_ino;
    identity->size = after.st_size;
    identity->modified = after.st_mtim;
    identity->changed = after.st_ctim;
    return true;
}
