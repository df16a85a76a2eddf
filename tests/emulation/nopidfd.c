/* Linked into every test program of a build that runs under qemu user-mode
 * emulation (scripts/cross-build), never into the product.
 *
 * Qt 6 starts a QProcess with clone(CLONE_PIDFD, ...) whenever the kernel
 * offers pidfds, and it asks the kernel through waitid(P_PIDFD). Debian 12's
 * qemu-user passes that question through to the build machine's kernel, then
 * rejects the clone with EINVAL: every QProcess of an emulated test failed to
 * start (exit code -1). Answering "no pidfds" here makes Qt fall back to a
 * plain fork, which qemu emulates. The interposed syscall() wins over the C
 * library's for calls from Qt too, since the executable comes first in the
 * dynamic linker's lookup order.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/syscall.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

long syscall(long number, ...)
{
    static long (*next)(long, ...);
    va_list args;
    long a[6];
    int i;

    va_start(args, number);
    for (i = 0; i < 6; ++i)
        a[i] = va_arg(args, long);
    va_end(args);

    if (number == SYS_waitid && a[0] == P_PIDFD) {
        errno = ENOSYS;
        return -1;
    }
    if (!next)
        next = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
