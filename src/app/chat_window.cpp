// "Online Chat": short messages relayed by the directory server.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <string>

namespace {

// Every line of this session, kept while the window is closed, so that a
// message that arrives meanwhile is there when it opens.
constexpr size_t kKeptBytes = 64 * 1024;
std::string history;
// The window and display open now; null when closed.
GtkWidget *chatWindow;
GtkWidget *chatDisplay;
// Other clients expect fewer than 64 bytes, as the window says.
constexpr size_t kChatInputBytes = 63;

void scrollToEnd()
{
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(chatDisplay));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    GtkTextMark *mark = gtk_text_buffer_create_mark(buffer, nullptr, &end, FALSE);
    gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(chatDisplay), mark);
    gtk_text_buffer_delete_mark(buffer, mark);
}

void appendLine(const std::string &raw)
{
    const std::string line = displayable(raw);
    history += line;
    if (history.size() > kKeptBytes) {
        // Drop whole old lines only.
        const size_t cut = history.find('\n', history.size() - kKeptBytes);
        history.erase(0, cut == std::string::npos ? history.size() - kKeptBytes : cut + 1);
    }
    if (!chatDisplay)
        return;
    GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(chatDisplay));
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, line.c_str(), -1);
    scrollToEnd();
}

void postChatMsg(GtkWidget *, gpointer inputWidget)
{
    GtkWidget *window = gtk_widget_get_toplevel(GTK_WIDGET(inputWidget));
    GtkTextBuffer *input = gtk_text_view_get_buffer(GTK_TEXT_VIEW(inputWidget));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(input, &start, &end);
    gchar *text = gtk_text_buffer_get_text(input, &start, &end, FALSE);
    std::string message = text;
    g_free(text);
    if (message.find_first_not_of(" \t\r\n") == std::string::npos) {
        showHint(window, "Type a message first.");
        return;
    }
    const KvResult result = kvSendChat(message.c_str());
    if (result == KvResult::NotConnected) {
        showHint(window, "Not sent: you are not connected. Use Server > Connect Server first.");
        return;
    }
    showHint(window, "");
    appendLine(kvLocalUserName() + ": " + message + "\n");
    gtk_text_buffer_set_text(input, "", 0);
    gtk_widget_grab_focus(GTK_WIDGET(inputWidget));
}

void onWindowDestroyed(GtkWidget *, gpointer)
{
    chatWindow = nullptr;
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

void openChatWindow(bool takeFocus)
{
    if (chatWindow) {
        if (takeFocus)
            gtk_window_present(GTK_WINDOW(chatWindow));
        return;
    }
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    chatWindow = window;
    gtk_window_set_title(GTK_WINDOW(window), "Online Chat");
    gtk_window_set_default_size(GTK_WINDOW(window), 300, 270);
    // Opened by an incoming message, it must not steal the user's typing.
    gtk_window_set_focus_on_map(GTK_WINDOW(window), takeFocus);
    g_signal_connect(window, "destroy", G_CALLBACK(onWindowDestroyed), nullptr);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    addSeparator(box);

    GtkWidget *display = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(display), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(display), FALSE);
    atk_object_set_name(gtk_widget_get_accessible(display), "Chat messages");
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(display)), history.c_str(), -1);
    gtk_box_pack_start(GTK_BOX(box), scrolledText(display, 300, 150), TRUE, TRUE, 0);
    chatDisplay = display;

    addSeparator(box);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Chat message must be less than 64 characters"), FALSE, TRUE, 0);
    GtkWidget *input = gtk_text_view_new();
    atk_object_set_name(gtk_widget_get_accessible(input), "Chat input");
    limitBytes(input, kChatInputBytes, "A chat message");
    enterPressesOk(input);
    gtk_box_pack_start(GTK_BOX(box), scrolledText(input, 300, 60), FALSE, TRUE, 0);
    addSeparator(box);

    okCancelRow(box, "OK", G_CALLBACK(postChatMsg), input, window);

    gtk_widget_show_all(window);
    scrollToEnd();
    if (takeFocus)
        gtk_widget_grab_focus(input);
}

} // namespace

void chatLineReceivedOp(const char *line)
{
    appendLine(line ? line : "");
    openChatWindow(false);
}

void buddyMsgEditBox()
{
    openChatWindow(true);
}
