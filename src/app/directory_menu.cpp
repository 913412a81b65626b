// The Server menu. The directory service client arrives in a later change;
// until then its commands say so instead of doing nothing.
#include "app/list_dialog.h"
#include "app/main_window.h"

namespace {

void notAvailable()
{
    showMessageBox("Directory Service",
                   "The directory service is not available in this version.\n"
                   "Calls by address work: use Connect > New.");
}

} // namespace

void connectToDirectoryServer(const char *) { notAvailable(); }
void serverListBox() { notAvailable(); }
void onlineBuddy() { notAvailable(); }
void onlineUser() { notAvailable(); }
void buddyMsgEditBox() { notAvailable(); }
void serverDisconnect() { notAvailable(); }
void showLocalInfo() { notAvailable(); }
void proxySetupBox() { notAvailable(); }
