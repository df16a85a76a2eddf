// zentavo-version FILE [SUBBLOCK]
//
// Prints a value of the version resource of a Windows PE file, by default
// the product version that the updater shows before it installs a payload.
// For a Linux (ELF) program it prints the version of its package metadata,
// which is what the updater shows for one; SUBBLOCK is for PE files only.

#include "elfversion.h"
#include "peversion.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <cstdio>

namespace {

const char defaultSubBlock[] = "\\StringFileInfo\\080704b0\\ProductVersion";

int fail(const QString& message)
{
    std::fprintf(stderr, "zentavo-version: %s\n", message.toLocal8Bit().constData());
    return 1;
}

quint32 dwordAt(const QByteArray& bytes, int offset)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(bytes.constData() + offset));
}

QString dottedVersion(quint32 high, quint32 low)
{
    return QStringLiteral("%1.%2.%3.%4").arg(high >> 16).arg(high & 0xffff).arg(low >> 16).arg(low & 0xffff);
}

// The root value is VS_FIXEDFILEINFO: show its two version numbers.
QString describeFixedFileInfo(const QByteArray& bytes)
{
    if (bytes.size() < 52 || dwordAt(bytes, 0) != 0xfeef04bdu)
        return QString();
    return QStringLiteral("FileVersion %1\nProductVersion %2")
        .arg(dottedVersion(dwordAt(bytes, 8), dwordAt(bytes, 12)),
             dottedVersion(dwordAt(bytes, 16), dwordAt(bytes, 20)));
}

int failWith(const QString& path, PeVersion::Error error)
{
    return fail(QStringLiteral("%1: %2 (error %3)").arg(path, PeVersion::errorString(error)).arg(int(error)));
}

int printElfVersion(const QString& path, bool subBlockGiven)
{
    if (subBlockGiven)
        return fail(
            QStringLiteral("%1: an ELF program has no version resource; SUBBLOCK is for PE files").arg(path));
    PeVersion::Error error = PeVersion::NoError;
    const QString version = ElfVersion::filePackageVersion(path, &error);
    if (version.isNull())
        return failWith(path, error);
    std::printf("%s\n", version.toLocal8Bit().constData());
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        return fail(QStringLiteral("usage: zentavo-version FILE [SUBBLOCK]\n"
                                   "SUBBLOCK defaults to %1 (PE files only; an ELF program\n"
                                   "gives the version of its package metadata)")
                        .arg(QLatin1String(defaultSubBlock)));
    }
    const QString path = arguments.at(1);
    const QString subBlock = arguments.size() == 3 ? arguments.at(2) : QString::fromLatin1(defaultSubBlock);

    if (ElfVersion::isElfFile(path))
        return printElfVersion(path, arguments.size() == 3);

    PeVersion::Error error = PeVersion::NoError;
    QByteArray block;
    if (path.isEmpty() || !PeVersion::fileVersionInfo(path, 0xffffffffu, &block, &error)) {
        if (path.isEmpty())
            error = PeVersion::InvalidParameter;
        return failWith(path, error);
    }

    QByteArray value;
    PeVersion::ValueType type = PeVersion::Binary;
    if (!PeVersion::queryValue(block, subBlock, &value, &type))
        return fail(QStringLiteral("%1: %2 not found").arg(path, subBlock));

    QString output;
    const QStringList keys = subBlock.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (type == PeVersion::Text) {
        bool found = false;
        output = PeVersion::queryString(block, subBlock, &found);
    } else if (keys.isEmpty()) {
        output = describeFixedFileInfo(value);
    } else if (keys.last().compare(QLatin1String("Translation"), Qt::CaseInsensitive) == 0) {
        bool found = false;
        output = PeVersion::translations(block, &found).join(QLatin1Char('\n'));
        if (subBlock.compare(QLatin1String("\\VarFileInfo\\Translation"), Qt::CaseInsensitive) != 0)
            output.clear();
    }
    // Any other binary value, or one of an unexpected shape, as hex bytes.
    if (type == PeVersion::Binary && output.isEmpty() && !value.isEmpty())
        output = QString::fromLatin1(value.toHex(' '));

    std::printf("%s\n", output.toLocal8Bit().constData());
    return 0;
}
