/* A preloaded shim for the fault tests of the updater: it records the calls
 * that decide whether an install survives a power cut (syncs, renames, data
 * copies) and can break or slow them, so that a test sees the order of the
 * phases and can stop the updater inside one of them.
 *
 * Environment (all optional):
 *   ZENTAVO_SHIM_TRACE=FILE        one line per call, appended:
 *                                  call<TAB>st_dev<TAB>result<TAB>errno<TAB>name<TAB>name
 *   ZENTAVO_SHIM_SYNC_EIO=1        syncfs, fsync and fdatasync fail with EIO
 *   ZENTAVO_SHIM_COPY_DELAY_US=N   each data-copy call first waits N microseconds
 *   ZENTAVO_SHIM_RENAME_DELAY_US=N each rename first waits N microseconds
 *   ZENTAVO_SHIM_HUGE_FREE=1       statvfs and fstatvfs report a terabyte free
 *   ZENTAVO_SHIM_GROW=NAME         the first data copy out of a file called NAME
 *                                  appends 4096 bytes to that file afterwards
 *   ZENTAVO_SHIM_HOLD_AT_COPY=K    the K-th data-copy call (from 1) writes "hold"
 *                                  to the trace and waits until a signal arrives
 *                                  (20 s at most), so a test can signal the
 *                                  updater at a known point of the copy
 *   ZENTAVO_SHIM_HOLD_AT_NAME=NAME the same hold, at the second data copy out of
 *                                  a file called NAME (inside that file's copy)
 *   ZENTAVO_SHIM_HOLD_AT_SYNC=K    the same hold, before the K-th syncfs
 *   ZENTAVO_SHIM_HOLD_AT_UNLINK=NAME the same hold, before the first unlinkat
 *                                  of an entry called NAME
 *   ZENTAVO_SHIM_RELEASE=FILE      a hold also ends as soon as FILE exists, so a
 *                                  test can change the trees and let the run go on
 *   ZENTAVO_SHIM_RENAME_FAIL_AT=K  the K-th renameat2 (from 1) fails with EIO
 *                                  before it is made; K,L,... fails several
 *   ZENTAVO_SHIM_NO_EXCHANGE=1     renameat2 with RENAME_EXCHANGE fails with
 *                                  EINVAL, as on a file system without swaps
 *   ZENTAVO_SHIM_LINK_BEFORE_OPEN=TARGET an open for writing of log.txt first makes it a link to TARGET
 *
 * Plain C and libc only: it is loaded into sanitizer builds and Qt 5 or Qt 6
 * builds alike. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static int trace_fd = -1;
static int sync_eio;
static long copy_delay_us;
static long rename_delay_us;
static int huge_free;
static const char* grow_name;
static volatile int grown;
static long hold_at_copy;
static long copy_calls;
static const char* hold_name;
static long hold_name_calls;
static long hold_at_sync;
static const char* hold_unlink_name;
static int unlink_held;
static long sync_calls;
static const char* release_path;
static char rename_fail_at[256];
static long renameat2_calls;
static int no_exchange;

__attribute__((constructor)) static void shim_init(void)
{
    const char* value = getenv("ZENTAVO_SHIM_TRACE");
    if (value && *value)
        trace_fd = open(value, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    value = getenv("ZENTAVO_SHIM_SYNC_EIO");
    sync_eio = value && strcmp(value, "1") == 0;
    value = getenv("ZENTAVO_SHIM_COPY_DELAY_US");
    copy_delay_us = value ? atol(value) : 0;
    value = getenv("ZENTAVO_SHIM_RENAME_DELAY_US");
    rename_delay_us = value ? atol(value) : 0;
    value = getenv("ZENTAVO_SHIM_HUGE_FREE");
    huge_free = value && strcmp(value, "1") == 0;
    value = getenv("ZENTAVO_SHIM_GROW");
    grow_name = value && *value ? value : NULL;
    value = getenv("ZENTAVO_SHIM_HOLD_AT_COPY");
    hold_at_copy = value ? atol(value) : 0;
    value = getenv("ZENTAVO_SHIM_HOLD_AT_NAME");
    hold_name = value && *value ? value : NULL;
    value = getenv("ZENTAVO_SHIM_HOLD_AT_SYNC");
    hold_at_sync = value ? atol(value) : 0;
    value = getenv("ZENTAVO_SHIM_HOLD_AT_UNLINK");
    hold_unlink_name = value && *value ? value : NULL;
    value = getenv("ZENTAVO_SHIM_RELEASE");
    release_path = value && *value ? value : NULL;
    value = getenv("ZENTAVO_SHIM_RENAME_FAIL_AT");
    snprintf(rename_fail_at, sizeof(rename_fail_at), ",%s,", value ? value : "");
    value = getenv("ZENTAVO_SHIM_NO_EXCHANGE");
    no_exchange = value && strcmp(value, "1") == 0;
}

static void* next_symbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        static const char message[] = "fsshim: a wrapped function is missing\n";
        ssize_t ignored = write(2, message, sizeof(message) - 1);
        (void)ignored;
        abort();
    }
    return symbol;
}

/* The whole delay, even when a signal arrives meanwhile: the test decides
 * when the updater is stopped, not the sleep. */
static void delay(long microseconds)
{
    if (microseconds <= 0)
        return;
    struct timespec left = { microseconds / 1000000, (microseconds % 1000000) * 1000 };
    const int saved = errno;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    errno = saved;
}

/* Names go on one line whatever they hold. */
static size_t append_name(char* line, size_t used, size_t size, const char* name)
{
    if (used < size)
        line[used++] = '\t';
    for (; name && *name && used < size; ++name)
        line[used++] = (*name == '\n' || *name == '\t') ? '?' : *name;
    return used;
}

static void trace(const char* call, dev_t device, long result, int error, const char* first,
                  const char* second)
{
    if (trace_fd < 0)
        return;
    char line[2 * PATH_MAX + 128];
    const size_t size = sizeof(line) - 1;
    int n = snprintf(line, size, "%s\t%lu\t%ld\t%d", call, (unsigned long)device, result,
                     result < 0 ? error : 0);
    size_t used = n < 0 ? 0 : (size_t)n < size ? (size_t)n : size;
    used = append_name(line, used, size, first);
    used = append_name(line, used, size, second);
    line[used++] = '\n';
    /* One write per line: lines of concurrent calls never mix. */
    ssize_t ignored = write(trace_fd, line, used);
    (void)ignored;
}

static dev_t fd_device(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_dev : 0;
}

/* The file system a name lives on: that of its directory. */
static dev_t name_device(int dirfd, const char* name)
{
    char dir[PATH_MAX];
    const char* slash = strrchr(name, '/');
    struct stat st;
    if (!slash)
        return fstatat(dirfd, ".", &st, 0) == 0 ? st.st_dev : 0;
    size_t length = (size_t)(slash - name);
    if (length == 0)
        length = 1;
    if (length >= sizeof(dir))
        return 0;
    memcpy(dir, name, length);
    dir[length] = '\0';
    return fstatat(dirfd, dir, &st, 0) == 0 ? st.st_dev : 0;
}

/* Whether fd is open on a file called name; its path goes to path. */
static int named(int fd, const char* name, char* path, size_t size)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const int saved = errno;
    const ssize_t length = readlink(link, path, size - 1);
    errno = saved;
    if (length <= 0)
        return 0;
    path[length] = '\0';
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    return strcmp(base, name) == 0;
}

static void hold(dev_t device, long call)
{
    const int saved = errno;
    trace("hold", device, call, 0, NULL, NULL);
    /* 20 s in steps of 5 ms; ends early when a signal is handled or the
     * release file appears. */
    for (int step = 0; step < 4000; ++step) {
        struct timespec left = { 0, 5000000 };
        if (nanosleep(&left, &left) != 0)
            break;
        struct stat st;
        if (release_path && stat(release_path, &st) == 0)
            break;
    }
    trace("released", device, call, 0, NULL, NULL);
    errno = saved;
}

/* Before a data copy out of fd: the hold at a named file. */
static void hold_if_named(int fd)
{
    char path[PATH_MAX];
    if (!hold_name || !named(fd, hold_name, path, sizeof(path)))
        return;
    if (__atomic_add_fetch(&hold_name_calls, 1, __ATOMIC_SEQ_CST) == 2)
        hold(fd_device(fd), 2);
}

static void grow_if_named(int fd)
{
    char path[PATH_MAX];
    char link[64];
    if (!grow_name || grown || !named(fd, grow_name, path, sizeof(path)))
        return;
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    grown = 1;
    const int saved = errno;
    const int out = open(link, O_WRONLY | O_APPEND | O_CLOEXEC);
    char block[4096];
    memset(block, 'g', sizeof(block));
    const ssize_t written = out >= 0 ? write(out, block, sizeof(block)) : -1;
    if (out >= 0)
        close(out);
    trace("grow", fd_device(fd), (long)written, errno, path, NULL);
    errno = saved;
}

/* Every data-copy call starts here. */
static void before_copy(int out)
{
    const long call = __atomic_add_fetch(&copy_calls, 1, __ATOMIC_SEQ_CST);
    if (call == hold_at_copy)
        hold(fd_device(out), call);
    delay(copy_delay_us);
}

/* ---- syncs ---- */

/* Every sync goes through here: it is recorded, and fails with EIO when asked. */
static int traced_sync(const char* name, int fd)
{
    int (*real)(int) = (int (*)(int))next_symbol(name);
    int result;
    if (strcmp(name, "syncfs") == 0
        && __atomic_add_fetch(&sync_calls, 1, __ATOMIC_SEQ_CST) == hold_at_sync)
        hold(fd_device(fd), hold_at_sync);
    if (sync_eio) {
        errno = EIO;
        result = -1;
    } else {
        result = real(fd);
    }
    const int error = errno;
    trace(name, fd_device(fd), result, error, NULL, NULL);
    errno = error;
    return result;
}

int syncfs(int fd)
{
    return traced_sync("syncfs", fd);
}

int fsync(int fd)
{
    return traced_sync("fsync", fd);
}

int fdatasync(int fd)
{
    return traced_sync("fdatasync", fd);
}

void sync(void)
{
    void (*real)(void) = (void (*)(void))next_symbol("sync");
    real();
    trace("sync", 0, 0, 0, NULL, NULL);
}

/* ---- renames ---- */

int rename(const char* from, const char* to)
{
    static int (*real)(const char*, const char*);
    if (!real)
        real = (int (*)(const char*, const char*))next_symbol("rename");
    delay(rename_delay_us);
    const dev_t device = name_device(AT_FDCWD, from);
    const int result = real(from, to);
    const int error = errno;
    trace("rename", device, result, error, from, to);
    errno = error;
    return result;
}

int renameat(int fromdir, const char* from, int todir, const char* to)
{
    static int (*real)(int, const char*, int, const char*);
    if (!real)
        real = (int (*)(int, const char*, int, const char*))next_symbol("renameat");
    delay(rename_delay_us);
    const dev_t device = name_device(fromdir, from);
    const int result = real(fromdir, from, todir, to);
    const int error = errno;
    trace("renameat", device, result, error, from, to);
    errno = error;
    return result;
}

int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned int flags)
{
    static int (*real)(int, const char*, int, const char*, unsigned int);
    if (!real)
        real = (int (*)(int, const char*, int, const char*, unsigned int))next_symbol("renameat2");
    delay(rename_delay_us);
    const dev_t device = name_device(fromdir, from);
    const long call = __atomic_add_fetch(&renameat2_calls, 1, __ATOMIC_SEQ_CST);
    char number[32];
    snprintf(number, sizeof(number), ",%ld,", call);
    int result;
    if (strstr(rename_fail_at, number)) {
        errno = EIO;
        result = -1;
    } else if (no_exchange && (flags & RENAME_EXCHANGE)) {
        errno = EINVAL;
        result = -1;
    } else {
        result = real(fromdir, from, todir, to, flags);
    }
    const int error = errno;
    trace("renameat2", device, result, error, from, to);
    errno = error;
    return result;
}

/* ---- removals ---- */

int unlinkat(int dirfd, const char* name, int flags)
{
    static int (*real)(int, const char*, int);
    if (!real)
        real = (int (*)(int, const char*, int))next_symbol("unlinkat");
    const dev_t device = name_device(dirfd, name);
    const char* base = strrchr(name, '/');
    if (hold_unlink_name && strcmp(base ? base + 1 : name, hold_unlink_name) == 0
        && !__atomic_exchange_n(&unlink_held, 1, __ATOMIC_SEQ_CST))
        hold(device, 1);
    const int result = real(dirfd, name, flags);
    const int error = errno;
    trace("unlinkat", device, result, error, name, NULL);
    errno = error;
    return result;
}

/* ---- data copies ---- */

ssize_t copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t length,
                        unsigned int flags)
{
    static ssize_t (*real)(int, loff_t*, int, loff_t*, size_t, unsigned int);
    if (!real)
        real = (ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned int))
            next_symbol("copy_file_range");
    hold_if_named(in);
    before_copy(out);
    const ssize_t result = real(in, in_offset, out, out_offset, length, flags);
    const int error = errno;
    trace("copy_file_range", fd_device(out), (long)result, error, NULL, NULL);
    if (result > 0)
        grow_if_named(in);
    errno = error;
    return result;
}

static ssize_t data_write(const char* name, int fd, const void* data, size_t length, off_t offset)
{
    ssize_t (*real)(int, const void*, size_t, off_t) =
        (ssize_t (*)(int, const void*, size_t, off_t))next_symbol(name);
    before_copy(fd);
    const ssize_t result = real(fd, data, length, offset);
    const int error = errno;
    trace(name, fd_device(fd), (long)result, error, NULL, NULL);
    errno = error;
    return result;
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t offset)
{
    return data_write("pwrite", fd, data, length, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t length, off64_t offset)
{
    return data_write("pwrite64", fd, data, length, offset);
}

static ssize_t data_read(const char* name, int fd, void* data, size_t length, off_t offset)
{
    ssize_t (*real)(int, void*, size_t, off_t) =
        (ssize_t (*)(int, void*, size_t, off_t))next_symbol(name);
    hold_if_named(fd);
    const ssize_t result = real(fd, data, length, offset);
    const int error = errno;
    if (result > 0)
        grow_if_named(fd);
    errno = error;
    return result;
}

ssize_t pread(int fd, void* data, size_t length, off_t offset)
{
    return data_read("pread", fd, data, length, offset);
}

ssize_t pread64(int fd, void* data, size_t length, off64_t offset)
{
    return data_read("pread64", fd, data, length, offset);
}

/* ---- free space ---- */

static const unsigned long long terabyte = 1ULL << 40;

#define HUGE_FREE(info)                                                             \
    do {                                                                            \
        const unsigned long long unit = (info)->f_frsize ? (info)->f_frsize : 4096; \
        (info)->f_blocks = (info)->f_bfree = (info)->f_bavail = terabyte / unit;    \
        (info)->f_files = (info)->f_ffree = (info)->f_favail = terabyte / unit;     \
    } while (0)

/* The real call, then the figures made huge when asked. */
#define HUGE_FREE_WRAPPER(name, where_type, info_type)                    \
    int name(where_type where, struct info_type* info)                    \
    {                                                                     \
        int (*real)(where_type, struct info_type*) =                      \
            (int (*)(where_type, struct info_type*))next_symbol(#name);   \
        const int result = real(where, info);                             \
        if (result == 0 && huge_free)                                     \
            HUGE_FREE(info);                                              \
        return result;                                                    \
    }

HUGE_FREE_WRAPPER(statvfs, const char*, statvfs)
HUGE_FREE_WRAPPER(fstatvfs, int, statvfs)
HUGE_FREE_WRAPPER(statvfs64, const char*, statvfs64)
HUGE_FREE_WRAPPER(fstatvfs64, int, statvfs64)

/* ---- a link swapped in before an open ---- */

/* ZENTAVO_SHIM_LINK_BEFORE_OPEN=TARGET: an open for writing of a file called
 * log.txt first replaces that file with a link to TARGET, as a stick could
 * between the updater's look at the file and its open. Every open call the
 * updater's libc may route through is wrapped. */
#include <stdarg.h>

static const char* link_before_open_target;

__attribute__((constructor)) static void link_before_open_init(void)
{
    const char* value = getenv("ZENTAVO_SHIM_LINK_BEFORE_OPEN");
    link_before_open_target = value && *value ? value : NULL;
}

static void link_before_open(int dirfd, const char* path, int flags)
{
    if (!link_before_open_target || !path || (flags & O_ACCMODE) == O_RDONLY)
        return;
    const char* base = strrchr(path, '/');
    if (strcmp(base ? base + 1 : path, "log.txt") != 0)
        return;
    const int saved = errno;
    (void)unlinkat(dirfd, path, 0);
    const int linked = symlinkat(link_before_open_target, dirfd, path);
    trace("link_before_open", 0, linked, errno, path, link_before_open_target);
    errno = saved;
}

/* The mode argument is there only when the flags ask for one. */
#define OPEN_MODE(flags, mode)                                                    \
    do {                                                                          \
        if (((flags) & O_CREAT) != 0 || ((flags) & O_TMPFILE) == O_TMPFILE) {     \
            va_list arguments;                                                    \
            va_start(arguments, flags);                                           \
            mode = va_arg(arguments, mode_t);                                     \
            va_end(arguments);                                                    \
        }                                                                         \
    } while (0)

#define LINKED_OPEN(name)                                                         \
    int name(const char* path, int flags, ...)                                    \
    {                                                                             \
        int (*real)(const char*, int, ...) =                                      \
            (int (*)(const char*, int, ...))next_symbol(#name);                   \
        mode_t mode = 0;                                                          \
        OPEN_MODE(flags, mode);                                                   \
        link_before_open(AT_FDCWD, path, flags);                                  \
        return real(path, flags, mode);                                           \
    }

#define LINKED_OPENAT(name)                                                       \
    int name(int dirfd, const char* path, int flags, ...)                         \
    {                                                                             \
        int (*real)(int, const char*, int, ...) =                                 \
            (int (*)(int, const char*, int, ...))next_symbol(#name);              \
        mode_t mode = 0;                                                          \
        OPEN_MODE(flags, mode);                                                   \
        link_before_open(dirfd, path, flags);                                     \
        return real(dirfd, path, flags, mode);                                    \
    }

/* The checked variants a fortified build calls for opens without a mode. */
#define LINKED_OPEN_2(name)                                                       \
    int name(const char* path, int flags)                                         \
    {                                                                             \
        int (*real)(const char*, int) = (int (*)(const char*, int))next_symbol(#name); \
        link_before_open(AT_FDCWD, path, flags);                                  \
        return real(path, flags);                                                 \
    }

#define LINKED_OPENAT_2(name)                                                     \
    int name(int dirfd, const char* path, int flags)                              \
    {                                                                             \
        int (*real)(int, const char*, int) =                                      \
            (int (*)(int, const char*, int))next_symbol(#name);                   \
        link_before_open(dirfd, path, flags);                                     \
        return real(dirfd, path, flags);                                          \
    }

LINKED_OPEN(open)
LINKED_OPEN(open64)
LINKED_OPENAT(openat)
LINKED_OPENAT(openat64)
LINKED_OPEN_2(__open_2)
LINKED_OPEN_2(__open64_2)
LINKED_OPENAT_2(__openat_2)
LINKED_OPENAT_2(__openat64_2)
