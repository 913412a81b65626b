#include "app/main_window.h"

#include "core/commands.h"

#include <cstdio>
#include <unistd.h>

#include <string>
#include <vector>

GtkWidget *mainWindow;
GtkWidget *darea;
GtkWidget *progressBar;
GtkWidget *statusLine;

namespace {
// The items of menu_items, by index, for greying out what cannot act now.
GtkWidget *menuWidgets[25];
} // namespace

namespace {
void stopPlayRecord() { kvStop(); }
void muteAudio() { kvMute(); }
} // namespace

const MenuItemEntry menu_items[25] = {
    {"/_File", nullptr, nullptr, "<Branch>"},
    {"/File/_Play File", "<control>P", playAudioFile, nullptr},
    {"/File/_Record File", "<control>R", recordAudioFile, nullptr},
    {"/File/Stop", nullptr, stopPlayRecord, nullptr},
    {"/File/sep1", nullptr, nullptr, "<Separator>"},
    {"/File/Quit", "<control>Q", mainWinDestroy, nullptr},
    {"/_Connect", nullptr, nullptr, "<Branch>"},
    {"/Connect/_New", "<control>N", editBox, nullptr},
    {"/Connect/Open", "<control>O", hostListBox, nullptr},
    {"/_Server", nullptr, nullptr, "<Branch>"},
    {"/Server/_Connect Server", nullptr, serverListBox, nullptr},
    {"/Server/sep1", nullptr, nullptr, "<Separator>"},
    {"/Server/_Online Buddy", nullptr, onlineBuddy, nullptr},
    {"/Server/_Visible Online User", nullptr, onlineUser, nullptr},
    {"/Server/Chat...", nullptr, buddyMsgEditBox, nullptr},
    {"/Server/sep2", nullptr, nullptr, "<Separator>"},
    {"/Server/_Disconnect Server", nullptr, serverDisconnect, nullptr},
    {"/Server/_User Profile", nullptr, showLocalInfo, nullptr},
    {"/Server/sep3", nullptr, nullptr, "<Separator>"},
    {"/Server/_Proxy Setup", nullptr, proxySetupBox, nullptr},
    {"/_Audio", nullptr, nullptr, "<Branch>"},
    {"/Audio/_Compression", nullptr, audioCompModeBox, nullptr},
    {"/Audio/Mute", nullptr, muteAudio, nullptr},
    {"/_Help", nullptr, nullptr, "<LastBranch>"},
    {"/_Help/About", nullptr, aboutBox, nullptr},
};

namespace {

// "/_Help/About" and "/Help/About" name the same place: compare paths without
// their mnemonic marks.
std::string plainPath(const std::string &path)
{
    std::string out;
    for (char c : path)
        if (c != '_')
            out += c;
    return out;
}

void activateItem(GtkMenuItem *, gpointer data)
{
    auto callback = reinterpret_cast<void (*)()>(data);
    callback();
}

struct Branch {
    std::string path; // plain path of the branch
    GtkWidget *menu;
};

} // namespace

void get_main_menu(GtkWidget *window, GtkWidget **menubar)
{
    GtkAccelGroup *accelGroup = gtk_accel_group_new();
    GtkWidget *bar = gtk_menu_bar_new();
    std::vector<Branch> branches;

    for (const MenuItemEntry &entry : menu_items) {
        const std::string path = entry.path;
        const size_t slash = path.rfind('/');
        const std::string parent = plainPath(path.substr(0, slash));
        const std::string label = path.substr(slash + 1);
        const std::string type = entry.itemType ? entry.itemType : "";

        GtkWidget *parentMenu = bar;
        for (const Branch &b : branches)
            if (b.path == parent)
                parentMenu = b.menu;

        GtkWidget *item;
        if (type == "<Separator>") {
            item = gtk_separator_menu_item_new();
        } else {
            item = gtk_menu_item_new_with_mnemonic(label.c_str());
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(parentMenu), item);
        menuWidgets[&entry - menu_items] = item;

        if (type == "<Branch>" || type == "<LastBranch>") {
            GtkWidget *submenu = gtk_menu_new();
            gtk_menu_set_accel_group(GTK_MENU(submenu), accelGroup);
            gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), submenu);
            branches.push_back({plainPath(path), submenu});
            if (type == "<LastBranch>") {
                // The last branch sits at the right end of the bar; GTK 3 menu
                // bars have no other way to say so.
                G_GNUC_BEGIN_IGNORE_DEPRECATIONS
                gtk_menu_item_set_right_justified(GTK_MENU_ITEM(item), TRUE);
                G_GNUC_END_IGNORE_DEPRECATIONS
            }
        }
        if (entry.callback)
            g_signal_connect(item, "activate", G_CALLBACK(activateItem), reinterpret_cast<gpointer>(entry.callback));
        if (entry.accelerator) {
            guint key = 0;
            GdkModifierType mods{};
            gtk_accelerator_parse(entry.accelerator, &key, &mods);
            gtk_widget_add_accelerator(item, "activate", accelGroup, key, mods, GTK_ACCEL_VISIBLE);
        }
    }

    gtk_window_add_accel_group(GTK_WINDOW(window), accelGroup);
    if (menubar)
        *menubar = bar;
}

void mainWinDestroy()
{
    // Quit and the window manager's close both come here; once is enough.
    static bool quitting = false;
    if (quitting)
        return;
    quitting = true;
    if (mainWindow && !gtk_widget_in_destruction(mainWindow))
        gtk_widget_hide(mainWindow);
    // The engine waits for its workers off the GUI thread; the main loop keeps
    // running meanwhile, and the process ends when the engine has closed.
    kvQuit(
        [](KvResult, void *) {
            fflush(nullptr);
            _exit(0);
        },
        nullptr);
}

namespace {

void onDestroy(GtkWidget *, gpointer) { mainWinDestroy(); }

gboolean onDraw(GtkWidget *, cairo_t *cr, gpointer);

} // namespace

GtkWidget *buildMainWindow()
{
    mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_signal_connect(mainWindow, "destroy", G_CALLBACK(onDestroy), const_cast<char *>("WM destroy"));
    gtk_window_set_title(GTK_WINDOW(mainWindow), "Kestrelvox");
    gtk_window_set_default_size(GTK_WINDOW(mainWindow), 300, 190);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 1);
    gtk_container_set_border_width(GTK_CONTAINER(box), 1);
    gtk_container_add(GTK_CONTAINER(mainWindow), box);
    gtk_widget_show(box);

    GtkWidget *menubar = nullptr;
    get_main_menu(mainWindow, &menubar);
    gtk_box_pack_start(GTK_BOX(box), menubar, FALSE, TRUE, 0);
    gtk_widget_show_all(menubar);

    darea = gtk_drawing_area_new();
    gtk_widget_set_size_request(darea, 160, 140);
    g_signal_connect(darea, "draw", G_CALLBACK(onDraw), nullptr);
    gtk_box_pack_start(GTK_BOX(box), darea, FALSE, TRUE, 0);
    gtk_widget_show(darea);

    statusLine = gtk_label_new("Not connected");
    gtk_label_set_xalign(GTK_LABEL(statusLine), 0);
    gtk_label_set_line_wrap(GTK_LABEL(statusLine), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(statusLine), 40);
    gtk_widget_set_margin_start(statusLine, 4);
    gtk_widget_set_margin_end(statusLine, 4);
    gtk_box_pack_start(GTK_BOX(box), statusLine, FALSE, TRUE, 0);
    gtk_widget_show(statusLine);
    g_signal_connect(mainWindow, "notify::is-active", G_CALLBACK(+[](GObject *, GParamSpec *, gpointer) {
                         updateStatusLine();
                     }),
                     nullptr);
    // Call and file times move on by themselves; the peer's silence is seen
    // only by looking.
    g_timeout_add(250, +[](gpointer) -> gboolean {
        updateStatusLine();
        return G_SOURCE_CONTINUE;
    }, nullptr);

    progressBar = gtk_progress_bar_new();
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(progressBar), TRUE);
    gtk_box_pack_start(GTK_BOX(box), progressBar, FALSE, TRUE, 0);
    // Shown on the first progress update of a file operation.

    gtk_widget_show(mainWindow);
    updateStatusLine();
    return mainWindow;
}

namespace {

int menuIndex(const char *path)
{
    for (int i = 0; i < 25; ++i)
        if (plainPath(menu_items[i].path) == plainPath(path))
            return i;
    return -1;
}

void setItemSensitive(const char *path, bool on)
{
    const int i = menuIndex(path);
    if (i >= 0 && menuWidgets[i])
        gtk_widget_set_sensitive(menuWidgets[i], on);
}

} // namespace

void noteIncomingCall(const KvEngineStatus &status)
{
    static std::string announced;
    const bool incoming = status.call == KvCallPhase::AnsweredAutomatically || status.call == KvCallPhase::Incoming;
    const std::string key = incoming ? status.peer + (status.call == KvCallPhase::Incoming ? "?" : "!") : "";
    if (key == announced)
        return;
    announced = key;
    if (!incoming || gtk_window_is_active(GTK_WINDOW(mainWindow)))
        return;
    // A registered application on the session bus reaches the desktop's
    // notification service; without a bus there is nobody to tell.
    static GApplication *app = [] {
        GApplication *a = g_application_new("org.kestrelvox.Kestrelvox", G_APPLICATION_NON_UNIQUE);
        if (!g_application_register(a, nullptr, nullptr)) {
            g_object_unref(a);
            return static_cast<GApplication *>(nullptr);
        }
        return a;
    }();
    if (!app || !g_application_get_dbus_connection(app))
        return;
    GNotification *notice = g_notification_new("Kestrelvox");
    gchar *body = g_utf8_make_valid(kvStatusLine(status).c_str(), -1);
    g_notification_set_body(notice, body);
    g_free(body);
    g_application_send_notification(app, "call", notice);
    g_object_unref(notice);
}

void updateStatusLine()
{
    if (!statusLine)
        return;
    KvEngineStatus status = kvStatus();
    status.userName = kvLocalUserName();
    const std::string text = kvStatusLine(status);
    gchar *valid = g_utf8_make_valid(text.c_str(), -1);
    if (g_strcmp0(gtk_label_get_text(GTK_LABEL(statusLine)), valid) != 0)
        gtk_label_set_text(GTK_LABEL(statusLine), valid);
    g_free(valid);

    setItemSensitive("/File/Stop", status.playing || status.recording);
    setItemSensitive("/Server/Online Buddy", status.directoryConnected);
    setItemSensitive("/Server/Visible Online User", status.directoryConnected);
    setItemSensitive("/Server/Disconnect Server", status.directoryConnected);
    noteIncomingCall(status);
}

void aboutBox()
{
    const std::string text = std::string("Kestrelvox for Linux\n"
                                         "Version 3.1b\n"
                                         "Voice calls over UDP port 2047 with u-law, ADPCM, GSM, LD-GSM and LPC-10 speech.\n"
                                         "Sound device: ") +
                             kvSoundDeviceName();
    showMessageBox("About Kestrelvox", text.c_str());
}

// ---- refresh timer and video drawing ----


namespace {

guint timer;
int progBarCountSave;
int progBarFirst;
cairo_surface_t *videoSurface;

gboolean onDraw(GtkWidget *, cairo_t *cr, gpointer)
{
    if (videoSurface) {
        cairo_set_source_surface(cr, videoSurface, 70, 20);
        cairo_rectangle(cr, 70, 20, kvPictureWidth, kvPictureRows);
        cairo_fill(cr);
    }
    return FALSE;
}

} // namespace

void drawImageRGB(const unsigned char *rgb, int stride, void *)
{
    // Copy the picture into a surface the draw handler paints.
    if (!videoSurface)
        videoSurface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kvPictureWidth, kvPictureRows);
    cairo_surface_flush(videoSurface);
    unsigned char *dst = cairo_image_surface_get_data(videoSurface);
    const int dstStride = cairo_image_surface_get_stride(videoSurface);
    for (int y = 0; y < kvPictureRows; ++y) {
        const unsigned char *src = rgb + y * stride;
        auto *row = reinterpret_cast<uint32_t *>(dst + y * dstStride);
        for (int x = 0; x < kvPictureWidth; ++x)
            row[x] = (uint32_t{src[3 * x]} << 16) | (uint32_t{src[3 * x + 1]} << 8) | src[3 * x + 2];
    }
    cairo_surface_mark_dirty(videoSurface);
    gtk_widget_queue_draw(darea);
}

gboolean timeoutProc(gpointer bar)
{
    const int count = kvProgress();
    if (count != progBarCountSave) {
        if (progBarFirst) {
            progBarFirst = 0;
            gtk_widget_show(GTK_WIDGET(bar));
        }
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), count / 100.0);
        progBarCountSave = count;
    }
    kvTakePicture(drawImageRGB, nullptr);
    return TRUE;
}

void installRefreshTimer()
{
    progBarFirst = 1;
    if (timer)
        g_source_remove(timer);
    timer = g_timeout_add(100, timeoutProc, progressBar);
}

void removeRefreshTimer()
{
    // The file's last picture may still wait for a tick that will not come.
    kvTakePicture(drawImageRGB, nullptr);
    if (timer) {
        g_source_remove(timer);
        timer = 0;
    }
    gtk_widget_hide(progressBar);
}
