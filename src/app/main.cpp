#include "app/main_window.h"
#include "core/commands.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    // Lines from several threads should reach a log or a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    gtk_init(&argc, &argv);
    registerGtkUiOps();
    buildMainWindow();
    kvStart();
    gtk_main();
    return 0;
}
