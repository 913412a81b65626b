// "New Connection": call a host by the name or address typed in.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

namespace {

void editBoxEntry(GtkWidget *, gpointer entryWidget)
{
    GtkWidget *entry = GTK_WIDGET(entryWidget);
    const gchar *text = gtk_entry_get_text(GTK_ENTRY(entry));
    // The name is resolved off the GUI thread; the box closes once the call
    // is placed, or stays open with the "Error" box for a bad address.
    void *ticket = dialogTicket(gtk_widget_get_toplevel(entry));
    settleResult(kvCall(text, closeOnResult, ticket), ticket);
}

} // namespace

void editBox()
{
    if (!kvConnectionAllowed())
        return;
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "New Connection");
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 100);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Input Host name or IP address"), TRUE, TRUE, 0);
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), 50);
    g_signal_connect(entry, "activate", G_CALLBACK(editBoxEntry), entry);
    gtk_box_pack_start(GTK_BOX(box), entry, TRUE, TRUE, 0);

    okCancelRow(box, "OK", G_CALLBACK(editBoxEntry), entry, window);

    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);
}
