#ifndef PEIMAGE_H
#define PEIMAGE_H

#include "peversion.h"

#include <QByteArray>
#include <QVector>

class QIODevice;

// A PE image on a random-access device: its headers and section table, and
// pieces of it, each one checked against the size of the device before it
// is read.
class PeImage
{
public:
    explicit PeImage(QIODevice* device);

    // Reads the DOS header, the PE signature and COFF header it points to,
    // the resource slot of the optional header's data directories and the
    // section table.
    PeVersion::Error readHeaders();

    // Where the resource directory is, once the headers are read: never 0.
    quint32 resourceRva() const { return headers.resourceRva; }

    bool readAt(quint64 offset, quint64 length, QByteArray* out);

    // File offset of [rva, rva + length), which must lie in the raw data of
    // one section; sectionEnd receives the end of that section as an RVA.
    bool mapRva(quint32 rva, quint64 length, quint64* offset, quint64* sectionEnd = nullptr) const;

private:
    struct Section
    {
        quint32 virtualAddress;
        quint32 rawSize;
        quint32 rawPointer;
    };

    // What the headers tell about where the sections and the resources are.
    struct Headers
    {
        quint64 peOffset = 0;
        quint16 sectionCount = 0;
        quint16 optionalHeaderSize = 0;
        quint32 resourceRva = 0;
        quint32 resourceSize = 0;
    };

    PeVersion::Error readFileHeaders();
    PeVersion::Error readResourceSlot(const QByteArray& optional);
    PeVersion::Error readSectionTable();

    QIODevice* device;
    qint64 size;
    Headers headers;
    QVector<Section> sections;
};

#endif  // PEIMAGE_H
