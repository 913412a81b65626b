// "/File/Play File", "/File/Record File" and the file selector they open.
#include "app/main_window.h"

#include "core/commands.h"

namespace {

// Whether a selector plays or records is its own: two selectors may be open.
constexpr const char *kPlayKey = "kv-play-not-record";

void file_ok_sel(GtkWidget *selector)
{
    gchar *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(selector));
    const bool playNotRecord = g_object_get_data(G_OBJECT(selector), kPlayKey) != nullptr;
    const KvResult result = !path ? KvResult::Failed : playNotRecord ? kvPlayFile(path) : kvRecordFile(path);
    // A path too long stays open for another choice; anything else closes.
    if (path && result != KvResult::TooLong)
        gtk_widget_destroy(selector);
    g_free(path);
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
    // A save-style chooser keeps the old selector's name entry: a recording
    // may name a new file, and playing takes the selected one.
    GtkWidget *selector = gtk_file_chooser_dialog_new("File selection", GTK_WINDOW(mainWindow),
                                                      GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel",
                                                      GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_title(GTK_WINDOW(selector), title);
    gtk_window_set_default_size(GTK_WINDOW(selector), 350, 350);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(selector), FALSE);
    gchar *cwd = g_get_current_dir();
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(selector), cwd);
    g_free(cwd);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(selector), "penguin.png");
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
