#include "app/main_window.h"
#include "core/commands.h"

#include <cstdio>
#include <malloc.h>

int main(int argc, char *argv[])
{
    // Lines from several threads should reach a log or a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every call and file runs on a new worker thread; without a cap the
    // allocator reserves a fresh 64 MB arena whenever two of them briefly
    // overlap (up to 8 per core), so the address space grows call by call.
    mallopt(M_ARENA_MAX, 2);
    gtk_init(&argc, &argv);
    registerGtkUiOps();
    buildMainWindow();
    kvStart();
    gtk_main();
    return 0;
}
