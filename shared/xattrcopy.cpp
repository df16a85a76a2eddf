#include "xattrcopy.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include <sys/xattr.h>

namespace XattrCopy {

namespace {

using Attributes = std::map<QByteArray, QByteArray>;

bool unsupported(int error)
{
    return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// Every attribute of fd the process may read; none where the file system
// has none. An attribute that goes while it is read is left out.
bool readAll(int fd, Attributes* attributes, int* error)
{
    std::vector<char> names(1024);
    ssize_t length;
    while ((length = ::flistxattr(fd, names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 4);
    if (length < 0) {
        if (unsupported(errno))
            return true;
        *error = errno;
        return false;
    }
    for (const char* name = names.data(); name < names.data() + length; name += std::strlen(name) + 1) {
        std::vector<char> value(256);
        ssize_t size;
        while ((size = ::fgetxattr(fd, name, value.data(), value.size())) < 0 && errno == ERANGE)
            value.resize(value.size() * 4);
        if (size < 0) {
            if (errno == ENODATA || unsupported(errno))
                continue;
            *error = errno;
            return false;
        }
        attributes->emplace(QByteArray(name), QByteArray(value.data(), int(size)));
    }
    return true;
}

int setAll(int fd, const Attributes& attributes, bool device)
{
    for (const auto& attribute : attributes) {
        if (belongsToDevice(attribute.first.constData()) != device)
            continue;
        if (::fsetxattr(fd, attribute.first.constData(), attribute.second.constData(),
                        size_t(attribute.second.size()), 0)
                != 0
            && !unsupported(errno))
            return errno;
    }
    return 0;
}

}  // namespace

bool belongsToDevice(const char* name)
{
    if (std::strncmp(name, "system.", 7) == 0)
        return true;  // ACLs, and whatever else the kernel keeps there
    return std::strncmp(name, "security.", 9) == 0 && std::strcmp(name, "security.capability") != 0;
}

int copy(int from, int to, int installed)
{
    Attributes payload;
    Attributes device;
    int error = 0;
    if (!readAll(from, &payload, &error))
        return error;
    if (installed >= 0 && !readAll(installed, &device, &error))
        return error;
    if ((error = setAll(to, payload, false)) != 0)
        return error;
    return setAll(to, device, true);
}

bool samePayloadAttributes(int a, int b)
{
    Attributes left;
    Attributes right;
    int error = 0;
    if (!readAll(a, &left, &error) || !readAll(b, &right, &error))
        return false;
    for (Attributes* attributes : {&left, &right}) {
        for (auto it = attributes->begin(); it != attributes->end();)
            it = belongsToDevice(it->first.constData()) ? attributes->erase(it) : std::next(it);
    }
    return left == right;
}

}  // namespace XattrCopy
