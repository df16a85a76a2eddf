#ifndef PEFIELDS_H
#define PEFIELDS_H

#include <QtEndian>

// The fields of a PE image and of its version resource are little-endian,
// whatever the machine reading them.
namespace PeFields {

inline quint16 word(const char* data)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(data));
}

inline quint32 dword(const char* data)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(data));
}

}  // namespace PeFields

#endif  // PEFIELDS_H
