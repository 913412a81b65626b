// The directory server connection: connect and register (directly or through
// a SOCKS 4 proxy), send requests, drain and dispatch replies.
//
// The connection itself (name lookup, connect, SOCKS handshake, registration)
// runs off the GUI thread in ulsConnectBlocking; everything else runs on the
// GUI thread, which watches the socket through the UI table's socket watch.
// What is to be shown goes out through the UI table (messageBox, listReceived,
// chatLineReceived).
#pragma once

#include <cstddef>
#include <cstdint>

#include "directory/settings.h"
#include "directory/uls_protocol.h"

#include <atomic>
#include <string>

extern int ULSsock;                      // socket to the server (or the proxy); -1 when none
extern std::atomic<int> serverConnected; // 1 after a successful registration

enum UlsMode : int {
    kUlsConnect = 0,
    kUlsRefreshUser = 1,
    kUlsRefreshBuddy = 2,
    kUlsMessage = 3,
    kUlsQuit = 4,
};

// kUlsConnect: text = server address; reads the profile, connects, registers
// and watches the socket (blocking: the front end goes through
// ulsConnectBlocking on a worker instead). kUlsRefreshUser, kUlsRefreshBuddy,
// kUlsMessage (text = chat message) and kUlsQuit ("quit!" and close) do
// nothing when not connected.
void serverConnection(const char *text, UlsMode mode, const char *profilePath = kUserInfoFile);

// Builds and sends one request. kUlsConnect connects to serverAddr (or the
// proxy) and sends data as the 120-byte registration; 1 on success, 0 on
// failure. The others send their request (kUlsQuit also closes ULSsock) and
// return 1.
int ulsClient(const void *data, uint32_t serverAddr, UlsMode mode);

// One connect and registration, prepared on the GUI thread and run anywhere.
struct UlsConnectJob {
    std::string serverText;      // the address part of a servers.dat entry
    int port = kUlsPort;         // serverPort as the entry set it
    ProxySettings proxy{};       // proxyInfo when the connect was asked for
    std::string profilePath = kUserInfoFile;
    UserProfile profile{};       // filled from the profile file
    bool addressValid = false;   // the server's address resolved
    int sock = -1;               // the registered connection, or -1
};
// Resolves, connects (through the proxy if enabled) and registers, printing
// the connection's lines and failures. Gives up after 10 s, or at once when
// shut-down begins. True with job.sock set on success.
bool ulsConnectBlocking(UlsConnectJob &job);
// GUI thread: takes over a registered connection and watches it.
void ulsAdoptConnection(UlsConnectJob &job);

// Drains what the server has sent, waiting at most about 100 ms in all,
// into buf (at most cap bytes). Returns the number stored, 0 if the wait
// failed. *peerClosed (if given) tells that the server closed the connection.
int readUlsData(int fd, void *buf, std::size_t cap, bool *peerClosed);
int readUlsData(int fd, void *buf);  // cap kUlsDrainSize

// Prints and shows each reply in one drain: list counts, message boxes,
// received lists, chat lines, the broadcast greeting.
void handleUlsReply(const uint8_t *data, std::size_t len);
void showUlsReply(const UlsReply &reply);

// More than this many replies of one kind in one second can't be of use to
// anyone: the rest of that second's are dropped with a line on standard output.
inline constexpr int kUlsRepliesPerSecond = 4;
// How long the start of a reply waits for its remainder.
inline constexpr int kUlsPartialWaitMs = 2000;

// The input watch's body for the socket source: drains it, reassembles
// replies split across reads and shows each whole one. Returns 1 while the
// watch should stay, 0 once the connection it watched is gone: the server
// closed it (then the state is Disconnected and a message box says so).
int ulsSockCallback(int source);

// Hands out a partial reply that waited kUlsPartialWaitMs (nowMs on a
// monotonic clock); the watch's timer calls it.
void ulsExpirePartial(long long nowMs);
