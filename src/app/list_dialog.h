// The list dialog shared by the host list, the server list and the lists
// received from the directory server.
#pragma once

#include <string>
#include <vector>

// What OK in a list does, and which list it is: at most one window of each
// kind is open, and a new list of that kind refreshes it.
enum class ListKind { Hosts, Servers, OnlineUsers, OnlineBuddies };

// Shows the list of its kind, titled title, with entries ("name address"
// lines). Returns at once; the dialog lives until OK or Cancel.
void listBox(ListKind kind, const char *title, const std::vector<std::string> &entries);

// Says where the missing hosts.dat or servers.dat goes, with an example line.
void missingListFile(bool hosts);
