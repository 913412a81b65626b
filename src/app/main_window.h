// The main window: menu bar, video area and progress bar.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

extern GtkWidget *mainWindow;
extern GtkWidget *darea;
extern GtkWidget *progressBar;
extern GtkWidget *statusLine;

struct KvEngineStatus;
// Shows the engine's status under the picture and greys out the menu entries
// that cannot act now. GUI thread.
void updateStatusLine();
// Raises a desktop notice for a call answered while the window is away.
void noteIncomingCall(const KvEngineStatus &status);

// One row of the menu table: path (underscore marks the mnemonic),
// accelerator, callback and item type ("<Branch>", "<LastBranch>",
// "<Separator>" or null for a plain item).
struct MenuItemEntry {
    const char *path;
    const char *accelerator;
    void (*callback)();
    const char *itemType;
};

extern const MenuItemEntry menu_items[25];

GtkWidget *buildMainWindow();
void get_main_menu(GtkWidget *window, GtkWidget **menubar);
void mainWinDestroy();
void aboutBox();

// Refresh timer and video drawing.
void installRefreshTimer();
void removeRefreshTimer();
gboolean timeoutProc(gpointer bar);
void drawImageRGB(const unsigned char *rgb, int stride, void *unused);

// Front-end implementation of the core's user-interface table.
void registerGtkUiOps();
void showMessageBox(const char *title, const char *text);

void listReceivedOp(const char *title, const std::vector<std::string> &entries);
void chatLineReceivedOp(const char *line);

// File commands.
void playAudioFile();
void recordAudioFile();

// Dialogs.
void editBox();
void hostListBox();
void serverListBox();
void onlineBuddy();
void onlineUser();
void buddyMsgEditBox();
void serverDisconnect();
void showLocalInfo();
void proxySetupBox();
void audioCompModeBox();
