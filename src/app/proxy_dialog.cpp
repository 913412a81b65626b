// "SOCKS Proxy Setup": whether and how the next directory connection goes
// through a SOCKS 4 proxy; saved to proxy.inf.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <cstring>
#include <string>

namespace {

struct ProxyDialog {
    GtkWidget *window;
    GtkWidget *server;
    GtkWidget *port;
    GtkWidget *enable;
    GtkWidget *userID;
    ProxySettings loaded; // the fields the user leaves alone keep these bytes
};


void updateProxyInfo(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<ProxyDialog *>(data);
    // The port must mean a port: "abc" or 70000 would be saved as nonsense.
    const std::string portText = gtk_entry_get_text(GTK_ENTRY(dialog->port));
    const bool digits = !portText.empty() && portText.size() <= 5 &&
                        portText.find_first_not_of("0123456789") == std::string::npos;
    const int portNumber = digits ? std::stoi(portText) : 0;
    if (portNumber < 1 || portNumber > 65535) {
        showHint(dialog->window, "The port must be a number from 1 to 65535.");
        gtk_widget_grab_focus(dialog->port);
        return;
    }
    ProxySettings proxy = dialog->loaded;
    if (wasEdited(dialog->server))
        kvCopyToField(proxy.server, sizeof proxy.server, gtk_entry_get_text(GTK_ENTRY(dialog->server)));
    proxy.port = portNumber;
    if (wasEdited(dialog->userID))
        kvCopyToField(proxy.userID, sizeof proxy.userID, gtk_entry_get_text(GTK_ENTRY(dialog->userID)));
    proxy.enable = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(dialog->enable)) ? 1 : 0;
    kvSaveProxy(proxy);
    gtk_widget_destroy(dialog->window);
}


} // namespace

void proxySetupBox()
{
    char portText[kProxyPortTextSize] = "";
    const ProxySettings proxy = kvLoadProxy(portText);

    auto *dialog = new ProxyDialog{};
    dialog->loaded = proxy;
    dialog->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *window = dialog->window;
    g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](ProxyDialog *d) { delete d; }), dialog);
    gtk_window_set_title(GTK_WINDOW(window), "SOCKS Proxy Setup");
    gtk_window_set_default_size(GTK_WINDOW(window), 240, 130);
    // Cancel leaves everything as it was, the proxy choice included.

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    addSeparator(box);
    const std::string server(proxy.server, strnlen(proxy.server, sizeof proxy.server));
    const std::string user(proxy.userID, strnlen(proxy.userID, sizeof proxy.userID));
    dialog->server = labelledEntry(box, "Server:   ", displayable(server).c_str());
    dialog->port = labelledEntry(box, "Port:       ", portText);
    dialog->userID = labelledEntry(box, "User ID:  ", displayable(user).c_str());
    limitBytes(dialog->server, sizeof proxy.server - 1, "The server");
    limitBytes(dialog->userID, sizeof proxy.userID - 1, "The user ID");
    trackEdits(dialog->server);
    trackEdits(dialog->userID);
    addSeparator(box);
    dialog->enable = gtk_check_button_new_with_label("I am behind a Proxy Firewall");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(dialog->enable), proxy.enable != 0);
    gtk_box_pack_start(GTK_BOX(box), dialog->enable, FALSE, TRUE, 0);
    addSeparator(box);

    okCancelRow(box, "OK", G_CALLBACK(updateProxyInfo), dialog, window);

    gtk_widget_show_all(window);
}
