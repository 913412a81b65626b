// The list dialog shared by the host list, the server list and the lists
// received from the directory server.
#pragma once

#include <string>
#include <vector>

// 1: OK calls the chosen entry; 0: OK connects to the chosen directory server.
extern int hostNotServer;

// Builds the dialog and runs it until it closes. With received entries
// ("name address" lines) it shows them; otherwise it reads hosts.dat or
// servers.dat by hostNotServer.
int listBox(const char *title, const std::vector<std::string> *received);

// OK in the server list: register with the server at address.
void connectToDirectoryServer(const char *address);
