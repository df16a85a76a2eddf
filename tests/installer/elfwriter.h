#ifndef ELFWRITER_H
#define ELFWRITER_H

// Writes small ELF files byte by byte, for the cases no compiler at hand
// makes (ELF32, big-endian) and for hostile ones: a header, one program
// header (PT_NOTE), a null and a note section header, and the note area.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QtEndian>

namespace ElfWriter {

struct Spec
{
    bool is64 = true;
    bool bigEndian = false;
    QByteArray notes;     // the note area
    quint64 align = 4;    // of the note segment and section
    bool segment = true;  // the notes named by a PT_NOTE program header
    bool section = true;  // and by an SHT_NOTE section header
};

// Where the writer put things, for tests that break them afterwards.
struct Offsets
{
    int programTable = 0;
    int sectionTable = 0;
    int notes = 0;
};

inline void put(QByteArray& d, int at, quint64 value, int size, bool big)
{
    for (int i = 0; i < size; ++i) {
        const int shift = 8 * (big ? size - 1 - i : i);
        d[at + i] = char((value >> shift) & 0xff);
    }
}

// One note: header and owner (zero included), then the description, each
// padded to the alignment counted from the note's start.
inline QByteArray note(quint32 type, const QByteArray& owner, const QByteArray& description, bool big = false,
                       int align = 4)
{
    auto padded = [align](QByteArray bytes) {
        while (bytes.size() % align)
            bytes.append('\0');
        return bytes;
    };
    QByteArray header(12, '\0');
    put(header, 0, quint32(owner.size()), 4, big);
    put(header, 4, quint32(description.size()), 4, big);
    put(header, 8, type, 4, big);
    return padded(padded(header + owner) + description);
}

// The package-metadata note as ld writes it: JSON with its terminating zero.
inline QByteArray packageNote(const QByteArray& json, bool big = false, int align = 4)
{
    return note(0xcafe1a7eu, QByteArray("FDO\0", 4), json + '\0', big, align);
}

inline QByteArray metadata(const QByteArray& version)
{
    return R"({"type":"deb","os":"debian","name":"zentavo","version":")" + version + R"("})";
}

inline QByteArray write(const Spec& spec, Offsets* where = nullptr)
{
    const bool big = spec.bigEndian;
    const int word = spec.is64 ? 8 : 4;
    const int headerSize = spec.is64 ? 64 : 52;
    const int programEntry = spec.is64 ? 56 : 32;
    const int sectionEntry = spec.is64 ? 64 : 40;
    Offsets o;
    o.programTable = headerSize;
    o.sectionTable = o.programTable + programEntry;
    o.notes = o.sectionTable + 2 * sectionEntry;
    QByteArray d(o.notes, '\0');
    d.replace(0, 7, QByteArray("\x7f" "ELF", 4) + char(spec.is64 ? 2 : 1) + char(big ? 2 : 1) + char(1));
    put(d, 16, 2, 2, big);                           // e_type: executable
    put(d, 18, spec.is64 ? 0xb7 : 0x28, 2, big);     // e_machine: AArch64 or ARM
    put(d, 20, 1, 4, big);                           // e_version
    put(d, 24 + word, spec.segment ? o.programTable : 0, word, big);   // e_phoff
    put(d, 24 + 2 * word, spec.section ? o.sectionTable : 0, word, big);  // e_shoff
    const int sizes = 24 + 3 * word + 4;             // e_ehsize and the entry sizes and counts
    put(d, sizes, headerSize, 2, big);
    put(d, sizes + 2, programEntry, 2, big);
    put(d, sizes + 4, spec.segment ? 1 : 0, 2, big);
    put(d, sizes + 6, sectionEntry, 2, big);
    put(d, sizes + 8, spec.section ? 2 : 0, 2, big);

    const int p = o.programTable;
    put(d, p, 4, 4, big);  // PT_NOTE
    if (spec.is64) {
        put(d, p + 8, o.notes, 8, big);
        put(d, p + 32, spec.notes.size(), 8, big);
        put(d, p + 40, spec.notes.size(), 8, big);
        put(d, p + 48, spec.align, 8, big);
    } else {
        put(d, p + 4, o.notes, 4, big);
        put(d, p + 16, spec.notes.size(), 4, big);
        put(d, p + 20, spec.notes.size(), 4, big);
        put(d, p + 28, spec.align, 4, big);
    }
    const int s = o.sectionTable + sectionEntry;  // section 0 stays null
    put(d, s + 4, 7, 4, big);                     // SHT_NOTE
    put(d, s + 8 + 2 * word, o.notes, word, big);
    put(d, s + 8 + 3 * word, spec.notes.size(), word, big);
    put(d, s + 16 + 4 * word, spec.align, word, big);
    if (where)
        *where = o;
    return d + spec.notes;
}

inline bool save(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace ElfWriter

#endif  // ELFWRITER_H
