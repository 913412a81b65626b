// The list dialog: hosts.dat ("Connect to Host"), servers.dat ("Connect to
// Server") and the lists received from the directory server.
#include "app/dialog_widgets.h"
#include "app/main_window.h"
#include "app/list_dialog.h"

#include "audio/command_guards.h"
#include "audio/send.h"
#include "core/ui_ops.h"
#include "directory/settings.h"
#include "directory/settings_path.h"

#include <cstdio>
#include <string>
#include <vector>

int hostNotServer;

namespace {

constexpr int kMaxFileEntries = 32;
constexpr size_t kLineBound = 128;

enum { kColumnText, kColumns };

struct ListDialog {
    GtkWidget *window;
    GtkWidget *entry;
};

gboolean sigh_button_event(GtkWidget *list, GdkEventButton *event, gpointer entry)
{
    if (event->type != GDK_BUTTON_RELEASE || event->button != 1)
        return FALSE;
    GtkTreeSelection *selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(list));
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (gtk_tree_selection_get_selected(selection, &model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, kColumnText, &text, -1);
        gtk_entry_set_text(GTK_ENTRY(entry), text ? text : "");
        g_free(text);
    }
    return FALSE;
}

void listbox_entry_clicked(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<ListDialog *>(data);
    // trimHostString works in place, so take a copy of the entry's text.
    std::string text = gtk_entry_get_text(GTK_ENTRY(dialog->entry));
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    const char *address = trimHostString(buffer.data());
    if (!address || GetAddr(address) == 0) {
        messageBox("Error", "Not a valid IP address!");
        return;
    }
    if (hostNotServer == 1)
        newConnection(address);
    else
        connectToDirectoryServer(address);
    gtk_widget_destroy(dialog->window);
}

bool readListFile(const char *name, std::vector<std::string> &entries)
{
    FILE *f = fopen(settingsFilePath(name).c_str(), "rb");
    if (!f)
        return false;
    char line[kLineBound];
    while (static_cast<int>(entries.size()) < kMaxFileEntries && readSettingsLine(f, line, sizeof line))
        entries.emplace_back(line);
    fclose(f);
    return true;
}

} // namespace

int listBox(const char *title, const std::vector<std::string> *received)
{
    std::vector<std::string> entries;
    if (received) {
        entries = *received;
    } else {
        const char *name = hostNotServer == 1 ? "hosts.dat" : "servers.dat";
        if (!readListFile(name, entries)) {
            printf(hostNotServer == 1 ? "Host file %s not found!\n" : "Server file %s not found!\n", name);
            return 0;
        }
    }

    ListDialog dialog{};
    dialog.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(dialog.window), title);
    gtk_window_set_transient_for(GTK_WINDOW(dialog.window), GTK_WINDOW(mainWindow));
    g_signal_connect(dialog.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 5);
    gtk_container_set_border_width(GTK_CONTAINER(box), 5);
    gtk_container_add(GTK_CONTAINER(dialog.window), box);

    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_size_request(scrolled, 250, 150);
    gtk_box_pack_start(GTK_BOX(box), scrolled, TRUE, TRUE, 0);
    GtkListStore *store = gtk_list_store_new(kColumns, G_TYPE_STRING);
    GtkWidget *list = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(list), FALSE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(list),
                                gtk_tree_view_column_new_with_attributes("", gtk_cell_renderer_text_new(), "text",
                                                                         kColumnText, nullptr));
    gtk_container_add(GTK_CONTAINER(scrolled), list);

    const char *labelText =
        hostNotServer == 0 && !received ? "Server name & IP address" : "Host name & IP address";
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(labelText), TRUE, TRUE, 0);
    dialog.entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(dialog.entry), 50);
    gtk_box_pack_start(GTK_BOX(box), dialog.entry, TRUE, TRUE, 0);
    addSeparator(box);
    okCancelRow(box, "OK", G_CALLBACK(listbox_entry_clicked), &dialog, dialog.window);
    g_signal_connect(list, "button-release-event", G_CALLBACK(sigh_button_event), dialog.entry);

    for (size_t i = 0; i < entries.size(); ++i) {
        if (i == 0)
            gtk_entry_set_text(GTK_ENTRY(dialog.entry), entries[0].c_str());
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, kColumnText, entries[i].c_str(), -1);
    }

    gtk_widget_show_all(dialog.window);
    // The builder returns when the list is closed.
    gtk_main();
    return 1;
}

void hostListBox()
{
    if (!connectionAllowed())
        return;
    hostNotServer = 1;
    listBox("Connect to Host", nullptr);
}
