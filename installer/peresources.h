#ifndef PERESOURCES_H
#define PERESOURCES_H

#include "peversion.h"

#include <QByteArray>

class PeImage;

// The resource directory of a PE image, walked to its version resource.
namespace PeResources {

// The version block (RT_VERSION, VS_VERSION_INFO, the first language) of an
// image whose headers are read: all of its stated size must be in the file,
// and the VS_VERSIONINFO root must fit inside it.
PeVersion::Error readVersionBlock(PeImage* image, QByteArray* block);

}  // namespace PeResources

#endif  // PERESOURCES_H
