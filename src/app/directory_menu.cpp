// The Server menu: joining a directory server from servers.dat, the lists of
// online users and buddies it sends back, and leaving it.
#include "app/list_dialog.h"
#include "app/main_window.h"

#include "core/commands.h"

#include <string>
#include <vector>

void listReceivedOp(const char *title, const std::vector<std::string> &entries)
{
    const bool users = std::string(title) == "Online Users";
    listBox(users ? ListKind::OnlineUsers : ListKind::OnlineBuddies, title, entries);
}

namespace {

void notConnectedBox()
{
    showMessageBox("Not Connected", "You are not connected to a directory server.\n"
                                    "Use Server > Connect Server first.");
}

} // namespace

void serverListBox()
{
    if (!kvDirectoryProfileValid())
        return;
    if (kvDirectoryConnected()) {
        showMessageBox("Already Connected", "You are connected to a directory server already.\n"
                                            "Use Server > Disconnect Server before connecting to another.");
        return;
    }
    std::vector<std::string> entries;
    if (kvReadListFile(false, entries))
        listBox(ListKind::Servers, "Connect to Server", entries);
    else
        missingListFile(false);
}

void onlineUser()
{
    if (kvQueryUsers() == KvResult::NotConnected)
        notConnectedBox();
}

void onlineBuddy()
{
    if (kvQueryBuddies() == KvResult::NotConnected)
        notConnectedBox();
}

void serverDisconnect()
{
    if (kvDirectoryDisconnect() == KvResult::NotConnected)
        notConnectedBox();
}
