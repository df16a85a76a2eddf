#include "peversion.h"

#include "pefields.h"
#include "peimage.h"
#include "peresources.h"
#include "vsversioninfo.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>

using PeFields::word;

namespace {

PeVersion::Error fileError(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return info.absoluteDir().exists() ? PeVersion::FileNotFound : PeVersion::PathNotFound;
    if (!info.isFile())
        return PeVersion::AccessDenied;
    return PeVersion::NoError;
}

bool readFile(const QString& path, QByteArray* block, PeVersion::Error* error)
{
    QFile file;
    if (!PeVersion::openFile(path, &file, error))
        return false;
    return PeVersion::readVersionInfo(&file, block, error);
}

}  // namespace

QString PeVersion::errorString(Error error)
{
    switch (error) {
    case NoError:
        return QStringLiteral("no error");
    case FileNotFound:
        return QStringLiteral("file not found");
    case PathNotFound:
        return QStringLiteral("path not found");
    case AccessDenied:
        return QStringLiteral("access denied or not a regular file");
    case InvalidData:
        return QStringLiteral("malformed resource data");
    case ReadFault:
        return QStringLiteral("read error");
    case InvalidParameter:
        return QStringLiteral("invalid parameter");
    case BadExeFormat:
        return QStringLiteral("not a valid PE or ELF file");
    case NotFound:
        return QStringLiteral("no package-metadata note with a version");
    case ResourceDataNotFound:
        return QStringLiteral("no resources");
    case ResourceTypeNotFound:
        return QStringLiteral("no version resource");
    case ResourceNameNotFound:
        return QStringLiteral("version resource without name");
    case ResourceLangNotFound:
        return QStringLiteral("version resource without language");
    }
    return QStringLiteral("unknown error %1").arg(int(error));
}

bool PeVersion::openFile(const QString& path, QFile* file, Error* error)
{
    if (path.isEmpty()) {
        *error = InvalidParameter;
        return false;
    }
    *error = fileError(path);
    if (*error != NoError)
        return false;
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly)) {
        *error = AccessDenied;
        return false;
    }
    return true;
}

QString PeVersion::moduleFileName(Error* error)
{
    // On Linux our own executable is reached through procfs.
    const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    *error = path.isEmpty() ? FileNotFound : NoError;
    return path;
}

quint32 PeVersion::fileVersionInfoSize(const QString& path, Error* error)
{
    QByteArray block;
    if (!readFile(path, &block, error))
        return 0;
    return quint32(block.size());
}

bool PeVersion::fileVersionInfo(const QString& path, quint32 size, QByteArray* block, Error* error)
{
    if (size == 0) {
        *error = InvalidParameter;
        return false;
    }
    if (!readFile(path, block, error))
        return false;
    if (quint32(block->size()) > size)
        block->truncate(int(size));
    return true;
}

bool PeVersion::readVersionInfo(QIODevice* device, QByteArray* block, Error* error)
{
    block->clear();
    if (!device->isReadable() || device->isSequential()) {
        *error = ReadFault;
        return false;
    }
    PeImage image(device);
    *error = image.readHeaders();
    if (*error == NoError)
        *error = PeResources::readVersionBlock(&image, block);
    return *error == NoError;
}

bool PeVersion::queryValue(const QByteArray& block, const QString& subBlock, QByteArray* value,
                           ValueType* type)
{
    using VsVersionInfo::Node;
    Node node;
    if (!VsVersionInfo::parseNode(block, 0, quint64(block.size()), &node))
        return false;
    const QStringList keys = subBlock.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& key : keys) {
        Node child;
        if (!VsVersionInfo::findChild(block, node, key, &child))
            return false;
        node = child;
    }

    QByteArray bytes = block.mid(int(node.valueStart), int(node.valueEnd - node.valueStart));
    if (node.type == Text) {
        for (int i = 0; i + 1 < bytes.size(); i += 2) {
            if (word(bytes.constData() + i) == 0) {
                bytes.truncate(i);
                break;
            }
        }
        bytes.truncate(bytes.size() & ~1);
    }
    *value = bytes;
    if (type)
        *type = node.type == Text ? Text : Binary;
    return true;
}

QString PeVersion::queryString(const QByteArray& block, const QString& subBlock, bool* found)
{
    QByteArray bytes;
    ValueType type = Binary;
    *found = queryValue(block, subBlock, &bytes, &type);
    if (!*found)
        return QString();
    QString text(QLatin1String(""));
    for (int i = 0; i + 1 < bytes.size(); i += 2) {
        const quint16 unit = word(bytes.constData() + i);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return text;
}

QStringList PeVersion::translations(const QByteArray& block, bool* found)
{
    QByteArray bytes;
    *found = queryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), &bytes);
    QStringList pairs;
    for (int i = 0; *found && i + 4 <= bytes.size(); i += 4) {
        pairs.append(QStringLiteral("%1%2")
                         .arg(word(bytes.constData() + i), 4, 16, QLatin1Char('0'))
                         .arg(word(bytes.constData() + i + 2), 4, 16, QLatin1Char('0')));
    }
    return pairs;
}
