#include "app/dialog_widgets.h"

#include "core/ui_ops.h"

GtkWidget *labelledEntry(GtkWidget *box, const char *label, const char *text)
{
    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(label), TRUE, TRUE, 0);
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), 50);
    gtk_entry_set_text(GTK_ENTRY(entry), text);
    gtk_box_pack_start(GTK_BOX(row), entry, TRUE, TRUE, 0);
    return entry;
}

void addSeparator(GtkWidget *box)
{
    gtk_box_pack_start(GTK_BOX(box), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL), FALSE, TRUE, 0);
}

GtkWidget *okCancelRow(GtkWidget *box, const char *okLabel, GCallback onOk, gpointer data, GtkWidget *window)
{
    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, TRUE, 0);
    GtkWidget *ok = gtk_button_new_with_label(okLabel);
    GtkWidget *cancel = gtk_button_new_with_label("Cancel");
    gtk_box_pack_start(GTK_BOX(row), ok, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), cancel, TRUE, TRUE, 0);
    g_signal_connect(ok, "clicked", onOk, data);
    g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(gtk_widget_destroy), window);
    return ok;
}

namespace {

struct DialogTicket {
    GtkWidget *window;
};

} // namespace

void *dialogTicket(GtkWidget *window)
{
    auto *ticket = new DialogTicket{window};
    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer *>(&ticket->window));
    return ticket;
}

void closeOnResult(KvResult result, void *data)
{
    auto *ticket = static_cast<DialogTicket *>(data);
    if (ticket->window)
        g_object_remove_weak_pointer(G_OBJECT(ticket->window), reinterpret_cast<gpointer *>(&ticket->window));
    if (result == KvResult::BadAddress)
        messageBox("Error", "Not a valid IP address!");
    else if (ticket->window)
        gtk_widget_destroy(ticket->window);
    delete ticket;
}

void settleResult(KvResult result, void *ticket)
{
    if (result != KvResult::Pending)
        closeOnResult(result, ticket);
}
