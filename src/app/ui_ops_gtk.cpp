// The GTK side of the core's user-interface table. Every call may come from a
// worker thread, so each one is handed to the GUI thread with g_idle_add.
#include "app/main_window.h"

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

void showProgressOp() { g_idle_add(showProgressOnGui, nullptr); }
void hideProgressOp() { g_idle_add(hideProgressOnGui, nullptr); }

} // namespace

void showMessageBox(const char *title, const char *text)
{
    GtkWidget *dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    GtkWidget *label = gtk_label_new(text);
    gtk_widget_set_margin_start(label, 10);
    gtk_widget_set_margin_end(label, 10);
    gtk_widget_set_margin_top(label, 10);
    gtk_widget_set_margin_bottom(label, 10);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), label, TRUE, TRUE, 0);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
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
    kvSetUiOps(ops);
}
