#include "app/main_window.h"
#include "core/commands.h"

#include <cstdio>
#include <malloc.h>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
    // Answered before the toolkit starts, so they work without a display.
    bool autoAnswer = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-auto-answer") == 0)
            autoAnswer = false;
        if (strcmp(argv[i], "--version") == 0) {
            printf("kestrelvox %s\n", KV_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--help") == 0) {
            printf("Usage: kestrelvox [--no-auto-answer] [GTK OPTION]...\n"
                   "Internet voice calls, voice files and a directory of online users.\n"
                   "\n"
                   "  --no-auto-answer  show an incoming call without answering it\n"
                   "  --help       show this help and exit\n"
                   "  --version    show the version and exit\n"
                   "The toolkit's own options (such as --display=DISPLAY) are accepted too.\n");
            return 0;
        }
    }
    // Lines from several threads should reach a log or a pipe as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every call and file runs on a new worker thread; without a cap the
    // allocator reserves a fresh 64 MB arena whenever two of them briefly
    // overlap (up to 8 per core), so the address space grows call by call.
    mallopt(M_ARENA_MAX, 2);
    // The window manager and the desktop's menu know the program by these.
    g_set_prgname("kestrelvox");
    gtk_init(&argc, &argv);
    g_set_application_name("Kestrelvox");
    gtk_window_set_default_icon_name("kestrelvox");
    registerGtkUiOps();
    buildMainWindow();
    kvSetAutoAnswer(autoAnswer);
    kvStart();
    if (kvSoundDeviceName() == std::string("none"))
        showMessageBox("No Sound Device", "No sound device could be opened, so calls send no speech and\n"
                                          "recordings stay empty. Connect a sound card (or free it from\n"
                                          "the program holding it) and start Kestrelvox again.");
    gtk_main();
    return 0;
}
