// "/File/Play File", "/File/Record File" and the file selector they open.
#include "app/main_window.h"

#include "audio/engine.h"
#include "audio/command_guards.h"

namespace {

void file_ok_sel(GtkWidget *selector)
{
    gchar *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(selector));
    if (path && setFileName(path)) {
        startFileThread();
        gtk_widget_destroy(selector);
    }
    g_free(path);
}

void onResponse(GtkDialog *dialog, gint response, gpointer)
{
    if (response == GTK_RESPONSE_OK)
        file_ok_sel(GTK_WIDGET(dialog));
    else
        gtk_widget_destroy(GTK_WIDGET(dialog));
}

} // namespace

void fileSelect(const char *title)
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
    g_signal_connect(selector, "response", G_CALLBACK(onResponse), nullptr);
    gtk_widget_show(selector);
}

void playAudioFile()
{
    if (!playFileAllowed())
        return;
    playNotRecord = 1;
    fileSelect("Play Voice File");
}

void recordAudioFile()
{
    if (!recordFileAllowed())
        return;
    playNotRecord = 0;
    fileSelect("Record Voice File");
}
