#include "xattrcopy.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include <sys/xattr.h>

namespace XattrCopy {

namespace {

bool unsupported(int error)
{
    return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// An attribute that goes while it is read is left out.
bool readAll(int fd, std::map<QByteArray, QByteArray>* attributes, int* error)
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

int setAll(int fd, const std::map<QByteArray, QByteArray>& attributes, bool device)
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

int read(int fd, Attributes* attributes)
{
    int error = 0;
    return readAll(fd, &attributes->values, &error) ? 0 : error;
}

int apply(int fd, const Attributes& payload, const Attributes& device)
{
    const int error = setAll(fd, payload.values, false);
    return error != 0 ? error : setAll(fd, device.values, true);
}

bool sameDeviceAttributes(const Attributes& a, const Attributes& b)
{
    std::map<QByteArray, QByteArray> left;
    std::map<QByteArray, QByteArray> right;
    for (const auto& value : a.values) {
        if (belongsToDevice(value.first.constData()))
            left.insert(value);
    }
    for (const auto& value : b.values) {
        if (belongsToDevice(value.first.constData()))
            right.insert(value);
    }
    return left == right;
}

int copy(int from, int to, int installed)
{
    Attributes payload;
    Attributes device;
    int error = read(from, &payload);
    if (error == 0 && installed >= 0)
        error = read(installed, &device);
    return error != 0 ? error : apply(to, payload, device);
}

bool samePayloadAttributes(int a, int b)
{
    std::map<QByteArray, QByteArray> left;
    std::map<QByteArray, QByteArray> right;
    int error = 0;
    if (!readAll(a, &left, &error) || !readAll(b, &right, &error))
        return false;
    for (auto* attributes : {&left, &right}) {
        for (auto it = attributes->begin(); it != attributes->end();)
            it = belongsToDevice(it->first.constData()) ? attributes->erase(it) : std::next(it);
    }
    return left == right;
}

}  // namespace XattrCopy
