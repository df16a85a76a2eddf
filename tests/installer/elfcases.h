#ifndef ELFCASES_H
#define ELFCASES_H

// The ELF programs every reader of a payload's version is tried on: the
// zentavo-version tool, the version reader, the install screen. Programs the
// build made (ZENTAVO_ELF_FIXTURES) and ones written byte by byte.

#include "elfwriter.h"

#include <QFile>
#include <QList>
#include <QTest>
#include <QString>

namespace ElfCases {

struct Case
{
    QString name;
    QString fixture;   // a program the build made; empty: bytes
    QByteArray bytes;
    QString version;   // null: no version
    int error = 0;     // the Windows error number logged when there is none
};

inline QString fixturePath(const QString& name)
{
    return QStringLiteral(ZENTAVO_ELF_FIXTURES "/") + name;
}

inline QByteArray readFixture(const QString& name)
{
    QFile file(fixturePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The bytes of a case; empty when its fixture was not made (no compiler).
inline QByteArray bytesOf(const Case& c)
{
    return c.fixture.isEmpty() ? c.bytes : readFixture(c.fixture);
}

// A program whose section headers are gone, as sstrip leaves it: only the
// program headers lead to its notes.
inline QByteArray withoutSectionHeaders(QByteArray elf)
{
    if (elf.size() < 64 || elf.at(4) != 2 || elf.at(5) != 1)
        return QByteArray();
    ElfWriter::put(elf, 40, 0, 8, false);  // e_shoff
    ElfWriter::put(elf, 60, 0, 2, false);  // e_shnum
    ElfWriter::put(elf, 62, 0, 2, false);  // e_shstrndx
    return elf;
}

inline Case built(const char* name, const char* fixture, const char* version, int error = 0)
{
    return Case {QLatin1String(name), QLatin1String(fixture), QByteArray(),
                 version ? QLatin1String(version) : QString(), error};
}

inline Case written(const char* name, const QByteArray& bytes, const char* version, int error = 0)
{
    return Case {QLatin1String(name), QString(), bytes, version ? QLatin1String(version) : QString(), error};
}

inline QList<Case> hostileCases();

inline QList<Case> all()
{
    using namespace ElfWriter;
    QList<Case> cases{
        built("amd64", "amd64-2.5.0", "2.5.0"),
        built("amd64, stripped", "amd64-2.5.0-stripped", "2.5.0"),
        built("arm64", "arm64-2.5.0", "2.5.0"),
        built("arm64, stripped", "arm64-2.5.0-stripped", "2.5.0"),
        written("amd64 without section headers", withoutSectionHeaders(readFixture("amd64-2.5.0")), "2.5.0"),
        built("amd64 without a note", "amd64-nonote", nullptr, 1168),
        built("arm64 without a note", "arm64-nonote", nullptr, 1168),
    };
    Spec spec;
    spec.is64 = false;
    spec.notes = packageNote(metadata("3.1.4"));
    cases << written("32-bit", write(spec), "3.1.4");
    spec.bigEndian = true;
    spec.notes = packageNote(metadata("3.1.4-be"), true);
    cases << written("32-bit, big-endian", write(spec), "3.1.4-be");
    spec.is64 = true;
    spec.segment = false;
    cases << written("64-bit, big-endian, sections only", write(spec), "3.1.4-be");
    spec = Spec();
    // .note.gnu.property is padded to 8 in ELF64, and shares no segment with 4-padded notes.
    spec.align = 8;
    spec.section = false;
    spec.notes = note(5, QByteArray("GNU\0", 4), QByteArray(16, '\x01'), false, 8)
        + packageNote(metadata("8.8"), false, 8);
    cases << written("after a property note, padded to 8", write(spec), "8.8");
    spec = Spec();
    spec.notes = note(3, QByteArray("GNU\0", 4), QByteArray(20, '\x02'))
        + note(0xcafe1a7eu, QByteArray("GNU\0", 4), metadata("6.6") + '\0')
        + note(0x1234, QByteArray("FDO\0", 4), metadata("7.7") + '\0');
    cases << written("other notes only", write(spec), nullptr, 1168);
    spec.notes = packageNote(R"({"type":"deb","name":"zentavo"})");
    cases << written("note without \"version\"", write(spec), nullptr, 1168);
    spec.notes = packageNote(R"({"version":2.5})");
    cases << written("version not a text", write(spec), nullptr, 1168);
    spec.notes = packageNote(R"({"version":""})");
    cases << written("empty version", write(spec), nullptr, 1168);
    spec.notes = packageNote(R"({"version":"2.5.0")");
    cases << written("broken JSON", write(spec), nullptr, 13);
    spec.notes = packageNote(R"(["version","2.5.0"])");
    cases << written("JSON not an object", write(spec), nullptr, 13);
    return cases + hostileCases();
}

// Lengths and offsets that point past what holds them.
inline QList<Case> hostileCases()
{
    using namespace ElfWriter;
    QList<Case> cases;
    Spec spec;
    spec.notes = packageNote(metadata("1.0"));
    const QByteArray good = write(spec);
    Offsets o;
    write(spec, &o);
    const QByteArray amd64 = readFixture("amd64-2.5.0");

    cases << written("truncated in the header", amd64.left(40), nullptr, 193);
    cases << written("truncated in the notes", good.left(good.size() - 8), nullptr, 193);
    cases << written("magic only", QByteArray("\x7f" "ELF", 4), nullptr, 193);
    QByteArray bytes = good;
    bytes[4] = 3;  // no such class
    cases << written("unknown class", bytes, nullptr, 193);
    bytes = good;
    put(bytes, o.notes, 0xfffffff0u, 4, false);  // namesz
    cases << written("owner size past the note", bytes, nullptr, 13);
    bytes = good;
    put(bytes, o.notes + 4, 0xffffffffu, 4, false);  // descsz
    cases << written("description size past the note", bytes, nullptr, 13);
    bytes = good;
    put(bytes, o.programTable + 8, 0xfffffffffffffff0ull, 8, false);  // p_offset
    put(bytes, o.sectionTable + 64 + 24, 0x7fffffffffffffffull, 8, false);  // sh_offset
    cases << written("note areas past the file", bytes, nullptr, 193);
    bytes = good;
    put(bytes, o.programTable + 32, 0x40000000ull, 8, false);  // p_filesz: 1 GiB
    put(bytes, o.sectionTable + 64 + 32, 0x40000000ull, 8, false);
    cases << written("note areas of a gigabyte", bytes, nullptr, 13);
    bytes = good;
    put(bytes, 32, 0xffffffffffff0000ull, 8, false);  // e_phoff
    put(bytes, 56, 0xffff, 2, false);                // e_phnum: the count is in section 0
    put(bytes, o.sectionTable + 44, 0xffffffffu, 4, false);  // section 0's sh_info
    cases << written("program headers past the file", bytes, "1.0");
    bytes = good;
    put(bytes, 58, 8, 2, false);  // e_shentsize smaller than a section header
    put(bytes, 56, 0, 2, false);  // and no program headers
    cases << written("section header size too small", bytes, nullptr, 193);
    bytes = good;
    put(bytes, 60, 0, 2, false);  // e_shnum 0: the count is section 0's sh_size
    put(bytes, o.sectionTable + 32, 0x0fffffffffffffffull, 8, false);
    put(bytes, 56, 0, 2, false);
    cases << written("section count of section 0 past the file", bytes, nullptr, 193);
    spec.notes = packageNote("{\"version\":\"1\",\"x\":\"" + QByteArray(70000, 'x') + "\"}");
    cases << written("metadata over 64 KiB", write(spec), nullptr, 13);
    return cases;
}


// One data row per case, by its name, with its index in all().
inline void addRows()
{
    QTest::addColumn<int>("index");
    const QList<Case> cases = all();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(qPrintable(cases.at(i).name)) << i;
}

// Why a test skips a case whose bytes are empty.
const char notBuilt[] = "the build made no such program (no compiler for it)";

// The case of the running test's data row (made by addRows()), and its bytes
// in bytes: empty when the build did not make its program.
inline Case currentCase(QByteArray* bytes)
{
    QFETCH(int, index);
    const Case c = all().at(index);
    *bytes = bytesOf(c);
    return c;
}

}  // namespace ElfCases

#endif  // ELFCASES_H
