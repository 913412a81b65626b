// "/File/Play File", "/File/Record File" and the file selector they open.
#include "app/main_window.h"

#include "core/commands.h"

namespace {

// Whether a selector plays or records is its own: two selectors may be open.
constexpr const char *kPlayKey = "kv-play-not-record";

void file_ok_sel(GtkWidget *selector, gchar *typed = nullptr)
{
    gchar *path = typed ? typed : gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(selector));
    const bool playNotRecord = g_object_get_data(G_OBJECT(selector), kPlayKey) != nullptr;
    // The status line says when a recording is appended to an existing file.
    const KvResult result = !path ? KvResult::Failed : playNotRecord ? kvPlayFile(path) : kvRecordFile(path);
    // A path too long stays open for another choice; anything else closes.
    if (path && result != KvResult::TooLong)
        gtk_widget_destroy(selector);
    g_free(path);
}

// Enter in the location field of the play chooser takes what was typed at
// once, even before the chooser has listed the folder and resolved it.
gboolean onKey(GtkWidget *selector, GdkEventKey *event, gpointer)
{
    if (event->keyval != GDK_KEY_Return && event->keyval != GDK_KEY_KP_Enter)
        return FALSE;
    GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(selector));
    if (!focus || !GTK_IS_ENTRY(focus))
        return FALSE;
    const gchar *text = gtk_entry_get_text(GTK_ENTRY(focus));
    if (!text || !*text)
        return FALSE;
    gchar *path = nullptr;
    if (g_path_is_absolute(text)) {
        path = g_strdup(text);
    } else {
        gchar *folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(selector));
        path = g_build_filename(folder ? folder : ".", text, nullptr);
        g_free(folder);
    }
    if (g_file_test(path, G_FILE_TEST_IS_DIR)) {
        g_free(path);
        return FALSE; // the chooser enters the folder
    }
    file_ok_sel(selector, path);
    return TRUE;
}

void onResponse(GtkDialog *dialog, gint response, gpointer)
{
    if (response == GTK_RESPONSE_OK)
        file_ok_sel(GTK_WIDGET(dialog));
    else
        gtk_widget_destroy(GTK_WIDGET(dialog));
}

void openSelector(const char *title, bool playNotRecord)
{
    // Recording may name a new file, so it keeps a name entry; playing
    // takes an existing one.
    GtkWidget *selector = gtk_file_chooser_dialog_new("File selection", GTK_WINDOW(mainWindow),
                                                      playNotRecord ? GTK_FILE_CHOOSER_ACTION_OPEN
                                                                    : GTK_FILE_CHOOSER_ACTION_SAVE,
                                                      "_Cancel",
                                                      GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_title(GTK_WINDOW(selector), title);
    gtk_window_set_default_size(GTK_WINDOW(selector), 350, 350);
    gtk_dialog_set_default_response(GTK_DIALOG(selector), GTK_RESPONSE_OK);
    gchar *cwd = g_get_current_dir();
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(selector), cwd);
    g_free(cwd);
    if (!playNotRecord) {
        gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(selector), FALSE);
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(selector), "penguin.png");
    } else {
        // A name or path can still be typed, as in the record chooser: open
        // the location field at once instead of a search.
        GList *children = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(selector))));
        for (GList *c = children; c; c = c->next)
            if (GTK_IS_FILE_CHOOSER_WIDGET(c->data))
                g_signal_emit_by_name(c->data, "location-popup", "");
        g_list_free(children);
        g_signal_connect(selector, "key-press-event", G_CALLBACK(onKey), nullptr);
    }
    g_object_set_data(G_OBJECT(selector), kPlayKey, playNotRecord ? GINT_TO_POINTER(1) : nullptr);
    g_signal_connect(selector, "response", G_CALLBACK(onResponse), nullptr);
    gtk_widget_show(selector);
}

} // namespace

void playAudioFile()
{
    if (kvPlayAllowed())
        openSelector("Play Voice File", true);
}

void recordAudioFile()
{
    if (kvRecordAllowed())
        openSelector("Record Voice File", false);
}
