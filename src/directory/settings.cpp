#include "directory/settings.h"
#include "directory/settings_path.h"

#include "directory/address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

UserProfile localInfo{};
ProxySettings proxyInfo{};
int serverPort = kUlsPort;

namespace {

// Reads one whole line, however long, so that a long line never spills into
// the next field. Only the text before an embedded NUL counts, as it would
// for a C string; its full length goes to prefixLen and at most cap bytes of
// it are kept. Returns false at end of file with nothing read.
bool readRawLine(FILE *f, std::string &kept, std::size_t cap, std::size_t &prefixLen)
{
    kept.clear();
    prefixLen = 0;
    bool any = false;
    bool afterNul = false;
    int c;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\0')
            afterNul = true;
        if (!afterNul) {
            ++prefixLen;
            if (kept.size() < cap)
                kept.push_back(static_cast<char>(c));
        }
        if (c == '\n')
            break;
    }
    return any;
}

// Writes a fixed-width text field up to its NUL, never past its width even
// if the record holds no terminator.
void writeField(FILE *f, const char *field, std::size_t width)
{
    fwrite(field, 1, strnlen(field, width), f);
    fputc('\n', f);
}


} // namespace

void trimNewLine(char *s)
{
    if (!s)
        return;
    // Only a line end goes: a last line without one keeps its last character.
    std::size_t n = strlen(s);
    if (n > 0 && s[n - 1] == '\n')
        s[--n] = '\0';
    if (n > 0 && s[n - 1] == '\r')
        s[n - 1] = '\0';
}

int readSettingsLine(FILE *f, char *dst, std::size_t size)
{
    std::string kept;
    std::size_t len = 0;
    bool got = readRawLine(f, kept, size, len);
    if (size == 0)
        return got ? 1 : 0;
    // Drop the line end ("\n" or "\r\n", if any), then cut to the field.
    (void)len;
    std::size_t keep = kept.size();
    if (keep > 0 && kept[keep - 1] == '\n')
        --keep;
    if (keep > 0 && kept[keep - 1] == '\r')
        --keep;
    if (keep > size - 1)
        keep = size - 1;
    memcpy(dst, kept.data(), keep);
    dst[keep] = '\0';
    return got ? 1 : 0;
}

int textToInt(const char *text)
{
    if (!text)
        return 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

void readUserInfo(FILE *f, UserProfile *p, bool dialogRules)
{
    // Clear whole fields: the record is sent as it is, stale bytes included.
    memset(p->name, 0, sizeof p->name);
    memset(p->email, 0, sizeof p->email);
    memset(p->buddyList, 0, sizeof p->buddyList);

    readSettingsLine(f, p->name, sizeof p->name);
    readSettingsLine(f, p->email, sizeof p->email);
    char visibility[16];
    readSettingsLine(f, visibility, sizeof visibility);
    if (dialogRules)
        p->visible = strstr(visibility, "Invisible") ? 0 : 1;
    else
        p->visible = strcmp(visibility, "Invisible") == 0 ? 0 : 1;

    // Buddy lines keep their "\n" and are joined while the whole stays within
    // 64 bytes; the first line that doesn't fit ends the list.
    constexpr std::size_t kJoinLimit = sizeof p->buddyList;
    char joined[kJoinLimit + 1] = {};
    std::size_t used = 0;
    std::string line;
    std::size_t len = 0;
    while (readRawLine(f, line, kJoinLimit, len)) {
        if (len > kJoinLimit - used)
            break;
        memcpy(joined + used, line.data(), len);
        used += len;
        joined[used] = '\0';
    }
    trimNewLine(joined);
    memcpy(p->buddyList, joined, sizeof p->buddyList);
    p->buddyList[sizeof p->buddyList - 1] = '\0';
}

int loadUserInfo(UserProfile *p, bool dialogRules, const char *path)
{
    FILE *f = fopen(settingsFilePath(path).c_str(), "rb");
    if (!f)
        return 0;
    readUserInfo(f, p, dialogRules);
    fclose(f);
    p->ipAddr = GetLocalAddr();
    return 1;
}

int saveUserProfile(const UserProfile *p, const char *path, unsigned edited)
{
    // What the file holds now: three lines as they stand, then the buddy
    // lines as one run of bytes.
    std::string kept[4];
    bool have[4] = {};
    if (edited != kAllProfileFields) {
        if (FILE *old = fopen(settingsFilePath(path).c_str(), "rb")) {
            for (int i = 0; i < 4; ++i) {
                int c;
                while ((c = getc(old)) != EOF) {
                    have[i] = true;
                    kept[i].push_back(static_cast<char>(c));
                    if (c == '\n' && i < 3)
                        break;
                }
            }
            fclose(old);
        }
    }
    SettingsFileWriter out(settingsFilePath(path, true));
    FILE *f = out.file();
    if (!f) {
        printf("Unable to open %s\n", path);
        return 0;
    }
    auto keepOr = [&](int i, unsigned field, auto write) {
        if ((edited & field) || !have[i]) {
            write();
            return;
        }
        fwrite(kept[i].data(), 1, kept[i].size(), f);
        // A line that ended the file without a newline gets one when more follows.
        if (i < 3 && kept[i].back() != '\n')
            fputc('\n', f);
    };
    keepOr(0, kProfileName, [&] { writeField(f, p->name, sizeof p->name); });
    keepOr(1, kProfileEmail, [&] { writeField(f, p->email, sizeof p->email); });
    keepOr(2, kProfileVisibility, [&] { fputs(p->visible ? "Visible\n" : "Invisible\n", f); });
    keepOr(3, kProfileBuddies, [&] { writeField(f, p->buddyList, sizeof p->buddyList); });
    if (!out.commit()) {
        printf("Unable to write %s\n", path);
        return 0;
    }
    return 1;
}

int checkLocalInfo(const char *path)
{
    FILE *f = fopen(settingsFilePath(path).c_str(), "rb");
    if (!f)
        return 0;
    std::string line;
    std::size_t len = 0;
    readRawLine(f, line, 15, len);
    // Line 2 as read with a 32-byte bound: its newline included.
    readRawLine(f, line, 31, len);
    fclose(f);
    return isEmailAddr(line.c_str());
}

int isEmailAddr(const char *s)
{
    if (!s)
        return 0;
    const char *at = strchr(s, '@');
    return at && strchr(at, '.') ? 1 : 0;
}

void readProxyInfo(FILE *f, ProxySettings *p, char *portText)
{
    memset(p->server, 0, sizeof p->server);
    memset(p->userID, 0, sizeof p->userID);

    readSettingsLine(f, p->server, sizeof p->server);
    char port[kProxyPortTextSize];
    readSettingsLine(f, port, sizeof port);
    p->port = textToInt(port);
    if (portText)
        memcpy(portText, port, sizeof port);
    readSettingsLine(f, p->userID, sizeof p->userID);
    char enable[16];
    readSettingsLine(f, enable, sizeof enable);
    p->enable = strcmp(enable, "enable proxy") == 0 ? 1 : 0;
}

int loadProxyInfo(ProxySettings *p, char *portText, const char *path)
{
    FILE *f = fopen(settingsFilePath(path).c_str(), "rb");
    if (!f)
        return 0;
    readProxyInfo(f, p, portText);
    fclose(f);
    return 1;
}

int saveProxyInfo(const ProxySettings *p, const char *path)
{
    SettingsFileWriter out(settingsFilePath(path, true));
    FILE *f = out.file();
    if (!f) {
        printf("Unable to open %s\n", path);
        return 0;
    }
    writeField(f, p->server, sizeof p->server);
    fprintf(f, "%d\n", static_cast<int>(p->port));
    writeField(f, p->userID, sizeof p->userID);
    fputs(p->enable ? "enable proxy\n" : "disable proxy\n", f);
    if (!out.commit()) {
        printf("Unable to write %s\n", path);
        return 0;
    }
    return 1;
}

const char *trimHostString(char *s)
{
    if (!s) {
        serverPort = kUlsPort;
        return nullptr;
    }
    serverPort = strstr(s, "BROADCAST") ? kUlsBroadcastPort : kUlsPort;
    char *blank = strchr(s, ' ');
    if (!blank)
        return nullptr;
    const char *end = s + strlen(s);
    char *p = blank + 1;
    while (p < end && *p == ' ')
        ++p;
    const char *result = p;
    // The address is the last word; a word of 2 characters or fewer after it
    // is not taken as the address (it stays attached to the one before).
    while (p < end) {
        char *next = strchr(p, ' ');
        if (!next)
            break;
        p = next + 1;
        while (p < end && *p == ' ')
            ++p;
        if (end - p > 2)
            result = p;
    }
    return result;
}


void copyToField(char *dst, std::size_t size, const char *text)
{
    if (size == 0)
        return;
    std::size_t n = std::strlen(text);
    if (n >= size) {
        n = size - 1;
        // Never leave half of a multi-byte character behind.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}
