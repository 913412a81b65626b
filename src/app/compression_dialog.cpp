// "Audio Compression Mode": which codec compresses outgoing speech.
#include "app/dialog_widgets.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <array>

namespace {

constexpr KvCodec kOrder[4] = {KvCodec::Adpcm, KvCodec::Gsm, KvCodec::LdGsm, KvCodec::Lpc10};
constexpr const char *kLabels[4] = {"ADPCM", "GSM", "LD-GSM", "LPC10"};

struct CompressionDialog {
    GtkWidget *window;
    std::array<GtkWidget *, 4> buttons;
};

void audioCompModeSelect(GtkWidget *, gpointer data)
{
    auto *dialog = static_cast<CompressionDialog *>(data);
    for (int i = 0; i < 4; ++i) {
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(dialog->buttons[i]))) {
            // A call or recording may have started since the dialog opened:
            // the engine checks again and keeps the codec in force.
            if (kvSetCodec(kOrder[i]) == KvResult::Busy)
                showMessageBox("Audio Encoding Busy", "A call or a recording started meanwhile: the compression\n"
                                                      "stays as it was. Use Audio > Mute or File > Stop first.");
            break;
        }
    }
    gtk_widget_destroy(dialog->window);
}

} // namespace

void audioCompModeBox()
{
    if (!kvCodecChangeAllowed()) {
        showMessageBox("Audio Encoding Busy", "The compression cannot change during a call or a recording.\n"
                                              "Use Audio > Mute or File > Stop first.");
        return;
    }
    auto *dialog = new CompressionDialog{};
    dialog->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *window = dialog->window;
    g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](CompressionDialog *d) { delete d; }), dialog);
    gtk_window_set_title(GTK_WINDOW(window), "Audio Compression Mode");
    gtk_window_set_default_size(GTK_WINDOW(window), 150, 100);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    GSList *group = nullptr;
    const KvCodec current = kvCodec();
    for (int i = 0; i < 4; ++i) {
        GtkWidget *radio = gtk_radio_button_new_with_label(group, kLabels[i]);
        group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(radio));
        if (kOrder[i] == current)
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio), TRUE);
        gtk_box_pack_start(GTK_BOX(box), radio, TRUE, TRUE, 0);
        dialog->buttons[i] = radio;
    }

    okCancelRow(box, "  OK  ", G_CALLBACK(audioCompModeSelect), dialog, window);
    gtk_widget_show_all(window);
}
