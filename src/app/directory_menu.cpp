// The Server menu: joining a directory server from servers.dat, the lists of
// online users and buddies it sends back, and leaving it.
#include "app/list_dialog.h"
#include "app/main_window.h"

#include "core/ui_ops.h"
#include "directory/settings.h"
#include "directory/uls_client.h"
#include "directory/uls_protocol.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

guint tagUlsInput;

gboolean onUlsInput(GIOChannel *, GIOCondition, gpointer)
{
    if (ulsSockCallback(ULSsock))
        return TRUE;
    // The connection is gone: this watch ends with it.
    tagUlsInput = 0;
    return FALSE;
}

void removeWatch()
{
    if (tagUlsInput) {
        g_source_remove(tagUlsInput);
        tagUlsInput = 0;
    }
}

struct ReceivedList {
    std::string title;
    std::vector<std::string> entries;
};

gboolean showReceivedList(gpointer data)
{
    auto *list = static_cast<ReceivedList *>(data);
    hostNotServer = 1;
    listBox(list->title.c_str(), &list->entries);
    delete list;
    return G_SOURCE_REMOVE;
}

} // namespace

// A received list opens once the reply handler has returned, so that the
// socket watch keeps delivering chat while the list is open.
void listReceivedOp(const char *title, const UserListReply *reply)
{
    auto *list = new ReceivedList{title, {}};
    const int count = std::min(reply->count, kUlsMaxListEntries);
    for (int i = 0; i < count; ++i) {
        const UserEntry &e = reply->entries[i];
        in_addr a{};
        a.s_addr = e.addr;
        list->entries.push_back(std::string(e.name, strnlen(e.name, sizeof e.name)) + " " + inet_ntoa(a));
    }
    g_idle_add(showReceivedList, list);
}

void connectToDirectoryServer(const char *address)
{
    serverConnection(address, 0);
    if (serverConnected == 1) {
        removeWatch();
        GIOChannel *channel = g_io_channel_unix_new(ULSsock);
        tagUlsInput = g_io_add_watch(channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onUlsInput,
                                     nullptr);
        g_io_channel_unref(channel);
    }
}

void serverListBox()
{
    if (checkLocalInfo() == 0) {
        messageBox("Invalid User Info", "Check userinfo.dat file\nto make sure your name \n& Email ID are correct");
        return;
    }
    if (serverConnected)
        return;
    hostNotServer = 0;
    listBox("Connect to Server", nullptr);
}

void onlineUser()
{
    if (serverConnected)
        serverConnection(nullptr, 1);
}

void onlineBuddy()
{
    if (serverConnected)
        serverConnection(nullptr, 2);
}

void serverDisconnect()
{
    if (serverConnected) {
        serverConnection(nullptr, 4);
        removeWatch();
    }
}
