// Settings files (userinfo.dat, proxy.inf) and IPv4 address lookup.
//
// The profile record doubles as the registration message sent to the
// directory server, so its layout is a wire format and is pinned below.
// Every file function takes the file's path, defaulting to the name in the
// current directory, so tests can point them at a scratch directory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct UserProfile {
    uint32_t ipAddr;     // local IPv4 address, network byte order
    int32_t visible;     // 1 = "Visible", 0 = "Invisible"
    char name[16];       // NUL-terminated, at most 15 characters
    char email[32];      // NUL-terminated, at most 31 characters
    char buddyList[64];  // buddies joined by "\n", no final "\n", at most 63 characters
};

// The record goes on the wire byte for byte, integers little-endian.
static_assert(std::endian::native == std::endian::little, "the registration record is sent as memory");
static_assert(sizeof(UserProfile) == 120);
static_assert(offsetof(UserProfile, ipAddr) == 0);
static_assert(offsetof(UserProfile, visible) == 4);
static_assert(offsetof(UserProfile, name) == 8);
static_assert(offsetof(UserProfile, email) == 24);
static_assert(offsetof(UserProfile, buddyList) == 56);

struct ProxySettings {
    char server[64];  // proxy host name or dotted address, at most 63 characters
    char userID[32];  // SOCKS user ID, at most 31 characters
    int32_t port;     // proxy TCP port
    int32_t enable;   // 1 = reach the directory server through the proxy
};

inline constexpr const char *kUserInfoFile = "userinfo.dat";
inline constexpr const char *kProxyInfoFile = "proxy.inf";

// Size of the buffer that receives proxy.inf's port line for the dialog.
inline constexpr std::size_t kProxyPortTextSize = 16;

inline constexpr int kUlsPort = 2048;
inline constexpr int kUlsBroadcastPort = 2051;

extern UserProfile localInfo;
extern ProxySettings proxyInfo;
extern int serverPort;  // directory server port; trimHostString sets it

// ---- Lines ----

// Removes a final "\n" and a "\r" before it; any other last character
// stays. An empty string stays as it is.
void trimNewLine(char *s);

// Reads one whole line of any length from f, drops its line end as
// trimNewLine does, and stores at most size - 1 characters of it in dst
// (always NUL-terminated; text after an embedded NUL is ignored). At end of
// file dst becomes empty. Returns 1 when a line was read, 0 at end of file.
int readSettingsLine(FILE *f, char *dst, std::size_t size);

// Stores text in a fixed-width field of size bytes: what does not fit is cut
// at a UTF-8 character boundary, and the field is always NUL-terminated.
void copyToField(char *dst, std::size_t size, const char *text);

// "atoi" without undefined behaviour: leading blanks, a sign, digits; text
// that is not a number gives 0, values beyond int are clamped.
int textToInt(const char *text);

// ---- userinfo.dat ----

// Reads a profile's name, e-mail, visibility and buddy list from f (ipAddr is
// left alone). Missing lines read as empty. Visibility follows the connect
// rules (0 only when line 3 is exactly "Invisible") or, with dialogRules, the
// profile dialog's (0 when line 3 contains "Invisible").
void readUserInfo(FILE *f, UserProfile *p, bool dialogRules);

// Opens path and reads it with readUserInfo, then sets ipAddr from
// GetLocalAddr. Returns 0 without touching *p if the file can't be opened.
int loadUserInfo(UserProfile *p, bool dialogRules, const char *path = kUserInfoFile);

// The lines of userinfo.dat a save takes from the record.
enum ProfileField : unsigned {
    kProfileName = 1,
    kProfileEmail = 2,
    kProfileVisibility = 4,
    kProfileBuddies = 8,
    kAllProfileFields = 15,
};

// Writes name, e-mail, "Visible"/"Invisible" and the buddy list, one per
// line. A field left out of `edited` is copied from the file as it stands,
// byte for byte (NULs, invalid UTF-8, CRLF and a missing last newline
// included), where the file holds it. Returns 1, or prints
// "Unable to open <path>\n" and returns 0.
int saveUserProfile(const UserProfile *p, const char *path = kUserInfoFile, unsigned edited = kAllProfileFields);

// 1 if line 2 of the profile holds an e-mail address (isEmailAddr on the line
// as read, newline included, within 31 bytes); 0 if it doesn't or the file
// can't be opened. Does not touch localInfo.
int checkLocalInfo(const char *path = kUserInfoFile);

// 1 if s has an "@" with a "." somewhere from it onward.
int isEmailAddr(const char *s);

// ---- proxy.inf ----

// Reads server, port, user ID and enable flag from f. When portText is not
// null it receives the port line's text (kProxyPortTextSize bytes) for the
// dialog. Missing lines read as empty (port 0, proxy off).
void readProxyInfo(FILE *f, ProxySettings *p, char *portText);

// Opens path and reads it with readProxyInfo. Returns 0 without touching *p or
// portText if the file can't be opened.
int loadProxyInfo(ProxySettings *p, char *portText, const char *path = kProxyInfoFile);

// Writes server, port ("%d"), user ID and "enable proxy"/"disable proxy".
// Returns 1, or prints "Unable to open <path>\n" and returns 0.
int saveProxyInfo(const ProxySettings *p, const char *path = kProxyInfoFile);

// ---- Addresses ----

// Sets serverPort (2051 if s contains "BROADCAST", else 2048) and returns a
// pointer into s at the address part of a "name blanks address" entry: the
// last word longer than 2 characters after the first blank. Null when s has
// no blank.
const char *trimHostString(char *s);

