// Rows the dialogs share: a label with an entry, a separator, OK and Cancel.
#pragma once

#include <gtk/gtk.h>

#include <string>

// A row of label and a 50-character entry holding text; returns the entry.
GtkWidget *labelledEntry(GtkWidget *box, const char *label, const char *text);

// A horizontal separator packed without expanding.
void addSeparator(GtkWidget *box);

// A row with the buttons okLabel and "Cancel"; OK runs onOk with data,
// Cancel destroys window. Returns the OK button. Above it sits the window's
// hint line (see showHint). The window becomes a dialog of the main window:
// Escape cancels, Enter presses OK (inside a multi-line text, Enter stays a
// line break unless enterPressesOk was called on it).
GtkWidget *okCancelRow(GtkWidget *box, const char *okLabel, GCallback onOk, gpointer data, GtkWidget *window);

// Attaches window to the main window and widens it so its title shows whole.
void attachDialog(GtkWidget *window);

// Says in window's hint line why something was refused; "" clears it.
void showHint(GtkWidget *window, const char *text);

// Lets an entry or a text view hold at most maxBytes bytes of UTF-8, as the
// settings files count them, never splitting a character. A refused insert
// is cut and the hint line says why, naming what.
void limitBytes(GtkWidget *widget, size_t maxBytes, const char *what);

// Enter in this text view presses the window's OK.
void enterPressesOk(GtkWidget *textView);

// From now on, remembers whether the user changes the entry or text view:
// a field left alone is saved with the bytes it was loaded with.
void trackEdits(GtkWidget *widget);
bool wasEdited(GtkWidget *widget);

// text, shown: invalid UTF-8 becomes replacement characters.
std::string displayable(const std::string &text);

#include "core/commands.h"

// Follows a dialog while the engine works on its OK. A bad address shows the
// "Error" box and leaves the dialog open for correction; any other outcome
// closes it (if the user has not closed it already).
void closeOnResult(KvResult result, void *ticket);
// A ticket for window, to pass as the done callback's data; it frees itself.
// failure (if given) is what a Failed outcome tells the user.
void *dialogTicket(GtkWidget *window, const char *failure = nullptr);
// Applies a command's immediate result: Pending leaves the ticket to the
// done callback, anything else is handled at once.
void settleResult(KvResult result, void *ticket);
