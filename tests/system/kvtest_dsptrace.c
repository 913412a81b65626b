/* Guards the sound tests' view of /dev/dsp: preloaded in front of the OSS emulation, it logs the program's own
 * open, OSS requests, reads, writes and close of /dev/dsp, "<monotonic s.ms> <event>" a line, into $KVT_DSPTRACE. */
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
static int logFd = -1;

static __attribute__((constructor)) void openLog(void)
{
    const char *path = getenv("KVT_DSPTRACE");
    if (path && *path)
        logFd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* One raw write a line with O_APPEND keeps threads' lines whole and the log out of the interposed write(). */
static void logLine(const char *format, ...)
{
    int saved = errno;
    char line[256];
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int n = snprintf(line, sizeof line, "%lld.%03ld ", (long long)now.tv_sec, now.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, format);
    n += vsnprintf(line + n, sizeof line - (size_t)n - 1, format, ap);
    va_end(ap);
    n = n > (int)sizeof line - 2 ? (int)sizeof line - 2 : n;
    line[n++] = '\n';
    if (logFd >= 0)
        syscall(SYS_write, logFd, line, (size_t)n);
    errno = saved;
}

static void *nextSymbol(const char *name)
{
    void *sym = dlsym(RTLD_NEXT, name);
    if (!sym)
        abort();
    return sym;
}

static int isDsp(const char *path) /* open() declares path non-null; a caller may still pass NULL */
{
    return path && strcmp(path, "/dev/dsp") == 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))nextSymbol("open");
    ++nested;
    int fd = real(path, flags, mode);
    --nested;
    if (!nested && isDsp(path)) {
        if (fd >= 0)
            atomic_store(&dspFd, fd);
        logLine("open %s flags=%d result=%d errno=%d", path, flags & O_ACCMODE, fd, fd < 0 ? errno : 0);
    }
    return fd;
}
int open64(const char *path, int flags, ...) __attribute__((alias("open")));

static const struct { unsigned long request; const char *name; int takesInt; } kRequests[] = {
    {SNDCTL_DSP_SETDUPLEX, "SETDUPLEX", 0}, {SNDCTL_DSP_GETCAPS, "GETCAPS", 1},
    {SNDCTL_DSP_SETFRAGMENT, "SETFRAGMENT", 1}, {SNDCTL_DSP_STEREO, "STEREO", 1},
    {SNDCTL_DSP_CHANNELS, "CHANNELS", 1}, {SNDCTL_DSP_SETFMT, "SETFMT", 1}, {SNDCTL_DSP_SPEED, "SPEED", 1},
    {SNDCTL_DSP_SYNC, "SYNC", 0}, {SNDCTL_DSP_RESET, "RESET", 0}, {SNDCTL_DSP_POST, "POST", 0},
    {SNDCTL_DSP_GETOSPACE, "GETOSPACE", 0}, {SNDCTL_DSP_GETISPACE, "GETISPACE", 0},
    {SNDCTL_DSP_GETBLKSIZE, "GETBLKSIZE", 1}, {SNDCTL_DSP_NONBLOCK, "NONBLOCK", 0},
};

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))nextSymbol("ioctl");
    size_t i = 0;
    while (i < sizeof kRequests / sizeof kRequests[0] && kRequests[i].request != request)
        ++i;
    if (nested || i == sizeof kRequests / sizeof kRequests[0])
        return real(fd, request, arg);
    /* An OSS request on any other descriptor (e.g. -1 after a failed open) is logged too. */
    const int withInt = kRequests[i].takesInt && arg && fd >= 0 && fd == atomic_load(&dspFd);
    long before = withInt ? (long)*(int *)arg : 0;
    ++nested;
    int result = real(fd, request, arg);
    --nested;
    logLine("ioctl %s fd=%d in=0x%lx out=0x%x result=%d errno=%d", kRequests[i].name, fd, before,
            withInt ? *(int *)arg : 0, result, result < 0 ? errno : 0);
    return result;
}

#define TRANSFER_WRAPPER(fn, buffer) \
    ssize_t fn(int fd, buffer buf, size_t count) \
    { \
        ssize_t (*real)(int, buffer, size_t) = (ssize_t (*)(int, buffer, size_t))nextSymbol(#fn); \
        ++nested; \
        ssize_t result = real(fd, buf, count); \
        --nested; \
        if (!nested && fd >= 0 && fd == atomic_load(&dspFd)) \
            logLine(#fn " fd=%d count=%zu result=%zd", fd, count, result); \
        return result; \
    }
TRANSFER_WRAPPER(read, void *)
TRANSFER_WRAPPER(write, const void *)

int close(int fd)
{
    int (*real)(int) = (int (*)(int))nextSymbol("close");
    int isDevice = !nested && fd >= 0 && fd == atomic_load(&dspFd);
    ++nested;
    int result = real(fd);
    --nested;
    if (isDevice) {
        atomic_store(&dspFd, -1);
        logLine("close fd=%d result=%d errno=%d", fd, result, result < 0 ? errno : 0);
    }
    return result;
}
