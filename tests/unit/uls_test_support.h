// Helpers shared by the directory client and server tests: wire bytes,
// loopback sockets, and a user-interface table that records what it is asked
// to show.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/ui_ops.h"
#include "directory/uls_protocol.h"

namespace uls_test {

inline std::string le32(int32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
    return s;
}

inline int32_t readLE(const std::string &s, std::size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return static_cast<int32_t>(v);
}

// text NUL-padded to width bytes
inline std::string field(const std::string &text, std::size_t width)
{
    std::string f = text;
    f.resize(width, '\0');
    return f;
}

inline std::string command(const char *word) { return field(word, kUlsCommandSize); }

inline std::string addrBytes(const char *dotted)
{
    uint32_t a = inet_addr(dotted);
    return std::string(reinterpret_cast<const char *>(&a), 4);
}

// A type-1 (user) or type-2 (buddy) list reply with `count` in its header
// and `entries` records: names prefix0, prefix1, ... at 10.0.0.1, 10.0.0.2, ...
inline std::string listReply(int32_t type, int32_t count, int entries, const std::string &prefix = "u")
{
    std::string r = le32(type) + le32(count) + le32(0);
    for (int i = 0; i < entries; ++i)
        r += addrBytes(("10.0.0." + std::to_string(i + 1)).c_str()) + field(prefix + std::to_string(i), type == 1 ? 16 : 48);
    return r;
}

// Exactly n bytes, or fewer if the peer closes or ms pass without data.
inline std::string readN(int fd, std::size_t n, int ms = 3000)
{
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            break;
        char buf[4096];
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

// Reads past whatever is still on its way until the end of the stream.
inline bool closedByPeer(int fd, int ms = 3000)
{
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, ms) == 1)
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    return false;
}

inline bool quiet(int fd, int ms = 200)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

inline int listenLoopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 8) != 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

inline int acceptWithin(int listenFd, int ms = 3000)
{
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1)
        return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

// What the core asked the user interface to show, in order:
// "box:title|text", "list:title|name address|...", "chat:line".
inline std::vector<std::string> g_shown;
inline void (*g_duringList)() = nullptr;  // runs inside the list "dialog"

inline void recordUi()
{
    g_shown.clear();
    g_duringList = nullptr;
    KvUiOps ops{};
    ops.messageBox = [](const char *title, const char *text) {
        g_shown.push_back(std::string("box:") + title + "|" + text);
    };
    ops.listReceived = [](const char *title, const std::vector<std::string> &entries) {
        std::string s = std::string("list:") + title;
        for (const std::string &e : entries)
            s += "|" + e;
        g_shown.push_back(s);
        if (g_duringList)
            g_duringList();
    };
    ops.chatLineReceived = [](const char *line) { g_shown.push_back(std::string("chat:") + line); };
    kvSetUiOps(ops);
}

} // namespace uls_test
