// "Online Chat": short messages relayed by the directory server.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <string>

namespace {

// The display of the chat window opened last; null when none is open.
GtkWidget *chatDisplay;

void appendLine(const std::string &line)
{
    if (!chatDisplay)
        return;
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(chatDisplay));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, line.c_str(), -1);
    gtk_text_buffer_get_end_iter(buffer, &end);
    GtkTextMark *mark = gtk_text_buffer_create_mark(buffer, nullptr, &end, FALSE);
    gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(chatDisplay), mark);
    gtk_text_buffer_delete_mark(buffer, mark);
}

void postChatMsg(GtkWidget *, gpointer inputWidget)
{
    GtkTextBuffer *input = gtk_text_view_get_buffer(GTK_TEXT_VIEW(inputWidget));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(input, &start, &end);
    gchar *text = gtk_text_buffer_get_text(input, &start, &end, FALSE);
    // What does not fit one request is cut, on a character boundary.
    std::string message = text;
    const size_t maxText = kvMaxChatText();
    if (message.size() > maxText) {
        const gchar *cut = g_utf8_find_prev_char(text, text + maxText + 1);
        message.resize(static_cast<size_t>(cut - text));
    }
    appendLine(kvLocalUserName() + ": " + message + "\n");
    kvSendChat(message.c_str());
    gtk_text_buffer_set_text(input, "", 0);
    g_free(text);
}

void onDisplayDestroyed(GtkWidget *widget, gpointer)
{
    if (chatDisplay == widget)
        chatDisplay = nullptr;
}

GtkWidget *scrolledText(GtkWidget *text, int width, int height)
{
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_widget_set_size_request(scrolled, width, height);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_WORD_CHAR);
    gtk_container_add(GTK_CONTAINER(scrolled), text);
    return scrolled;
}

} // namespace

void chatLineReceivedOp(const char *line)
{
    appendLine(line);
}

void buddyMsgEditBox()
{
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Online Chat");
    gtk_window_set_default_size(GTK_WINDOW(window), 300, 270);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    addSeparator(box);

    GtkWidget *display = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(display), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(display), FALSE);
    gtk_box_pack_start(GTK_BOX(box), scrolledText(display, 300, 150), TRUE, TRUE, 0);
    chatDisplay = display;
    g_signal_connect(display, "destroy", G_CALLBACK(onDisplayDestroyed), nullptr);

    addSeparator(box);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Chat message must be less than 64 characters"), FALSE, TRUE, 0);
    GtkWidget *input = gtk_text_view_new();
    gtk_box_pack_start(GTK_BOX(box), scrolledText(input, 300, 60), FALSE, TRUE, 0);
    addSeparator(box);

    okCancelRow(box, "OK", G_CALLBACK(postChatMsg), input, window);

    gtk_widget_show_all(window);
    gtk_widget_grab_focus(input);
}
