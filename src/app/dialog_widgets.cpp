#include "app/dialog_widgets.h"

#include "app/main_window.h"
#include "core/ui_ops.h"

#include <cstring>

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

namespace {

constexpr const char *kHintKey = "kv-hint";
constexpr const char *kOkKey = "kv-ok";
constexpr const char *kEnterKey = "kv-enter-presses-ok";

gboolean dialogKey(GtkWidget *window, GdkEventKey *event, gpointer)
{
    if (event->keyval == GDK_KEY_Escape) {
        gtk_widget_destroy(window);
        return TRUE;
    }
    if (event->keyval != GDK_KEY_Return && event->keyval != GDK_KEY_KP_Enter)
        return FALSE;
    GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(window));
    if (focus && GTK_IS_TEXT_VIEW(focus) && !g_object_get_data(G_OBJECT(focus), kEnterKey))
        return FALSE;
    if (focus && GTK_IS_BUTTON(focus) && !GTK_IS_TOGGLE_BUTTON(focus))
        return FALSE; // Enter on Cancel is Cancel; on a radio or check box it is OK
    auto *ok = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(window), kOkKey));
    if (!ok)
        return FALSE;
    gtk_button_clicked(GTK_BUTTON(ok));
    return TRUE;
}

// The longest prefix of text[0..n) within room bytes that ends on a character.
size_t fittingPrefix(const char *text, size_t n, size_t room)
{
    if (n <= room)
        return n;
    const char *end = text + room;
    // Step back over continuation bytes to the start of the cut character.
    while (end > text && (static_cast<unsigned char>(*end) & 0xC0) == 0x80)
        --end;
    return static_cast<size_t>(end - text);
}

struct Limit {
    size_t maxBytes;
    std::string what;
};

void refuse(GtkWidget *widget, const Limit &limit)
{
    gtk_widget_error_bell(widget);
    const std::string text = limit.what + " holds at most " + std::to_string(limit.maxBytes) +
                             " bytes (multi-byte letters count as 2 to 4); the rest was not taken.";
    showHint(gtk_widget_get_toplevel(widget), text.c_str());
}

void entryInsert(GtkEditable *editable, gchar *text, gint length, gint *position, gpointer data)
{
    auto *limit = static_cast<Limit *>(data);
    const size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
    const size_t used = strlen(gtk_entry_get_text(GTK_ENTRY(editable)));
    const size_t room = used >= limit->maxBytes ? 0 : limit->maxBytes - used;
    if (n <= room)
        return;
    const size_t keep = fittingPrefix(text, n, room);
    g_signal_handlers_block_by_func(editable, reinterpret_cast<gpointer>(entryInsert), data);
    if (keep > 0)
        gtk_editable_insert_text(editable, text, static_cast<gint>(keep), position);
    g_signal_handlers_unblock_by_func(editable, reinterpret_cast<gpointer>(entryInsert), data);
    g_signal_stop_emission_by_name(editable, "insert-text");
    refuse(GTK_WIDGET(editable), *limit);
}

void bufferInsert(GtkTextBuffer *buffer, GtkTextIter *location, gchar *text, gint length, gpointer data)
{
    auto *limit = static_cast<Limit *>(data);
    const size_t n = length < 0 ? strlen(text) : static_cast<size_t>(length);
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar *all = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    const size_t used = strlen(all);
    g_free(all);
    const size_t room = used >= limit->maxBytes ? 0 : limit->maxBytes - used;
    if (n <= room)
        return;
    const size_t keep = fittingPrefix(text, n, room);
    g_signal_handlers_block_by_func(buffer, reinterpret_cast<gpointer>(bufferInsert), data);
    if (keep > 0)
        gtk_text_buffer_insert(buffer, location, text, static_cast<gint>(keep));
    g_signal_handlers_unblock_by_func(buffer, reinterpret_cast<gpointer>(bufferInsert), data);
    g_signal_stop_emission_by_name(buffer, "insert-text");
    auto *view = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(buffer), "kv-view"));
    if (view)
        refuse(view, *limit);
}

} // namespace

void limitBytes(GtkWidget *widget, size_t maxBytes, const char *what)
{
    auto *limit = new Limit{maxBytes, what};
    auto freeLimit = +[](gpointer p, GClosure *) { delete static_cast<Limit *>(p); };
    if (GTK_IS_ENTRY(widget)) {
        gtk_entry_set_max_length(GTK_ENTRY(widget), 0);
        g_signal_connect_data(widget, "insert-text", G_CALLBACK(entryInsert), limit, freeLimit, GConnectFlags{});
    } else {
        GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
        g_object_set_data(G_OBJECT(buffer), "kv-view", widget);
        g_signal_connect_data(buffer, "insert-text", G_CALLBACK(bufferInsert), limit, freeLimit, GConnectFlags{});
    }
}

void trackEdits(GtkWidget *widget)
{
    GObject *source = GTK_IS_ENTRY(widget) ? G_OBJECT(widget) : G_OBJECT(gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget)));
    g_signal_connect_swapped(source, "changed", G_CALLBACK(+[](GtkWidget *w) {
                                 g_object_set_data(G_OBJECT(w), "kv-edited", GINT_TO_POINTER(1));
                             }),
                             widget);
}

bool wasEdited(GtkWidget *widget)
{
    return g_object_get_data(G_OBJECT(widget), "kv-edited") != nullptr;
}

void enterPressesOk(GtkWidget *textView)
{
    g_object_set_data(G_OBJECT(textView), kEnterKey, GINT_TO_POINTER(1));
}

void showHint(GtkWidget *window, const char *text)
{
    auto *hint = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(window), kHintKey));
    if (!hint)
        return;
    gtk_label_set_text(GTK_LABEL(hint), text);
    gtk_widget_set_visible(hint, text && *text);
}

std::string displayable(const std::string &text)
{
    // A NUL ends what can be shown; the rest is made valid, never dropped.
    gchar *valid = g_utf8_make_valid(text.c_str(), -1);
    std::string out = valid;
    g_free(valid);
    return out;
}

void attachDialog(GtkWidget *window)
{
    gtk_window_set_transient_for(GTK_WINDOW(window), GTK_WINDOW(mainWindow));
    gtk_window_set_destroy_with_parent(GTK_WINDOW(window), TRUE);
    // Window managers cut a title wider than the window: leave room for it
    // and the frame's buttons.
    const char *title = gtk_window_get_title(GTK_WINDOW(window));
    if (!title)
        return;
    PangoLayout *layout = gtk_widget_create_pango_layout(window, title);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    g_object_unref(layout);
    int defaultWidth = 0, defaultHeight = 0;
    gtk_window_get_default_size(GTK_WINDOW(window), &defaultWidth, &defaultHeight);
    const int wanted = width * 5 / 4 + 120;
    if (defaultWidth < wanted)
        gtk_window_set_default_size(GTK_WINDOW(window), wanted, defaultHeight);
}

GtkWidget *okCancelRow(GtkWidget *box, const char *okLabel, GCallback onOk, gpointer data, GtkWidget *window)
{
    GtkWidget *hint = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(hint), 36);
    gtk_widget_set_no_show_all(hint, TRUE);
    gtk_box_pack_start(GTK_BOX(box), hint, FALSE, TRUE, 2);
    g_object_set_data(G_OBJECT(window), kHintKey, hint);

    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, TRUE, 0);
    GtkWidget *ok = gtk_button_new_with_label(okLabel);
    GtkWidget *cancel = gtk_button_new_with_label("Cancel");
    gtk_box_pack_start(GTK_BOX(row), ok, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), cancel, TRUE, TRUE, 0);
    g_signal_connect(ok, "clicked", onOk, data);
    g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(gtk_widget_destroy), window);
    g_object_set_data(G_OBJECT(window), kOkKey, ok);
    g_signal_connect(window, "key-press-event", G_CALLBACK(dialogKey), nullptr);
    attachDialog(window);
    return ok;
}

namespace {

struct DialogTicket {
    GtkWidget *window;
    const char *failure;
};

} // namespace

void *dialogTicket(GtkWidget *window, const char *failure)
{
    auto *ticket = new DialogTicket{window, failure};
    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer *>(&ticket->window));
    return ticket;
}

void closeOnResult(KvResult result, void *data)
{
    auto *ticket = static_cast<DialogTicket *>(data);
    if (ticket->window)
        g_object_remove_weak_pointer(G_OBJECT(ticket->window), reinterpret_cast<gpointer *>(&ticket->window));
    // A bad address keeps the dialog open for correction; a failure is
    // explained in a box of its own, and the dialog closes as before.
    if (result == KvResult::BadAddress)
        messageBox("Error", "Not a valid IP address!");
    else if (result == KvResult::AlreadyConnected)
        showMessageBox("Already Connected", "A directory connection is made or being made already.\n"
                                            "Use Server > Disconnect Server first.");
    if (result == KvResult::Failed && ticket->failure)
        showMessageBox("Connection Failed", ticket->failure);
    if (result != KvResult::BadAddress && result != KvResult::AlreadyConnected && ticket->window)
        gtk_widget_destroy(ticket->window);
    delete ticket;
}

void settleResult(KvResult result, void *ticket)
{
    if (result != KvResult::Pending)
        closeOnResult(result, ticket);
}
