/* Preloaded in front of the OSS emulation (or alone) to log what a program does with /dev/dsp:
 * open, every OSS request with its argument before and after, the byte counts of reads and
 * writes, and close. The whole-program tests read the log to see that the device was set up as
 * asked and that shut-down drained it before closing it. Requests without an argument log how long
 * they blocked (took=ms). Descriptors the kernel closes at process end never show up here, so a
 * logged close is the program's own. Each line is "<monotonic s.ms> <event>". The log file is
 * named by KVT_DSPTRACE; without it the shim only passes calls through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static atomic_int dspFd = -1;
/* libaoss makes its own calls through the same symbols; only the program's calls are logged. */
static __thread int nested;
static atomic_int logFd = -2; /* -2: not opened yet, -1: no log wanted */

static int logDescriptor(void)
{
    int fd = atomic_load(&logFd);
    if (fd != -2)
        return fd;
    const char *path = getenv("KVT_DSPTRACE");
    int opened = -1;
    if (path && *path)
        opened = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int expected = -2;
    if (!atomic_compare_exchange_strong(&logFd, &expected, opened) && opened >= 0)
        syscall(SYS_close, opened);
    return atomic_load(&logFd);
}

/* One write per line with O_APPEND keeps lines of different threads whole. Raw syscalls keep the
 * log out of the interposed write(). */
static void logLine(const char *format, ...)
{
    int fd = logDescriptor();
    if (fd < 0)
        return;
    char line[256];
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int n = snprintf(line, sizeof line, "%lld.%03ld ", (long long)now.tv_sec, now.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, format);
    n += vsnprintf(line + n, sizeof line - (size_t)n - 1, format, ap);
    va_end(ap);
    if (n > (int)sizeof line - 2)
        n = (int)sizeof line - 2;
    line[n++] = '\n';
    syscall(SYS_write, fd, line, (size_t)n);
}

static void *nextSymbol(const char *name)
{
    void *sym = dlsym(RTLD_NEXT, name);
    if (!sym) {
        static const char msg[] = "kvtest_dsptrace: missing next symbol\n";
        syscall(SYS_write, 2, msg, sizeof msg - 1);
        abort();
    }
    return sym;
}

static int isDsp(const char *path)
{
    return path && strcmp(path, "/dev/dsp") == 0;
}

static int traceOpen(const char *fn, const char *path, int flags, mode_t mode)
{
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))nextSymbol(fn);
    ++nested;
    int fd = real(path, flags, mode);
    --nested;
    if (isDsp(path) && !nested) {
        int saved = errno;
        if (fd >= 0)
            atomic_store(&dspFd, fd);
        logLine("open %s flags=%d -> %d errno=%d", path, flags & O_ACCMODE, fd, fd < 0 ? saved : 0);
        errno = saved;
    }
    return fd;
}

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return traceOpen("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return traceOpen("open64", path, flags, mode);
}

static const char *requestName(unsigned long request)
{
    switch (request) {
    case SNDCTL_DSP_SETDUPLEX: return "SETDUPLEX";
    case SNDCTL_DSP_GETCAPS: return "GETCAPS";
    case SNDCTL_DSP_SETFRAGMENT: return "SETFRAGMENT";
    case SNDCTL_DSP_STEREO: return "STEREO";
    case SNDCTL_DSP_CHANNELS: return "CHANNELS";
    case SNDCTL_DSP_SETFMT: return "SETFMT";
    case SNDCTL_DSP_SPEED: return "SPEED";
    case SNDCTL_DSP_SYNC: return "SYNC";
    case SNDCTL_DSP_RESET: return "RESET";
    case SNDCTL_DSP_POST: return "POST";
    case SNDCTL_DSP_GETOSPACE: return "GETOSPACE";
    case SNDCTL_DSP_GETISPACE: return "GETISPACE";
    case SNDCTL_DSP_GETBLKSIZE: return "GETBLKSIZE";
    case SNDCTL_DSP_NONBLOCK: return "NONBLOCK";
    default: return NULL;
    }
}

/* Requests whose argument is a pointer to one int that the driver may change. */
static int takesInt(unsigned long request)
{
    return request == SNDCTL_DSP_GETCAPS || request == SNDCTL_DSP_SETFRAGMENT ||
           request == SNDCTL_DSP_STEREO || request == SNDCTL_DSP_CHANNELS ||
           request == SNDCTL_DSP_SETFMT || request == SNDCTL_DSP_SPEED ||
           request == SNDCTL_DSP_GETBLKSIZE;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))nextSymbol("ioctl");
    const char *name = requestName(request);
    if (nested || !name)
        return real(fd, request, arg);
    if (fd != atomic_load(&dspFd) || fd < 0) {
        /* An OSS request on any other descriptor (e.g. -1 after a failed open) is logged too. */
        ++nested;
        int result = real(fd, request, arg);
        --nested;
        if (name) {
            int saved = errno;
            logLine("ioctl %s fd=%d -> %d errno=%d", name, fd, result, result < 0 ? saved : 0);
            errno = saved;
        }
        return result;
    }
    long before = (takesInt(request) && arg) ? (long)*(int *)arg : 0;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    ++nested;
    int result = real(fd, request, arg);
    --nested;
    int saved = errno;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long took = (end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
    if (request == SNDCTL_DSP_GETOSPACE && arg && result == 0) {
        const audio_buf_info *info = (const audio_buf_info *)arg;
        logLine("ioctl %s fd=%d -> %d errno=0 fragments=%d fragstotal=%d fragsize=%d bytes=%d", name, fd,
                result, info->fragments, info->fragstotal, info->fragsize, info->bytes);
    } else if (takesInt(request) && arg) {
        logLine("ioctl %s fd=%d in=0x%lx out=0x%x -> %d errno=%d", name, fd, before, *(int *)arg, result,
                result < 0 ? saved : 0);
    } else {
        logLine("ioctl %s fd=%d took=%ld -> %d errno=%d", name, fd, took, result, result < 0 ? saved : 0);
    }
    errno = saved;
    return result;
}

ssize_t read(int fd, void *buf, size_t count)
{
    ssize_t (*real)(int, void *, size_t) = (ssize_t (*)(int, void *, size_t))nextSymbol("read");
    ++nested;
    ssize_t result = real(fd, buf, count);
    --nested;
    if (!nested && fd >= 0 && fd == atomic_load(&dspFd)) {
        int saved = errno;
        logLine("read fd=%d count=%zu -> %zd", fd, count, result);
        errno = saved;
    }
    return result;
}

ssize_t write(int fd, const void *buf, size_t count)
{
    ssize_t (*real)(int, const void *, size_t) = (ssize_t (*)(int, const void *, size_t))nextSymbol("write");
    ++nested;
    ssize_t result = real(fd, buf, count);
    --nested;
    if (!nested && fd >= 0 && fd == atomic_load(&dspFd)) {
        int saved = errno;
        logLine("write fd=%d count=%zu -> %zd", fd, count, result);
        errno = saved;
    }
    return result;
}

int close(int fd)
{
    int (*real)(int) = (int (*)(int))nextSymbol("close");
    int isDevice = !nested && fd >= 0 && fd == atomic_load(&dspFd);
    ++nested;
    int result = real(fd);
    --nested;
    if (isDevice) {
        int saved = errno;
        atomic_store(&dspFd, -1);
        logLine("close fd=%d -> %d errno=%d", fd, result, result < 0 ? saved : 0);
        errno = saved;
    }
    return result;
}
