// The GTK side of the core's user-interface table. Display calls may come
// from a worker thread, so each one is handed to the GUI thread with
// g_idle_add; timers and socket watches come from the main loop itself.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"
#include "core/ui_ops.h"

#include <string>

namespace {

struct MessageRequest {
    std::string title;
    std::string text;
};

gboolean messageOnGui(gpointer data)
{
    auto *request = static_cast<MessageRequest *>(data);
    showMessageBox(request->title.c_str(), request->text.c_str());
    delete request;
    return G_SOURCE_REMOVE;
}

gboolean statusOnGui(gpointer)
{
    updateStatusLine();
    return G_SOURCE_REMOVE;
}

gboolean showProgressOnGui(gpointer)
{
    installRefreshTimer();
    return G_SOURCE_REMOVE;
}

gboolean hideProgressOnGui(gpointer)
{
    removeRefreshTimer();
    return G_SOURCE_REMOVE;
}

void messageBoxOp(const char *title, const char *text)
{
    g_idle_add(messageOnGui, new MessageRequest{title ? title : "", text ? text : ""});
}

void statusChangedOp(const KvEngineStatus &) { g_idle_add(statusOnGui, nullptr); }

void showProgressOp() { g_idle_add(showProgressOnGui, nullptr); }
void hideProgressOp() { g_idle_add(hideProgressOnGui, nullptr); }

struct Source {
    KvSourceFn fn;
    void *data;
};

gboolean runSource(gpointer p)
{
    auto *source = static_cast<Source *>(p);
    return source->fn(source->data) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

gboolean runWatch(GIOChannel *, GIOCondition, gpointer p)
{
    return runSource(p);
}

void freeSource(gpointer p) { delete static_cast<Source *>(p); }

unsigned addTimerOp(unsigned ms, KvSourceFn fn, void *data)
{
    return g_timeout_add_full(G_PRIORITY_DEFAULT, ms, runSource, new Source{fn, data}, freeSource);
}

void removeSourceOp(unsigned id) { g_source_remove(id); }

unsigned addSocketWatchOp(int fd, KvSourceFn fn, void *data)
{
    GIOChannel *channel = g_io_channel_unix_new(fd);
    const unsigned id = g_io_add_watch_full(channel, G_PRIORITY_DEFAULT,
                                            static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), runWatch,
                                            new Source{fn, data}, freeSource);
    g_io_channel_unref(channel);
    return id;
}

} // namespace

void showMessageBox(const char *title, const char *text)
{
    GtkWidget *dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    GtkWidget *label = gtk_label_new(displayable(text ? text : "").c_str());
    gtk_widget_set_margin_start(label, 10);
    gtk_widget_set_margin_end(label, 10);
    gtk_widget_set_margin_top(label, 10);
    gtk_widget_set_margin_bottom(label, 10);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), label, TRUE, TRUE, 0);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    attachDialog(dialog);
    // OK, Escape and the window manager's close all end the dialog.
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(dialog);
}

void registerGtkUiOps()
{
    KvUiOps ops{};
    ops.messageBox = messageBoxOp;
    ops.showProgressBar = showProgressOp;
    ops.hideProgressBar = hideProgressOp;
    // The directory connection lives on the GUI thread: its replies arrive here
    // already and are shown directly.
    ops.listReceived = listReceivedOp;
    ops.chatLineReceived = chatLineReceivedOp;
    ops.statusChanged = statusChangedOp;
    ops.addTimer = addTimerOp;
    ops.removeSource = removeSourceOp;
    ops.addSocketWatch = addSocketWatchOp;
    kvSetUiOps(ops);
}
