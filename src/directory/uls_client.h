// The directory server connection: connect and register (directly or through
// a SOCKS 4 proxy), send requests, drain and dispatch replies.
//
// GUI thread only. The front end watches ULSsock for input after a
// successful mode-0 serverConnection and calls ulsSockCallback from the
// watch; what is to be shown goes out through the UI table (messageBox,
// listReceived, chatLineReceived).
#pragma once

#include <cstddef>
#include <cstdint>

#include "directory/settings.h"

extern int ULSsock;          // socket to the server (or the proxy); -1 when none
extern int serverConnected;  // 1 after a successful registration

// mode 0: text = server address; reads the profile, connects, registers.
// mode 1: "refresh user"; 2: "refresh buddy"; 3: text = chat message;
// 4: "quit!" and close. Modes 1-4 do nothing when not connected.
void serverConnection(const char *text, int mode, const char *profilePath = kUserInfoFile);

// Builds and sends one request. Mode 0 connects to serverAddr (or the proxy)
// and sends data as the 120-byte registration; 1 on success, 0 on failure.
// Modes 1 to 4 send their request (4 also closes ULSsock) and return 1.
int ulsClient(const void *data, uint32_t serverAddr, int mode);

// Drains what the server has sent, waiting at most about 100 ms in all,
// into buf (at most cap bytes). Returns the number stored, 0 if the wait
// failed. *peerClosed (if given) tells that the server closed the connection.
int readUlsData(int fd, void *buf, std::size_t cap, bool *peerClosed);
int readUlsData(int fd, void *buf);  // cap kUlsDrainSize

// Prints and shows each reply in one drain: list counts, message boxes,
// received lists, chat lines, the broadcast greeting.
void handleUlsReply(const uint8_t *data, std::size_t len);

// The input watch's body for the socket source. Returns 1 while the watch
// should stay, 0 once the connection it watched is gone: the server closed
// it (then the state is Disconnected and a message box says so) or it was
// disconnected while a reply was being shown.
int ulsSockCallback(int source);
