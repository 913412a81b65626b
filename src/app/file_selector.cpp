// "/File/Play File", "/File/Record File" and the file selector they open.
#include "app/main_window.h"

#include "core/commands.h"

#include <string>

namespace {

// Whether a selector plays or records is its own: two selectors may be open.
constexpr const char *kPlayKey = "kv-play-not-record";

void file_ok_sel(GtkWidget *selector)
{
    gchar *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(selector));
    const bool playNotRecord = g_object_get_data(G_OBJECT(selector), kPlayKey) != nullptr;
    const bool appends = path && !playNotRecord && g_file_test(path, G_FILE_TEST_IS_REGULAR);
    const KvResult result = !path ? KvResult::Failed : playNotRecord ? kvPlayFile(path) : kvRecordFile(path);
    if (appends && result == KvResult::Ok) {
        gchar *name = g_filename_display_basename(path);
        const std::string text = std::string(name) +
                                 " exists already: the new recording is appended to its end.\n"
                                 "Choose a new name next time to keep recordings apart.";
        g_free(name);
        showMessageBox("Recording Appends", text.c_str());
    }
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
