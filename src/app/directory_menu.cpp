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

void serverListBox()
{
    if (!kvDirectoryProfileValid())
        return;
    if (kvDirectoryConnected())
        return;
    std::vector<std::string> entries;
    if (kvReadListFile(false, entries))
        listBox(ListKind::Servers, "Connect to Server", entries);
}

void onlineUser()
{
    kvQueryUsers();
}

void onlineBuddy()
{
    kvQueryBuddies();
}

void serverDisconnect()
{
    kvDirectoryDisconnect();
}
