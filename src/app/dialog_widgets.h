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

#include "core/commands.h"

// Follows a dialog while the engine works on its OK. A bad address shows the
// "Error" box and leaves the dialog open for correction; any other outcome
// closes it (if the user has not closed it already).
void closeOnResult(KvResult result, void *ticket);
// A ticket for window, to pass as the done callback's data; it frees itself.
void *dialogTicket(GtkWidget *window);
// Applies a command's immediate result: Pending leaves the ticket to the
// done callback, anything else is handled at once.
void settleResult(KvResult result, void *ticket);
