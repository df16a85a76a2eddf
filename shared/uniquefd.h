#ifndef UNIQUEFD_H
#define UNIQUEFD_H

#include <unistd.h>

// Owns one file descriptor and closes it when it goes, so that no early
// return of a file walk can leak one.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : descriptor(fd)
    {
    }
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept
        : descriptor(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return descriptor; }
    bool isValid() const { return descriptor >= 0; }

    int release()
    {
        const int fd = descriptor;
        descriptor = -1;
        return fd;
    }

    void reset(int fd = -1)
    {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = fd;
    }

    // close() with its result: a write error may only show here.
    int close()
    {
        const int result = descriptor >= 0 ? ::close(descriptor) : 0;
        descriptor = -1;
        return result;
    }

private:
    int descriptor = -1;
};

#endif  // UNIQUEFD_H
