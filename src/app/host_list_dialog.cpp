// The list dialog: hosts.dat ("Connect to Host"), servers.dat ("Connect to
// Server") and the lists received from the directory server.
#include "app/dialog_widgets.h"
#include "app/list_dialog.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <array>
#include <string>
#include <vector>

namespace {

enum { kColumnText, kColumns };

// Each dialog keeps its own kind and widgets; nothing about an open list is
// global but the one slot per kind that lets a new list refresh it.
struct ListDialog {
    ListKind kind;
    GtkWidget *window;
    GtkWidget *entry;
    GtkListStore *store;
};

std::array<ListDialog *, 4> openLists{};

ListDialog *&slotOf(ListKind kind) { return openLists[static_cast<size_t>(kind)]; }

// The entry follows the highlighted row, whether moved by mouse or keys.
void onCursorChanged(GtkTreeView *list, gpointer entry)
{
    GtkTreeSelection *selection = gtk_tree_view_get_selection(list);
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (gtk_tree_selection_get_selected(selection, &model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, kColumnText, &text, -1);
        gtk_entry_set_text(GTK_ENTRY(entry), text ? text : "");
        g_free(text);
    }
}

void listbox_entry_clicked(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<ListDialog *>(data);
    const gchar *text = gtk_entry_get_text(GTK_ENTRY(dialog->entry));
    void *ticket = dialogTicket(dialog->window,
                                dialog->kind == ListKind::Servers
                                    ? "The directory server could not be reached or refused the registration.\n"
                                      "Check its address in servers.dat, the network, and Server > Proxy Setup\n"
                                      "(the terminal shows the exact reason), then try again."
                                    : nullptr);
    const KvResult result = dialog->kind == ListKind::Servers ? kvDirectoryConnect(text, closeOnResult, ticket)
                                                              : kvCallEntry(text, closeOnResult, ticket);
    settleResult(result, ticket);
}

void onDestroy(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<ListDialog *>(data);
    if (slotOf(dialog->kind) == dialog)
        slotOf(dialog->kind) = nullptr;
    delete dialog;
}

void fill(ListDialog *dialog, const std::vector<std::string> &entries)
{
    gtk_list_store_clear(dialog->store);
    for (size_t i = 0; i < entries.size(); ++i) {
        // Names from files and the network are shown even when not UTF-8;
        // the address that is called is plain ASCII either way.
        const std::string shown = displayable(entries[i]);
        if (i == 0)
            gtk_entry_set_text(GTK_ENTRY(dialog->entry), shown.c_str());
        GtkTreeIter iter;
        gtk_list_store_append(dialog->store, &iter);
        gtk_list_store_set(dialog->store, &iter, kColumnText, shown.c_str(), -1);
    }
}

} // namespace

void listBox(ListKind kind, const char *title, const std::vector<std::string> &entries)
{
    if (ListDialog *open = slotOf(kind)) {
        fill(open, entries);
        gtk_window_present(GTK_WINDOW(open->window));
        return;
    }

    auto *dialog = new ListDialog{kind, nullptr, nullptr, nullptr};
    dialog->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(dialog->window), title);
    g_signal_connect(dialog->window, "destroy", G_CALLBACK(onDestroy), dialog);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 5);
    gtk_container_set_border_width(GTK_CONTAINER(box), 5);
    gtk_container_add(GTK_CONTAINER(dialog->window), box);

    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_size_request(scrolled, 250, 150);
    gtk_box_pack_start(GTK_BOX(box), scrolled, TRUE, TRUE, 0);
    dialog->store = gtk_list_store_new(kColumns, G_TYPE_STRING);
    GtkWidget *list = gtk_tree_view_new_with_model(GTK_TREE_MODEL(dialog->store));
    g_object_unref(dialog->store); // the view keeps it as long as the dialog lives
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(list), FALSE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(list),
                                gtk_tree_view_column_new_with_attributes("", gtk_cell_renderer_text_new(), "text",
                                                                         kColumnText, nullptr));
    gtk_container_add(GTK_CONTAINER(scrolled), list);

    const char *labelText = kind == ListKind::Servers ? "Server name & IP address" : "Host name & IP address";
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(labelText), TRUE, TRUE, 0);
    dialog->entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(dialog->entry), 50);
    gtk_box_pack_start(GTK_BOX(box), dialog->entry, TRUE, TRUE, 0);
    addSeparator(box);
    GtkWidget *ok = okCancelRow(box, "OK", G_CALLBACK(listbox_entry_clicked), dialog, dialog->window);
    g_signal_connect(list, "cursor-changed", G_CALLBACK(onCursorChanged), dialog->entry);
    // Double-click (or Enter) on a row: the entry already holds it.
    g_signal_connect_swapped(list, "row-activated", G_CALLBACK(gtk_button_clicked), ok);

    fill(dialog, entries);
    slotOf(kind) = dialog;
    gtk_widget_show_all(dialog->window);
    // The keys move the highlight from the first row, which the entry holds.
    if (!entries.empty()) {
        GtkTreePath *first = gtk_tree_path_new_first();
        gtk_tree_view_set_cursor(GTK_TREE_VIEW(list), first, nullptr, FALSE);
        gtk_tree_path_free(first);
    }
    gtk_widget_grab_focus(list);
}

void missingListFile(bool hosts)
{
    const std::string where = kvSettingsFilePath(hosts ? "hosts.dat" : "servers.dat");
    const std::string text =
        hosts ? "There is no hosts.dat yet. Write it by hand at\n" + where +
                    "\nwith one host per line, a name and an address:\n\nbob 10.0.0.2\n\n"
                    "Meanwhile, Connect > New calls any address."
              : "There is no servers.dat yet. Write it by hand at\n" + where +
                    "\nwith one directory server per line, a name and an address:\n\nmyserver 10.0.0.3\n";
    showMessageBox(hosts ? "No Host List" : "No Server List", text.c_str());
}

void hostListBox()
{
    if (!kvConnectionAllowed())
        return;
    std::vector<std::string> entries;
    if (kvReadListFile(true, entries))
        listBox(ListKind::Hosts, "Connect to Host", entries);
    else
        missingListFile(true);
}
