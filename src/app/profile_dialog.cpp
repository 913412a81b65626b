// "User Profile": name, e-mail address, buddy list and visibility, saved to
// userinfo.dat for the next registration.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <cstring>
#include <string>

namespace {

struct ProfileDialog {
    GtkWidget *window;
    GtkWidget *name;
    GtkWidget *email;
    GtkWidget *visible;
    GtkWidget *buddies;
    UserProfile profile; // as loaded; OK saves it with the edits
};


void saveLocalInfo(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<ProfileDialog *>(data);
    UserProfile profile = dialog->profile;
    // Only what the user changed is taken from the dialog; the file keeps
    // the rest byte for byte, even where it is not valid UTF-8 or holds NULs.
    unsigned edited = 0;
    if (wasEdited(dialog->name)) {
        kvCopyToField(profile.name, sizeof profile.name, gtk_entry_get_text(GTK_ENTRY(dialog->name)));
        edited |= kProfileName;
    }
    if (wasEdited(dialog->email)) {
        kvCopyToField(profile.email, sizeof profile.email, gtk_entry_get_text(GTK_ENTRY(dialog->email)));
        edited |= kProfileEmail;
    }
    if (wasEdited(dialog->buddies)) {
        edited |= kProfileBuddies;
        GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(dialog->buddies));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        gchar *buddies = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
        kvCopyToField(profile.buddyList, sizeof profile.buddyList, buddies);
        g_free(buddies);
    }
    const std::string name(profile.name, strnlen(profile.name, sizeof profile.name));
    if (name.find_first_not_of(" \t") == std::string::npos) {
        showHint(dialog->window, "The name must not be empty: the directory lists you by it.");
        gtk_widget_grab_focus(dialog->name);
        return;
    }
    if (wasEdited(dialog->email) && !kvValidEmail(profile.email)) {
        showHint(dialog->window, "The e-mail address must look like name@example.org (at most 31 bytes); "
                                 "Connect Server refuses any other.");
        gtk_widget_grab_focus(dialog->email);
        return;
    }
    profile.visible = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(dialog->visible)) ? 1 : 0;
    if (profile.visible != dialog->profile.visible)
        edited |= kProfileVisibility;
    kvSaveProfile(profile, edited);
    gtk_widget_destroy(dialog->window);
}


} // namespace

void localInfoBox()
{
    auto *dialog = new ProfileDialog{};
    dialog->profile = kvLoadProfile();
    const UserProfile &profile = dialog->profile;
    dialog->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *window = dialog->window;
    g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](ProfileDialog *d) { delete d; }), dialog);
    gtk_window_set_title(GTK_WINDOW(window), "User Profile");
    gtk_window_set_default_size(GTK_WINDOW(window), 230, 180);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    addSeparator(box);
    const std::string name(profile.name, strnlen(profile.name, sizeof profile.name));
    const std::string email(profile.email, strnlen(profile.email, sizeof profile.email));
    dialog->name = labelledEntry(box, " Name:       ", displayable(name).c_str());
    dialog->email = labelledEntry(box, " Email:       ", displayable(email).c_str());
    limitBytes(dialog->name, sizeof profile.name - 1, "The name");
    limitBytes(dialog->email, sizeof profile.email - 1, "The e-mail address");
    trackEdits(dialog->name);
    trackEdits(dialog->email);
    // Shown for the user's information; what is typed here is never saved.
    labelledEntry(box, " Local IP:   ", kvDottedAddress(profile.ipAddr).c_str());

    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(" Buddy List: "), TRUE, TRUE, 0);
    dialog->buddies = gtk_text_view_new();
    const std::string buddies(profile.buddyList, strnlen(profile.buddyList, sizeof profile.buddyList));
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(dialog->buddies)), displayable(buddies).c_str(),
                             -1);
    atk_object_set_name(gtk_widget_get_accessible(dialog->buddies), "Buddy List");
    limitBytes(dialog->buddies, sizeof profile.buddyList - 1, "The buddy list");
    trackEdits(dialog->buddies);
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_widget_set_size_request(scrolled, 150, 50);
    gtk_container_add(GTK_CONTAINER(scrolled), dialog->buddies);
    gtk_box_pack_start(GTK_BOX(row), scrolled, TRUE, TRUE, 0);

    addSeparator(box);
    GtkWidget *radios = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_pack_start(GTK_BOX(box), radios, FALSE, TRUE, 0);
    dialog->visible = gtk_radio_button_new_with_label(nullptr, "Visible mode");
    GtkWidget *invisible = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(dialog->visible),
                                                                       "Invisible mode");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(profile.visible ? dialog->visible : invisible), TRUE);
    gtk_box_pack_start(GTK_BOX(radios), dialog->visible, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(radios), invisible, TRUE, TRUE, 0);

    addSeparator(box);
    okCancelRow(box, "OK", G_CALLBACK(saveLocalInfo), dialog, window);

    gtk_widget_show_all(window);
}

void showLocalInfo()
{
    localInfoBox();
}
