#ifndef PEVERSION_H
#define PEVERSION_H

#include <QByteArray>
#include <QStringList>
#include <QString>

class QFile;
class QIODevice;

// Reads the version resource (RT_VERSION, the VS_VERSIONINFO tree) of a
// Windows PE executable or DLL, PE32 and PE32+, whatever its machine type,
// in the manner of the Windows version functions. The file usually comes
// from a USB stick and is not trusted: every offset and length is checked
// against the data it points into, so a malformed file yields an error and
// never a read outside what was read from disk.
class PeVersion
{
public:
    // Error codes, standing in for the GetLastError() values of the Windows
    // functions. They keep the Windows numbers so that a log line reads the
    // same to someone who knows those.
    enum Error {
        NoError = 0,
        FileNotFound = 2,             // ERROR_FILE_NOT_FOUND: no such file
        PathNotFound = 3,             // ERROR_PATH_NOT_FOUND: a directory of the path is missing
        AccessDenied = 5,             // ERROR_ACCESS_DENIED: not readable, or not a regular file
        InvalidData = 13,             // ERROR_INVALID_DATA: resource tree, version block, ELF note or
                                      // its package metadata malformed
        ReadFault = 30,               // ERROR_READ_FAULT: reading the file failed
        InvalidParameter = 87,        // ERROR_INVALID_PARAMETER: empty path or zero size asked for
        NotFound = 1168,              // ERROR_NOT_FOUND: an ELF program without a package-metadata
                                      // note, or whose note has no "version" text
        BadExeFormat = 193,           // ERROR_BAD_EXE_FORMAT: neither a PE nor an ELF file, or its
                                      // headers, section or program header table, resource root
                                      // or note area point past the file
        ResourceDataNotFound = 1812,  // ERROR_RESOURCE_DATA_NOT_FOUND: no resource directory
        ResourceTypeNotFound = 1813,  // ERROR_RESOURCE_TYPE_NOT_FOUND: resources, but no version
        ResourceNameNotFound = 1814,  // ERROR_RESOURCE_NAME_NOT_FOUND: version type without entries
        ResourceLangNotFound = 1815   // ERROR_RESOURCE_LANG_NOT_FOUND: version name without language
    };

    // How a value of the tree is stored: wType 1 is text (UTF-16), 0 binary.
    enum ValueType { Binary = 0, Text = 1 };

    // A short English description of the error, for tools.
    static QString errorString(Error error);

    // Path of our own executable (GetModuleFileName); empty on failure.
    static QString moduleFileName(Error* error);

    // Opens path for reading when it is a regular file: a FIFO or a device
    // would block or never end.
    static bool openFile(const QString& path, QFile* file, Error* error);

    // Size in bytes of the version block of the file (GetFileVersionInfoSize);
    // 0 on failure, with the reason in error.
    static quint32 fileVersionInfoSize(const QString& path, Error* error);

    // The first size bytes of the version block (GetFileVersionInfo); like
    // Windows it cuts the block short when size is smaller than the block.
    static bool fileVersionInfo(const QString& path, quint32 size, QByteArray* block, Error* error);

    // The version block read from any random-access device holding a PE image.
    static bool readVersionInfo(QIODevice* device, QByteArray* block, Error* error);

    // VerQueryValue on a version block: subBlock is "\" for the fixed file
    // info, or a path of keys such as "\StringFileInfo\080704b0\ProductName"
    // or "\VarFileInfo\Translation" (keys compare case-insensitively). A text
    // value is returned as its UTF-16LE code units without the terminating zero.
    static bool queryValue(const QByteArray& block, const QString& subBlock, QByteArray* value,
                           ValueType* type = nullptr);

    // The value as text; found tells a missing key from an empty value.
    static QString queryString(const QByteArray& block, const QString& subBlock, bool* found);

    // "\VarFileInfo\Translation" as "llllcccc" pairs (language, code page),
    // lower-case hex, the form the string table keys use.
    static QStringList translations(const QByteArray& block, bool* found);
};

#endif  // PEVERSION_H
