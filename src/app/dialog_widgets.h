// Rows the dialogs share: a label with an entry, a separator, OK and Cancel.
#pragma once

#include <gtk/gtk.h>

// A row of label and a 50-character entry holding text; returns the entry.
GtkWidget *labelledEntry(GtkWidget *box, const char *label, const char *text);

// A horizontal separator packed without expanding.
void addSeparator(GtkWidget *box);

// A row with the buttons okLabel and "Cancel"; OK runs onOk with data,
// Cancel destroys window. Returns the OK button.
GtkWidget *okCancelRow(GtkWidget *box, const char *okLabel, GCallback onOk, gpointer data, GtkWidget *window);
