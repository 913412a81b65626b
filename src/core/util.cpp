#include "core/util.h"

#include <atomic>
#include <cstdio>
#include <sys/select.h>

int msleep(unsigned long ms)
{
    if (ms == 0)
        return 0;
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    // A readiness wait on no descriptors is the sleep.
    return select(0, nullptr, nullptr, nullptr, &tv) == 0 ? 0 : -1;
}

void error(const char *text)
{
    fputs(text, stderr);
}

void ShowFatalError(const char *text)
{
    fputs(text, stderr);
}

namespace {
std::atomic<bool> shuttingDown{false};
}

bool kvShuttingDown() { return shuttingDown; }

void kvSetShuttingDown(bool on) { shuttingDown = on; }
